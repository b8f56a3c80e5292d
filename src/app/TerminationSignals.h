#pragma once

#include <QObject>

class QSocketNotifier;

// Turns SIGTERM, SIGINT and SIGHUP (how a session ends its programs at logout and shutdown,
// and how a terminal ends its own) into a Qt signal on the GUI thread, so that the app can
// save and quit through its event loop. The handler only writes the signal's number into a
// pipe; everything else happens when the event loop reads it.
//
// One instance at a time; the handlers it installs stay until it is destroyed.
class TerminationSignals final : public QObject
{
    Q_OBJECT

public:
    explicit TerminationSignals(QObject *parent = nullptr);
    ~TerminationSignals() override;
    Q_DISABLE_COPY_MOVE(TerminationSignals)

    // False when the pipe or a handler could not be set up; the signals then end the process
    // the default way.
    [[nodiscard]] bool isWatching() const { return m_notifier != nullptr; }

signals:
    void received(int signalNumber);

private:
    void readPipe();

    int m_fds[2] = {-1, -1};
    QSocketNotifier *m_notifier = nullptr;
};
