// Helper of e2e_wayland.sh: a Wayland clipboard source of its own, for the compositor named
// by WAYLAND_DISPLAY.
//
//   wayland_clipboard_source MODE [SECONDS]
//     Shows a small window, and once it has the keyboard focus, offers
//     text/plain;charset=utf-8 on the clipboard and takes the window away again. Prints
//     "owner" then. Each time a client asks for the text, it prints "asked N" (N counts the
//     requests from 1) and answers as MODE says:
//       stall    never writes and never closes the pipe;
//       trickle  writes a line "q,a\n" every 250 ms for SECONDS, then prints "sent N LINES"
//                and stops writing, the pipe left open;
//     and prints "closed N MS" once the reader has closed its end of the pipe (MS:
//     milliseconds since it asked), and "lost" when another client takes the clipboard,
//     which ends it. Weston's own clipboard manager asks first, as soon as the text is
//     offered, and keeps reading as long as the pipe stays open.

#include "xdg-shell-client-protocol.h"

#include <wayland-client.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/mman.h>
#include <unistd.h>

#include <chrono>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

struct Source
{
    wl_compositor *compositor = nullptr;
    wl_shm *shm = nullptr;
    wl_seat *seat = nullptr;
    wl_data_device_manager *manager = nullptr;
    xdg_wm_base *shell = nullptr;
    wl_surface *surface = nullptr;
    xdg_surface *xdgSurface = nullptr;
    xdg_toplevel *toplevel = nullptr;
    wl_keyboard *keyboard = nullptr;
    wl_data_source *offer = nullptr;
    std::string mode;
    double seconds = 0;
    struct Request
    {
        int pipe;
        Clock::time_point asked;
        Clock::time_point lastLine;
        int lines;
    };
    std::vector<Request> requests; // pipe -1 once closed
    bool lost = false;
};

long Since(Clock::time_point start)
{
    return long(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
}

void Say(const std::string &what)
{
    std::printf("%s\n", what.c_str());
    std::fflush(stdout);
}

// A white buffer of w x h, from an anonymous shared file.
wl_buffer *Buffer(Source &s, int w, int h)
{
    const int size = w * h * 4;
    const int fd = memfd_create("source", MFD_CLOEXEC);
    if (fd < 0 || ftruncate(fd, size) != 0)
        return nullptr;
    void *pixels = mmap(nullptr, size_t(size), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (pixels != MAP_FAILED) {
        std::memset(pixels, 0xff, size_t(size));
        munmap(pixels, size_t(size));
    }
    wl_shm_pool *pool = wl_shm_create_pool(s.shm, fd, size);
    wl_buffer *buffer = wl_shm_pool_create_buffer(pool, 0, w, h, w * 4, WL_SHM_FORMAT_XRGB8888);
    wl_shm_pool_destroy(pool);
    close(fd);
    return buffer;
}

const wl_data_source_listener kSourceListener = {
    [](void *, wl_data_source *, const char *) {}, // target
    [](void *data, wl_data_source *, const char *, int32_t fd) {
        auto &s = *static_cast<Source *>(data);
        s.requests.push_back({fd, Clock::now(), {}, 0});
        Say("asked " + std::to_string(s.requests.size()));
    },
    [](void *data, wl_data_source *) { static_cast<Source *>(data)->lost = true; }, // cancelled
    nullptr, nullptr, nullptr,
};

// The clipboard can only be taken with the serial of an input event: the focus's will do.
const wl_keyboard_listener kKeyboardListener = {
    [](void *, wl_keyboard *, uint32_t, int32_t fd, uint32_t) { close(fd); },
    [](void *data, wl_keyboard *, uint32_t serial, wl_surface *, wl_array *) {
        auto &s = *static_cast<Source *>(data);
        if (s.offer != nullptr)
            return;
        s.offer = wl_data_device_manager_create_data_source(s.manager);
        wl_data_source_add_listener(s.offer, &kSourceListener, &s);
        wl_data_source_offer(s.offer, "text/plain;charset=utf-8");
        wl_data_device *device = wl_data_device_manager_get_data_device(s.manager, s.seat);
        wl_data_device_set_selection(device, s.offer, serial);
        // The window has done its part: the program's window gets the focus back.
        xdg_toplevel_destroy(s.toplevel);
        xdg_surface_destroy(s.xdgSurface);
        wl_surface_destroy(s.surface);
        Say("owner");
    },
    [](void *, wl_keyboard *, uint32_t, wl_surface *) {},
    [](void *, wl_keyboard *, uint32_t, uint32_t, uint32_t, uint32_t) {},
    [](void *, wl_keyboard *, uint32_t, uint32_t, uint32_t, uint32_t, uint32_t) {},
    [](void *, wl_keyboard *, int32_t, int32_t) {},
};

const wl_seat_listener kSeatListener = {
    [](void *data, wl_seat *seat, uint32_t caps) {
        auto &s = *static_cast<Source *>(data);
        if ((caps & WL_SEAT_CAPABILITY_KEYBOARD) && s.keyboard == nullptr) {
            s.keyboard = wl_seat_get_keyboard(seat);
            wl_keyboard_add_listener(s.keyboard, &kKeyboardListener, &s);
        }
    },
    [](void *, wl_seat *, const char *) {},
};

const xdg_wm_base_listener kShellListener = {
    [](void *, xdg_wm_base *shell, uint32_t serial) { xdg_wm_base_pong(shell, serial); },
};

const xdg_surface_listener kXdgSurfaceListener = {
    [](void *data, xdg_surface *surface, uint32_t serial) {
        auto &s = *static_cast<Source *>(data);
        xdg_surface_ack_configure(surface, serial);
        wl_surface_attach(s.surface, Buffer(s, 64, 64), 0, 0);
        wl_surface_commit(s.surface);
    },
};

const xdg_toplevel_listener kToplevelListener = {
    [](void *, xdg_toplevel *, int32_t, int32_t, wl_array *) {},
    [](void *, xdg_toplevel *) {},
    nullptr,
    nullptr,
};

const wl_registry_listener kRegistryListener = {
    [](void *data, wl_registry *registry, uint32_t name, const char *interface, uint32_t) {
        auto &s = *static_cast<Source *>(data);
        const std::string is = interface;
        if (is == "wl_compositor")
            s.compositor = static_cast<wl_compositor *>(wl_registry_bind(registry, name, &wl_compositor_interface, 4));
        else if (is == "wl_shm")
            s.shm = static_cast<wl_shm *>(wl_registry_bind(registry, name, &wl_shm_interface, 1));
        else if (is == "wl_seat" && s.seat == nullptr)
            s.seat = static_cast<wl_seat *>(wl_registry_bind(registry, name, &wl_seat_interface, 5));
        else if (is == "wl_data_device_manager")
            s.manager = static_cast<wl_data_device_manager *>(
                wl_registry_bind(registry, name, &wl_data_device_manager_interface, 3));
        else if (is == "xdg_wm_base")
            s.shell = static_cast<xdg_wm_base *>(wl_registry_bind(registry, name, &xdg_wm_base_interface, 1));
    },
    [](void *, wl_registry *, uint32_t) {},
};

} // namespace

int main(int argc, char **argv)
{
    Source s;
    s.mode = argc > 1 ? argv[1] : "";
    s.seconds = argc > 2 ? std::atof(argv[2]) : 0;
    if (!((s.mode == "stall" && argc == 2) || (s.mode == "trickle" && argc == 3 && s.seconds > 0))) {
        std::fprintf(stderr, "usage: %s stall | trickle SECONDS\n", argv[0]);
        return 2;
    }
    signal(SIGPIPE, SIG_IGN);
    wl_display *display = wl_display_connect(nullptr);
    if (display == nullptr) {
        std::fprintf(stderr, "no Wayland compositor\n");
        return 1;
    }
    wl_registry_add_listener(wl_display_get_registry(display), &kRegistryListener, &s);
    wl_display_roundtrip(display);
    if (!s.compositor || !s.shm || !s.seat || !s.manager || !s.shell) {
        std::fprintf(stderr, "the compositor lacks a global this needs\n");
        return 1;
    }
    xdg_wm_base_add_listener(s.shell, &kShellListener, &s);
    wl_seat_add_listener(s.seat, &kSeatListener, &s);
    s.surface = wl_compositor_create_surface(s.compositor);
    s.xdgSurface = xdg_wm_base_get_xdg_surface(s.shell, s.surface);
    xdg_surface_add_listener(s.xdgSurface, &kXdgSurfaceListener, &s);
    s.toplevel = xdg_surface_get_toplevel(s.xdgSurface);
    xdg_toplevel_add_listener(s.toplevel, &kToplevelListener, &s);
    xdg_toplevel_set_title(s.toplevel, "clipboard source");
    wl_surface_commit(s.surface);

    while (!s.lost) {
        wl_display_flush(display);
        std::vector<pollfd> fds{{wl_display_get_fd(display), POLLIN, 0}};
        for (const Source::Request &r : s.requests)
            fds.push_back({r.pipe, 0, 0}); // a closed reader shows as an error; -1 is passed over
        if (poll(fds.data(), nfds_t(fds.size()), 50) < 0)
            return 1;
        if ((fds[0].revents & POLLIN) && wl_display_dispatch(display) < 0)
            return 1;
        for (size_t i = 0; i + 1 < fds.size(); ++i) {
            Source::Request &r = s.requests[i];
            const std::string n = std::to_string(i + 1);
            bool closed = r.pipe >= 0 && (fds[i + 1].revents & (POLLERR | POLLHUP));
            if (r.pipe >= 0 && !closed && s.mode == "trickle" && r.lines >= 0) {
                if (Since(r.asked) >= long(s.seconds * 1000)) {
                    Say("sent " + n + " " + std::to_string(r.lines));
                    r.lines = -1;
                } else if (Since(r.lastLine) >= 250) {
                    r.lastLine = Clock::now();
                    if (write(r.pipe, "q,a\n", 4) == 4)
                        ++r.lines;
                    else
                        closed = errno == EPIPE;
                }
            }
            if (closed) {
                Say("closed " + n + " " + std::to_string(Since(r.asked)));
                close(r.pipe);
                r.pipe = -1;
            }
        }
    }
    Say("lost");
    wl_display_disconnect(display);
    return 0;
}
