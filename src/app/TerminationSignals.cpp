#include "app/TerminationSignals.h"

#include <QSocketNotifier>

#include <array>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

constexpr std::array watchedSignals{SIGTERM, SIGINT, SIGHUP};

// Written by the handler, so a plain int that is set before any handler is installed.
volatile sig_atomic_t writeEnd = -1;
std::array<struct sigaction, watchedSignals.size()> previousActions{};

extern "C" void onTerminationSignal(int signalNumber)
{
    const int savedErrno = errno;
    const auto byte = static_cast<unsigned char>(signalNumber);
    // Async-signal-safe. A full pipe means a signal is already waiting to be read.
    [[maybe_unused]] const ssize_t written = ::write(writeEnd, &byte, 1);
    errno = savedErrno;
}

} // namespace

TerminationSignals::TerminationSignals(QObject *parent)
    : QObject(parent)
{
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, m_fds) != 0) {
        m_fds[0] = m_fds[1] = -1;
        return;
    }
    writeEnd = m_fds[1];
    for (std::size_t index = 0; index < watchedSignals.size(); ++index) {
        struct sigaction action = {};
        action.sa_handler = onTerminationSignal;
        sigemptyset(&action.sa_mask);
        action.sa_flags = SA_RESTART;
        if (::sigaction(watchedSignals[index], &action, &previousActions[index]) != 0) {
            for (std::size_t undo = 0; undo < index; ++undo)
                ::sigaction(watchedSignals[undo], &previousActions[undo], nullptr);
            return;
        }
    }
    m_notifier = new QSocketNotifier(m_fds[0], QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, &TerminationSignals::readPipe);
}

TerminationSignals::~TerminationSignals()
{
    if (m_notifier) {
        for (std::size_t index = 0; index < watchedSignals.size(); ++index)
            ::sigaction(watchedSignals[index], &previousActions[index], nullptr);
    }
    writeEnd = -1;
    for (const int fd : m_fds) {
        if (fd >= 0)
            ::close(fd);
    }
}

void TerminationSignals::readPipe()
{
    unsigned char byte = 0;
    while (::read(m_fds[0], &byte, 1) == 1)
        emit received(byte);
}
