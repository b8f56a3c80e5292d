#pragma once

#include "store/NotesFile.h"
#include "ui/CardOverlay.h"

#include <QList>
#include <QString>

class CardButton;
class PinlarkStore;
class QLabel;
class QVBoxLayout;

// The small dialog of "Restore from Backup…", laid over the whole card view like the sync
// panel: one button per daily backup, newest first, with its day and its count of cards,
// and Close. The list is read from the store when the panel is made (on a worker: a line
// says so meanwhile). Choosing a backup only says which; the view restores and closes.
class PinlarkBackupPanel final : public CardOverlay
{
    Q_OBJECT

public:
    explicit PinlarkBackupPanel(PinlarkStore &store, QWidget *parent = nullptr);
    ~PinlarkBackupPanel() override;
    Q_DISABLE_COPY_MOVE(PinlarkBackupPanel)

    // "Thu, Dec 10, 2026 · 42 cards" ("1 card"; "unreadable" for one that cannot be read),
    // in English like the rest of the card.
    [[nodiscard]] static QString entryText(const NotesFile::Backup &backup);

    // One per backup, newest first; none while the list is being read.
    [[nodiscard]] const QList<CardButton *> &backupButtons() const { return m_backupButtons; }
    [[nodiscard]] CardButton *closeButton() const { return m_closeButton; }
    // "Reading backups…", "No backups yet", or hidden once there are backups to show.
    [[nodiscard]] QLabel *statusLabel() const { return m_status; }

    // Gives the keyboard to the first backup that can be chosen, else to Close.
    void focusFirst();

Q_SIGNALS:
    void backupChosen(const QString &path);
    void closeRequested();

protected:
    // A click on the backdrop asks to close, like Close.
    void backdropTapped() override;
    [[nodiscard]] QList<QWidget *> focusOrder() const override;

private:
    void showBackups(const QList<NotesFile::Backup> &backups);

    QVBoxLayout *m_list = nullptr;
    QLabel *m_status = nullptr;
    QList<CardButton *> m_backupButtons;
    CardButton *m_closeButton = nullptr;
};
