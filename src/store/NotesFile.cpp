#include "store/NotesFile.h"

#include "model/NoteJSON.h"
#include "store/AtomicFile.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QStandardPaths>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>

using namespace Qt::StringLiterals;

namespace {

constexpr auto privateFile = QFile::ReadOwner | QFile::WriteOwner;
constexpr auto privateFolder = QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner;
constexpr qint64 copyChunkBytes = 1024 * 1024;

QString notesFileName()
{
    return u"notes.json"_s;
}

QString describeErrno(int error)
{
    return QString::fromLocal8Bit(std::strerror(error));
}

QString kindOf(mode_t mode)
{
    if (S_ISFIFO(mode))
        return u"a named pipe (FIFO)"_s;
    if (S_ISCHR(mode) || S_ISBLK(mode))
        return u"a device"_s;
    if (S_ISSOCK(mode))
        return u"a socket"_s;
    if (S_ISDIR(mode))
        return u"a folder"_s;
    return u"not a regular file"_s;
}

QString notRegular(const QString &path, mode_t mode)
{
    return path + u" is "_s + kindOf(mode) + u", not a regular file"_s;
}

QString tooLarge(const QString &path)
{
    return path + u" is larger than "_s + QString::number(NotesFile::maxFileBytes / (1024 * 1024)) +
           u" MiB, too large to be a notes file"_s;
}

// Opens `path` for reading when it is a regular file (links followed) of a size a notes
// file can have. The type is known only once something is open, and a plain open of a FIFO
// waits for a writer, of a terminal takes it over: so open without blocking and without a
// controlling terminal, then look. Reads of a regular file never block either way.
Result<std::unique_ptr<QFile>> openRegularFile(const QString &path)
{
    using Opened = Result<std::unique_ptr<QFile>>;
    const QByteArray name = QFile::encodeName(path);
    const int fd = ::open(name.constData(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        const int error = errno;
        struct stat info = {};
        // A socket cannot be opened at all; say what it is rather than "no such device".
        if (error == ENXIO && ::stat(name.constData(), &info) == 0 && !S_ISREG(info.st_mode))
            return Opened::failure(notRegular(path, info.st_mode));
        return Opened::failure(path + u": "_s + describeErrno(error));
    }
    struct stat info = {};
    if (::fstat(fd, &info) != 0) {
        const int error = errno;
        ::close(fd);
        return Opened::failure(path + u": "_s + describeErrno(error));
    }
    if (!S_ISREG(info.st_mode)) {
        ::close(fd);
        return Opened::failure(notRegular(path, info.st_mode));
    }
    if (info.st_size > NotesFile::maxFileBytes) {
        ::close(fd);
        return Opened::failure(tooLarge(path));
    }
    auto file = std::make_unique<QFile>();
    if (!file->open(fd, QIODevice::ReadOnly | QIODevice::Unbuffered,
                    QFileDevice::AutoCloseHandle)) {
        ::close(fd);
        return Opened::failure(path + u": "_s + file->errorString());
    }
    return Opened(std::move(file));
}

// The whole of an open regular file, but never more than a notes file may hold: a file
// that grows while it is read is refused like one that was too large from the start.
Result<QByteArray> readBounded(QFile &file, const QString &path)
{
    const qint64 limit = NotesFile::maxFileBytes;
    // One byte beyond the size the file had when opened tells that it grew.
    QByteArray bytes(qMin(file.size(), limit) + 1, Qt::Uninitialized);
    qint64 have = 0;
    for (;;) {
        if (have == bytes.size()) {
            if (have > limit)
                return Result<QByteArray>::failure(tooLarge(path));
            bytes.resize(qMin(bytes.size() * 2, limit + 1));
        }
        const qint64 got = file.read(bytes.data() + have, bytes.size() - have);
        if (got < 0)
            return Result<QByteArray>::failure(path + u": "_s + file.errorString());
        if (got == 0)
            break;
        have += got;
    }
    bytes.truncate(have);
    if (have > limit)
        return Result<QByteArray>::failure(tooLarge(path));
    return bytes;
}

// Copies `source` into `out` a piece at a time, so a backup never holds the file in memory.
bool copyBounded(QFile &source, QIODevice &out)
{
    QByteArray piece(copyChunkBytes, Qt::Uninitialized);
    qint64 copied = 0;
    for (;;) {
        const qint64 got = source.read(piece.data(), piece.size());
        if (got < 0)
            return false;
        if (got == 0)
            return true;
        copied += got;
        if (copied > NotesFile::maxFileBytes || out.write(piece.constData(), got) != got)
            return false;
    }
}

// The daily backups' own names; anything else in backups/ is the user's.
const QRegularExpression &dailyBackupName()
{
    static const QRegularExpression dated(u"^notes-\\d{4}-\\d{2}-\\d{2}\\.json$"_s);
    return dated;
}

// The copies taken before a restore: the stamp, then the number of a second copy within
// the same second.
const QRegularExpression &restoreCopyName()
{
    static const QRegularExpression copy(
        u"^notes-before-restore-(\\d{4}-\\d{2}-\\d{2}-\\d{6})(?:-(\\d+))?\\.json$"_s);
    return copy;
}

} // namespace

NotesFile::NotesFile(QString folder, Clock clock)
    : m_folder(std::move(folder))
    , m_clock(std::move(clock))
{}

void NotesFile::createFolder(const QString &folder)
{
    const QFileInfo info(folder);
    if (info.exists())
        return;
    QDir().mkpath(info.absolutePath());
    QDir().mkdir(folder, privateFolder);
}

QString NotesFile::folder() const
{
    const QString location = m_folder.isEmpty() ? defaultFolder() : m_folder;
    createFolder(location);
    return location;
}

QString NotesFile::defaultFolder()
{
    return QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation) + u"/Pinlark"_s;
}

QString NotesFile::path() const
{
    return folder() + u'/' + notesFileName();
}

NotesFile::Loaded NotesFile::load() const
{
    Loaded result;
    const QString notesPath = path();
    const QFileInfo info(notesPath);
    if (!info.exists() && !info.isSymLink())
        return result;

    Result<std::unique_ptr<QFile>> opened = openRegularFile(notesPath);
    if (!opened) {
        result.error = opened.error();
    } else {
        Result<QByteArray> bytes = readBounded(*opened.value(), notesPath);
        opened.value().reset();
        if (!bytes) {
            result.error = bytes.error();
        } else {
            auto decoded = NoteJSON::decodeCards(std::move(bytes).value());
            if (decoded) {
                result.status = Loaded::Status::Loaded;
                result.cards = std::move(decoded).value();
                return result;
            }
            result.error = decoded.error();
        }
    }
    result.status = Loaded::Status::Unreadable;
    result.movedTo = moveAside();
    return result;
}

QString NotesFile::moveAside() const
{
    const QString source = path();
    const QString stamp = m_clock().toDateTime().toString(u"yyyyMMdd'T'HHmmss'Z'"_s);
    const QString base = source + u".corrupt-"_s + stamp;
    for (int attempt = 0; attempt < 1000; ++attempt) {
        const QString target = attempt == 0 ? base : base + u'-' + QString::number(attempt);
        if (QFileInfo::exists(target))
            continue;
        // QFile::rename refuses to replace an existing target, so nothing is overwritten.
        if (QFile::rename(source, target)) {
            syncFolder(QFileInfo(source).absolutePath());
            return target;
        }
        if (QFileInfo::exists(target))
            continue; // lost a race for the name; try the next one
        return QString();
    }
    return QString();
}

QString NotesFile::backUpOncePerDay(const QString &folder, QDate today)
{
    if (today == m_lastBackupDay)
        return {};

    const QString notesPath = folder + u'/' + notesFileName();
    if (!QFileInfo::exists(notesPath))
        return {};
    const QString backupFolder = folder + u"/backups"_s;
    const QString target =
        backupFolder + u"/notes-"_s + today.toString(u"yyyy-MM-dd"_s) + u".json"_s;
    if (QFileInfo::exists(target))
        return {}; // an earlier run already kept this day's first state

    // Copied only from a regular file, like a load reads only one: whatever else stands at
    // the name now could block the copy or never end.
    Result<std::unique_ptr<QFile>> source = openRegularFile(notesPath);
    if (!source)
        return u"the day's backup was not made: "_s + source.error();
    createFolder(backupFolder);
    // Written like the notes themselves: private from the first byte, whole or not at all.
    const Result<bool> copied = writeFileAtomically(
        target, [&source](QIODevice &out) { return copyBounded(*source.value(), out); },
        privateFile);
    if (!copied)
        return u"the day's backup could not be written: "_s + copied.error();

    // Only our own dated names take part: anything else the user keeps there is left alone.
    QDir backups(backupFolder);
    const QStringList names =
        backups.entryList({u"notes-*.json"_s}, QDir::Files, QDir::Name | QDir::Reversed)
            .filter(dailyBackupName());
    for (qsizetype i = backupsKept; i < names.size(); ++i)
        backups.remove(names.at(i));
    return {};
}

Result<QList<NoteCard>> NotesFile::readBackup(const QString &path) const
{
    using Cards = Result<QList<NoteCard>>;
    Result<std::unique_ptr<QFile>> opened = openRegularFile(path);
    if (!opened)
        return Cards::failure(opened.error());
    Result<QByteArray> bytes = readBounded(*opened.value(), path);
    opened.value().reset();
    if (!bytes)
        return Cards::failure(bytes.error());
    auto decoded = NoteJSON::decodeCards(std::move(bytes).value());
    if (!decoded)
        return Cards::failure(path + u": "_s + decoded.error());
    return std::move(decoded).value();
}

QList<NotesFile::Backup> NotesFile::listBackups() const
{
    const QString backupFolder = folder() + u"/backups"_s;
    // System entries too: a FIFO or socket under a backup's name is listed as unreadable
    // rather than left out. Folders are never backups.
    const QStringList names =
        QDir(backupFolder)
            .entryList({u"notes-*.json"_s}, QDir::Files | QDir::System, QDir::Name | QDir::Reversed)
            .filter(dailyBackupName());
    QList<Backup> listed;
    for (const QString &name : names) {
        Backup backup;
        backup.day = QDate::fromString(name.mid(6, 10), u"yyyy-MM-dd"_s);
        if (!backup.day.isValid())
            continue; // the shape of a date, but no day of the calendar
        backup.path = backupFolder + u'/' + name;
        const Result<QList<NoteCard>> cards = readBackup(backup.path);
        if (cards)
            backup.cardCount = cards.value().size();
        else
            backup.error = cards.error();
        listed.append(backup);
    }
    return listed;
}

Result<QString> NotesFile::backUpBeforeRestore()
{
    const QString location = folder();
    const QString notesPath = location + u'/' + notesFileName();
    const QFileInfo info(notesPath);
    if (!info.exists() && !info.isSymLink())
        return QString();

    const QString backupFolder = location + u"/backups"_s;
    const QString stamp = m_clock().toDateTime().toLocalTime().toString(u"yyyy-MM-dd-HHmmss"_s);
    const QString base = backupFolder + u"/notes-before-restore-"_s + stamp;
    // Two restores within one second keep a copy each.
    QString target = base + u".json"_s;
    for (int attempt = 2; QFileInfo::exists(target) || QFileInfo(target).isSymLink(); ++attempt)
        target = base + u'-' + QString::number(attempt) + u".json"_s;

    Result<std::unique_ptr<QFile>> source = openRegularFile(notesPath);
    if (!source)
        return Result<QString>::failure(u"the copy before the restore was not made: "_s +
                                        source.error());
    createFolder(backupFolder);
    const Result<bool> copied = writeFileAtomically(
        target, [&source](QIODevice &out) { return copyBounded(*source.value(), out); },
        privateFile);
    if (!copied)
        return Result<QString>::failure(u"the copy before the restore could not be written: "_s +
                                        copied.error());

    // Pruned apart from the daily backups: a run of restores never pushes out a day, and a
    // day never pushes out the copy taken before the latest restore. Ordered by the stamp,
    // then by the number a second copy of the same second carries.
    QDir backups(backupFolder);
    QList<QRegularExpressionMatch> copies;
    for (const QString &name : backups.entryList({u"notes-before-restore-*.json"_s}, QDir::Files)) {
        QRegularExpressionMatch match = restoreCopyName().match(name);
        if (match.hasMatch())
            copies.append(match);
    }
    std::sort(copies.begin(), copies.end(),
              [](const QRegularExpressionMatch &a, const QRegularExpressionMatch &b) {
                  const QString left = a.captured(1);
                  const QString right = b.captured(1);
                  if (left != right)
                      return left > right;
                  return a.captured(2).toInt() > b.captured(2).toInt();
              });
    for (qsizetype i = restoreCopiesKept; i < copies.size(); ++i)
        backups.remove(copies.at(i).captured(0));
    return target;
}

Result<bool> NotesFile::save(const QList<NoteCard> &cards)
{
    const QString location = folder();
    // The day's backup counts as taken only once a save went through: after a failed save
    // the file on disk is still the one from before today, and the next attempt copies it.
    const QDate today = m_clock().toDateTime().toLocalTime().date();
    const QString backupProblem = backUpOncePerDay(location, today);

    // Written a piece at a time, so a large stack is never held a second time as text.
    const Result<bool> written = writeFileAtomically(
        location + u'/' + notesFileName(),
        [&cards](QIODevice &file) { return NoteJSON::writeCards(cards, file); }, privateFile);
    // One description for the caller's one line, however many things went wrong.
    if (!written)
        return backupProblem.isEmpty()
                   ? written
                   : Result<bool>::failure(written.error() + u"; "_s + backupProblem);
    m_lastBackupDay = today;
    if (!backupProblem.isEmpty())
        return Result<bool>::failure(backupProblem + u" (the notes themselves were saved)"_s);
    return true;
}
