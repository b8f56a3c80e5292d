#include "app/TrayHostWatcher.h"

#include <QByteArray>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDBusServiceWatcher>
#include <QDBusVariant>
#include <QSocketNotifier>

#include <cstdlib>
#include <xcb/xcb.h>
#include <xcb/xcbext.h>

using namespace Qt::StringLiterals;

namespace {

const QString watcherService = u"org.kde.StatusNotifierWatcher"_s;
const QString watcherPath = u"/StatusNotifierWatcher"_s;
const QString watcherInterface = u"org.kde.StatusNotifierWatcher"_s;

// Takes whatever xcb_poll_for_reply handed over for one request. Returns false while the
// answer has not come; `reply` is null afterwards when the request failed.
template<typename Reply>
bool takeReply(xcb_connection_t *connection, unsigned int request, Reply *&reply)
{
    void *answer = nullptr;
    xcb_generic_error_t *error = nullptr;
    if (!xcb_poll_for_reply(connection, request, &answer, &error))
        return false;
    std::free(error);
    reply = static_cast<Reply *>(answer);
    return true;
}

} // namespace

TrayHostWatcher::TrayHostWatcher(const QDBusConnection &bus, bool watchX11, QObject *parent)
    : QObject(parent)
    , m_bus(bus)
    , m_watchX11(watchX11)
{}

TrayHostWatcher::~TrayHostWatcher()
{
    stopX11();
}

void TrayHostWatcher::start()
{
    if (m_bus.isConnected()) {
        // A panel's watcher comes first and its host registers with it, sometimes later.
        m_serviceWatcher = new QDBusServiceWatcher(watcherService, m_bus,
                                                   QDBusServiceWatcher::WatchForRegistration, this);
        connect(m_serviceWatcher, &QDBusServiceWatcher::serviceRegistered, this,
                &TrayHostWatcher::askStatusNotifierHost);
        // From any sender: the watcher's well-known name may change hands in between.
        m_bus.connect(QString(), watcherPath, watcherInterface, u"StatusNotifierHostRegistered"_s,
                      this, SLOT(askStatusNotifierHost()));
        askStatusNotifierHost();
    }
    if (m_watchX11)
        startX11();
}

void TrayHostWatcher::askStatusNotifierHost()
{
    if (m_present)
        return;
    QDBusMessage get = QDBusMessage::createMethodCall(
        watcherService, watcherPath, u"org.freedesktop.DBus.Properties"_s, u"Get"_s);
    get << watcherInterface << u"IsStatusNotifierHostRegistered"_s;
    // Where no panel runs, nothing is started to answer: Qt does not ask a missing one either.
    get.setAutoStartService(false);
    auto *call = new QDBusPendingCallWatcher(m_bus.asyncCall(get), this);
    connect(call, &QDBusPendingCallWatcher::finished, this, [this](QDBusPendingCallWatcher *done) {
        done->deleteLater();
        const QDBusPendingReply<QDBusVariant> reply = *done;
        if (!reply.isError() && reply.value().variant().toBool())
            report();
    });
}

void TrayHostWatcher::startX11()
{
    int screenNumber = 0;
    m_x11 = xcb_connect(nullptr, &screenNumber);
    if (xcb_connection_has_error(m_x11)) {
        stopX11();
        return;
    }
    xcb_screen_iterator_t screens = xcb_setup_roots_iterator(xcb_get_setup(m_x11));
    for (int index = 0; index < screenNumber && screens.rem > 0; ++index)
        xcb_screen_next(&screens);
    if (screens.rem == 0) {
        stopX11();
        return;
    }
    m_x11Root = screens.data->root;

    // A tray that takes the selection later announces it with a MANAGER client message to
    // the root window, sent to the clients that select its structure events. Selected before
    // the owner is asked, so a tray arriving in between is seen one way or the other.
    const std::uint32_t mask = XCB_EVENT_MASK_STRUCTURE_NOTIFY;
    xcb_change_window_attributes(m_x11, m_x11Root, XCB_CW_EVENT_MASK, &mask);
    const QByteArray selection = "_NET_SYSTEM_TRAY_S" + QByteArray::number(screenNumber);
    m_selectionAtomRequest =
        xcb_intern_atom(m_x11, 0, std::uint16_t(selection.size()), selection.constData()).sequence;
    m_managerAtomRequest = xcb_intern_atom(m_x11, 0, 7, "MANAGER").sequence;
    xcb_flush(m_x11);

    m_x11Notifier =
        new QSocketNotifier(xcb_get_file_descriptor(m_x11), QSocketNotifier::Read, this);
    connect(m_x11Notifier, &QSocketNotifier::activated, this, &TrayHostWatcher::readX11);
    readX11();
}

void TrayHostWatcher::readX11()
{
    // xcb reads everything the socket holds at each poll: keep going until a round brings
    // nothing new, or what was read would wait for the socket's next data.
    bool progressed = true;
    while (m_x11 && progressed) {
        progressed = false;
        if (xcb_connection_has_error(m_x11)) {
            stopX11();
            return;
        }
        while (xcb_generic_event_t *event = xcb_poll_for_event(m_x11)) {
            progressed = true;
            bool trayArrived = false;
            if ((event->response_type & 0x7f) == XCB_CLIENT_MESSAGE) {
                const auto *message = reinterpret_cast<xcb_client_message_event_t *>(event);
                // Before the atoms are known a message cannot be read, but the owner is
                // asked after they are.
                trayArrived = m_managerAtom != XCB_NONE && message->type == m_managerAtom &&
                              message->format == 32 && message->data.data32[1] == m_selectionAtom;
            }
            std::free(event);
            if (trayArrived) {
                report();
                return;
            }
        }
        handleX11Replies(progressed);
    }
}

void TrayHostWatcher::handleX11Replies(bool &progressed)
{
    if (m_selectionAtomRequest != 0 || m_managerAtomRequest != 0) {
        xcb_intern_atom_reply_t *reply = nullptr;
        if (m_selectionAtomRequest != 0 && takeReply(m_x11, m_selectionAtomRequest, reply)) {
            m_selectionAtomRequest = 0;
            m_selectionAtom = reply ? reply->atom : XCB_NONE;
            std::free(reply);
            progressed = true;
        }
        if (m_managerAtomRequest != 0 && takeReply(m_x11, m_managerAtomRequest, reply)) {
            m_managerAtomRequest = 0;
            m_managerAtom = reply ? reply->atom : XCB_NONE;
            std::free(reply);
            progressed = true;
        }
        if (m_selectionAtomRequest == 0 && m_managerAtomRequest == 0) {
            if (m_selectionAtom == XCB_NONE || m_managerAtom == XCB_NONE) {
                stopX11();
                return;
            }
            m_ownerRequest = xcb_get_selection_owner(m_x11, m_selectionAtom).sequence;
            xcb_flush(m_x11);
        }
        return;
    }
    xcb_get_selection_owner_reply_t *owner = nullptr;
    if (m_ownerRequest != 0 && takeReply(m_x11, m_ownerRequest, owner)) {
        m_ownerRequest = 0;
        progressed = true;
        const bool owned = owner && owner->owner != XCB_NONE;
        std::free(owner);
        if (owned)
            report();
    }
}

void TrayHostWatcher::stopX11()
{
    // Often called from the notifier's own signal.
    if (m_x11Notifier) {
        m_x11Notifier->setEnabled(false);
        m_x11Notifier->deleteLater();
    }
    m_x11Notifier = nullptr;
    if (m_x11)
        xcb_disconnect(m_x11);
    m_x11 = nullptr;
    m_selectionAtomRequest = m_managerAtomRequest = m_ownerRequest = 0;
}

void TrayHostWatcher::report()
{
    if (m_present)
        return;
    m_present = true;
    if (m_serviceWatcher)
        m_serviceWatcher->deleteLater();
    m_bus.disconnect(QString(), watcherPath, watcherInterface, u"StatusNotifierHostRegistered"_s,
                     this, SLOT(askStatusNotifierHost()));
    stopX11();
    emit trayAppeared();
}
