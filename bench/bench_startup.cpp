// Start-up of window programs, timed by the X server: from just before the program is
// spawned to the moment its main window is mapped and every pixel of it has been drawn
// (see xwatch.h for how). With two programs they take turns and are compared; with one it
// is measured alone, as with a large data file. Each run is in a temporary working
// directory holding the data file, on the X server named by DISPLAY, which must have
// nothing else drawing on it.
//
// Peak memory is VmHWM of the process, read when the frame is complete and again a
// settling time later, just before the process is terminated. A message box that comes up
// instead of the window (a failed allocation under --memory-limit-mib, say) fails the run.

#include "xwatch.h"

#include <QFileInfo>

#include <cstdio>
#include <unistd.h>

using namespace Qt::StringLiterals;
using bench::Clock;
using bench::MsSince;

namespace {

struct Launch
{
    bool ok = false;
    QString error;
    double mapMs = -1;        // window mapped
    double firstPaintMs = -1; // first drawing inside it
    double frameMs = -1;      // all of it drawn
    double cpuMs = -1;        // CPU time the process had used by then
    long frameRssKiB = -1;    // VmHWM when the frame was complete
    long peakRssKiB = -1;     // VmHWM a settling time later
};

Launch Start(bench::ServerWatch &watch, const QByteArray &program, const QByteArray &logPath, int settleMs,
             int timeoutMs, qint64 addressLimit)
{
    Launch result;
    // The last program's window going away repaints the root.
    watch.drain();
    const Clock::time_point start = Clock::now();
    const pid_t pid = watch.spawn({program}, logPath, addressLimit, result.error);
    if (pid < 0)
        return result;
    const bench::WindowFrame frame = watch.waitForFrame(pid, bench::WindowKind::Main, start, timeoutMs);
    const QByteArray pidText = QByteArray::number(pid);
    result.frameRssKiB = bench::StatusKiB("VmHWM", pidText);
    result.cpuMs = bench::CpuMs(pid);
    result.mapMs = frame.mapMs;
    result.firstPaintMs = frame.firstPaintMs;
    result.frameMs = frame.frameMs;
    result.error = frame.error;
    if (frame.exited)
        return result;
    if (frame.otherMapMs >= 0 && result.error.isEmpty())
        std::printf("     a message box came first, at %.1f ms, and was answered with Enter\n",
                    frame.otherMapMs);
    if (result.error.isEmpty()) {
        ::usleep(useconds_t(settleMs) * 1000);
        result.peakRssKiB = bench::StatusKiB("VmHWM", pidText);
        result.ok = result.peakRssKiB > 0;
        if (!result.ok)
            result.error = u"cannot read the peak memory"_s;
    } else if (result.frameRssKiB > 0) {
        result.error += u" (peak RSS then %1 KiB)"_s.arg(result.frameRssKiB);
    }
    bench::ServerWatch::end(pid);
    return result;
}

struct Series
{
    QString name;
    QByteArray path;
    std::vector<double> mapMs, firstPaintMs, frameMs, cpuMs, frameRssMiB, peakMiB;
    int failures = 0;
};

void Usage()
{
    std::fprintf(stderr,
                 "usage: bench_startup [OPTION...] PROGRAM [BASELINE]\n"
                 "Starts the window programs on the X server of DISPLAY and times each to its first full\n"
                 "frame, with its peak memory; with BASELINE the two take turns and are compared.\n"
                 "  --runs N              measured runs of each (15)\n"
                 "  --warm N              unmeasured runs of each first (1)\n"
                 "  --settle-ms MS        peak memory read again MS after the frame (500)\n"
                 "  --timeout-s S         a run without its full frame after S s fails (30)\n"
                 "  --data KIND           the data file: deck, no-line-end:SIZE, sparse:SIZE (deck)\n"
                 "  --memory-limit-mib N  address-space limit of the programs (none)\n"
                 "  --answer-boxes        press Enter on a message box that comes before the window\n"
                 "  --slow-s S            no further runs after one slower than S s, or failed (off)\n"
                 "  --goal-s S            goal for the time to the full frame (none)\n"
                 "  --goal-peak-mb MB     goal for the peak memory, in units of 10^6 bytes (none)\n");
}

} // namespace

int main(int argc, char *argv[])
{
    int runs = 15;
    int warm = 1;
    int settleMs = 500;
    int timeoutS = 30;
    int memoryLimitMiB = 0;
    double slowS = 0, goalS = 0, goalPeakMB = 0;
    QByteArray dataKind = "deck";
    bool answerBoxes = false;
    QList<QByteArray> programs;
    for (int i = 1; i < argc; ++i) {
        const QByteArray arg = argv[i];
        const bool hasValue = i + 1 < argc;
        if (hasValue && (arg == "--runs" || arg == "--warm" || arg == "--settle-ms" || arg == "--timeout-s" ||
                         arg == "--memory-limit-mib")) {
            const int value = QByteArray(argv[++i]).toInt();
            (arg == "--runs"        ? runs
             : arg == "--warm"      ? warm
             : arg == "--settle-ms" ? settleMs
             : arg == "--timeout-s" ? timeoutS
                                    : memoryLimitMiB) = value;
        } else if (hasValue && (arg == "--slow-s" || arg == "--goal-s" || arg == "--goal-peak-mb")) {
            const double value = QByteArray(argv[++i]).toDouble();
            (arg == "--slow-s" ? slowS : arg == "--goal-s" ? goalS : goalPeakMB) = value;
        } else if (arg == "--answer-boxes") {
            answerBoxes = true;
        } else if (hasValue && arg == "--data") {
            dataKind = argv[++i];
        } else if (arg.startsWith('-')) {
            Usage();
            return 2;
        } else {
            programs.append(QFileInfo(QString::fromLocal8Bit(arg)).absoluteFilePath().toLocal8Bit());
        }
    }
    if (programs.isEmpty() || programs.size() > 2 || runs < 1 || warm < 0) {
        Usage();
        return 2;
    }

    try {
        bench::Sandbox sandbox;
        const QString dataPath = sandbox.filePath(u"表示するデータ.txt"_s);
        const QString dataText = bench::WriteDataFileOfKind(dataPath, dataKind);
        const QByteArray logPath = sandbox.filePath(u"programs.log"_s).toLocal8Bit();
        const qint64 addressLimit = qint64(memoryLimitMiB) << 20;
        bench::ServerWatch watch;
        watch.answerBoxes = answerBoxes;

        const int count = int(programs.size());
        std::vector<Series> series(static_cast<size_t>(count));
        for (int p = 0; p < count; ++p) {
            series[size_t(p)].path = programs[p];
            series[size_t(p)].name = QFileInfo(QString::fromLocal8Bit(programs[p])).fileName();
        }

        std::printf("Start-up: %d runs each%s, after %d unmeasured run(s) each; DISPLAY=%s\n", runs,
                    count == 2 ? ", taking turns" : "", warm, qgetenv("DISPLAY").constData());
        std::printf("data file: %s, in %s\n", qPrintable(dataText), qPrintable(sandbox.path()));
        if (addressLimit > 0)
            std::printf("address space of the programs limited to %d MiB (RLIMIT_AS)\n", memoryLimitMiB);
        std::printf("%-4s %-12s %10s %14s %14s %12s %16s %14s\n", "run", "program", "mapped ms",
                    "first paint ms", "full frame ms", "CPU ms", "RSS@frame KiB", "peak RSS KiB");
        bool stop = false;
        int round = 1 - warm;
        for (; round <= runs && !stop; ++round) {
            // Alternate which goes first, so neither always follows the other.
            for (int k = 0; k < count; ++k) {
                Series &s = series[size_t((round + warm + k) % count)];
                const Launch launch = Start(watch, s.path, logPath, settleMs, timeoutS * 1000, addressLimit);
                const QString label = round <= 0 ? u"warm"_s : QString::number(round);
                if (round > 0 && slowS > 0 && (!launch.ok || launch.frameMs > slowS * 1000))
                    stop = true;
                if (!launch.ok) {
                    std::printf("%-4s %-12s failed: %s\n", qPrintable(label), qPrintable(s.name),
                                qPrintable(launch.error));
                    if (round > 0)
                        ++s.failures;
                    continue;
                }
                std::printf("%-4s %-12s %10.1f %14.1f %14.1f %12.1f %16ld %14ld\n", qPrintable(label),
                            qPrintable(s.name), launch.mapMs, launch.firstPaintMs, launch.frameMs,
                            launch.cpuMs, launch.frameRssKiB, launch.peakRssKiB);
                if (round <= 0)
                    continue;
                s.mapMs.push_back(launch.mapMs);
                s.firstPaintMs.push_back(launch.firstPaintMs);
                s.frameMs.push_back(launch.frameMs);
                s.cpuMs.push_back(launch.cpuMs);
                s.frameRssMiB.push_back(double(launch.frameRssKiB) / 1024.0);
                s.peakMiB.push_back(double(launch.peakRssKiB) / 1024.0);
            }
            std::fflush(stdout);
        }
        if (stop && round <= runs)
            std::printf("(no further runs after one slower than %.0f s or failed)\n", slowS);

        std::printf("\n%-12s %5s %10s %14s %14s %18s %8s %13s %13s\n", "program", "runs", "mapped ms",
                    "first paint ms", "full frame ms", "(min .. max) ms", "CPU ms", "RSS@frame MiB",
                    "peak RSS MiB");
        for (const Series &s : series) {
            if (s.frameMs.empty()) {
                std::printf("%-12s no successful run\n", qPrintable(s.name));
                continue;
            }
            std::printf("%-12s %5zu %10.1f %14.1f %14.1f %8.1f .. %-7.1f %8.1f %13.1f %13.1f\n",
                        qPrintable(s.name), s.frameMs.size(), bench::Median(s.mapMs),
                        bench::Median(s.firstPaintMs), bench::Median(s.frameMs),
                        bench::Quantile(s.frameMs, 0), bench::Quantile(s.frameMs, 1), bench::Median(s.cpuMs),
                        bench::Median(s.frameRssMiB), bench::Median(s.peakMiB));
        }
        std::printf("(medians; CPU ms: the program's own CPU time when its frame was complete;\n"
                    " RSS@frame: VmHWM when the frame was complete; peak RSS: VmHWM %d ms after it)\n",
                    settleMs);

        const Series &program = series[0];
        if (goalS > 0 || goalPeakMB > 0) {
            if (program.frameMs.empty()) {
                std::printf("%s: did not come up within the limits, goals MISSED\n",
                            qPrintable(program.name));
            } else {
                const double frameS = bench::Quantile(program.frameMs, 1) / 1000;
                const double peakMB = bench::Quantile(program.peakMiB, 1) * 1048576 / 1e6;
                if (goalS > 0)
                    std::printf("%s, slowest time to full frame: %.2f s  (goal <= %g s: %s)\n",
                                qPrintable(program.name), frameS, goalS, frameS <= goalS ? "met" : "MISSED");
                if (goalPeakMB > 0)
                    std::printf("%s, largest peak RSS: %.1f MB  (goal < %g MB: %s)\n",
                                qPrintable(program.name), peakMB, goalPeakMB,
                                peakMB < goalPeakMB ? "met" : "MISSED");
            }
        }
        if (count == 2) {
            if (series[0].frameMs.empty() || series[1].frameMs.empty())
                return 1;
            const double timeRatio = bench::Median(series[0].frameMs) / bench::Median(series[1].frameMs);
            const double memoryRatio = bench::Median(series[0].peakMiB) / bench::Median(series[1].peakMiB);
            std::printf("time to full frame, %s / %s: %.3f  (goal <= 1.15: %s)\n", qPrintable(series[0].name),
                        qPrintable(series[1].name), timeRatio, timeRatio <= 1.15 ? "met" : "MISSED");
            std::printf("peak RSS, %s / %s:           %.3f  (goal <= 1.20: %s)\n", qPrintable(series[0].name),
                        qPrintable(series[1].name), memoryRatio, memoryRatio <= 1.20 ? "met" : "MISSED");
        }
        int failures = 0;
        for (const Series &s : series)
            failures += s.failures;
        return failures == 0 ? 0 : 1;
    } catch (const std::exception &error) {
        std::fprintf(stderr, "bench_startup: %s\n", error.what());
        return 1;
    }
}
