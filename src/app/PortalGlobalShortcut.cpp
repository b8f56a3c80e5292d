#include "app/PortalGlobalShortcut.h"

#include <QDBusArgument>
#include <QDBusError>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusObjectPath>
#include <QDBusPendingCall>
#include <QDBusPendingCallWatcher>
#include <QDBusVariant>
#include <QList>
#include <QRandomGenerator>
#include <QVariantMap>

#include <utility>

using namespace Qt::StringLiterals;

namespace {

const QString portalService = u"org.freedesktop.portal.Desktop"_s;
const QString portalPath = u"/org/freedesktop/portal/desktop"_s;
const QString shortcutsInterface = u"org.freedesktop.portal.GlobalShortcuts"_s;
const QString requestInterface = u"org.freedesktop.portal.Request"_s;
const QString sessionInterface = u"org.freedesktop.portal.Session"_s;
const QString propertiesInterface = u"org.freedesktop.DBus.Properties"_s;

const QString toggleShortcutId = u"toggle-popup"_s;
const QString toggleDescription = u"Open or close Pinlark"_s;

// The portal's CreateSession answer comes at once; BindShortcuts may wait for the user to
// confirm the key in a dialog, so the wait is long enough for a person, not just a process.
constexpr std::chrono::milliseconds defaultResponseTimeout = std::chrono::minutes(2);

// One (id, properties) pair per shortcut: D-Bus a(sa{sv}).
using ShortcutList = QList<std::pair<QString, QVariantMap>>;

// What we ask for, in CreateSession and again in BindShortcuts.
ShortcutList wantedShortcuts(const QString &preferredTrigger)
{
    return {{toggleShortcutId,
             {{u"description"_s, toggleDescription}, {u"preferred_trigger"_s, preferredTrigger}}}};
}

// Request and session handles end in a token of ours. The portal asks for tokens that nobody
// else can guess, with a prefix that keeps them apart from other libraries' in the process.
QString newToken()
{
    return u"pinlark_"_s + QString::number(QRandomGenerator::system()->generate64(), 16);
}

// Why a call failed, in words the user can act on where the cause is plain: most desktops'
// portals lack GlobalShortcuts, and a bare window manager runs no portal at all.
QString callFailure(bool askingVersion, const QString &method, const QDBusError &error)
{
    if (error.type() == QDBusError::ServiceUnknown)
        return u"no desktop portal is running"_s;
    if (askingVersion)
        return u"the desktop's portal has no global shortcuts"_s;
    return method + u" failed with "_s + error.name();
}

bool isValidObjectPath(const QString &path)
{
    if (path == u"/")
        return true;
    if (!path.startsWith(u'/') || path.endsWith(u'/'))
        return false;
    const QList<QStringView> elements = QStringView(path).mid(1).split(u'/');
    for (const QStringView element : elements) {
        if (element.isEmpty())
            return false;
        for (const QChar c : element) {
            const char16_t u = c.unicode();
            const bool allowed = (u >= u'a' && u <= u'z') || (u >= u'A' && u <= u'Z') ||
                                 (u >= u'0' && u <= u'9') || u == u'_';
            if (!allowed)
                return false;
        }
    }
    return true;
}

// The session handle was first sent as a string, later portals may send it as an object path.
QString objectPathIn(const QVariant &value)
{
    QString path;
    if (value.metaType() == QMetaType::fromType<QDBusObjectPath>())
        path = qvariant_cast<QDBusObjectPath>(value).path();
    else if (value.metaType() == QMetaType::fromType<QString>())
        path = value.toString();
    return isValidObjectPath(path) ? path : QString();
}

} // namespace

PortalGlobalShortcut::PortalGlobalShortcut(QDBusConnection bus, QObject *parent)
    : GlobalShortcut(parent)
    , m_bus(std::move(bus))
{
    qDBusRegisterMetaType<ShortcutList::value_type>();
    qDBusRegisterMetaType<ShortcutList>();
    m_timeout.setSingleShot(true);
    m_timeout.setInterval(defaultResponseTimeout);
    connect(&m_timeout, &QTimer::timeout, this,
            [this] { fail(u"the desktop portal did not answer in time"_s); });
}

PortalGlobalShortcut::~PortalGlobalShortcut()
{
    closePortalObjects();
    unwatchActivations();
}

void PortalGlobalShortcut::start()
{
    if (m_state != State::Idle)
        return;
    setState(State::Starting);

    // A call on a bus that never connected is not answered, not even with an error; the
    // outcome still comes from the event loop, like every other one.
    if (!m_bus.isConnected()) {
        QMetaObject::invokeMethod(
            this, [this] { fail(u"no session bus"_s); }, Qt::QueuedConnection);
        return;
    }

    // Asking for the interface's version tells apart a portal that lacks GlobalShortcuts (as
    // many desktops' portals do) from one that has it, before anything is set up.
    m_step = Step::Version;
    m_timeout.start();
    QDBusMessage call = portalCall(portalPath, propertiesInterface, u"Get"_s);
    call << shortcutsInterface << u"version"_s;
    callPortal(call, &PortalGlobalShortcut::onVersionReply);
}

void PortalGlobalShortcut::setShortcut(const QString &sessionToken, const QString &preferredTrigger)
{
    if (m_state != State::Idle)
        return;
    m_sessionToken = sessionToken;
    m_preferredTrigger = preferredTrigger;
}

void PortalGlobalShortcut::setResponseTimeout(std::chrono::milliseconds timeout)
{
    m_timeout.setInterval(timeout);
    if (m_timeout.isActive())
        m_timeout.start();
}

void PortalGlobalShortcut::callPortal(const QDBusMessage &call, ReplyHandler onReply)
{
    // The watcher is our child: once we are gone, no reply reaches us.
    auto *watcher = new QDBusPendingCallWatcher(m_bus.asyncCall(call), this);
    const Step step = m_step;
    connect(watcher, &QDBusPendingCallWatcher::finished, this,
            [this, step, onReply, method = call.member()](QDBusPendingCallWatcher *finished) {
                finished->deleteLater();
                // A reply to a step already left behind: its Response came first, or the
                // handshake was given up.
                if (m_step != step)
                    return;
                if (finished->isError()) {
                    unwatchRequest(); // an error instead of a request: no request to close
                    fail(callFailure(step == Step::Version, method, finished->error()));
                    return;
                }
                (this->*onReply)(finished->reply());
            });
}

void PortalGlobalShortcut::onVersionReply(const QDBusMessage &reply)
{
    const QList<QVariant> arguments = reply.arguments();
    const QVariant value =
        arguments.isEmpty() ? QVariant() : qvariant_cast<QDBusVariant>(arguments.first()).variant();
    bool isNumber = false;
    const uint version = value.toUInt(&isNumber);
    if (!isNumber || version == 0) {
        fail(u"the desktop portal reports no usable GlobalShortcuts interface"_s);
        return;
    }
    // From here on only this process's signals count. Signals are matched by path alone and
    // their sender checked here: a match on a bus name makes QtDBus look up its owner with a
    // blocking call.
    m_portalOwner = reply.service();
    createSession();
}

void PortalGlobalShortcut::createSession()
{
    m_step = Step::CreateSession;
    m_timeout.start();
    const QString token = newToken();
    // The portal answers on a request object whose path we know in advance; listening before
    // the call leaves no gap for the answer to slip through.
    if (!watchRequest(requestPath(token)))
        return;
    QDBusMessage call = portalCall(portalPath, shortcutsInterface, u"CreateSession"_s);
    call << QVariantMap{{u"handle_token"_s, token},
                        {u"session_handle_token"_s, m_sessionToken},
                        {u"shortcuts"_s, QVariant::fromValue(wantedShortcuts(m_preferredTrigger))}};
    callPortal(call, &PortalGlobalShortcut::onRequestReply);
}

void PortalGlobalShortcut::bindShortcut()
{
    m_step = Step::BindShortcuts;
    m_timeout.start();
    const QString token = newToken();
    if (!watchRequest(requestPath(token)) || !watchActivations())
        return;
    QDBusMessage call = portalCall(portalPath, shortcutsInterface, u"BindShortcuts"_s);
    // No parent window: the request comes from the tray at start-up, with no window shown.
    call << QVariant::fromValue(QDBusObjectPath(m_sessionHandle))
         << QVariant::fromValue(wantedShortcuts(m_preferredTrigger)) << QString()
         << QVariantMap{{u"handle_token"_s, token}};
    callPortal(call, &PortalGlobalShortcut::onRequestReply);
}

void PortalGlobalShortcut::onRequestReply(const QDBusMessage &reply)
{
    const QList<QVariant> arguments = reply.arguments();
    const QString handle =
        arguments.isEmpty() ? QString() : qvariant_cast<QDBusObjectPath>(arguments.first()).path();
    if (handle.isEmpty()) {
        fail(u"the desktop portal returned no request"_s);
        return;
    }
    // Portals older than 0.9 choose their own request paths; their Response comes on the path
    // returned here.
    if (handle != m_requestPath)
        watchRequest(handle);
}

void PortalGlobalShortcut::onRequestResponse(const QDBusMessage &message)
{
    if (message.path() != m_requestPath || message.service() != m_portalOwner)
        return;
    const Step step = m_step;
    unwatchRequest(); // answered: nothing left to close

    if (message.signature() != u"ua{sv}") {
        fail(u"the desktop portal answered in an unknown form"_s);
        return;
    }
    const QList<QVariant> arguments = message.arguments();
    const uint response = arguments.at(0).toUInt();
    if (response == 1) {
        fail(u"the request was cancelled or turned down"_s);
        return;
    }
    if (response != 0) {
        fail(u"the desktop portal could not complete the request (response "_s +
             QString::number(response) + u')');
        return;
    }
    const auto results = qdbus_cast<QVariantMap>(arguments.at(1));
    if (step == Step::CreateSession)
        sessionCreated(results);
    else if (step == Step::BindShortcuts)
        shortcutBound(results);
}

void PortalGlobalShortcut::sessionCreated(const QVariantMap &results)
{
    m_sessionHandle = objectPathIn(results.value(u"session_handle"_s));
    if (m_sessionHandle.isEmpty()) {
        fail(u"the desktop portal made no shortcut session"_s);
        return;
    }
    bindShortcut();
}

void PortalGlobalShortcut::shortcutBound(const QVariantMap &results)
{
    // The portal lists the shortcuts it bound, each with the key that triggers it. Ours missing
    // means the user turned it down; ours without a key means the desktop could not give it one
    // (another shortcut holds the key): either way no press will ever come.
    QString trigger;
    bool listed = false;
    const QVariant shortcuts = results.value(u"shortcuts"_s);
    if (shortcuts.metaType() == QMetaType::fromType<QDBusArgument>()) {
        const auto argument = qvariant_cast<QDBusArgument>(shortcuts);
        if (argument.currentSignature() == u"a(sa{sv})") {
            for (const auto &[id, properties] : qdbus_cast<ShortcutList>(argument)) {
                if (id != toggleShortcutId)
                    continue;
                listed = true;
                trigger = properties.value(u"trigger_description"_s).toString().trimmed();
            }
        }
    }
    if (!listed) {
        fail(u"the desktop portal did not bind the shortcut"_s);
        return;
    }
    if (trigger.isEmpty()) {
        fail(u"the desktop gave the shortcut no key; another shortcut may hold Alt+Space"_s);
        return;
    }
    m_trigger = trigger;
    m_step = Step::Done;
    m_timeout.stop();
    setState(State::Active);
}

void PortalGlobalShortcut::onShortcutActivated(const QDBusMessage &message)
{
    if (m_state != State::Active || message.service() != m_portalOwner ||
        message.signature() != u"osta{sv}")
        return;
    const QList<QVariant> arguments = message.arguments();
    if (qvariant_cast<QDBusObjectPath>(arguments.at(0)).path() == m_sessionHandle &&
        arguments.at(1).toString() == toggleShortcutId)
        emit activated();
}

bool PortalGlobalShortcut::watchRequest(const QString &path)
{
    unwatchRequest();
    // QDBusConnection::connect has no overload that takes a member function.
    if (!m_bus.connect(QString(), path, requestInterface, u"Response"_s, this,
                       SLOT(onRequestResponse(QDBusMessage)))) {
        fail(u"cannot listen for the desktop portal's answer"_s);
        return false;
    }
    m_requestPath = path;
    return true;
}

void PortalGlobalShortcut::unwatchRequest()
{
    if (m_requestPath.isEmpty())
        return;
    m_bus.disconnect(QString(), m_requestPath, requestInterface, u"Response"_s, this,
                     SLOT(onRequestResponse(QDBusMessage)));
    m_requestPath.clear();
}

bool PortalGlobalShortcut::watchActivations()
{
    if (m_watchingActivations)
        return true;
    m_watchingActivations = m_bus.connect(QString(), portalPath, shortcutsInterface, u"Activated"_s,
                                          this, SLOT(onShortcutActivated(QDBusMessage)));
    if (!m_watchingActivations)
        fail(u"cannot listen for the shortcut"_s);
    return m_watchingActivations;
}

void PortalGlobalShortcut::unwatchActivations()
{
    if (!m_watchingActivations)
        return;
    m_bus.disconnect(QString(), portalPath, shortcutsInterface, u"Activated"_s, this,
                     SLOT(onShortcutActivated(QDBusMessage)));
    m_watchingActivations = false;
}

void PortalGlobalShortcut::fail(const QString &reason)
{
    if (m_state == State::Unavailable)
        return;
    m_step = Step::Done;
    m_timeout.stop();
    closePortalObjects();
    unwatchActivations();
    // The app tells the user, once, whichever way the shortcut was lost.
    m_failureReason = reason;
    setState(State::Unavailable);
}

void PortalGlobalShortcut::closePortalObjects()
{
    // Sent without waiting for a reply: nothing here may hold up the caller, and there is
    // nothing left to do should the portal refuse.
    if (!m_requestPath.isEmpty()) {
        m_bus.send(portalCall(m_requestPath, requestInterface, u"Close"_s));
        unwatchRequest();
    }
    if (!m_sessionHandle.isEmpty()) {
        m_bus.send(portalCall(m_sessionHandle, sessionInterface, u"Close"_s));
        m_sessionHandle.clear();
    }
}

void PortalGlobalShortcut::setState(State state)
{
    if (m_state == state)
        return;
    m_state = state;
    emit stateChanged(state);
}

QString PortalGlobalShortcut::requestPath(const QString &token) const
{
    // The portal names a request after its caller: the unique name without its ':', every '.'
    // made '_', then the caller's token.
    QString sender = m_bus.baseService().mid(1);
    sender.replace(u'.', u'_');
    return portalPath + u"/request/"_s + sender + u'/' + token;
}

QDBusMessage PortalGlobalShortcut::portalCall(const QString &path, const QString &interface,
                                              const QString &method) const
{
    // Once known, the portal's unique name: a restarted portal knows nothing of our session.
    return QDBusMessage::createMethodCall(m_portalOwner.isEmpty() ? portalService : m_portalOwner,
                                          path, interface, method);
}
