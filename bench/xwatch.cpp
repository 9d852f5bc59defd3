#include "xwatch.h"

#include <QDir>
#include <QFile>

#include <X11/Xatom.h>
#include <X11/extensions/Xdamage.h>

#include <algorithm>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <stdexcept>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char **environ;

using namespace Qt::StringLiterals;

namespace bench {

namespace {

int IgnoreXError(Display *, XErrorEvent *)
{
    // A window may vanish between its event and our question about it.
    return 0;
}

} // namespace

double CpuMs(pid_t pid)
{
    // The scheduler's nanosecond accounts, not the coarse clock ticks of /proc/PID/stat.
    const QString tasks = u"/proc/%1/task"_s.arg(pid);
    double ns = 0;
    for (const QString &task : QDir(tasks).entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        QFile file(tasks + u'/' + task + u"/schedstat"_s);
        if (file.open(QIODevice::ReadOnly))
            ns += file.readAll().split(' ').constFirst().toDouble();
    }
    return ns / 1e6;
}

ServerWatch::ServerWatch()
{
    m_display = XOpenDisplay(nullptr);
    if (m_display == nullptr)
        throw std::runtime_error("cannot open the X display named by DISPLAY");
    XSetErrorHandler(IgnoreXError);
    int errorBase = 0;
    if (!XDamageQueryExtension(m_display, &m_damageEventBase, &errorBase))
        throw std::runtime_error("the X server has no DAMAGE extension");
    m_root = DefaultRootWindow(m_display);
    XSelectInput(m_display, m_root, SubstructureNotifyMask);
    m_damage = XDamageCreate(m_display, m_root, XDamageReportRawRectangles);
    m_pidAtom = XInternAtom(m_display, "_NET_WM_PID", False);
    m_typeAtom = XInternAtom(m_display, "_NET_WM_WINDOW_TYPE", False);
    m_dialogAtom = XInternAtom(m_display, "_NET_WM_WINDOW_TYPE_DIALOG", False);
    XSync(m_display, False);
}

ServerWatch::~ServerWatch()
{
    XDamageDestroy(m_display, m_damage);
    XCloseDisplay(m_display);
}

void ServerWatch::drain()
{
    XSync(m_display, False);
    while (XPending(m_display) > 0) {
        XEvent event;
        XNextEvent(m_display, &event);
    }
}

pid_t ServerWatch::spawn(const QList<QByteArray> &argv, const QByteArray &logPath, qint64 addressLimit,
                         QString &error)
{
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, logPath.constData(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    std::vector<char *> args;
    for (const QByteArray &arg : argv)
        args.push_back(const_cast<char *>(arg.constData()));
    args.push_back(nullptr);

    // The child inherits the limit; this process gets its own back at once.
    if (addressLimit > 0 && !LimitAddressSpace(addressLimit)) {
        posix_spawn_file_actions_destroy(&actions);
        error = u"cannot limit the address space"_s;
        return -1;
    }
    pid_t pid = -1;
    const int spawnError = posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), environ);
    if (addressLimit > 0)
        LimitAddressSpace(0);
    posix_spawn_file_actions_destroy(&actions);
    if (spawnError != 0) {
        error = u"cannot start %1: %2"_s.arg(QString::fromLocal8Bit(argv.constFirst()),
                                             QString::fromLocal8Bit(std::strerror(spawnError)));
        return -1;
    }
    return pid;
}

WindowFrame ServerWatch::waitForFrame(pid_t pid, WindowKind kind, Clock::time_point start, int timeoutMs)
{
    WindowFrame result;
    int left = 0, top = 0;
    std::vector<unsigned char> drawn;
    long undrawn = 0;
    while (true) {
        while (XPending(m_display) > 0) {
            XEvent event;
            XNextEvent(m_display, &event);
            if (event.type == MapNotify && event.xmap.event == m_root && result.window == 0 &&
                windowPid(event.xmap.window) == pid) {
                if (windowKind(event.xmap.window) != kind) {
                    if (result.otherMapMs < 0)
                        result.otherMapMs = MsSince(start);
                    if (kind == WindowKind::Main && answerBoxes) {
                        QString error;
                        const QByteArray id = QByteArray::number(qulonglong(event.xmap.window));
                        spawn({"xdotool", "sleep", "0.2", "windowfocus", "--sync", id, "key", "--window", id,
                               "Return"},
                              "/dev/null", 0, error);
                        continue;
                    }
                    if (kind == WindowKind::Main) {
                        result.error = u"a message box came up at %1 ms instead of the window"_s.arg(
                            result.otherMapMs, 0, 'f', 1);
                        return result;
                    }
                    continue;
                }
                result.mapMs = MsSince(start);
                result.window = event.xmap.window;
                XWindowAttributes attributes;
                if (XGetWindowAttributes(m_display, result.window, &attributes) == 0) {
                    result.error = u"the window went away"_s;
                    return result;
                }
                left = attributes.x + attributes.border_width;
                top = attributes.y + attributes.border_width;
                result.width = attributes.width;
                result.height = attributes.height;
                drawn.assign(size_t(result.width) * size_t(result.height), 0);
                undrawn = long(result.width) * result.height;
            } else if (event.type == m_damageEventBase + XDamageNotify && result.window != 0) {
                const auto &damage = reinterpret_cast<const XDamageNotifyEvent &>(event);
                const int x0 = std::max<int>(damage.area.x, left) - left;
                const int y0 = std::max<int>(damage.area.y, top) - top;
                const int x1 = std::min<int>(damage.area.x + damage.area.width, left + result.width) - left;
                const int y1 = std::min<int>(damage.area.y + damage.area.height, top + result.height) - top;
                if (x0 >= x1 || y0 >= y1)
                    continue;
                if (result.firstPaintMs < 0)
                    result.firstPaintMs = MsSince(start);
                for (int y = y0; y < y1; ++y) {
                    unsigned char *row = drawn.data() + size_t(y) * size_t(result.width);
                    for (int x = x0; x < x1; ++x) {
                        undrawn -= row[x] == 0;
                        row[x] = 1;
                    }
                }
                if (undrawn == 0) {
                    result.frameMs = MsSince(start);
                    return result;
                }
            }
        }
        int status = 0;
        if (waitpid(pid, &status, WNOHANG) == pid) {
            result.exited = true;
            result.error = WIFSIGNALED(status)
                               ? u"the program was killed by signal %1 (%2)"_s.arg(WTERMSIG(status))
                                     .arg(QString::fromLocal8Bit(strsignal(WTERMSIG(status))))
                               : u"the program ended with status %1"_s.arg(WEXITSTATUS(status));
            return result;
        }
        if (MsSince(start) > timeoutMs) {
            result.error = result.window == 0
                               ? u"no window within %1 s"_s.arg(timeoutMs / 1000.0)
                               : u"the window was not fully drawn within %1 s (%2 of %3 pixels left)"_s
                                     .arg(timeoutMs / 1000.0)
                                     .arg(undrawn)
                                     .arg(long(result.width) * result.height);
            return result;
        }
        pollfd fd{ConnectionNumber(m_display), POLLIN, 0};
        poll(&fd, 1, 20);
    }
}

void ServerWatch::end(pid_t pid)
{
    ::kill(pid, SIGTERM);
    for (int i = 0; i < 300; ++i) {
        if (waitpid(pid, nullptr, WNOHANG) == pid)
            return;
        ::usleep(10000);
    }
    ::kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
}

long ServerWatch::windowPid(Window window)
{
    Atom type = None;
    int format = 0;
    unsigned long count = 0, after = 0;
    unsigned char *data = nullptr;
    long pid = -1;
    if (XGetWindowProperty(m_display, window, m_pidAtom, 0, 1, False, XA_CARDINAL, &type, &format, &count,
                           &after, &data) == Success &&
        data != nullptr && format == 32 && count == 1)
        pid = long(*reinterpret_cast<unsigned long *>(data));
    if (data != nullptr)
        XFree(data);
    return pid;
}

WindowKind ServerWatch::windowKind(Window window)
{
    Atom type = None;
    int format = 0;
    unsigned long count = 0, after = 0;
    unsigned char *data = nullptr;
    WindowKind kind = WindowKind::Main;
    if (XGetWindowProperty(m_display, window, m_typeAtom, 0, 16, False, XA_ATOM, &type, &format, &count,
                           &after, &data) == Success &&
        data != nullptr && format == 32) {
        const auto *types = reinterpret_cast<const unsigned long *>(data);
        if (std::find(types, types + count, m_dialogAtom) != types + count)
            kind = WindowKind::Dialog;
    }
    if (data != nullptr)
        XFree(data);
    return kind;
}

} // namespace bench
