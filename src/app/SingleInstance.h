#pragma once

#include <QLockFile>
#include <QObject>
#include <QString>

#include <memory>

class QLocalServer;

// Makes sure one Pinlark at a time owns a notes folder: two writers of the same file would
// each save over the other's edits.
//
// The first Pinlark takes a lock and listens on a local socket, both in the user's runtime
// folder and named after the notes folder. A later one finds the socket, asks the running one
// to toggle its popup, and ends without reading the notes. A lock left by a process that
// died is taken over.
class SingleInstance final : public QObject
{
    Q_OBJECT

public:
    // `notesFolder` names the instance; `runtimeFolder` holds its lock and socket.
    SingleInstance(const QString &notesFolder, const QString &runtimeFolder,
                   QObject *parent = nullptr);
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

    // Becomes the primary, or forwards a toggle request to the one that is.
    [[nodiscard]] Role claim();
    [[nodiscard]] QString error() const { return m_error; }
    [[nodiscard]] QString socketPath() const { return m_socketPath; }

signals:
    // Another process asked this one to toggle its popup.
    void toggleRequested();

private:
    bool forwardToggle(int timeoutMs);
    bool listen();
    void serveNextConnection();

    QString m_socketPath;
    std::unique_ptr<QLockFile> m_lock;
    QLocalServer *m_server = nullptr;
    QString m_error;
    int m_answerTimeoutMs = answerTimeoutMs;
};
