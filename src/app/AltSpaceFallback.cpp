#include "app/AltSpaceFallback.h"

#include "store/PinlarkStore.h"

#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QVariantMap>

#include <cstdio>

using namespace Qt::StringLiterals;

namespace {

const QString notificationsService = u"org.freedesktop.Notifications"_s;

const QString offerBody = u"Another program uses Alt+Space. Open Pinlark to set up a "
                          u"different key."_s;
const QString stepsBody = u"Bind \"pinlark --toggle\" to a key in your desktop's keyboard "
                          u"shortcut settings to open Pinlark from anywhere."_s;

} // namespace

AltSpaceFallback::AltSpaceFallback(PinlarkStore &store, QDBusConnection bus, ErrorLine errorLine,
                                   QObject *parent)
    : QObject(parent)
    , m_store(store)
    , m_bus(std::move(bus))
    , m_errorLine(std::move(errorLine))
{}

QString AltSpaceFallback::errorLine(const QString &reason)
{
    return u"Pinlark: Alt+Space works only while Pinlark is open ("_s + reason +
           u"). Bind \"pinlark --toggle\" to a key in your desktop's keyboard shortcut "
           u"settings to open it from anywhere."_s;
}

void AltSpaceFallback::altSpaceUnavailable(const QString &reason)
{
    if (std::exchange(m_done, true))
        return;
    const QString line = errorLine(reason);
    if (m_errorLine)
        m_errorLine(line);
    else
        std::fprintf(stderr, "%s\n", qUtf8Printable(line));
    const bool offered = m_store.offerShortcutSetup();
    if (offered)
        notify(m_store.shortcutNotice() == PinlarkStore::ShortcutNotice::Offer ? offerBody
                                                                               : stepsBody);
}

void AltSpaceFallback::notify(const QString &body)
{
    if (!m_bus.isConnected())
        return;
    // Only a server that runs already: a notification must not start one (on many a bare
    // window manager, D-Bus would activate a daemon that then stays for the session).
    const QDBusMessage hasOwner =
        QDBusMessage::createMethodCall(u"org.freedesktop.DBus"_s, u"/org/freedesktop/DBus"_s,
                                       u"org.freedesktop.DBus"_s, u"NameHasOwner"_s);
    auto *asked = new QDBusPendingCallWatcher(
        m_bus.asyncCall(QDBusMessage(hasOwner) << notificationsService), this);
    connect(asked, &QDBusPendingCallWatcher::finished, this, [this, body](auto *watcher) {
        watcher->deleteLater();
        const QDBusPendingReply<bool> running = *watcher;
        if (running.isError() || !running.value())
            return;
        QDBusMessage call = QDBusMessage::createMethodCall(notificationsService,
                                                           u"/org/freedesktop/Notifications"_s,
                                                           notificationsService, u"Notify"_s);
        call.setAutoStartService(false);
        const QVariantMap hints{{u"desktop-entry"_s, u"app.pinlark.Pinlark"_s}};
        call << u"Pinlark"_s << 0U << u"app.pinlark.Pinlark"_s << notificationSummary << body
             << QStringList() << hints << -1;
        // The id is not needed: the notification is never replaced or closed by Pinlark.
        m_bus.asyncCall(call);
    });
}
