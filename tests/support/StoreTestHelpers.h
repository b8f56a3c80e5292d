#pragma once

#include "model/NoteCard.h"

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QString>
#include <QtGlobal>

#include <climits>
#include <optional>
#include <sys/stat.h>
#include <unistd.h>

using namespace Qt::StringLiterals;

// Small helpers shared by the store's tests: cards with known fields, and the file-system
// facts (bytes, mode bits) the tests compare.
namespace StoreTest {

// A card whose timestamps are whole seconds, so they survive the millisecond text form of
// the notes file and compare exactly after a load.
inline NoteCard card(const QString &id, const QString &content, double updatedAt = 100.0,
                     std::optional<bool> pinned = false, const QString &color = u"mint"_s)
{
    NoteCard result;
    result.id = id;
    result.content = content;
    result.color = color;
    result.isPinned = pinned;
    result.createdAt = Timestamp{50.0};
    result.updatedAt = Timestamp{updatedAt};
    return result;
}

// The whole file, or a null array when it cannot be read (missing, a directory...).
inline QByteArray readBytes(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return file.readAll();
}

inline bool writeBytes(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) &&
           file.write(bytes) == bytes.size();
}

// The permission bits of a path (for example 0600), or -1 when nothing is there.
inline int modeOf(const QString &path)
{
    struct stat info = {};
    if (::stat(QFile::encodeName(path).constData(), &info) != 0)
        return -1;
    return int(info.st_mode & 07777);
}

// Root reads and writes through any permission bits, so a read-only folder stops it from
// nothing; tests that rely on the bits skip under root.
inline bool permissionBitsBind()
{
    return ::geteuid() != 0;
}

// A folder under `base` whose path is so long that notes.json (and the temporary file
// that an atomic save writes beside it) still fit within PATH_MAX, but the longer name
// "notes.json.corrupt-<stamp>" that an unreadable file is moved aside to does not. The
// kernel refuses that rename for every user, root included. Empty when it cannot be made.
inline QString folderTooDeepToMoveAside(const QString &base)
{
    // PATH_MAX counts the terminating zero. notes.json gets 12 characters of room: enough
    // for ".XXXXXX" (7) and too few for ".corrupt-yyyyMMddTHHmmssZ" (25).
    const qsizetype notesPathLength = PATH_MAX - 1 - 12;
    const qsizetype folderLength = notesPathLength - qsizetype(sizeof("/notes.json") - 1);
    QString path = QDir::cleanPath(base);
    while (path.size() < folderLength) {
        const qsizetype need = folderLength - path.size(); // including the next '/'
        qsizetype chunk = qMin<qsizetype>(200, need - 1);
        if (need - 1 - chunk == 1)
            --chunk; // never leave room for a '/' alone
        path += u'/' + QString(chunk, u'd');
    }
    if (path.size() != folderLength || !QDir().mkpath(path))
        return {};
    return path;
}

// Qt reports a stat() of an over-long name as a critical message. The deep-folder cases
// expect exactly that failure, so while one of these lives such messages stay out of the
// test log; every other message passes through.
class LongNameMessagesMuted final
{
public:
    LongNameMessagesMuted() { s_previous = qInstallMessageHandler(&filter); }
    ~LongNameMessagesMuted() { qInstallMessageHandler(s_previous); }
    Q_DISABLE_COPY_MOVE(LongNameMessagesMuted)

private:
    static void filter(QtMsgType type, const QMessageLogContext &context, const QString &text)
    {
        if (text.contains(QLatin1StringView("File name too long")))
            return;
        if (s_previous)
            s_previous(type, context, text);
    }
    static inline QtMessageHandler s_previous = nullptr;
};

} // namespace StoreTest
