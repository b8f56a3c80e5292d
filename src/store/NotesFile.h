#pragma once

#include "model/NoteCard.h"
#include "model/Result.h"

#include <QDate>
#include <QList>
#include <QString>

#include <functional>

// The notes file on disk: notes.json in the notes folder, its daily backups and the place
// an unreadable file is moved aside to. Every write is atomic and durable, and the folder
// and files are private to the user. Only a regular file is ever read: whatever else stands
// at the name (a FIFO, a device, a socket, a folder, or a link to one) counts as unreadable
// and is never opened in a way that could block.
class NotesFile final
{
public:
    using Clock = std::function<Timestamp()>;

    // `folder` empty: the folder "Pinlark" in the user's generic data location.
    NotesFile(QString folder, Clock clock);

    // The notes folder, created (private to the user) when it is missing. A failure to
    // create it is not reported here: the read or write that follows fails and says why.
    [[nodiscard]] QString folder() const;
    // Where the notes live unless a folder is given: "Pinlark" in the user's data location.
    // Only computed, never created.
    [[nodiscard]] static QString defaultFolder();
    [[nodiscard]] QString path() const;
    // Creates `folder` (and missing parents) when nothing is there, the folder itself
    // private to the user; an existing one is left as it is.
    static void createFolder(const QString &folder);

    struct Loaded
    {
        enum class Status { Missing, Loaded, Unreadable };
        Status status = Status::Missing;
        QList<NoteCard> cards;
        QString error;   // why an unreadable file could not be used
        QString movedTo; // where it went; empty when it could not be moved aside
    };
    // Reads and decodes notes.json. A file that cannot be read or decoded is moved aside
    // under a name of its own, never deleted.
    [[nodiscard]] Loaded load() const;

    // Writes the whole stack, replacing notes.json atomically. Before the first write of a
    // day, the file being replaced is copied into backups/. Fails with one description of
    // everything that went wrong: the write, the backup, or both (a failed backup does not
    // stop the write).
    [[nodiscard]] Result<bool> save(const QList<NoteCard> &cards);

    // One daily backup in backups/, as listBackups() finds it.
    struct Backup
    {
        QString path;
        QDate day;
        qsizetype cardCount = 0;
        QString error; // why it cannot be read; empty: readable
    };
    // The daily backups, newest first, each read to count its cards. One that cannot be read
    // (not a regular file, too large, not a stack) is listed with the reason and no count.
    // Reads as load() reads: nothing blocks, nothing is moved aside.
    [[nodiscard]] QList<Backup> listBackups() const;
    // The stack a backup (or any notes file at `path`) holds, under the rules of load().
    [[nodiscard]] Result<QList<NoteCard>> readBackup(const QString &path) const;
    // Copies notes.json, as it is now, to backups/notes-before-restore-<local time>.json,
    // atomically and private to the user, and returns that path; empty when there is no
    // notes file. These copies are pruned among themselves (the newest restoreCopiesKept
    // stay) and never count among the daily backups.
    [[nodiscard]] Result<QString> backUpBeforeRestore();

    static constexpr int backupsKept = 7;
    static constexpr int restoreCopiesKept = 7;
    // A notes file larger than this is not read at all (a stack of that size would take
    // minutes to show), only moved aside, so it is kept.
    static constexpr qint64 maxFileBytes = qint64(256) * 1024 * 1024;

private:
    [[nodiscard]] QString moveAside() const;
    // Why the day's backup could not be made; empty when it was made or was not due.
    [[nodiscard]] QString backUpOncePerDay(const QString &folder, QDate today);

    QString m_folder;
    Clock m_clock;
    QDate m_lastBackupDay;
};
