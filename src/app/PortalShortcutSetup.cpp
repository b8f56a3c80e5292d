#include "app/PortalShortcutSetup.h"

#include "app/ShortcutKeys.h"

#include <QTimer>

#include <utility>

using namespace Qt::StringLiterals;

PortalShortcutSetup::PortalShortcutSetup(QDBusConnection bus, Bound bound, QObject *parent)
    : QObject(parent)
    , m_bus(std::move(bus))
    , m_bound(std::move(bound))
{}

PortalShortcutSetup::~PortalShortcutSetup() = default;

QStringList PortalShortcutSetup::triggers()
{
    // The same combinations as on the other desktops, from "ctrl+alt+space" to the portal's
    // xkbcommon names.
    QStringList triggers;
    for (const QString &candidate : ShortcutKeys::candidates()) {
        QStringList parts = ShortcutKeys::normalized(candidate).split(u'+');
        const QString key = parts.takeLast();
        for (QString &modifier : parts)
            modifier = modifier == u"super" ? u"LOGO"_s : modifier.toUpper();
        parts.append(key);
        triggers.append(parts.join(u'+'));
    }
    return triggers;
}

QString PortalShortcutSetup::sessionToken(const QString &preferredTrigger)
{
    if (preferredTrigger == QString::fromUtf16(PortalGlobalShortcut::defaultTrigger))
        return QString::fromUtf16(PortalGlobalShortcut::defaultSessionToken);
    QString token = QString::fromUtf16(PortalGlobalShortcut::defaultSessionToken) + u'_' +
                    preferredTrigger.toLower();
    token.replace(u'+', u'_');
    return token;
}

void PortalShortcutSetup::setUp(Completion done)
{
    if (m_done) {
        QTimer::singleShot(
            0, this, [done] { done(Result<QString>::failure(u"a setup is already under way"_s)); });
        return;
    }
    m_done = std::move(done);
    m_left = triggers();
    m_lastReason.clear();
    tryNext();
}

void PortalShortcutSetup::tryNext()
{
    if (m_left.isEmpty()) {
        finish(Result<QString>::failure(m_lastReason.isEmpty()
                                            ? u"the desktop gave none of the keys Pinlark offers"_s
                                            : m_lastReason));
        return;
    }
    const QString trigger = m_left.takeFirst();
    m_attempt = std::make_unique<PortalGlobalShortcut>(m_bus);
    m_attempt->setShortcut(sessionToken(trigger), trigger);
    if (m_timeout.count() > 0)
        m_attempt->setResponseTimeout(m_timeout);
    connect(m_attempt.get(), &PortalGlobalShortcut::stateChanged, this,
            [this, trigger](PortalGlobalShortcut::State state) {
                if (state == PortalGlobalShortcut::State::Active) {
                    std::unique_ptr<PortalGlobalShortcut> shortcut = std::move(m_attempt);
                    shortcut->disconnect(this);
                    const QString keys = shortcut->trigger();
                    m_bound(std::move(shortcut), trigger);
                    finish(keys);
                } else if (state == PortalGlobalShortcut::State::Unavailable) {
                    m_lastReason = m_attempt->failureReason();
                    // Not from inside the shortcut's own signal: it is deleted here.
                    QTimer::singleShot(0, this, [this] {
                        m_attempt.reset();
                        tryNext();
                    });
                }
            });
    m_attempt->start();
}

void PortalShortcutSetup::finish(const Result<QString> &keys)
{
    Completion done = std::exchange(m_done, nullptr);
    if (done)
        done(keys);
}
