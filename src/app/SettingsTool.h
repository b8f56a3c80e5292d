#pragma once

#include <QObject>
#include <QString>
#include <QStringList>

#include <functional>

// A desktop's settings tool (gsettings, xfconf-query) run as a child process without
// blocking: each run() answers from the event loop, never from inside the call, also when
// the tool cannot start. A tool that hangs is killed after timeoutMs and counts as failed.
// Destroying the object ends the runs under way and drops their answers.
class SettingsTool final : public QObject
{
    Q_OBJECT

public:
    static constexpr int timeoutMs = 15000;

    struct Outcome
    {
        bool ok = false; // started, and exited with status 0
        QString output;
        QString errors; // the tool's own message when it failed, else what it warned
    };
    using Answer = std::function<void(const Outcome &outcome)>;

    explicit SettingsTool(QString program, QObject *parent = nullptr);
    ~SettingsTool() override;
    Q_DISABLE_COPY_MOVE(SettingsTool)

    [[nodiscard]] const QString &program() const { return m_program; }
    void run(const QStringList &arguments, Answer answer);

private:
    QString m_program;
};
