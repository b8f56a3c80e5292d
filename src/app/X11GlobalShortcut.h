#pragma once

#include "app/GlobalShortcut.h"
#include "model/Result.h"

#include <QAbstractNativeEventFilter>
#include <QList>

#include <cstdint>

struct xcb_connection_t;

// Alt+Space from any application on X11: a passive grab of the key on every root window,
// read by a native event filter. The grab is taken with each combination of NumLock and
// CapsLock as well, since X matches the modifier state exactly.
//
// X gives a key to one client only. While another program holds Alt+Space (a window manager
// that opens its window menu with it, say), grab() fails and the shortcut works only while
// the popup has the keyboard.
class X11GlobalShortcut final : public GlobalShortcut, private QAbstractNativeEventFilter
{
    Q_OBJECT

public:
    // `connection`: Qt's own connection, whose events the filter sees.
    explicit X11GlobalShortcut(xcb_connection_t *connection, QObject *parent = nullptr);
    ~X11GlobalShortcut() override;
    Q_DISABLE_COPY_MOVE(X11GlobalShortcut)

    // Takes the grabs. Fails, with every grab taken so far released again, when the key has
    // no key code in the keymap or another client holds Alt+Space, and says which.
    [[nodiscard]] Result<void> grab();
    [[nodiscard]] bool isGrabbed() const { return !m_grabs.isEmpty(); }

private:
    struct Grab
    {
        std::uint32_t root;
        std::uint8_t keycode;
        std::uint16_t modifiers;
    };

    bool nativeEventFilter(const QByteArray &eventType, void *message, qintptr *result) override;
    void releaseAll();

    xcb_connection_t *m_connection;
    QList<Grab> m_grabs;
    QList<std::uint8_t> m_keycodes;
    std::uint16_t m_altMask = 0;
};
