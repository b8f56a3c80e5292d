// Answers questions about the X display that the shell tools cannot:
//     x11probe tray-owner    exits 0 once a system tray owns _NET_SYSTEM_TRAY_S0 of screen 0
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <xcb/xcb.h>

namespace {

int trayOwner(xcb_connection_t *connection)
{
    static constexpr char name[] = "_NET_SYSTEM_TRAY_S0";
    xcb_intern_atom_reply_t *atom = xcb_intern_atom_reply(
        connection, xcb_intern_atom(connection, 0, sizeof name - 1, name), nullptr);
    if (!atom)
        return 1;
    xcb_get_selection_owner_reply_t *owner = xcb_get_selection_owner_reply(
        connection, xcb_get_selection_owner(connection, atom->atom), nullptr);
    std::free(atom);
    const bool owned = owner && owner->owner != XCB_NONE;
    if (owned)
        std::printf("0x%x\n", owner->owner);
    std::free(owner);
    return owned ? 0 : 1;
}

} // namespace

int main(int argc, char *argv[])
{
    if (argc != 2 || std::strcmp(argv[1], "tray-owner") != 0) {
        std::fprintf(stderr, "usage: x11probe tray-owner\n");
        return 2;
    }
    xcb_connection_t *connection = xcb_connect(nullptr, nullptr);
    if (xcb_connection_has_error(connection)) {
        std::fprintf(stderr, "x11probe: cannot connect to the X display\n");
        xcb_disconnect(connection);
        return 2;
    }
    const int status = trayOwner(connection);
    xcb_disconnect(connection);
    return status;
}
