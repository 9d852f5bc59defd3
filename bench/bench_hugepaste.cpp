// A paste of a very large text, as a user makes it: xclip holds the text on the X
// clipboard, the real program starts in a temporary folder without a data file, and
// xdotool clicks its 「データの貼り付け」 button. The text has millions of lines, so a
// paste that worked ends with the message that only the first 301 lines were loaded: the
// paste's time runs from the click to that message box drawn by the X server (see
// xwatch.h), and the data file must then hold the text (the program adds a CR LF after
// the last line).
//
// Repaints: while the paste runs, another connection lays a small window over a corner of
// the main window's lower card (where no dialog comes) every 100 ms and takes it away, as a
// window moved across it would, and watches a pixel there until the program has painted it
// again. The longest such wait is the longest stretch in which the window did not repaint.
//
// Memory: VmHWM of the program once its window is up (the baseline) and once the message
// box is drawn (the peak), each against the text's size. One program per run, so that
// every peak is the paste's own.

#include "xwatch.h"

#include <QFile>
#include <QFileInfo>

#include <X11/Xutil.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <thread>
#include <sys/wait.h>
#include <unistd.h>

using namespace Qt::StringLiterals;
using bench::Clock;
using bench::MsSince;

namespace {

// The window's client area is 749 x 486 pixels; the menu bar takes the rest of its height.
constexpr int kClientHeight = 486;
// The paste button's centre in the client area.
constexpr int kPasteX = 8 + 65 / 2, kPasteY = 8 + 33 / 2;

// Lines "q<i>,a<i>" CR LF up to at least `size` bytes; returns the size written.
qint64 WriteClipText(const QString &path, qint64 size, qint64 &lines)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        throw std::runtime_error("cannot create the text file");
    QByteArray block;
    qint64 written = 0;
    lines = 0;
    for (qint64 i = 1; written + block.size() < size; ++i, ++lines) {
        block += 'q' + QByteArray::number(i) + ",a" + QByteArray::number(i) + "\r\n";
        if (block.size() >= (1 << 20)) {
            if (file.write(block) != block.size())
                throw std::runtime_error("cannot write the text file");
            written += block.size();
            block.clear();
        }
    }
    if (file.write(block) != block.size())
        throw std::runtime_error("cannot write the text file");
    return written + block.size();
}

// Waits up to `timeoutMs` for a process to end; its exit status, or -1.
int Reap(pid_t pid, int timeoutMs)
{
    const Clock::time_point start = Clock::now();
    while (MsSince(start) < timeoutMs) {
        int status = 0;
        if (waitpid(pid, &status, WNOHANG) == pid)
            return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        ::usleep(5000);
    }
    bench::ServerWatch::end(pid);
    return -1;
}

bool ClipboardOwned(Display *display)
{
    return XGetSelectionOwner(display, XInternAtom(display, "CLIPBOARD", False)) != None;
}

// See the top of the file. Runs on a connection of its own, in a thread of its own.
class RepaintProbe
{
public:
    // `x`, `y`: the root coordinates of the corner to cover.
    RepaintProbe(int x, int y) : m_thread([this, x, y] { run(x, y); }) {}
    ~RepaintProbe() { stop(); }

    // Ends the probing; the longest wait for a repaint in ms, or -1 when none was seen.
    double stop()
    {
        m_stop = true;
        if (m_thread.joinable())
            m_thread.join();
        return m_longestMs;
    }

private:
    static constexpr int kSize = 40;
    static constexpr unsigned long kRed = 0xFF0000;

    static unsigned long Pixel(Display *display, int x, int y)
    {
        XImage *image = XGetImage(display, DefaultRootWindow(display), x, y, 1, 1, AllPlanes, ZPixmap);
        if (image == nullptr)
            return 0;
        const unsigned long pixel = XGetPixel(image, 0, 0) & 0xFFFFFF;
        XDestroyImage(image);
        return pixel;
    }

    void run(int x, int y)
    {
        Display *display = XOpenDisplay(nullptr);
        if (display == nullptr)
            return;
        XSetWindowAttributes attributes = {};
        attributes.background_pixel = kRed;
        attributes.override_redirect = True;
        const Window cover = XCreateWindow(display, DefaultRootWindow(display), x, y, kSize, kSize, 0,
                                           CopyFromParent, InputOutput, CopyFromParent,
                                           CWBackPixel | CWOverrideRedirect, &attributes);
        const int px = x + kSize / 2, py = y + kSize / 2;
        while (!m_stop) {
            XMapRaised(display, cover);
            XSync(display, False);
            XUnmapWindow(display, cover);
            XSync(display, False);
            const Clock::time_point uncovered = Clock::now();
            while (!m_stop && Pixel(display, px, py) == kRed)
                ::usleep(2000);
            m_longestMs = std::max(m_longestMs.load(), MsSince(uncovered));
            ::usleep(100 * 1000);
        }
        XDestroyWindow(display, cover);
        XCloseDisplay(display);
    }

    std::atomic<bool> m_stop = false;
    std::atomic<double> m_longestMs = -1;
    std::thread m_thread;
};

void Usage()
{
    std::fprintf(stderr,
                 "usage: bench_hugepaste [--megabytes N] [--runs N] [--timeout-s S] [--slow-s S] PELMOR\n"
                 "  --megabytes N  the text's size, in units of 10^6 bytes (100)\n"
                 "  --runs N       runs, each with a fresh program (3)\n"
                 "  --timeout-s S  a paste without its message box after S s fails (300)\n"
                 "  --slow-s S     no further runs after one slower than S s, or failed (30)\n"
                 "Needs xclip and xdotool, and DISPLAY naming an X server with nothing else on it.\n");
}

} // namespace

int main(int argc, char *argv[])
{
    int megabytes = 100, runs = 3, timeoutS = 300;
    double slowS = 30;
    QByteArray program;
    for (int i = 1; i < argc; ++i) {
        const QByteArray arg = argv[i];
        const bool hasValue = i + 1 < argc;
        if (hasValue && (arg == "--megabytes" || arg == "--runs" || arg == "--timeout-s")) {
            const int value = QByteArray(argv[++i]).toInt();
            (arg == "--megabytes" ? megabytes : arg == "--runs" ? runs : timeoutS) = value;
        } else if (hasValue && arg == "--slow-s") {
            slowS = QByteArray(argv[++i]).toDouble();
        } else if (!arg.startsWith('-') && program.isEmpty()) {
            program = QFileInfo(QString::fromLocal8Bit(arg)).absoluteFilePath().toLocal8Bit();
        } else {
            Usage();
            return 2;
        }
    }
    if (program.isEmpty() || megabytes < 1 || runs < 1) {
        Usage();
        return 2;
    }

    pid_t clipOwner = -1;
    int failures = 0;
    try {
        bench::Sandbox sandbox;
        const QString textPath = sandbox.filePath(u"clip.txt"_s);
        const QString dataPath = sandbox.filePath(u"表示するデータ.txt"_s);
        const QByteArray logPath = sandbox.filePath(u"programs.log"_s).toLocal8Bit();
        qint64 lines = 0;
        const qint64 textBytes = WriteClipText(textPath, qint64(megabytes) * 1000 * 1000, lines);
        bench::ServerWatch watch;
        QString error;

        // xclip keeps the text and serves every request for it until it is ended
        // (-quiet keeps it in the foreground, as our child).
        clipOwner =
            watch.spawn({"xclip", "-quiet", "-selection", "clipboard", "-in", QFile::encodeName(textPath)},
                        logPath, 0, error);
        if (clipOwner < 0)
            throw std::runtime_error(error.toStdString());
        const Clock::time_point owning = Clock::now();
        while (!ClipboardOwned(watch.display())) {
            if (MsSince(owning) > 30000 || waitpid(clipOwner, nullptr, WNOHANG) == clipOwner)
                throw std::runtime_error("xclip did not take the clipboard");
            ::usleep(20000);
        }

        std::printf("Huge paste: %lld bytes of text (%lld lines \"q<i>,a<i>\" CR LF) held by xclip on the X "
                    "clipboard; DISPLAY=%s\n",
                    static_cast<long long>(textBytes), static_cast<long long>(lines),
                    qgetenv("DISPLAY").constData());
        std::printf("click on 「データの貼り付け」 by xdotool; the paste ends with the message box about the "
                    "301 lines, drawn\n");
        std::printf("%-4s %12s %14s %14s %14s %12s %16s %14s %14s\n", "run", "paste ms", "box mapped ms",
                    "RSS before KiB", "peak before KiB", "peak KiB", "(peak-before)/text", "peak/text",
                    "no repaint ms");

        std::vector<double> pasteMs, growthRatio, peakRatio, stillMs;
        for (int run = 1; run <= runs; ++run) {
            QFile::remove(dataPath);
            watch.drain();
            Clock::time_point start = Clock::now();
            const pid_t pid = watch.spawn({program}, logPath, 0, error);
            if (pid < 0)
                throw std::runtime_error(error.toStdString());
            const QByteArray pidText = QByteArray::number(pid);
            bench::WindowFrame frame = watch.waitForFrame(pid, bench::WindowKind::Main, start, 30000);
            double paste = -1, boxMapped = -1, still = -1;
            long rssBefore = -1, peakBefore = -1, peak = -1;
            if (frame.error.isEmpty()) {
                // Whatever the first frame left to do is not the paste's.
                ::usleep(500 * 1000);
                rssBefore = bench::StatusKiB("VmRSS", pidText);
                peakBefore = bench::StatusKiB("VmHWM", pidText);
                const int x = kPasteX, y = frame.height - kClientHeight + kPasteY;
                int rootX = 0, rootY = 0;
                Window child = 0;
                XTranslateCoordinates(watch.display(), frame.window, DefaultRootWindow(watch.display()), 10,
                                      frame.height - kClientHeight + 340, &rootX, &rootY, &child);
                watch.drain();
                start = Clock::now();
                const pid_t click =
                    watch.spawn({"xdotool", "mousemove", "--window", QByteArray::number(frame.window),
                                 QByteArray::number(x), QByteArray::number(y), "click", "1"},
                                logPath, 0, error);
                if (click < 0)
                    throw std::runtime_error(error.toStdString());
                RepaintProbe probe(rootX, rootY);
                // A long paste first shows its progress dialog; the paste ends with the box
                // that comes once the data file is whole.
                bench::WindowFrame box;
                do {
                    const int left = timeoutS * 1000 - int(bench::MsSince(start));
                    box = watch.waitForFrame(pid, bench::WindowKind::Dialog, start, std::max(left, 1));
                } while (box.error.isEmpty() && !box.exited && QFileInfo(dataPath).size() < textBytes &&
                         bench::MsSince(start) < timeoutS * 1000);
                peak = bench::StatusKiB("VmHWM", pidText);
                still = probe.stop();
                if (Reap(click, 5000) != 0)
                    frame.error = u"xdotool failed"_s;
                else if (!box.error.isEmpty())
                    frame.error = u"the paste brought no message box: "_s + box.error;
                else if (const qint64 kept = QFileInfo(dataPath).size();
                         kept != textBytes && kept != textBytes + 2)
                    frame.error =
                        u"the data file has %1 bytes, not the text's %2 (a failure's message box?)"_s
                            .arg(kept)
                            .arg(textBytes);
                paste = box.frameMs;
                boxMapped = box.mapMs;
                frame.exited = box.exited;
            }
            if (!frame.exited)
                bench::ServerWatch::end(pid);

            const double growth = double(peak - peakBefore) * 1024 / double(textBytes);
            const double ratio = double(peak) * 1024 / double(textBytes);
            std::printf("%-4d %12.1f %14.1f %14ld %14ld %12ld %18.2f %14.2f %14.1f\n", run, paste, boxMapped,
                        rssBefore, peakBefore, peak, growth, ratio, still);
            if (!frame.error.isEmpty()) {
                std::printf("     failed: %s\n", qPrintable(frame.error));
                ++failures;
            } else {
                pasteMs.push_back(paste);
                growthRatio.push_back(growth);
                peakRatio.push_back(ratio);
                stillMs.push_back(still);
            }
            std::fflush(stdout);
            if (!frame.error.isEmpty() || (slowS > 0 && paste > slowS * 1000)) {
                if (run < runs)
                    std::printf("(no further runs after one slower than %.0f s or failed)\n", slowS);
                break;
            }
        }
        bench::ServerWatch::end(clipOwner);
        clipOwner = -1;

        std::printf(
            "(paste ms: from the click to the message box fully drawn; peak before: VmHWM 0.5 s after\n"
            " the window's first full frame; peak: VmHWM when the box was drawn; no repaint: the longest\n"
            " wait for the window to paint a corner again that was covered and uncovered every 100 ms\n"
            " from the click on; text: %lld bytes)\n",
            static_cast<long long>(textBytes));
        if (pasteMs.empty()) {
            std::printf("no paste succeeded\n");
            return 1;
        }
        const double growth = bench::Quantile(growthRatio, 1), ratio = bench::Quantile(peakRatio, 1);
        std::printf("median of %zu: paste %.1f ms (%.1f MB/s)\n", pasteMs.size(), bench::Median(pasteMs),
                    double(textBytes) / 1e3 / bench::Median(pasteMs));
        std::printf("largest (peak - peak before) / text: %.2f  (goal < 4: %s)\n", growth,
                    growth < 4 ? "met" : "MISSED");
        std::printf("largest peak / text:                 %.2f  (goal < 4: %s)\n", ratio,
                    ratio < 4 ? "met" : "MISSED");
        const double still = bench::Quantile(stillMs, 1);
        std::printf("longest stretch without a repaint:   %.0f ms  (goal <= 500: %s)\n", still,
                    still >= 0 && still <= 500 ? "met" : "MISSED");
    } catch (const std::exception &error) {
        std::fprintf(stderr, "bench_hugepaste: %s\n", error.what());
        if (clipOwner > 0)
            bench::ServerWatch::end(clipOwner);
        return 1;
    }
    return failures == 0 ? 0 : 1;
}
