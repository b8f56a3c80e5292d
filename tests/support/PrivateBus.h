#pragma once

#include "model/Result.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDeadlineTimer>
#include <QProcess>
#include <QStandardPaths>
#include <QString>
#include <QStringList>

using namespace Qt::StringLiterals;

#ifndef PINLARK_PRIVATE_BUS_CONFIG
#error "PINLARK_PRIVATE_BUS_CONFIG must name tests/support/private-bus.conf"
#endif

// A session bus of the test's own, run on private-bus.conf. That configuration lists no
// service folders, so nothing is D-Bus-activated on it: a name the test means to own or to
// find missing (the portal's, a file manager's) is never taken by the real service, and no
// service is started that would outlive the bus. `dbus-daemon --session` would read the
// machine's folders, where every desktop installs xdg-desktop-portal.
class PrivateBus final
{
public:
    PrivateBus() = default;
    ~PrivateBus() { stop(); }
    Q_DISABLE_COPY_MOVE(PrivateBus)

    // The dbus-daemon on PATH, or empty where there is none.
    [[nodiscard]] static QString daemon()
    {
        return QStandardPaths::findExecutable(u"dbus-daemon"_s);
    }

    // Starts the bus, reads its address and checks that it can activate nothing, or says why
    // it could not.
    [[nodiscard]] Result<void> start()
    {
        const auto fail = [](const QString &why) { return Result<void>::failure(why); };
        m_daemon.start(daemon(), {QString::fromUtf8("--config-file=" PINLARK_PRIVATE_BUS_CONFIG),
                                  u"--nofork"_s, u"--nopidfile"_s, u"--print-address=1"_s});
        if (!m_daemon.waitForStarted())
            return fail(m_daemon.errorString());
        // Generous: the sanitizer builds are slow.
        const QDeadlineTimer deadline(30000);
        while (!m_daemon.canReadLine()) {
            if (!m_daemon.waitForReadyRead(int(deadline.remainingTime())))
                return fail(u"dbus-daemon printed no address: "_s +
                            QString::fromLocal8Bit(m_daemon.readAllStandardError()));
        }
        m_address = QString::fromUtf8(m_daemon.readLine()).trimmed();
        return activatesNothing();
    }

    void stop()
    {
        if (m_daemon.state() == QProcess::NotRunning)
            return;
        m_daemon.terminate();
        if (!m_daemon.waitForFinished()) {
            m_daemon.kill();
            m_daemon.waitForFinished();
        }
    }

    [[nodiscard]] QString address() const { return m_address; }

private:
    [[nodiscard]] Result<void> activatesNothing() const
    {
        const QString name = u"pinlark-private-bus-check"_s;
        QDBusMessage reply;
        {
            const QDBusConnection bus = QDBusConnection::connectToBus(m_address, name);
            reply = bus.call(QDBusMessage::createMethodCall(
                u"org.freedesktop.DBus"_s, u"/org/freedesktop/DBus"_s, u"org.freedesktop.DBus"_s,
                u"ListActivatableNames"_s));
        }
        QDBusConnection::disconnectFromBus(name);
        if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty())
            return Result<void>::failure(u"the private bus does not answer: "_s +
                                         reply.errorMessage());
        QStringList names = reply.arguments().constFirst().toStringList();
        names.removeAll(u"org.freedesktop.DBus"_s);
        if (!names.isEmpty())
            return Result<void>::failure(u"the private bus would start "_s + names.join(u", "_s));
        return {};
    }

    QProcess m_daemon;
    QString m_address;
};
