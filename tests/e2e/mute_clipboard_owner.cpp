// Helper of e2e_xserver.sh, for the X server named by DISPLAY.
//
//   mute_clipboard_owner own
//     Takes the CLIPBOARD selection and never answers a request for it, as a hung program
//     does. Prints "owner" once it holds the selection, then "request TARGET MS" for each
//     request (MS: milliseconds since it took the selection), and "lost" when another
//     program takes the selection, which ends it.
//
//   mute_clipboard_owner cover X Y W H
//     Lays a red window over that part of the screen for a moment and takes it away again,
//     so that whatever lay beneath must paint itself anew; then watches the centre pixel
//     and prints "repainted RRGGBB MS" once it is no longer red, or "stale RRGGBB" if it
//     stays red for 20 seconds (a busy machine may take a while; when is the caller's
//     question).

#include <xcb/xcb.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;

template <typename T> using Reply = std::unique_ptr<T, decltype(&std::free)>;

long Since(Clock::time_point start)
{
    return long(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
}

xcb_atom_t Atom(xcb_connection_t *c, const char *name)
{
    Reply<xcb_intern_atom_reply_t> reply(
        xcb_intern_atom_reply(c, xcb_intern_atom(c, 0, uint16_t(std::strlen(name)), name), nullptr),
        &std::free);
    return reply ? reply->atom : XCB_NONE;
}

std::string AtomName(xcb_connection_t *c, xcb_atom_t atom)
{
    Reply<xcb_get_atom_name_reply_t> reply(xcb_get_atom_name_reply(c, xcb_get_atom_name(c, atom), nullptr),
                                           &std::free);
    if (!reply)
        return "?";
    return std::string(xcb_get_atom_name_name(reply.get()),
                       size_t(xcb_get_atom_name_name_length(reply.get())));
}

int Own(xcb_connection_t *c, xcb_screen_t *screen)
{
    const xcb_atom_t clipboard = Atom(c, "CLIPBOARD");
    const xcb_window_t window = xcb_generate_id(c);
    xcb_create_window(c, XCB_COPY_FROM_PARENT, window, screen->root, 0, 0, 1, 1, 0,
                      XCB_WINDOW_CLASS_INPUT_ONLY, XCB_COPY_FROM_PARENT, 0, nullptr);
    xcb_set_selection_owner(c, window, clipboard, XCB_CURRENT_TIME);
    Reply<xcb_get_selection_owner_reply_t> owner(
        xcb_get_selection_owner_reply(c, xcb_get_selection_owner(c, clipboard), nullptr), &std::free);
    if (!owner || owner->owner != window) {
        std::fprintf(stderr, "could not take the clipboard\n");
        return 1;
    }
    const Clock::time_point start = Clock::now();
    std::printf("owner\n");
    std::fflush(stdout);
    while (xcb_generic_event_t *event = xcb_wait_for_event(c)) {
        const int type = event->response_type & ~0x80;
        if (type == XCB_SELECTION_REQUEST) {
            const auto *request = reinterpret_cast<xcb_selection_request_event_t *>(event);
            std::printf("request %s %ld\n", AtomName(c, request->target).c_str(), Since(start));
            std::fflush(stdout);
        }
        std::free(event);
        if (type == XCB_SELECTION_CLEAR) {
            std::printf("lost\n");
            return 0;
        }
    }
    return 1;
}

// The colour of one pixel of the screen as RRGGBB; depth 24 in 32-bit pixels, as Xvfb has.
unsigned Pixel(xcb_connection_t *c, xcb_screen_t *screen, int x, int y)
{
    Reply<xcb_get_image_reply_t> image(
        xcb_get_image_reply(
            c, xcb_get_image(c, XCB_IMAGE_FORMAT_Z_PIXMAP, screen->root, int16_t(x), int16_t(y), 1, 1, ~0u),
            nullptr),
        &std::free);
    if (!image || xcb_get_image_data_length(image.get()) < 4)
        return 0xFFFFFFFF;
    unsigned value = 0;
    std::memcpy(&value, xcb_get_image_data(image.get()), 4);
    return value & 0xFFFFFF;
}

int Cover(xcb_connection_t *c, xcb_screen_t *screen, int x, int y, int w, int h)
{
    constexpr unsigned red = 0xFF0000;
    const xcb_window_t window = xcb_generate_id(c);
    const uint32_t values[] = {red, 1, XCB_EVENT_MASK_EXPOSURE};
    xcb_create_window(c, XCB_COPY_FROM_PARENT, window, screen->root, int16_t(x), int16_t(y), uint16_t(w),
                      uint16_t(h), 0, XCB_WINDOW_CLASS_INPUT_OUTPUT, screen->root_visual,
                      XCB_CW_BACK_PIXEL | XCB_CW_OVERRIDE_REDIRECT | XCB_CW_EVENT_MASK, values);
    xcb_map_window(c, window);
    xcb_flush(c);
    while (xcb_generic_event_t *event = xcb_wait_for_event(c)) {
        const bool exposed = (event->response_type & ~0x80) == XCB_EXPOSE;
        std::free(event);
        if (exposed)
            break;
    }
    const int cx = x + w / 2, cy = y + h / 2;
    if (Pixel(c, screen, cx, cy) != red) {
        std::fprintf(stderr, "the cover did not show\n");
        return 1;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    xcb_destroy_window(c, window);
    xcb_flush(c);
    const Clock::time_point start = Clock::now();
    unsigned seen = red;
    while (Since(start) < 20000) {
        seen = Pixel(c, screen, cx, cy);
        if (seen != red) {
            std::printf("repainted %06X %ld\n", seen, Since(start));
            return 0;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    std::printf("stale %06X\n", seen);
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    const std::string mode = argc > 1 ? argv[1] : "";
    if (!(mode == "own" && argc == 2) && !(mode == "cover" && argc == 6)) {
        std::fprintf(stderr, "usage: %s own | cover X Y W H\n", argv[0]);
        return 2;
    }
    int screenNumber = 0;
    xcb_connection_t *c = xcb_connect(nullptr, &screenNumber);
    if (xcb_connection_has_error(c)) {
        std::fprintf(stderr, "no X server\n");
        return 1;
    }
    xcb_screen_iterator_t screens = xcb_setup_roots_iterator(xcb_get_setup(c));
    for (int i = 0; i < screenNumber; ++i)
        xcb_screen_next(&screens);
    const int result = mode == "own" ? Own(c, screens.data)
                                     : Cover(c, screens.data, std::atoi(argv[2]), std::atoi(argv[3]),
                                             std::atoi(argv[4]), std::atoi(argv[5]));
    xcb_disconnect(c);
    return result;
}
