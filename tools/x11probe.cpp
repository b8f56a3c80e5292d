// Answers questions about the X display that the shell tools cannot, for the end-to-end tests
// and the desktop benchmark:
//
//     x11probe tray-owner       exits 0 once a system tray owns _NET_SYSTEM_TRAY_S0
//     x11probe wait-tray-icon   waits until a tray has embedded and shown pinlark's icon
//     x11probe wait-popup       waits until a 420x430 pinlark window has the keyboard and
//                               its card is drawn
//
// The two waits poll every millisecond for up to 60 s and print the wall-clock time (ns
// since the epoch, as `date +%s%N`) when they saw it; they exit 1 on a time-out.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <string>
#include <unistd.h>
#include <xcb/xcb.h>

namespace {

struct FreeDeleter
{
    void operator()(void *pointer) const { std::free(pointer); }
};
template<typename T> using Reply = std::unique_ptr<T, FreeDeleter>;

long long wallClockNs()
{
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    return now.tv_sec * 1000000000LL + now.tv_nsec;
}

xcb_atom_t atom(xcb_connection_t *connection, const char *name)
{
    const Reply<xcb_intern_atom_reply_t> reply(xcb_intern_atom_reply(
        connection, xcb_intern_atom(connection, 0, std::strlen(name), name), nullptr));
    return reply ? reply->atom : XCB_NONE;
}

int trayOwner(xcb_connection_t *connection)
{
    const Reply<xcb_get_selection_owner_reply_t> owner(xcb_get_selection_owner_reply(
        connection, xcb_get_selection_owner(connection, atom(connection, "_NET_SYSTEM_TRAY_S0")),
        nullptr));
    if (!owner || owner->owner == XCB_NONE)
        return 1;
    std::printf("0x%x\n", owner->owner);
    return 0;
}

bool isPinlark(xcb_connection_t *connection, xcb_window_t window)
{
    const Reply<xcb_get_property_reply_t> reply(xcb_get_property_reply(
        connection,
        xcb_get_property(connection, 0, window, XCB_ATOM_WM_CLASS, XCB_ATOM_STRING, 0, 64),
        nullptr));
    if (!reply)
        return false;
    const int length = xcb_get_property_value_length(reply.get());
    const auto *value = static_cast<const char *>(xcb_get_property_value(reply.get()));
    // WM_CLASS is "instance\0class\0".
    return length > 0 && std::string(value, strnlen(value, length)) == "pinlark";
}

bool isViewable(xcb_connection_t *connection, xcb_window_t window)
{
    const Reply<xcb_get_window_attributes_reply_t> attributes(xcb_get_window_attributes_reply(
        connection, xcb_get_window_attributes(connection, window), nullptr));
    return attributes && attributes->map_state == XCB_MAP_STATE_VIEWABLE;
}

// A small pinlark window below a child of the root: the tray host has reparented it.
bool findEmbeddedIcon(xcb_connection_t *connection, xcb_window_t window, int depth)
{
    const Reply<xcb_query_tree_reply_t> tree(
        xcb_query_tree_reply(connection, xcb_query_tree(connection, window), nullptr));
    if (!tree)
        return false;
    const xcb_window_t *children = xcb_query_tree_children(tree.get());
    for (int index = 0; index < xcb_query_tree_children_length(tree.get()); ++index) {
        const xcb_window_t child = children[index];
        if (depth >= 1 && isPinlark(connection, child) && isViewable(connection, child)) {
            const Reply<xcb_get_geometry_reply_t> geometry(
                xcb_get_geometry_reply(connection, xcb_get_geometry(connection, child), nullptr));
            if (geometry && geometry->width <= 64 && geometry->height <= 64)
                return true;
        }
        if (findEmbeddedIcon(connection, child, depth + 1))
            return true;
    }
    return false;
}

bool popupReady(xcb_connection_t *connection)
{
    const Reply<xcb_get_input_focus_reply_t> focus(
        xcb_get_input_focus_reply(connection, xcb_get_input_focus(connection), nullptr));
    if (!focus || focus->focus == XCB_NONE || focus->focus == XCB_INPUT_FOCUS_POINTER_ROOT)
        return false;
    const xcb_window_t window = focus->focus;
    const Reply<xcb_get_geometry_reply_t> geometry(
        xcb_get_geometry_reply(connection, xcb_get_geometry(connection, window), nullptr));
    if (!geometry || geometry->width != 420 || geometry->height != 430 ||
        !isPinlark(connection, window) || !isViewable(connection, window))
        return false;
    // A pixel in the editor area: black until Qt has drawn the card there.
    const Reply<xcb_get_image_reply_t> image(xcb_get_image_reply(
        connection,
        xcb_get_image(connection, XCB_IMAGE_FORMAT_Z_PIXMAP, window, 40, 200, 1, 1, ~0U), nullptr));
    if (!image || xcb_get_image_data_length(image.get()) < 3)
        return false;
    const uint8_t *pixel = xcb_get_image_data(image.get());
    return pixel[0] != 0 || pixel[1] != 0 || pixel[2] != 0;
}

template<typename Condition> int waitFor(Condition condition)
{
    const long long deadline = wallClockNs() + 60LL * 1000000000LL;
    while (wallClockNs() < deadline) {
        if (condition()) {
            std::printf("%lld\n", wallClockNs());
            return 0;
        }
        usleep(1000);
    }
    std::fprintf(stderr, "x11probe: timed out\n");
    return 1;
}

} // namespace

int main(int argc, char *argv[])
{
    const char *command = argc == 2 ? argv[1] : "";
    xcb_connection_t *connection = xcb_connect(nullptr, nullptr);
    if (xcb_connection_has_error(connection)) {
        std::fprintf(stderr, "x11probe: cannot connect to the X display\n");
        xcb_disconnect(connection);
        return 2;
    }
    const xcb_window_t root = xcb_setup_roots_iterator(xcb_get_setup(connection)).data->root;
    int status = 2;
    if (std::strcmp(command, "tray-owner") == 0)
        status = trayOwner(connection);
    else if (std::strcmp(command, "wait-tray-icon") == 0)
        status = waitFor([&] { return findEmbeddedIcon(connection, root, 0); });
    else if (std::strcmp(command, "wait-popup") == 0)
        status = waitFor([&] { return popupReady(connection); });
    else
        std::fprintf(stderr, "usage: x11probe tray-owner | wait-tray-icon | wait-popup\n");
    xcb_disconnect(connection);
    return status;
}
