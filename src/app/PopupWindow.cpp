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

namespace {

enum class Side { Below, Above, Right, Left };

// The free part of the screen on one side of the icon, where the popup may go.
struct Room
{
    Side side;
    QRect area;
};

// The rectangle from (left, top) to (right, bottom), both ends exclusive; empty when they cross.
QRect spanning(int left, int top, int right, int bottom)
{
    return {left, top, qMax(0, right - left), qMax(0, bottom - top)};
}

bool holds(QSize room, QSize size)
{
    return room.width() >= size.width() && room.height() >= size.height();
}

} // namespace

QRect PopupWindow::placement(const QRect &anchor, QSize preferred, QSize minimum,
                             const QRect &available)
{
    // x + width / 2 rather than QRect::center(), which rounds an even width down.
    const int middleX = anchor.x() + anchor.width() / 2;
    const int middleY = anchor.y() + anchor.height() / 2;
    const int anchorRight = anchor.x() + anchor.width();
    const int anchorBottom = anchor.y() + anchor.height();
    if (available.isEmpty())
        return {QPoint(middleX - preferred.width() / 2, anchorBottom + anchorGap), preferred};

    const int left = available.x();
    const int top = available.y();
    const int right = left + available.width();
    const int bottom = top + available.height();
    // A panel's icon usually lies outside the free area (the panel reserves its strip), and
    // then the room on its side is the whole free area.
    const Room rooms[] = {
        {Side::Below, spanning(left, qMax(top, anchorBottom + anchorGap), right, bottom)},
        {Side::Above, spanning(left, top, right, qMin(bottom, anchor.y() - anchorGap))},
        {Side::Right, spanning(qMax(left, anchorRight + anchorGap), top, right, bottom)},
        {Side::Left, spanning(left, top, qMin(right, anchor.x() - anchorGap), bottom)},
    };

    const Room *chosen = nullptr;
    for (const QSize wanted : {preferred, minimum.boundedTo(preferred)}) {
        for (const Room &room : rooms) {
            if (holds(room.area.size(), wanted)) {
                chosen = &room;
                break;
            }
        }
        if (chosen)
            break;
    }
    if (!chosen) {
        // Too small a screen for what the content needs: the largest popup that fits whole.
        qint64 largest = -1;
        for (const Room &room : rooms) {
            const QSize fits = preferred.boundedTo(room.area.size());
            const qint64 area = qint64(fits.width()) * fits.height();
            if (area > largest) {
                largest = area;
                chosen = &room;
            }
        }
    }

    const QRect &area = chosen->area;
    const QSize size = preferred.boundedTo(area.size());
    const auto within = [](int wanted, int low, int length, int extent) {
        return qBound(low, wanted, qMax(low, low + extent - length));
    };
    QPoint place;
    switch (chosen->side) {
    case Side::Below:
    case Side::Above:
        place.setX(within(middleX - size.width() / 2, area.x(), size.width(), area.width()));
        place.setY(chosen->side == Side::Below ? area.y()
                                               : area.y() + area.height() - size.height());
        break;
    case Side::Right:
    case Side::Left:
        place.setX(chosen->side == Side::Right ? area.x() : area.x() + area.width() - size.width());
        place.setY(within(middleY - size.height() / 2, area.y(), size.height(), area.height()));
        break;
    }
    return {place, size};
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
    // The content may be narrowed where the screen is narrower than the popup, never below
    // the popup's width otherwise; its height may shrink to what its layout needs, the
    // editor giving up the difference.
    QSize minimum = contentSize;
    if (m_content)
        minimum.setHeight(qMin(contentSize.height(), m_content->minimumSizeHint().height()));
    const QRect place = placement(anchor, contentSize, minimum, availableAround(anchor.center()));
    setFixedSize(place.size());
    if (m_content)
        m_content->setFixedWidth(place.width());
    move(place.topLeft());
    keepOutOfTaskbar(this);
    show();
    activate();
}

void PopupWindow::activate()
{
    raise();
    activateWindow();
    // Where the platform never took the focus away from the hidden window (the offscreen
    // platform does this), asking again changes nothing and Qt would leave the widgets
    // without an active window: no focus, no caret.
    if (QGuiApplication::focusWindow() == windowHandle() && !isActiveWindow())
        QApplication::setActiveWindow(this);
}

void PopupWindow::adoptDialog(QWidget *dialog)
{
    // With the popup as its parent, Qt names the popup the dialog's transient parent
    // (WM_TRANSIENT_FOR on X11), so window managers stack the dialog over it; the popup is
    // above other windows, and a window manager that keeps such windows in a layer of their
    // own (openbox) would still cover the dialog unless it is above others too.
    const Qt::WindowFlags hints = dialog->windowFlags() & ~Qt::WindowType_Mask;
    dialog->setParent(this, hints | Qt::Dialog | Qt::WindowStaysOnTopHint);
    // A dialog deleted while shown is hidden first, so the filter sees every way it goes.
    dialog->installEventFilter(this);
}

bool PopupWindow::eventFilter(QObject *watched, QEvent *event)
{
    // Closing a window gives the X focus to its parent in the window tree, the root window,
    // or to the window manager, not to the window it belonged to: without this the next keys
    // went nowhere. Queued, so that the dialog's window is gone first.
    if (event->type() == QEvent::Hide && watched->isWidgetType() && watched->parent() == this)
        QTimer::singleShot(0, this, &PopupWindow::takeKeyboardBack);
    return QWidget::eventFilter(watched, event);
}

void PopupWindow::takeKeyboardBack()
{
    if (!isVisible())
        return;
    // Another of its dialogs is still up and keeps the keyboard.
    for (QObject *child : children()) {
        const auto *window = qobject_cast<QWidget *>(child);
        if (window && window->isWindow() && window->isVisible())
            return;
    }
    activate();
    emit keyboardReturned();
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
