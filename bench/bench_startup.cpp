// Start-up of two window programs, timed by the X server: from just before the program
// is spawned to the moment its top-level window is mapped and every pixel of it has been
// drawn. The programs take turns, in a temporary working directory holding the largest
// data file, on the X server named by DISPLAY, which must have nothing else drawing on it.
//
// How the frame is seen: a DAMAGE object on the root window reports every drawing
// request the server carries out on any window, with its rectangle. The program's window
// is the first top-level window mapped whose _NET_WM_PID is the spawned process; the
// frame is complete when the damage reported inside that window covers all of it. The
// server sends the report only after it has drawn, so the time is that of pixels on the
// (virtual) screen, not of a request still in the program's buffers. Watching the root,
// rather than the window once it appears, leaves no gap in which a paint could be missed.
//
// Peak memory is VmHWM of the process, read a settling time after the frame and just
// before it is terminated.

#include "benchsupport.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/extensions/Xdamage.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

using namespace Qt::StringLiterals;
using bench::Clock;
using bench::MsSince;

namespace {

int IgnoreXError(Display *, XErrorEvent *)
{
    // A window may vanish between its event and our question about it.
    return 0;
}

// The CPU time, in ms, that all threads of a process have run (from the scheduler's
// nanosecond accounts, not the coarse clock ticks of /proc/PID/stat).
double CpuMs(pid_t pid)
{
    const QString tasks = u"/proc/%1/task"_s.arg(pid);
    double ns = 0;
    for (const QString &task : QDir(tasks).entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        QFile file(tasks + u'/' + task + u"/schedstat"_s);
        if (file.open(QIODevice::ReadOnly))
            ns += file.readAll().split(' ').constFirst().toDouble();
    }
    return ns / 1e6;
}

struct Launch
{
    bool ok = false;
    QString error;
    double mapMs = -1;        // window mapped
    double firstPaintMs = -1; // first drawing inside it
    double frameMs = -1;      // all of it drawn
    double cpuMs = -1;        // CPU time the process had used by then
    long peakRssKiB = -1;
};

class ServerWatch
{
public:
    ServerWatch()
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
        XSync(m_display, False);
    }
    ~ServerWatch()
    {
        XDamageDestroy(m_display, m_damage);
        XCloseDisplay(m_display);
    }

    // Drops everything reported so far (the last program's window going away repaints
    // the root).
    void drain()
    {
        XSync(m_display, False);
        while (XPending(m_display) > 0) {
            XEvent event;
            XNextEvent(m_display, &event);
        }
    }

    Launch launch(const QByteArray &program, const QByteArray &logPath, int settleMs, int timeoutMs)
    {
        Launch result;
        drain();

        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_addopen(&actions, 1, logPath.constData(), O_WRONLY | O_CREAT | O_APPEND, 0644);
        posix_spawn_file_actions_adddup2(&actions, 1, 2);
        char *const argv[] = {const_cast<char *>(program.constData()), nullptr};

        const Clock::time_point start = Clock::now();
        pid_t pid = 0;
        const int spawnError = posix_spawn(&pid, program.constData(), &actions, nullptr, argv, environ);
        posix_spawn_file_actions_destroy(&actions);
        if (spawnError != 0) {
            result.error = u"cannot start: "_s + QString::fromLocal8Bit(std::strerror(spawnError));
            return result;
        }

        Window target = 0;
        int left = 0, top = 0, width = 0, height = 0;
        std::vector<unsigned char> drawn;
        long undrawn = 0;
        bool exited = false;
        while (result.frameMs < 0) {
            while (XPending(m_display) > 0 && result.frameMs < 0) {
                XEvent event;
                XNextEvent(m_display, &event);
                if (event.type == MapNotify && event.xmap.event == m_root && target == 0
                    && windowPid(event.xmap.window) == pid) {
                    result.mapMs = MsSince(start);
                    target = event.xmap.window;
                    XWindowAttributes attributes;
                    if (XGetWindowAttributes(m_display, target, &attributes) == 0) {
                        result.error = u"the window went away"_s;
                        break;
                    }
                    left = attributes.x + attributes.border_width;
                    top = attributes.y + attributes.border_width;
                    width = attributes.width;
                    height = attributes.height;
                    drawn.assign(size_t(width) * size_t(height), 0);
                    undrawn = long(width) * height;
                } else if (event.type == m_damageEventBase + XDamageNotify && target != 0) {
                    const auto &damage = reinterpret_cast<const XDamageNotifyEvent &>(event);
                    const int x0 = std::max<int>(damage.area.x, left) - left;
                    const int y0 = std::max<int>(damage.area.y, top) - top;
                    const int x1 = std::min<int>(damage.area.x + damage.area.width, left + width) - left;
                    const int y1 = std::min<int>(damage.area.y + damage.area.height, top + height) - top;
                    if (x0 >= x1 || y0 >= y1)
                        continue;
                    if (result.firstPaintMs < 0)
                        result.firstPaintMs = MsSince(start);
                    for (int y = y0; y < y1; ++y) {
                        unsigned char *row = drawn.data() + size_t(y) * size_t(width);
                        for (int x = x0; x < x1; ++x) {
                            undrawn -= row[x] == 0;
                            row[x] = 1;
                        }
                    }
                    if (undrawn == 0) {
                        result.frameMs = MsSince(start);
                        result.cpuMs = CpuMs(pid);
                    }
                }
            }
            if (result.frameMs >= 0 || !result.error.isEmpty())
                break;
            int status = 0;
            if (waitpid(pid, &status, WNOHANG) == pid) {
                exited = true;
                result.error = u"the program ended before its first frame (status %1)"_s.arg(status);
                break;
            }
            if (MsSince(start) > timeoutMs) {
                result.error = target == 0 ? u"no window within the time limit"_s
                                           : u"the window was not fully drawn within the time limit (%1 of %2 pixels left)"_s
                                                 .arg(undrawn)
                                                 .arg(long(width) * height);
                break;
            }
            pollfd fd{ConnectionNumber(m_display), POLLIN, 0};
            poll(&fd, 1, 20);
        }

        if (!exited) {
            if (result.error.isEmpty()) {
                ::usleep(useconds_t(settleMs) * 1000);
                result.peakRssKiB = bench::StatusKiB("VmHWM", QByteArray::number(pid));
                result.ok = result.peakRssKiB > 0;
                if (!result.ok)
                    result.error = u"cannot read the peak memory"_s;
            }
            end(pid);
        }
        return result;
    }

private:
    long windowPid(Window window)
    {
        Atom type = None;
        int format = 0;
        unsigned long count = 0, after = 0;
        unsigned char *data = nullptr;
        long pid = -1;
        if (XGetWindowProperty(m_display, window, m_pidAtom, 0, 1, False, XA_CARDINAL, &type, &format, &count,
                               &after, &data)
                == Success
            && data != nullptr && format == 32 && count == 1)
            pid = long(*reinterpret_cast<unsigned long *>(data));
        if (data != nullptr)
            XFree(data);
        return pid;
    }

    static void end(pid_t pid)
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

    Display *m_display = nullptr;
    Window m_root = 0;
    Damage m_damage = 0;
    int m_damageEventBase = 0;
    Atom m_pidAtom = None;
};

struct Series
{
    QString name;
    QByteArray path;
    std::vector<double> mapMs, firstPaintMs, frameMs, cpuMs, peakMiB;
    int failures = 0;
};

void Usage()
{
    std::fprintf(stderr,
                 "usage: bench_startup [--runs N] [--settle-ms MS] [--timeout-s S] PROGRAM BASELINE\n"
                 "Runs both window programs in turn on the X server of DISPLAY and compares\n"
                 "PROGRAM's start-up time to its first full frame, and its peak memory, with BASELINE's.\n");
}

} // namespace

int main(int argc, char *argv[])
{
    int runs = 15;
    int settleMs = 500;
    int timeoutS = 30;
    QList<QByteArray> programs;
    for (int i = 1; i < argc; ++i) {
        const QByteArray arg = argv[i];
        if ((arg == "--runs" || arg == "--settle-ms" || arg == "--timeout-s") && i + 1 < argc) {
            const int value = QByteArray(argv[++i]).toInt();
            (arg == "--runs" ? runs : arg == "--settle-ms" ? settleMs : timeoutS) = value;
        } else if (arg.startsWith('-')) {
            Usage();
            return 2;
        } else {
            programs.append(QFileInfo(QString::fromLocal8Bit(arg)).absoluteFilePath().toLocal8Bit());
        }
    }
    if (programs.size() != 2 || runs < 1) {
        Usage();
        return 2;
    }

    try {
        bench::Sandbox sandbox;
        bench::WriteFile(sandbox.filePath(u"表示するデータ.txt"_s), bench::DeckFileBytes(301));
        const QByteArray logPath = sandbox.filePath(u"programs.log"_s).toLocal8Bit();
        ServerWatch watch;

        std::vector<Series> series(2);
        for (int p = 0; p < 2; ++p) {
            series[p].path = programs[p];
            series[p].name = QFileInfo(QString::fromLocal8Bit(programs[p])).fileName();
        }

        std::printf("Start-up: %d runs each, taking turns, after one unmeasured run each; DISPLAY=%s\n", runs,
                    qgetenv("DISPLAY").constData());
        std::printf("data file: 301 lines, %lld bytes, in %s\n",
                    static_cast<long long>(QFileInfo(sandbox.filePath(u"表示するデータ.txt"_s)).size()),
                    qPrintable(sandbox.path()));
        std::printf("%-4s %-12s %10s %14s %14s %12s %14s\n", "run", "program", "mapped ms", "first paint ms",
                    "full frame ms", "CPU ms", "peak RSS KiB");
        for (int round = 0; round <= runs; ++round) {
            // Alternate which goes first, so neither always follows the other.
            for (int k = 0; k < 2; ++k) {
                Series &s = series[(round + k) % 2];
                const Launch launch = watch.launch(s.path, logPath, settleMs, timeoutS * 1000);
                const QString label = round == 0 ? u"warm"_s : QString::number(round);
                if (!launch.ok) {
                    std::printf("%-4s %-12s failed: %s\n", qPrintable(label), qPrintable(s.name),
                                qPrintable(launch.error));
                    if (round > 0)
                        ++s.failures;
                    continue;
                }
                std::printf("%-4s %-12s %10.1f %14.1f %14.1f %12.1f %14ld\n", qPrintable(label), qPrintable(s.name),
                            launch.mapMs, launch.firstPaintMs, launch.frameMs, launch.cpuMs, launch.peakRssKiB);
                if (round == 0)
                    continue;
                s.mapMs.push_back(launch.mapMs);
                s.firstPaintMs.push_back(launch.firstPaintMs);
                s.frameMs.push_back(launch.frameMs);
                s.cpuMs.push_back(launch.cpuMs);
                s.peakMiB.push_back(double(launch.peakRssKiB) / 1024.0);
            }
            std::fflush(stdout);
        }

        std::printf("\n%-12s %5s %10s %14s %14s %18s %8s %13s\n", "program", "runs", "mapped ms", "first paint ms",
                    "full frame ms", "(min .. max) ms", "CPU ms", "peak RSS MiB");
        for (const Series &s : series) {
            if (s.frameMs.empty()) {
                std::printf("%-12s no successful run\n", qPrintable(s.name));
                continue;
            }
            std::printf("%-12s %5zu %10.1f %14.1f %14.1f %8.1f .. %-7.1f %8.1f %13.1f\n", qPrintable(s.name),
                        s.frameMs.size(), bench::Median(s.mapMs), bench::Median(s.firstPaintMs),
                        bench::Median(s.frameMs), bench::Quantile(s.frameMs, 0), bench::Quantile(s.frameMs, 1),
                        bench::Median(s.cpuMs), bench::Median(s.peakMiB));
        }
        std::printf("(medians; CPU ms: the program's own CPU time when its frame was complete;\n"
                    " peak RSS: VmHWM %d ms after the full frame)\n",
                    settleMs);
        if (series[0].frameMs.empty() || series[1].frameMs.empty())
            return 1;
        const double timeRatio = bench::Median(series[0].frameMs) / bench::Median(series[1].frameMs);
        const double memoryRatio = bench::Median(series[0].peakMiB) / bench::Median(series[1].peakMiB);
        std::printf("time to full frame, %s / %s: %.3f  (goal <= 1.15: %s)\n", qPrintable(series[0].name),
                    qPrintable(series[1].name), timeRatio, timeRatio <= 1.15 ? "met" : "MISSED");
        std::printf("peak RSS, %s / %s:           %.3f  (goal <= 1.20: %s)\n", qPrintable(series[0].name),
                    qPrintable(series[1].name), memoryRatio, memoryRatio <= 1.20 ? "met" : "MISSED");
        return series[0].failures + series[1].failures == 0 ? 0 : 1;
    } catch (const std::exception &error) {
        std::fprintf(stderr, "bench_startup: %s\n", error.what());
        return 1;
    }
}
