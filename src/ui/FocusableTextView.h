#pragma once

#include <QPlainTextEdit>

#include <functional>
#include <memory>
#include <optional>

class QKeyEvent;
class QMimeData;
class QPaintEvent;
class QShowEvent;

// The plain-text editor of a card. Two-way bound to one string: it takes the bound text when
// that changes from outside (keeping the caret where it can), hands the whole text back after
// every edit the user makes, and keeps the keyboard focus.
class FocusableTextView final : public QPlainTextEdit
{
    Q_OBJECT

public:
    // Reads and writes the bound string.
    struct TextBinding
    {
        std::function<QString()> get;
        std::function<void(const QString &)> set;
    };

    FocusableTextView(TextBinding text, std::function<void()> onCommit, QWidget *parent = nullptr);
    ~FocusableTextView() override;
    Q_DISABLE_COPY_MOVE(FocusableTextView)

    // Brings the shown text in step with the binding. Replaces it only when it differs,
    // keeping the caret at the smaller of its offset and the new length, and never writes
    // the replacement back. In every case queues taking the focus back.
    void updateFromBinding();

    // True only while updateFromBinding() replaces the text.
    [[nodiscard]] bool isUpdating() const;

    // Whether the editor takes the keyboard focus on its own: when first shown and after each
    // update. On by default; off while something laid over the editor has the keyboard, whose
    // owner then hands the focus back itself.
    void setTakesFocus(bool takes) { m_takesFocus = takes; }

    // Key chords the editor must leave to the shortcuts around it, although it would use
    // them itself (Ctrl+Backspace deletes a word, for one). Asked on every shortcut override.
    using KeyPredicate = std::function<bool(const QKeyEvent &)>;
    void setKeysLeftToShortcuts(KeyPredicate leftToShortcuts);

private:
    class Coordinator;

    bool event(QEvent *event) override;
    void showEvent(QShowEvent *event) override;
    void paintEvent(QPaintEvent *event) override;
    [[nodiscard]] bool canInsertFromMimeData(const QMimeData *source) const override;
    void insertFromMimeData(const QMimeData *source) override;

    // The whole text as the binding holds it: lines end in '\n', no-break spaces stay.
    [[nodiscard]] QString shownText() const;
    void replaceText(const QString &text);
    // Once control is back in the event loop: end the caret burst and take the focus.
    void queueSettle();

    std::unique_ptr<Coordinator> m_coordinator;
    KeyPredicate m_keysLeftToShortcuts;
    // The caret offset the first replacement of a burst remembered; replacements reuse it
    // until control returns to the event loop or the user edits or moves the caret.
    std::optional<int> m_burstCaret;
    bool m_settleQueued = false;
    bool m_shownOnce = false;
    bool m_takesFocus = true;
    int m_caretWidth = 1;
};
