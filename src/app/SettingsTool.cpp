#include "app/SettingsTool.h"

#include <QProcess>
#include <QTimer>

#include <memory>

using namespace Qt::StringLiterals;

SettingsTool::SettingsTool(QString program, QObject *parent)
    : QObject(parent)
    , m_program(std::move(program))
{}

SettingsTool::~SettingsTool()
{
    for (auto *process : findChildren<QProcess *>(Qt::FindDirectChildrenOnly)) {
        process->disconnect(this);
        process->kill();
        process->waitForFinished(1000);
    }
}

void SettingsTool::run(const QStringList &arguments, Answer answer)
{
    auto *process = new QProcess(this);
    auto *timer = new QTimer(process);
    timer->setSingleShot(true);
    timer->setInterval(timeoutMs);
    auto answered = std::make_shared<bool>(false);
    // Called once, for whichever of exit, failure to start or time-out comes first; queued,
    // so that the answer never runs inside run() or inside QProcess's own signal handling.
    auto finish = [this, process, answer = std::move(answer), answered](Outcome outcome) {
        if (std::exchange(*answered, true))
            return;
        process->disconnect(this);
        QTimer::singleShot(0, this, [answer, outcome] { answer(outcome); });
        process->deleteLater();
    };
    connect(process, &QProcess::finished, this,
            [process, finish](int exitCode, QProcess::ExitStatus status) {
                Outcome outcome;
                outcome.ok = status == QProcess::NormalExit && exitCode == 0;
                outcome.output = QString::fromUtf8(process->readAllStandardOutput());
                outcome.errors = QString::fromUtf8(process->readAllStandardError()).trimmed();
                finish(outcome);
            });
    connect(process, &QProcess::errorOccurred, this, [this, finish](QProcess::ProcessError error) {
        if (error != QProcess::FailedToStart)
            return;
        Outcome outcome;
        outcome.errors = u"cannot run "_s + m_program;
        finish(outcome);
    });
    connect(timer, &QTimer::timeout, this, [this, process, finish] {
        process->kill();
        Outcome outcome;
        outcome.errors = m_program + u" did not answer"_s;
        finish(outcome);
    });
    process->setProcessChannelMode(QProcess::SeparateChannels);
    process->start(m_program, arguments);
    timer->start();
}
