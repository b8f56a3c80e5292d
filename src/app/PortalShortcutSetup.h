#pragma once

#include "app/PortalGlobalShortcut.h"
#include "store/ShortcutSetup.h"

#include <QDBusConnection>
#include <QObject>
#include <QString>
#include <QStringList>

#include <functional>
#include <memory>

// Another key for Pinlark through the desktop portal's GlobalShortcuts, where the desktop's
// own shortcut daemon keeps its shortcuts behind the portal (KDE Plasma). The desktop gives a
// key per shortcut component, and a component is named after the session token: each
// combination Pinlark offers is asked for under a token of its own, best first, until the
// desktop binds one. The bound shortcut is live at once; `bound` hands it to the app, which
// keeps it and remembers its trigger, so that the next start asks for the same component.
class PortalShortcutSetup final : public QObject, public ShortcutSetup
{
    Q_OBJECT

public:
    // The shortcut that works now, and the portal trigger to ask for at the next start.
    using Bound = std::function<void(std::unique_ptr<PortalGlobalShortcut> shortcut,
                                     const QString &preferredTrigger)>;

    PortalShortcutSetup(QDBusConnection bus, Bound bound, QObject *parent = nullptr);
    ~PortalShortcutSetup() override;
    Q_DISABLE_COPY_MOVE(PortalShortcutSetup)

    void setUp(Completion done) override;

    // The combinations offered, in the portal's notation ("CTRL+ALT+space"), best first.
    [[nodiscard]] static QStringList triggers();
    // The session token that goes with a trigger: one component per combination.
    [[nodiscard]] static QString sessionToken(const QString &preferredTrigger);

    // How long each attempt may wait for the portal.
    void setResponseTimeout(std::chrono::milliseconds timeout) { m_timeout = timeout; }

private:
    void tryNext();
    void finish(const Result<QString> &keys);

    QDBusConnection m_bus;
    Bound m_bound;
    Completion m_done;
    QStringList m_left;
    QString m_lastReason;
    std::unique_ptr<PortalGlobalShortcut> m_attempt;
    std::chrono::milliseconds m_timeout{0};
};
