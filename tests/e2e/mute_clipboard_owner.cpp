// Helper of e2e_xserver.sh, for the X server named by DISPLAY.
//
//   mute_clipboard_owner own
//     Takes the CLIPBOARD selection and never answers a request for it, as a hung program
//     does. Prints "owner" once it holds the selection, then "request TARGET MS" for each
//     request (MS: milliseconds since it took the selection), and "lost" when another
//     program takes the selection, which ends it.
//
//   mute_clipboard_owner serve MODE WINDOW [TEXTFILE]
//     Takes the CLIPBOARD selection and answers as a hostile or slow owner does; at the step
//     where it stalls it first pings WINDOW (_NET_WM_PING, as a window manager asks whether
//     a window still handles its events) and prints "pong MS" with the milliseconds the
//     answer took, or "no pong" after 10 s. It stays stalled until the pong came, so the
//     window answered while it provably waited for the owner. MODE:
//       formats-only  lists UTF8_STRING among its formats, then never hands over the text;
//       stalled-incr  starts an incremental transfer of the text, sends one chunk, stalls;
//       late          answers every request 3.5 s late (pinging first), and hands over
//                     the text of TEXTFILE;
//       forged        answers nothing, but sends the requestor SelectionNotify events that
//                     name a property never set or another property, then sets the property
//                     (an image's format alone) and sends ones for another selection or target;
//       incr          hands over the text of TEXTFILE in 32 KiB chunks, pinging after the
//                     first one;
//       endless       announces 1 KiB and then sends lines of text in 256 KiB chunks for as
//                     long as they are asked for, printing "sent BYTES" when they no longer are;
//       meta-only     lists only TARGETS, TIMESTAMP and None among its formats;
//       no-list       refuses to list its formats, then hands over TEXTFILE as UTF8_STRING;
//       latin1        lists STRING alone and hands over TEXTFILE (Latin-1 bytes) as it is.
//     Prints "request TARGET MS" for each request, "done" once a transfer is complete, and
//     "lost" when another program takes the selection, which ends it.
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
#include <fstream>
#include <iterator>
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

struct Served
{
    xcb_connection_t *c;
    xcb_window_t root;
    xcb_window_t window; // the owner's
    xcb_window_t pinged; // the program's main window
    xcb_atom_t clipboard, targets, utf8, incr, protocols, ping;
    Clock::time_point start;
};

// One line of the log: what happened, and when when `ms` is given.
void Say(const std::string &what, long ms = -1)
{
    if (ms >= 0)
        std::printf("%s %ld\n", what.c_str(), ms);
    else
        std::printf("%s\n", what.c_str());
    std::fflush(stdout);
}

// Waits for the next event, or returns null after `ms`.
xcb_generic_event_t *NextEvent(xcb_connection_t *c, long ms)
{
    const Clock::time_point start = Clock::now();
    for (;;) {
        if (xcb_generic_event_t *event = xcb_poll_for_event(c))
            return event;
        if (xcb_connection_has_error(c) || Since(start) >= ms)
            return nullptr;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
}

// _NET_WM_PING: the window sends the message back to the root window. Events that come
// meanwhile are dropped: the owner is stalled.
void Ping(const Served &s)
{
    static uint32_t serial = 0;
    xcb_client_message_event_t message = {};
    message.response_type = XCB_CLIENT_MESSAGE;
    message.format = 32;
    message.window = s.pinged;
    message.type = s.protocols;
    message.data.data32[0] = s.ping;
    message.data.data32[1] = ++serial;
    message.data.data32[2] = s.pinged;
    xcb_send_event(s.c, 0, s.pinged, XCB_EVENT_MASK_NO_EVENT, reinterpret_cast<const char *>(&message));
    xcb_flush(s.c);
    const Clock::time_point sent = Clock::now();
    while (Since(sent) < 10000) {
        xcb_generic_event_t *event = NextEvent(s.c, 100);
        if (event == nullptr)
            continue;
        const auto *reply = reinterpret_cast<const xcb_client_message_event_t *>(event);
        const bool pong = (event->response_type & ~0x80) == XCB_CLIENT_MESSAGE && reply->window == s.root &&
                          reply->data.data32[0] == s.ping && reply->data.data32[1] == serial;
        std::free(event);
        if (pong) {
            Say("pong", Since(sent));
            return;
        }
    }
    Say("no pong", Since(sent));
}

void Notify(const Served &s, const xcb_selection_request_event_t *request, xcb_atom_t selection,
            xcb_atom_t target, xcb_atom_t property)
{
    xcb_selection_notify_event_t notify = {};
    notify.response_type = XCB_SELECTION_NOTIFY;
    notify.time = request->time;
    notify.requestor = request->requestor;
    notify.selection = selection;
    notify.target = target;
    notify.property = property;
    xcb_send_event(s.c, 0, request->requestor, XCB_EVENT_MASK_NO_EVENT,
                   reinterpret_cast<const char *>(&notify));
    xcb_flush(s.c);
}

void Put(const Served &s, xcb_window_t window, xcb_atom_t property, xcb_atom_t type, int format,
         const void *data, size_t count)
{
    xcb_change_property(s.c, XCB_PROP_MODE_REPLACE, window, property, type, uint8_t(format), uint32_t(count),
                        data);
}

// Waits until the requestor deletes `property`, as it does to ask for the next chunk; false
// after 30 s, or at once when another program takes the selection.
bool AwaitDeletion(const Served &s, xcb_window_t requestor, xcb_atom_t property)
{
    for (;;) {
        xcb_generic_event_t *event = NextEvent(s.c, 30000);
        if (event == nullptr)
            return false;
        if ((event->response_type & ~0x80) == XCB_SELECTION_CLEAR) {
            std::free(event);
            Say("lost");
            return false;
        }
        const auto *notify = reinterpret_cast<const xcb_property_notify_event_t *>(event);
        const bool deleted = (event->response_type & ~0x80) == XCB_PROPERTY_NOTIFY &&
                             notify->window == requestor && notify->atom == property &&
                             notify->state == XCB_PROPERTY_DELETE;
        std::free(event);
        if (deleted)
            return true;
    }
}

// An incremental transfer; with `stall`, only its first chunk.
void SendIncrementally(const Served &s, const xcb_selection_request_event_t *request, const std::string &text,
                       bool stall, bool endless = false)
{
    const size_t kChunk = endless ? text.size() : 32 * 1024;
    const uint32_t mask = XCB_EVENT_MASK_PROPERTY_CHANGE;
    xcb_change_window_attributes(s.c, request->requestor, XCB_CW_EVENT_MASK, &mask);
    const uint32_t size = endless ? 1024 : uint32_t(text.size());
    Put(s, request->requestor, request->property, s.incr, 32, &size, 1);
    Notify(s, request, request->selection, request->target, request->property);
    for (size_t offset = 0;; offset += kChunk) {
        if (!AwaitDeletion(s, request->requestor, request->property)) {
            if (endless)
                std::printf("sent %zu\n", offset);
            Say("no deletion", Since(s.start));
            return;
        }
        if (endless) {
            Put(s, request->requestor, request->property, s.utf8, 8, text.data(), kChunk);
            xcb_flush(s.c);
            continue;
        }
        if (offset == kChunk)
            Ping(s);
        if (stall && offset >= kChunk)
            return;
        const size_t length = offset < text.size() ? std::min(kChunk, text.size() - offset) : 0;
        Put(s, request->requestor, request->property, s.utf8, 8, text.data() + offset, length);
        xcb_flush(s.c);
        if (length == 0) {
            Say("done", Since(s.start));
            return;
        }
    }
}

int Serve(xcb_connection_t *c, xcb_screen_t *screen, const std::string &mode, xcb_window_t pinged,
          const std::string &text)
{
    Served s{c,
             screen->root,
             xcb_generate_id(c),
             pinged,
             Atom(c, "CLIPBOARD"),
             Atom(c, "TARGETS"),
             Atom(c, "UTF8_STRING"),
             Atom(c, "INCR"),
             Atom(c, "WM_PROTOCOLS"),
             Atom(c, "_NET_WM_PING"),
             Clock::now()};
    // The pong goes to the root window, to those listening for its own changes (as Qt sends it).
    const uint32_t rootMask = XCB_EVENT_MASK_STRUCTURE_NOTIFY;
    xcb_change_window_attributes(c, screen->root, XCB_CW_EVENT_MASK, &rootMask);
    xcb_create_window(c, XCB_COPY_FROM_PARENT, s.window, screen->root, 0, 0, 1, 1, 0,
                      XCB_WINDOW_CLASS_INPUT_ONLY, XCB_COPY_FROM_PARENT, 0, nullptr);
    xcb_set_selection_owner(c, s.window, s.clipboard, XCB_CURRENT_TIME);
    Reply<xcb_get_selection_owner_reply_t> owner(
        xcb_get_selection_owner_reply(c, xcb_get_selection_owner(c, s.clipboard), nullptr), &std::free);
    if (!owner || owner->owner != s.window) {
        std::fprintf(stderr, "could not take the clipboard\n");
        return 1;
    }
    s.start = Clock::now();
    Say("owner");
    while (xcb_generic_event_t *event = xcb_wait_for_event(c)) {
        const int type = event->response_type & ~0x80;
        if (type == XCB_SELECTION_CLEAR) {
            std::free(event);
            Say("lost");
            return 0;
        }
        if (type != XCB_SELECTION_REQUEST) {
            std::free(event);
            continue;
        }
        const auto *request = reinterpret_cast<const xcb_selection_request_event_t *>(event);
        Say("request " + AtomName(c, request->target), Since(s.start));
        const bool formats = request->target == s.targets;
        if (mode == "forged") {
            // First answers naming a property that does not exist, or another property.
            Notify(s, request, request->selection, request->target, request->property);
            Notify(s, request, request->selection, request->target, Atom(c, "_FORGED"));
            Ping(s);
            // Then the property set (to an image's format alone), with answers to other questions.
            const xcb_atom_t image = Atom(c, "image/png");
            Put(s, request->requestor, request->property, XCB_ATOM_ATOM, 32, &image, 1);
            Notify(s, request, XCB_ATOM_PRIMARY, request->target, request->property);
            Notify(s, request, request->selection, formats ? s.utf8 : s.targets, request->property);
            Ping(s);
        } else if (formats && mode == "meta-only") {
            const xcb_atom_t offered[] = {s.targets, Atom(c, "TIMESTAMP"), XCB_NONE};
            Put(s, request->requestor, request->property, XCB_ATOM_ATOM, 32, offered, 3);
            Notify(s, request, request->selection, request->target, request->property);
        } else if (formats && mode == "no-list") {
            Notify(s, request, request->selection, request->target, XCB_NONE);
        } else if (mode == "latin1") {
            const xcb_atom_t offered[] = {s.targets, XCB_ATOM_STRING};
            if (formats)
                Put(s, request->requestor, request->property, XCB_ATOM_ATOM, 32, offered, 2);
            else if (request->target == XCB_ATOM_STRING)
                Put(s, request->requestor, request->property, XCB_ATOM_STRING, 8, text.data(), text.size());
            const bool answered = formats || request->target == XCB_ATOM_STRING;
            Notify(s, request, request->selection, request->target, answered ? request->property : XCB_NONE);
        } else if (formats) {
            if (mode == "late") {
                Ping(s);
                std::this_thread::sleep_for(std::chrono::milliseconds(3500));
            }
            const xcb_atom_t offered[] = {s.targets, s.utf8};
            Put(s, request->requestor, request->property, XCB_ATOM_ATOM, 32, offered, 2);
            Notify(s, request, request->selection, request->target, request->property);
        } else if (request->target != s.utf8) {
            Notify(s, request, request->selection, request->target, XCB_NONE);
        } else if (mode == "formats-only") {
            Ping(s);
        } else if (mode == "late" || mode == "no-list") {
            if (mode == "late") {
                Ping(s);
                std::this_thread::sleep_for(std::chrono::milliseconds(3500));
            }
            Put(s, request->requestor, request->property, s.utf8, 8, text.data(), text.size());
            Notify(s, request, request->selection, request->target, request->property);
            Say("done", Since(s.start));
        } else if (mode == "endless") {
            std::string lines;
            while (lines.size() < 256 * 1024)
                lines += std::string(99, 'x') + '\n';
            SendIncrementally(s, request, lines, false, true);
        } else {
            SendIncrementally(s, request, text, mode == "stalled-incr");
        }
        std::free(event);
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
    const bool serve = mode == "serve" && (argc == 4 || argc == 5);
    if (!(mode == "own" && argc == 2) && !(mode == "cover" && argc == 6) && !serve) {
        std::fprintf(stderr, "usage: %s own | serve MODE WINDOW [TEXTFILE] | cover X Y W H\n", argv[0]);
        return 2;
    }
    std::string text(4096 * 3, 'x');
    if (serve && argc == 5) {
        std::ifstream file(argv[4], std::ios::binary);
        text.assign(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
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
    const int result =
        mode == "own" ? Own(c, screens.data)
        : serve       ? Serve(c, screens.data, argv[2], xcb_window_t(std::strtoul(argv[3], nullptr, 0)), text)
                      : Cover(c, screens.data, std::atoi(argv[2]), std::atoi(argv[3]), std::atoi(argv[4]),
                              std::atoi(argv[5]));
    xcb_disconnect(c);
    return result;
}
