#include "app/PopupWindow.h"

#include "ui/CardStyle.h"

#include <QApplication>
#include <QGuiApplication>
#include <QRegion>
#include <QScreen>
#include <QTimer>
#include <QVBoxLayout>

#include <cstring>
#include <iterator>
#include <xcb/xcb.h>

using namespace Qt::StringLiterals;

namespace {

// Qt's own X connection, or none on another platform (Wayland, offscreen).
xcb_connection_t *x11Connection()
{
    if (QGuiApplication::platformName() != u"xcb")
        return nullptr;
    const auto *x11 = qGuiApp->nativeInterface<QNativeInterface::QX11Application>();
    return x11 ? x11->connection() : nullptr;
}

xcb_atom_t internAtom(xcb_connection_t *connection, const char *name)
{
    const auto cookie =
        xcb_intern_atom(connection, 0, static_cast<uint16_t>(std::strlen(name)), name);
    xcb_intern_atom_reply_t *reply = xcb_intern_atom_reply(connection, cookie, nullptr);
    const xcb_atom_t atom = reply ? reply->atom : XCB_NONE;
    free(reply);
    return atom;
}

// Without a compositing manager a translucent window shows black where it is transparent, so
// there the window is cut to the card's outline instead (with hard edges at the corners).
bool desktopComposites()
{
    // Wayland compositors always composite; the offscreen platform draws into images.
    if (QGuiApplication::platformName() != u"xcb")
        return true;
    xcb_connection_t *connection = x11Connection();
    if (!connection)
        return false;
    // The manager of screen 0 owns this selection; Qt shows its windows on the default screen.
    const xcb_atom_t manager = internAtom(connection, "_NET_WM_CM_S0");
    if (manager == XCB_NONE)
        return false;
    xcb_get_selection_owner_reply_t *owner = xcb_get_selection_owner_reply(
        connection, xcb_get_selection_owner(connection, manager), nullptr);
    const bool composited = owner && owner->owner != XCB_NONE;
    free(owner);
    return composited;
}

// Qt gives a tool window the utility type, which not every taskbar and window switcher
// leaves out; these states say it plainly. The window manager drops them whenever the window
// is hidden, and Qt keeps states it finds on a window it maps, so they are set before every
// show.
void keepOutOfTaskbar(QWidget *window)
{
    xcb_connection_t *connection = x11Connection();
    if (!connection)
        return;
    static const xcb_atom_t state = internAtom(connection, "_NET_WM_STATE");
    static const xcb_atom_t skips[] = {internAtom(connection, "_NET_WM_STATE_SKIP_TASKBAR"),
                                       internAtom(connection, "_NET_WM_STATE_SKIP_PAGER")};
    const auto id = static_cast<xcb_window_t>(window->winId());
    xcb_change_property(connection, XCB_PROP_MODE_REPLACE, id, state, XCB_ATOM_ATOM, 32,
                        std::size(skips), skips);
}

} // namespace

PopupWindow::PopupWindow(QWidget *parent)
    : QWidget(parent, Qt::Tool | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint)
{
    setWindowTitle(u"Pinlark"_s);
    setFixedSize(contentSize);
    m_translucent = desktopComposites();
    if (m_translucent)
        setAttribute(Qt::WA_TranslucentBackground);
    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
}

void PopupWindow::setContent(QWidget *content)
{
    if (m_content)
        delete m_content;
    m_content = content;
    if (content)
        layout()->addWidget(content);
}

QPoint PopupWindow::placement(const QRect &anchor, QSize size, const QRect &available)
{
    // x + width / 2 rather than QRect::center(), which rounds an even width down.
    QPoint place(anchor.x() + anchor.width() / 2 - size.width() / 2,
                 anchor.y() + anchor.height() + anchorGap);
    if (available.isEmpty())
        return place;
    const int bottom = available.y() + available.height();
    if (place.y() + size.height() > bottom) {
        const int above = anchor.y() - anchorGap - size.height();
        // A panel at the bottom of the screen: hang the popup over the icon instead.
        if (above >= available.y())
            place.setY(above);
    }
    place.setX(qBound(available.x(), place.x(),
                      qMax(available.x(), available.x() + available.width() - size.width())));
    place.setY(qBound(available.y(), place.y(), qMax(available.y(), bottom - size.height())));
    return place;
}

QRect PopupWindow::availableAround(QPoint point)
{
    QScreen *screen = QGuiApplication::screenAt(point);
    if (!screen)
        screen = QGuiApplication::primaryScreen();
    return screen ? screen->availableGeometry() : QRect();
}

void PopupWindow::openAt(const QRect &anchor)
{
    move(placement(anchor, size(), availableAround(anchor.center())));
    keepOutOfTaskbar(this);
    show();
    raise();
    activateWindow();
    // Where the platform never took the focus away from the hidden window (the offscreen
    // platform does this), asking again changes nothing and Qt would leave the widgets
    // without an active window: no focus, no caret.
    if (QGuiApplication::focusWindow() == windowHandle() && !isActiveWindow())
        QApplication::setActiveWindow(this);
}

bool PopupWindow::event(QEvent *event)
{
    switch (event->type()) {
    case QEvent::WindowDeactivate:
        if (isVisible()) {
            // Where the focus went is known only once the activation has settled. By then
            // the popup may have been closed and opened again, and is not to be touched.
            QTimer::singleShot(0, this, [this, showing = m_showing] {
                if (showing == m_showing)
                    closeIfFocusLeftApp();
            });
        }
        break;
    case QEvent::Hide:
        ++m_showing;
        break;
    default:
        break;
    }
    return QWidget::event(event);
}

void PopupWindow::closeIfFocusLeftApp()
{
    if (!isVisible() || isActiveWindow())
        return;
    // The actions menu, or a dialog we opened from the card.
    if (QApplication::activePopupWidget() || QApplication::activeWindow())
        return;
    hide();
    emit closedByDeactivation();
}

void PopupWindow::resizeEvent(QResizeEvent *event)
{
    QWidget::resizeEvent(event);
    updateShape();
}

void PopupWindow::updateShape()
{
    if (m_translucent)
        return;
    const QPainterPath outline = CardStyle::cardShape(QRectF(rect()));
    setMask(QRegion(outline.toFillPolygon().toPolygon()));
}
