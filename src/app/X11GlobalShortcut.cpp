#include "app/X11GlobalShortcut.h"

#include <QCoreApplication>
#include <QMetaObject>

#include <cstdlib>
#include <memory>
#include <xcb/xcb.h>

using namespace Qt::StringLiterals;

namespace {

constexpr xcb_keysym_t spaceKeysym = 0x0020;
constexpr xcb_keysym_t altLeftKeysym = 0xffe9;
constexpr xcb_keysym_t altRightKeysym = 0xffea;
constexpr xcb_keysym_t numLockKeysym = 0xff7f;

struct FreeDeleter
{
    void operator()(void *pointer) const { std::free(pointer); }
};
template<typename T> using Reply = std::unique_ptr<T, FreeDeleter>;

// The key codes whose keysyms (in any column) include `keysym`.
QList<xcb_keycode_t> keycodesOf(const xcb_setup_t *setup,
                                const xcb_get_keyboard_mapping_reply_t *map, xcb_keysym_t keysym)
{
    QList<xcb_keycode_t> codes;
    const xcb_keysym_t *syms = xcb_get_keyboard_mapping_keysyms(map);
    const int perCode = map->keysyms_per_keycode;
    const int count = xcb_get_keyboard_mapping_keysyms_length(map);
    for (int index = 0; perCode > 0 && index < count; ++index) {
        if (syms[index] == keysym)
            codes.append(static_cast<xcb_keycode_t>(setup->min_keycode + index / perCode));
    }
    return codes;
}

// The modifier bit (Mod1..Mod5 or another) that one of `keycodes` sets, or 0.
uint16_t modifierMaskOf(const xcb_get_modifier_mapping_reply_t *modifiers,
                        const QList<xcb_keycode_t> &keycodes)
{
    const xcb_keycode_t *codes = xcb_get_modifier_mapping_keycodes(modifiers);
    const int perModifier = modifiers->keycodes_per_modifier;
    for (int modifier = 0; modifier < 8; ++modifier) {
        for (int slot = 0; slot < perModifier; ++slot) {
            const xcb_keycode_t code = codes[modifier * perModifier + slot];
            if (code != 0 && keycodes.contains(code))
                return static_cast<uint16_t>(1U << modifier);
        }
    }
    return 0;
}

} // namespace

X11GlobalShortcut::X11GlobalShortcut(xcb_connection_t *connection, QObject *parent)
    : GlobalShortcut(parent)
    , m_connection(connection)
{}

X11GlobalShortcut::~X11GlobalShortcut()
{
    releaseAll();
}

Result<void> X11GlobalShortcut::grab()
{
    const auto fail = [](const QString &why) { return Result<void>::failure(why); };
    releaseAll();
    if (!m_connection || xcb_connection_has_error(m_connection))
        return fail(u"no connection to the X server"_s);

    const xcb_setup_t *setup = xcb_get_setup(m_connection);
    const auto mapCookie =
        xcb_get_keyboard_mapping(m_connection, setup->min_keycode,
                                 static_cast<uint8_t>(setup->max_keycode - setup->min_keycode + 1));
    const auto modifierCookie = xcb_get_modifier_mapping(m_connection);
    const Reply<xcb_get_keyboard_mapping_reply_t> map(
        xcb_get_keyboard_mapping_reply(m_connection, mapCookie, nullptr));
    const Reply<xcb_get_modifier_mapping_reply_t> modifiers(
        xcb_get_modifier_mapping_reply(m_connection, modifierCookie, nullptr));
    if (!map || !modifiers)
        return fail(u"the X server sent no keymap"_s);

    const QList<xcb_keycode_t> spaceCodes = keycodesOf(setup, map.get(), spaceKeysym);
    if (spaceCodes.isEmpty())
        return fail(u"the keymap has no Space key"_s);
    m_altMask = modifierMaskOf(modifiers.get(), keycodesOf(setup, map.get(), altLeftKeysym) +
                                                    keycodesOf(setup, map.get(), altRightKeysym));
    if (m_altMask == 0)
        m_altMask = XCB_MOD_MASK_1; // where Alt conventionally is
    const uint16_t numLock =
        modifierMaskOf(modifiers.get(), keycodesOf(setup, map.get(), numLockKeysym));
    // X matches the modifier state exactly, so each state that should count as Alt+Space is
    // grabbed on its own. NumLock and CapsLock must not get in the way; without a NumLock
    // key its variants equal the plain ones and are left out.
    QList<uint16_t> locks{0, XCB_MOD_MASK_LOCK};
    if (numLock != 0)
        locks << numLock << static_cast<uint16_t>(numLock | XCB_MOD_MASK_LOCK);
    // Alt+Space with Shift or Ctrl held counts too, as it does inside the popup. Those
    // combinations are taken where they are free; Alt+Space itself must be.
    const uint16_t extras[] = {0, XCB_MOD_MASK_SHIFT, XCB_MOD_MASK_CONTROL,
                               XCB_MOD_MASK_SHIFT | XCB_MOD_MASK_CONTROL};

    struct Pending
    {
        Grab grab;
        bool required;
        xcb_void_cookie_t cookie;
    };
    QList<Pending> pending;
    for (auto roots = xcb_setup_roots_iterator(setup); roots.rem; xcb_screen_next(&roots)) {
        for (const xcb_keycode_t code : spaceCodes) {
            for (const uint16_t extra : extras) {
                for (const uint16_t lock : std::as_const(locks)) {
                    const Grab grab{roots.data->root, code,
                                    static_cast<uint16_t>(m_altMask | extra | lock)};
                    // owner_events false: the press is reported on the root window, where
                    // the filter looks for it.
                    pending.append({grab, extra == 0,
                                    xcb_grab_key_checked(m_connection, 0, grab.root, grab.modifiers,
                                                         grab.keycode, XCB_GRAB_MODE_ASYNC,
                                                         XCB_GRAB_MODE_ASYNC)});
                }
            }
        }
    }
    bool taken = false;
    for (const Pending &request : pending) {
        const Reply<xcb_generic_error_t> failure(xcb_request_check(m_connection, request.cookie));
        if (!failure)
            m_grabs.append(request.grab);
        else if (request.required)
            taken = true;
    }
    if (taken) {
        releaseAll();
        return fail(u"another program holds Alt+Space"_s);
    }
    m_keycodes = spaceCodes;
    QCoreApplication::instance()->installNativeEventFilter(this);
    return {};
}

void X11GlobalShortcut::releaseAll()
{
    if (QCoreApplication::instance())
        QCoreApplication::instance()->removeNativeEventFilter(this);
    if (m_connection && !m_grabs.isEmpty() && !xcb_connection_has_error(m_connection)) {
        for (const Grab &grab : std::as_const(m_grabs))
            xcb_ungrab_key(m_connection, grab.keycode, grab.root, grab.modifiers);
        xcb_flush(m_connection);
    }
    m_grabs.clear();
    m_keycodes.clear();
}

bool X11GlobalShortcut::nativeEventFilter(const QByteArray &eventType, void *message, qintptr *)
{
    if (eventType != "xcb_generic_event_t")
        return false;
    const auto *event = static_cast<const xcb_generic_event_t *>(message);
    if ((event->response_type & 0x7f) != XCB_KEY_PRESS)
        return false;
    const auto *press = reinterpret_cast<const xcb_key_press_event_t *>(event);
    if (!m_keycodes.contains(press->detail) || !(press->state & m_altMask))
        return false;
    bool ours = false;
    for (const Grab &grab : std::as_const(m_grabs))
        ours = ours || grab.root == press->event;
    if (!ours)
        return false;
    // The press is left to Qt as well, which keeps its idea of the user's last input time
    // for the window activation that follows. Qt finds no window of its own for the root
    // window and does nothing else with it.
    QMetaObject::invokeMethod(this, &GlobalShortcut::activated, Qt::QueuedConnection);
    return false;
}
