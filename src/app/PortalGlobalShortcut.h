#pragma once

#include "app/GlobalShortcut.h"

#include <QDBusConnection>
#include <QString>
#include <QTimer>
#include <QVariantMap>

#include <chrono>

class QDBusMessage;

// Alt+Space through the desktop portal's GlobalShortcuts interface: on Wayland, the one way an
// application hears a key pressed while another one has the keyboard, and on X11 the way past a
// desktop (KDE's) whose own shortcut daemon holds the key. The handshake (is the interface
// there, a session, the shortcut bound to it) runs entirely on asynchronous D-Bus calls, so
// start() returns at once and start-up never waits on the portal or on the user answering its
// dialog.
//
// Portals of both generations bind: the shortcut goes in CreateSession's options (where KDE's
// 5.27 backend reads it) and in BindShortcuts. The session token is the same at every start,
// because a backend keeps its shortcut under it: a new token would make a new, keyless
// shortcut each run, and the key the user confirmed or chose would be lost. The shortcut counts
// as bound only when the portal's answer lists it with the key that triggers it.
class PortalGlobalShortcut final : public GlobalShortcut
{
    Q_OBJECT

public:
    enum class State {
        Idle,        // start() not called yet
        Starting,    // the handshake with the portal is under way
        Active,      // the shortcut is bound; presses arrive as activated()
        Unavailable, // no portal, no interface, an error, a refusal or a time-out: for good
    };
    Q_ENUM(State)

    // `bus`: where the portal is asked; the app passes the session bus.
    explicit PortalGlobalShortcut(QDBusConnection bus, QObject *parent = nullptr);
    // Closes the portal session if one was made, and a request still waiting for the user,
    // without waiting for either answer.
    ~PortalGlobalShortcut() override;
    Q_DISABLE_COPY_MOVE(PortalGlobalShortcut)

    // Begins the handshake; only the first call does anything. Returns at once, in Starting:
    // Active or Unavailable follows as stateChanged() from the event loop.
    void start();

    // The shortcut's identity and the key asked for, before start(). The token must stay the
    // same from run to run (the desktop keeps the key under it), and be a valid object path
    // element. The trigger is in the portal's notation: xkbcommon modifier names (CTRL, ALT,
    // SHIFT, LOGO) and one keysym name, joined by '+'.
    static constexpr char16_t defaultSessionToken[] = u"pinlark_toggle";
    static constexpr char16_t defaultTrigger[] = u"ALT+space";
    void setShortcut(const QString &sessionToken, const QString &preferredTrigger);

    [[nodiscard]] State state() const { return m_state; }

    // How long each step of the handshake may wait for the portal before the shortcut is given
    // up as unavailable. Applies to the step under way as well, restarting its wait.
    void setResponseTimeout(std::chrono::milliseconds timeout);

    // Once Active: the key the portal says triggers the shortcut, in its own words ("Alt+Space",
    // or whatever the user chose in the desktop's settings).
    [[nodiscard]] QString trigger() const { return m_trigger; }
    // Once Unavailable: why, in a few words that fit in a sentence.
    [[nodiscard]] QString failureReason() const { return m_failureReason; }

signals:
    void stateChanged(PortalGlobalShortcut::State state);

private Q_SLOTS:
    // QDBusConnection::connect takes a slot by name; these two are its receivers.
    void onRequestResponse(const QDBusMessage &message);
    void onShortcutActivated(const QDBusMessage &message);

private:
    enum class Step { None, Version, CreateSession, BindShortcuts, Done };
    using ReplyHandler = void (PortalGlobalShortcut::*)(const QDBusMessage &);

    void callPortal(const QDBusMessage &call, ReplyHandler onReply);
    void onVersionReply(const QDBusMessage &reply);
    void onRequestReply(const QDBusMessage &reply);
    void createSession();
    void bindShortcut();
    void sessionCreated(const QVariantMap &results);
    void shortcutBound(const QVariantMap &results);

    // Both give the shortcut up as unavailable when QtDBus cannot add the match.
    bool watchRequest(const QString &path);
    void unwatchRequest();
    bool watchActivations();
    void unwatchActivations();
    void fail(const QString &reason);
    void closePortalObjects();
    void setState(State state);

    [[nodiscard]] QString requestPath(const QString &token) const;
    [[nodiscard]] QDBusMessage portalCall(const QString &path, const QString &interface,
                                          const QString &method) const;

    QDBusConnection m_bus;
    QTimer m_timeout;
    State m_state = State::Idle;
    Step m_step = Step::None;
    QString m_portalOwner;   // the portal's unique name: only its signals count
    QString m_requestPath;   // the request whose Response we wait for; empty when none
    QString m_sessionHandle; // empty until the portal made the session
    QString m_sessionToken = QString::fromUtf16(defaultSessionToken);
    QString m_preferredTrigger = QString::fromUtf16(defaultTrigger);
    QString m_trigger;
    QString m_failureReason;
    bool m_watchingActivations = false;
};
