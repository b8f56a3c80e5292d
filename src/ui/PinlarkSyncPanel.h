#pragma once

#include "ui/CardOverlay.h"

#include <QDateTime>
#include <QPointer>
#include <QTimer>

class CardButton;
class Clipboard;
class PinlarkStore;
class QCheckBox;
class QLabel;
class QLineEdit;

// The small dialog laid over the whole card view while the store's showSync is on: the
// passport code in a field, Copy Code, Close and Sync Now, the "Sync automatically" setting,
// when the last sync was, and the store's sync status. The code being edited is the panel's
// own; it is taken from the store each time the panel comes on screen. All sync work is the
// store's: the panel starts it and shows its progress.
class PinlarkSyncPanel final : public CardOverlay
{
    Q_OBJECT

public:
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
    // Gives the keyboard to the code field or, while a sync disables it, to the first
    // control that takes it.
    void focusCodeField();

    // The commands behind the buttons.
    void copyCode();
    void syncNow();
    void closePanel();

protected:
    void showEvent(QShowEvent *event) override;
    void hideEvent(QHideEvent *event) override;
    // A click on the backdrop closes the panel.
    void backdropTapped() override;
    [[nodiscard]] QList<QWidget *> focusOrder() const override;

private:
    // Puts the stored code in the field, unless it is there already.
    void resetCode();
    // Brings the field, Sync Now and the status line in step with the store.
    void refresh();
    void refreshLastSynced();

    PinlarkStore &m_store;
    Clipboard *m_clipboard;

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
};
