#include "app/SingleInstance.h"

#include "model/Result.h"
#include "store/NotesFile.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QLocalServer>
#include <QLocalSocket>
#include <QThread>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace Qt::StringLiterals;

namespace {

constexpr QByteArrayView toggleRequest = "toggle\n";
constexpr QByteArrayView toggleAnswer = "ok\n";
constexpr int retryMs = 50;

QString describeErrno(int error)
{
    return QString::fromLocal8Bit(std::strerror(error));
}

QString canonicalFolder(const QString &notesFolder)
{
    // Two spellings of one folder must name one instance.
    const QString canonical = QDir(notesFolder).canonicalPath();
    return QDir::cleanPath(canonical.isEmpty() ? QDir(notesFolder).absolutePath() : canonical);
}

QString instanceName(const QString &notesFolder)
{
    const QByteArray digest =
        QCryptographicHash::hash(canonicalFolder(notesFolder).toUtf8(), QCryptographicHash::Sha256)
            .toHex()
            .left(16);
    return u"pinlark-"_s + QString::fromLatin1(digest);
}

// A short folder of the user's own for the socket when the runtime folder is too deep for
// one. Its parent (/tmp) is shared by every user, so the folder must be a real folder, the
// user's, and closed to everyone else; anything else in its place is refused, never used.
Result<QString> shortPrivateFolder(const QString &parent)
{
    const QString folder = parent + u"/pinlark-"_s + QString::number(::getuid());
    const QByteArray name = QFile::encodeName(folder);
    if (::mkdir(name.constData(), S_IRWXU) != 0 && errno != EEXIST)
        return Result<QString>::failure(u"cannot create "_s + folder + u": "_s +
                                        describeErrno(errno));
    struct stat info = {};
    if (::lstat(name.constData(), &info) != 0 || !S_ISDIR(info.st_mode) ||
        info.st_uid != ::getuid() || (info.st_mode & (S_IRWXG | S_IRWXO)) != 0)
        return Result<QString>::failure(
            folder + u" is not a folder private to this user, so it is not used"_s);
    return folder;
}

bool forwardToggle(const QString &socketPath, int timeoutMs)
{
    QLocalSocket socket;
    socket.connectToServer(socketPath);
    if (!socket.waitForConnected(timeoutMs))
        return false;
    socket.write(toggleRequest.data(), toggleRequest.size());
    if (!socket.waitForBytesWritten(timeoutMs))
        return false;
    QByteArray answer;
    const QDeadlineTimer deadline(timeoutMs);
    while (answer.size() < toggleAnswer.size() && !deadline.hasExpired()) {
        if (!socket.waitForReadyRead(static_cast<int>(qMax<qint64>(1, deadline.remainingTime()))))
            break;
        answer += socket.readAll();
    }
    return answer.startsWith(toggleAnswer);
}

int remainingMs(const QDeadlineTimer &deadline)
{
    return static_cast<int>(qMax<qint64>(1, deadline.remainingTime()));
}

} // namespace

SingleInstance::SingleInstance(const QString &notesFolder, const QString &runtimeFolder,
                               const QString &shortFolderParent, QObject *parent)
    : QObject(parent)
    , m_notesFolder(notesFolder)
{
    const QString name = instanceName(notesFolder);
    QString folder = runtimeFolder;
    // No runtime folder at all (Qt found none it could use) is handled the same way.
    if (folder.isEmpty() ||
        QFile::encodeName(folder + u'/' + name + u".socket"_s).size() > maxSocketPathBytes) {
        const auto shortFolder = shortPrivateFolder(shortFolderParent);
        if (!shortFolder) {
            m_error = u"the runtime folder "_s + runtimeFolder +
                      u" is too deep for a socket, and "_s + shortFolder.error();
            return;
        }
        folder = shortFolder.value();
    }
    const QString base = folder + u'/' + name;
    m_socketPath = base + u".socket"_s;
    m_lock = std::make_unique<QLockFile>(base + u".lock"_s);
    // The lock is held for the whole run, however long: never declare it stale by age.
    m_lock->setStaleLockTime(0);
}

SingleInstance::~SingleInstance()
{
    if (m_server)
        m_server->close();
    releaseFolderLock();
}

QString SingleInstance::folderLockPath() const
{
    return m_notesFolder + u'/' + folderLockName;
}

SingleInstance::Role SingleInstance::failWith(const QString &error)
{
    m_error = error;
    releaseFolderLock();
    if (m_lock)
        m_lock->unlock();
    return Role::Failed;
}

SingleInstance::Role SingleInstance::claim()
{
    if (!m_lock)
        return Role::Failed; // m_error says why

    // Quick path for a second launch: the running one answers at once.
    if (forwardToggle(m_socketPath, m_answerTimeoutMs))
        return Role::Forwarded;

    // The lock in the runtime folder first. Held by a live process that did not answer
    // yet, it may be starting this very moment. (QLockFile takes over a lock whose process
    // has died.)
    const QDeadlineTimer deadline(m_answerTimeoutMs);
    while (!m_lock->tryLock(0)) {
        if (m_lock->error() != QLockFile::LockFailedError)
            return failWith(u"cannot create the lock file "_s + m_lock->fileName());
        if (deadline.hasExpired()) {
            qint64 pid = 0;
            QString host;
            QString application;
            m_lock->getLockInfo(&pid, &host, &application);
            return failWith(
                u"another Pinlark (process %1) holds the notes but does not answer"_s.arg(pid));
        }
        if (forwardToggle(m_socketPath, remainingMs(deadline)))
            return Role::Forwarded;
        QThread::msleep(retryMs);
    }

    // Then the lock in the notes folder, which every process writing these notes takes,
    // wherever its runtime folder is. Its holder says in the file where it listens.
    while (!takeFolderLock()) {
        if (m_folderLock < 0)
            return failWith(m_error); // and gives the runtime lock back
        qint64 pid = 0;
        const QString holder = folderLockHolder(&pid);
        if (!holder.isEmpty() && forwardToggle(holder, remainingMs(deadline))) {
            releaseFolderLock();
            m_lock->unlock();
            return Role::Forwarded;
        }
        if (deadline.hasExpired())
            return failWith(u"another Pinlark (process %1) writes the notes in %2 but does not "
                            u"answer"_s.arg(pid)
                                .arg(m_notesFolder));
        QThread::msleep(retryMs);
    }

    if (!listen())
        return failWith(m_error);
    announceInFolderLock();
    return Role::Primary;
}

bool SingleInstance::takeFolderLock()
{
    if (m_folderLock < 0) {
        NotesFile::createFolder(m_notesFolder);
        const QString path = folderLockPath();
        // Never through a link: the lock must be the notes folder's own file.
        m_folderLock = ::open(QFile::encodeName(path).constData(),
                              O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, S_IRUSR | S_IWUSR);
        if (m_folderLock < 0) {
            m_error = u"cannot open the lock file "_s + path + u": "_s + describeErrno(errno);
            return false;
        }
    }
    // Released by the system when the process ends, however it ends.
    return ::flock(m_folderLock, LOCK_EX | LOCK_NB) == 0;
}

QString SingleInstance::folderLockHolder(qint64 *pid) const
{
    char text[4096];
    const ssize_t size = ::pread(m_folderLock, text, sizeof text, 0);
    if (size <= 0)
        return {};
    // "<pid>\n<socket path>\n", as announceInFolderLock() writes it.
    const QList<QByteArray> lines = QByteArray(text, size).split('\n');
    if (lines.size() < 3)
        return {};
    *pid = lines.at(0).toLongLong();
    return QFile::decodeName(lines.at(1));
}

void SingleInstance::announceInFolderLock()
{
    const QByteArray text = QByteArray::number(QCoreApplication::applicationPid()) + '\n' +
                            QFile::encodeName(m_socketPath) + '\n';
    // Only a hint for a later process; the lock itself is what keeps it out.
    if (::ftruncate(m_folderLock, 0) != 0)
        return;
    const ssize_t written = ::pwrite(m_folderLock, text.constData(), std::size_t(text.size()), 0);
    Q_UNUSED(written)
}

void SingleInstance::releaseFolderLock()
{
    if (m_folderLock < 0)
        return;
    ::close(m_folderLock);
    m_folderLock = -1;
}

bool SingleInstance::listen()
{
    m_server = new QLocalServer(this);
    m_server->setSocketOptions(QLocalServer::UserAccessOption);
    // We hold the lock, so a socket file left here belongs to a process that is gone.
    QLocalServer::removeServer(m_socketPath);
    if (!m_server->listen(m_socketPath)) {
        m_error = u"cannot listen on "_s + m_socketPath + u": "_s + m_server->errorString();
        delete m_server;
        m_server = nullptr;
        return false;
    }
    connect(m_server, &QLocalServer::newConnection, this, &SingleInstance::serveNextConnection);
    return true;
}

void SingleInstance::serveNextConnection()
{
    while (QLocalSocket *socket = m_server->nextPendingConnection()) {
        connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
        connect(socket, &QLocalSocket::readyRead, this, [this, socket] {
            // A request is one short line; anything longer is not from Pinlark.
            if (!socket->canReadLine()) {
                if (socket->bytesAvailable() > 64)
                    socket->abort();
                return;
            }
            const QByteArray line = socket->readLine();
            if (line == toggleRequest.toByteArray()) {
                socket->write(toggleAnswer.data(), toggleAnswer.size());
                socket->flush();
                emit toggleRequested();
            }
            socket->disconnectFromServer();
        });
    }
}
