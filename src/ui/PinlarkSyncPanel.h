#pragma once

#include <QDateTime>
#include <QImage>
#include <QPointer>
#include <QTimer>
#include <QWidget>

class CardButton;
class Clipboard;
class PinlarkStore;
class QCheckBox;
class QLabel;
class QLineEdit;
class SyncPanelCard;

// The small dialog laid over the whole card view while the store's showSync is on: the
// passport code in a field, Copy Code, Close and Sync Now, the "Sync automatically" setting,
// when the last sync was, and the store's sync status. The code being edited is the panel's
// own; it is taken from the store each time the panel comes on screen. All sync work is the
// store's: the panel starts it and shows its progress.
class PinlarkSyncPanel final : public QWidget
{
    Q_OBJECT

public:
    static constexpr int cardWidth = 320;

    // `clipboard` is not owned; none copies nothing.
    PinlarkSyncPanel(PinlarkStore &store, Clipboard *clipboard, QWidget *parent = nullptr);
    ~PinlarkSyncPanel() override;
    Q_DISABLE_COPY_MOVE(PinlarkSyncPanel)

    // "Last synced 14:03" (that day), "Last synced Dec 10, 14:03" (that year), "Last synced
    // Dec 10, 2025" (before), in the local time of `when` and `now`; "Not synced on this
    // computer yet" for an invalid `when`.
    [[nodiscard]] static QString lastSyncedText(const QDateTime &when, const QDateTime &now);

    [[nodiscard]] QLineEdit *codeField() const { return m_field; }
    [[nodiscard]] QCheckBox *syncAutomaticallyBox() const { return m_automatic; }
    // The panel card, whose clicks never reach the backdrop around it.
    [[nodiscard]] QWidget *card() const;

    // Gives the keyboard to the code field or, while a sync disables it, to the first
    // control that takes it.
    void focusCodeField();

    // The commands behind the buttons.
    void copyCode();
    void syncNow();
    void closePanel();

protected:
    void paintEvent(QPaintEvent *event) override;
    void resizeEvent(QResizeEvent *event) override;
    void showEvent(QShowEvent *event) override;
    void hideEvent(QHideEvent *event) override;
    bool event(QEvent *event) override;
    void mousePressEvent(QMouseEvent *event) override;
    void mouseReleaseEvent(QMouseEvent *event) override;
    // Tab and Shift+Tab go round the panel's own controls, never to the card beneath.
    bool focusNextPrevChild(bool next) override;

private:
    // Puts the stored code in the field, unless it is there already.
    void resetCode();
    // Brings the field, Sync Now and the status line in step with the store.
    void refresh();
    void refreshLastSynced();
    void placeCard();
    [[nodiscard]] bool isOnBackdrop(const QPoint &position) const;
    [[nodiscard]] QImage shadowFor(const QSize &cardSize, qreal devicePixelRatio);

    PinlarkStore &m_store;
    Clipboard *m_clipboard;

    SyncPanelCard *m_card = nullptr;
    QLineEdit *m_field = nullptr;
    CardButton *m_copyButton = nullptr;
    CardButton *m_closeButton = nullptr;
    CardButton *m_syncButton = nullptr;
    QCheckBox *m_automatic = nullptr;
    QLabel *m_lastSynced = nullptr;
    QLabel *m_status = nullptr;
    // While the panel is on screen: "Last synced 14:03" turns into a date once that day is
    // over.
    QTimer m_minuteTimer;

    // A sync disables the field and Sync Now, and Qt then moves the focus on to the next
    // control. When the sync ends and the focus is still where Qt put it, it goes back.
    QPointer<QWidget> m_focusBeforeSync;
    QPointer<QWidget> m_focusDuringSync;

    bool m_pressedOnBackdrop = false;
    QImage m_shadow;
    QSize m_shadowCardSize;
};
