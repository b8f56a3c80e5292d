#include "NotesFile.h"

#include "AtomicFile.h"
#include "NoteJSON.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QStandardPaths>

using namespace Qt::StringLiterals;

namespace {

constexpr auto privateFile = QFile::ReadOwner | QFile::WriteOwner;
constexpr auto privateFolder = QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner;

// Creates `path` (and missing parents) when nothing is there; the last folder private.
void ensureFolder(const QString &path)
{
    const QFileInfo info(path);
    if (info.exists())
        return;
    QDir().mkpath(info.absolutePath());
    QDir().mkdir(path, privateFolder);
}

QString notesFileName()
{
    return u"notes.json"_s;
}

} // namespace

NotesFile::NotesFile(QString folder, Clock clock, Logger log)
    : m_folder(std::move(folder))
    , m_clock(std::move(clock))
    , m_log(std::move(log))
{}

QString NotesFile::folder() const
{
    const QString location = m_folder.isEmpty() ? defaultFolder() : m_folder;
    ensureFolder(location);
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

    QFile file(notesPath);
    if (!file.open(QIODevice::ReadOnly)) {
        result.error = file.errorString();
    } else {
        QByteArray bytes = file.readAll();
        if (file.error() != QFileDevice::NoError) {
            result.error = file.errorString();
        } else {
            file.close();
            auto decoded = NoteJSON::decodeCards(std::move(bytes));
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

void NotesFile::backUpOncePerDay(const QString &folder, QDate today)
{
    if (today == m_lastBackupDay)
        return;

    const QString notesPath = folder + u'/' + notesFileName();
    if (!QFileInfo::exists(notesPath))
        return;
    const QString backupFolder = folder + u"/backups"_s;
    ensureFolder(backupFolder);
    const QString target =
        backupFolder + u"/notes-"_s + today.toString(u"yyyy-MM-dd"_s) + u".json"_s;
    if (QFileInfo::exists(target))
        return; // an earlier run already kept this day's first state
    if (!QFile::copy(notesPath, target)) {
        m_log(u"Pinlark: error backing up notes: could not copy "_s + notesPath + u" to "_s +
              target);
        return;
    }
    QFile::setPermissions(target, privateFile);

    // Only our own dated names take part: anything else the user keeps there is left alone.
    static const QRegularExpression dated(u"^notes-\\d{4}-\\d{2}-\\d{2}\\.json$"_s);
    QDir backups(backupFolder);
    const QStringList names =
        backups.entryList({u"notes-*.json"_s}, QDir::Files, QDir::Name | QDir::Reversed)
            .filter(dated);
    for (qsizetype i = backupsKept; i < names.size(); ++i)
        backups.remove(names.at(i));
}

Result<bool> NotesFile::save(const QList<NoteCard> &cards)
{
    const QString location = folder();
    // The day's backup counts as taken only once a save went through: after a failed save
    // the file on disk is still the one from before today, and the next attempt copies it.
    const QDate today = m_clock().toDateTime().toLocalTime().date();
    backUpOncePerDay(location, today);

    // Written a piece at a time, so a large stack is never held a second time as text.
    const Result<bool> written = writeFileAtomically(
        location + u'/' + notesFileName(),
        [&cards](QIODevice &file) { return NoteJSON::writeCards(cards, file); }, privateFile);
    if (!written)
        return written;
    m_lastBackupDay = today;
    return true;
}
