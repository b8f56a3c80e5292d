#include "app/LocalKeyMonitor.h"

#include <QApplication>
#include <QKeyEvent>
#include <QWidget>

LocalKeyMonitor::LocalKeyMonitor(QWidget *window, std::function<void()> onEscape,
                                 std::function<void()> onAltSpace, QObject *parent)
    : QObject(parent)
    , m_window(window)
    , m_onEscape(std::move(onEscape))
    , m_onAltSpace(std::move(onAltSpace))
{
    qApp->installEventFilter(this);
}

LocalKeyMonitor::~LocalKeyMonitor()
{
    if (qApp)
        qApp->removeEventFilter(this);
}

LocalKeyMonitor::Claim LocalKeyMonitor::claimOf(const QKeyEvent &event)
{
    if (event.key() == Qt::Key_Escape)
        return Claim::Escape;
    if (event.key() == Qt::Key_Space && event.modifiers().testFlag(Qt::AltModifier))
        return Claim::AltSpace;
    return Claim::None;
}

bool LocalKeyMonitor::eventFilter(QObject *watched, QEvent *event)
{
    const QEvent::Type type = event->type();
    if (type != QEvent::KeyPress && type != QEvent::ShortcutOverride)
        return false;
    auto *target = qobject_cast<QWidget *>(watched);
    if (!target || target->window() != m_window)
        return false;
    auto *key = static_cast<QKeyEvent *>(event);
    const Claim claim = claimOf(*key);
    if (claim == Claim::None)
        return false;
    // Answering the override keeps a shortcut of the card view from taking the key; the key
    // press that follows is then ours.
    if (type == QEvent::ShortcutOverride) {
        event->accept();
        return true;
    }
    if (claim == Claim::Escape) {
        if (m_onEscape)
            m_onEscape();
    } else if (!key->isAutoRepeat() && m_onAltSpace) {
        // Holding the keys down would open and close the popup over and over.
        m_onAltSpace();
    }
    return true;
}
