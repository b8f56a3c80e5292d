#pragma once

#include <QLockFile>
#include <QObject>
#include <QString>

#include <memory>

using namespace Qt::StringLiterals;

class QLocalServer;

// Makes sure one Pinlark at a time owns a notes folder: two writers of the same file would
// each save over the other's edits.
//
// The first Pinlark takes a lock and listens on a local socket, both in the user's runtime
// folder and named after the notes folder. A later one finds the socket, asks the running one
// to toggle its popup, and ends without reading the notes. A lock left by a process that
// died is taken over.
//
// The runtime folder is not the same for every process of a user (an environment without
// XDG_RUNTIME_DIR, a runtime folder cleaned at logout while Pinlark runs on), so the first
// Pinlark also holds an advisory lock on a file inside the notes folder for its whole run,
// and writes its socket's path there: a later one whose runtime folder differs still finds
// the running one, or fails, but never writes beside it.
class SingleInstance final : public QObject
{
    Q_OBJECT

public:
    // `notesFolder` names the instance (and is created, private, when missing);
    // `runtimeFolder` holds its lock and socket, unless it is too deep for a socket: then a
    // folder "pinlark-<uid>" in `shortFolderParent` does.
    SingleInstance(const QString &notesFolder, const QString &runtimeFolder,
                   const QString &shortFolderParent = u"/tmp"_s, QObject *parent = nullptr);
    ~SingleInstance() override;
    Q_DISABLE_COPY_MOVE(SingleInstance)

    enum class Role {
        Primary,   // this process owns the notes and now listens for requests
        Forwarded, // another process owns them and was asked to toggle its popup
        Failed,    // neither: error() says why
    };

    // How long a later process waits for the running one to answer.
    static constexpr int answerTimeoutMs = 5000;
    void setAnswerTimeout(int milliseconds) { m_answerTimeoutMs = milliseconds; }

    // The longest socket path the system takes (sun_path, less its terminating zero). A
    // runtime folder too deep for it is replaced by a short private folder of the user's.
    static constexpr qsizetype maxSocketPathBytes = 107;
    // The lock file inside the notes folder.
    static inline const QString folderLockName = u"notes.lock"_s;

    // Becomes the primary, or forwards a toggle request to the one that is.
    [[nodiscard]] Role claim();
    [[nodiscard]] QString error() const { return m_error; }
    [[nodiscard]] QString socketPath() const { return m_socketPath; }
    [[nodiscard]] QString folderLockPath() const;

signals:
    // Another process asked this one to toggle its popup.
    void toggleRequested();

private:
    [[nodiscard]] Role failWith(const QString &error);
    [[nodiscard]] bool takeFolderLock();
    [[nodiscard]] QString folderLockHolder(qint64 *pid) const;
    void announceInFolderLock();
    void releaseFolderLock();
    bool listen();
    void serveNextConnection();

    QString m_notesFolder;
    QString m_socketPath;
    std::unique_ptr<QLockFile> m_lock;
    int m_folderLock = -1;
    QLocalServer *m_server = nullptr;
    QString m_error;
    int m_answerTimeoutMs = answerTimeoutMs;
};
