#include "SingleInstance.h"

#include <QCryptographicHash>
#include <QDeadlineTimer>
#include <QDir>
#include <QLocalServer>
#include <QLocalSocket>
#include <QThread>

using namespace Qt::StringLiterals;

namespace {

constexpr QByteArrayView toggleRequest = "toggle\n";
constexpr QByteArrayView toggleAnswer = "ok\n";

QString instanceName(const QString &notesFolder)
{
    // Two spellings of one folder must name one instance.
    const QString canonical = QDir(notesFolder).canonicalPath();
    const QString folder =
        QDir::cleanPath(canonical.isEmpty() ? QDir(notesFolder).absolutePath() : canonical);
    const QByteArray digest =
        QCryptographicHash::hash(folder.toUtf8(), QCryptographicHash::Sha256).toHex().left(16);
    return u"pinlark-"_s + QString::fromLatin1(digest);
}

} // namespace

SingleInstance::SingleInstance(const QString &notesFolder, const QString &runtimeFolder,
                               QObject *parent)
    : QObject(parent)
{
    const QString base = runtimeFolder + u'/' + instanceName(notesFolder);
    m_socketPath = base + u".socket"_s;
    m_lock = std::make_unique<QLockFile>(base + u".lock"_s);
    // The lock is held for the whole run, however long: never declare it stale by age.
    m_lock->setStaleLockTime(0);
}

SingleInstance::~SingleInstance()
{
    if (m_server)
        m_server->close();
}

SingleInstance::Role SingleInstance::claim()
{
    // Quick path for a second launch: the running one answers at once.
    if (forwardToggle(m_answerTimeoutMs))
        return Role::Forwarded;

    if (m_lock->tryLock(0))
        return listen() ? Role::Primary : Role::Failed;
    if (m_lock->error() != QLockFile::LockFailedError) {
        m_error = u"cannot create the lock file "_s + m_lock->fileName();
        return Role::Failed;
    }
    // Held by a live process that did not answer yet: it may be starting this very moment.
    // (QLockFile takes over a lock whose process has died.)
    const QDeadlineTimer deadline(m_answerTimeoutMs);
    while (!deadline.hasExpired()) {
        if (forwardToggle(static_cast<int>(qMax<qint64>(1, deadline.remainingTime()))))
            return Role::Forwarded;
        if (m_lock->tryLock(0))
            return listen() ? Role::Primary : Role::Failed;
        QThread::msleep(50);
    }
    qint64 pid = 0;
    QString host;
    QString application;
    m_lock->getLockInfo(&pid, &host, &application);
    m_error = u"another Pinlark (process %1) holds the notes but does not answer"_s.arg(pid);
    return Role::Failed;
}

bool SingleInstance::forwardToggle(int timeoutMs)
{
    QLocalSocket socket;
    socket.connectToServer(m_socketPath);
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
        m_lock->unlock();
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
