// The next press (「次へ→」) with a very large data file: a file of hundreds of megabytes
// without a line end, or a sparse file of gigabytes of zero bytes, makes one card whose
// question is the whole file. Each run opens a fresh window on the file (as the program
// does at start), then presses next twice, the first showing the question and the second
// its answer, each timed from the press to its frame painted and, on X11, drawn by the
// server (as bench_actions times actions). With one card there is no way back to its
// question but a new window, hence a window per run.
//
// Each run is a child process of its own (this program again, with --child), so that a
// window that crashes on such a file is reported, with the step it crashed in, rather
// than ending the benchmark; and so that every run starts from a fresh memory peak.
//
// Memory: VmHWM of the child (the window lives in it) after the load, and the peak during
// the two presses over the resident size before them. Under --memory-limit-mib the child
// runs with that address-space limit, so that a load that would take many gigabytes fails
// (the window says so) instead of pushing the machine into swap.

#include "windowbench.h"

#include "window/frmtesh.h"
#include "window/japaneseui.h"

#include <QAbstractButton>
#include <QApplication>
#include <QProcess>

#include <cstdio>
#include <cstring>

using namespace Qt::StringLiterals;
using bench::Clock;
using bench::MsSince;

namespace {

// What a child reports on its standard output, one line each: "step NAME" as a step
// begins, "loaded" with the load's time and peak, then "result" with all the figures, or
// "error" with why the run failed.
void Report(const QByteArray &line)
{
    std::printf("%s\n", line.constData());
    std::fflush(stdout);
}

// One run, in this process: the window on the data file in the working directory.
int ChildRun(int argc, char *argv[], int timeoutS)
{
    QApplication app(argc, argv);
    SetUpJapaneseUi(app);
    bench::PaintCounter counter;
    app.installEventFilter(&counter);

    QList<QString> messages;
    // The notice that long lines were cut is expected; an error is not.
    const auto sink = [&messages](frmTesh::MessageKind kind, const QString &text) {
        if (kind == frmTesh::MessageKind::Error)
            messages.append(text);
    };
    Report("step load");
    Clock::time_point start = Clock::now();
    frmTesh window(sink);
    const double loadMs = MsSince(start);
    const long loadPeakKiB = bench::StatusKiB("VmHWM");
    Report("loaded " + QByteArray::number(loadMs) + ' ' + QByteArray::number(qint64(loadPeakKiB)));
    Report("step show");
    start = Clock::now();
    const bool shown = bench::ShowAndWait(window);
    const double showMs = MsSince(start);
    auto *next = window.findChild<QAbstractButton *>(u"cmdNext"_s);
    const auto fail = [](const QString &why) {
        Report("error " + why.toUtf8());
        return 1;
    };
    if (!messages.isEmpty())
        return fail(u"the window did not load the file (load %1 ms, peak %2 KiB): %3"_s.arg(loadMs, 0, 'f', 1)
                        .arg(loadPeakKiB)
                        .arg(messages.constFirst()));
    if (!shown || next == nullptr)
        return fail(u"the window was never exposed"_s);
    if (window.teshMax() != 0)
        return fail(u"expected one card, the window has %1"_s.arg(window.teshMax() + 1));

    const long pressRssKiB = bench::StatusKiB("VmRSS");
    bench::ResetPeakRss();
    double pressMs[2] = {-1, -1};
    for (int press = 0; press < 2; ++press) {
        Report(press == 0 ? "step next: question" : "step next: answer");
        bench::Quiesce();
        const int paints = counter.paints;
        const qint16 wanted = press == 0 ? 0 : 1;
        start = Clock::now();
        next->click();
        pressMs[press] = bench::WaitForFrame(
            counter, paints, [&] { return window.teshFlag() == wanted; }, start, timeoutS * 1000);
        if (!messages.isEmpty())
            return fail(u"message: "_s + messages.constFirst());
        if (pressMs[press] < 0)
            return fail(u"no frame within %1 s"_s.arg(timeoutS));
    }
    const long pressPeakKiB = bench::StatusKiB("VmHWM");
    Report(QByteArray("result ") + QByteArray::number(loadMs) + ' ' + QByteArray::number(showMs) + ' ' +
           QByteArray::number(pressMs[0]) + ' ' + QByteArray::number(pressMs[1]) + ' ' +
           QByteArray::number(qint64(loadPeakKiB)) + ' ' + QByteArray::number(qint64(pressRssKiB)) + ' ' +
           QByteArray::number(qint64(pressPeakKiB)));
    return 0;
}

void Usage()
{
    std::fprintf(
        stderr,
        "usage: bench_hugenext [--data KIND] [--runs N] [--memory-limit-mib N] [--timeout-s S] [--slow-s S]\n"
        "  --data KIND           no-line-end:SIZE (default no-line-end:200MB), sparse:SIZE or deck\n"
        "  --runs N              runs, each with a fresh window in a process of its own (3)\n"
        "  --memory-limit-mib N  address-space limit of those processes (none)\n"
        "  --timeout-s S         a press without its frame after S s fails (120)\n"
        "  --slow-s S            no further runs after one that took over S s, or failed (10)\n");
}

} // namespace

int main(int argc, char *argv[])
{
    QByteArray dataKind = "no-line-end:200MB";
    int runs = 3, memoryLimitMiB = 0, timeoutS = 120;
    double slowS = 10;
    bool child = false;
    for (int i = 1; i < argc; ++i) {
        const QByteArray arg = argv[i];
        const bool hasValue = i + 1 < argc;
        if (arg == "--child") {
            child = true;
        } else if (hasValue && arg == "--data") {
            dataKind = argv[++i];
        } else if (hasValue && arg == "--slow-s") {
            slowS = QByteArray(argv[++i]).toDouble();
        } else if (hasValue && (arg == "--runs" || arg == "--memory-limit-mib" || arg == "--timeout-s")) {
            const int value = QByteArray(argv[++i]).toInt();
            (arg == "--runs" ? runs : arg == "--timeout-s" ? timeoutS : memoryLimitMiB) = value;
        } else {
            Usage();
            return 2;
        }
    }
    if (runs < 1 || timeoutS < 1)
        return 2;
    if (child) {
        if (memoryLimitMiB > 0 && !bench::LimitAddressSpace(qint64(memoryLimitMiB) << 20)) {
            Report("error cannot limit the address space");
            return 1;
        }
        return ChildRun(argc, argv, timeoutS);
    }

    QCoreApplication app(argc, argv);
    bench::Sandbox sandbox;
    bench::UseOffscreenWithoutDisplay();
    QString dataText;
    try {
        dataText = bench::WriteDataFileOfKind(sandbox.filePath(u"表示するデータ.txt"_s), dataKind);
    } catch (const std::exception &error) {
        std::fprintf(stderr, "bench_hugenext: %s\n", error.what());
        return 2;
    }

    std::printf(
        "Next with a large data file: %s; up to %d run(s), each a fresh window in a process of its own\n",
        qPrintable(dataText), runs);
    if (memoryLimitMiB > 0)
        std::printf("address space of those processes limited to %d MiB (RLIMIT_AS)\n", memoryLimitMiB);
    std::printf("times in ms from the action to its frame painted%s\n",
                qEnvironmentVariableIsEmpty("DISPLAY") ? " (offscreen)" : " and drawn by the X server");
    std::printf("%-4s %10s %10s %14s %12s %14s %14s %16s\n", "run", "load ms", "shown ms", "next: question",
                "next: answer", "peak@load KiB", "RSS@press KiB", "peak@presses KiB");

    std::vector<double> loadMs, questionMs, answerMs, loadPeakKiB, pressGrowthKiB;
    int failures = 0;
    for (int run = 1; run <= runs; ++run) {
        QProcess process;
        process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        QStringList args = {u"--child"_s, u"--timeout-s"_s, QString::number(timeoutS)};
        if (memoryLimitMiB > 0)
            args << u"--memory-limit-mib"_s << QString::number(memoryLimitMiB);
        process.start(QCoreApplication::applicationFilePath(), args);
        QByteArray step, result, error;
        QList<QByteArray> loaded;
        Clock::time_point stepStart = Clock::now();
        QByteArray pending;
        const auto readLines = [&] {
            pending += process.readAllStandardOutput();
            qsizetype end;
            while ((end = pending.indexOf('\n')) >= 0) {
                const QByteArray line = pending.left(end);
                pending.remove(0, end + 1);
                if (line.startsWith("step ")) {
                    step = line.mid(5);
                    stepStart = Clock::now();
                } else if (line.startsWith("loaded ")) {
                    loaded = line.mid(7).split(' ');
                } else if (line.startsWith("result ")) {
                    result = line.mid(7);
                } else if (line.startsWith("error ")) {
                    error = line.mid(6);
                }
            }
        };
        while (process.state() != QProcess::NotRunning) {
            process.waitForReadyRead(100);
            readLines();
        }
        process.waitForFinished(-1);
        readLines();

        const QList<QByteArray> figures = result.split(' ');
        QString why;
        if (process.exitStatus() == QProcess::CrashExit)
            why = u"the window crashed (signal %1, %2) in step \"%3\", %4 s after it began"_s
                      .arg(process.exitCode())
                      .arg(QString::fromLocal8Bit(strsignal(process.exitCode())), QString::fromUtf8(step))
                      .arg(MsSince(stepStart) / 1000, 0, 'f', 1);
        else if (!error.isEmpty())
            why = QString::fromUtf8(error);
        else if (figures.size() != 7)
            why = u"the child ended with status %1 and no result, in step \"%2\""_s.arg(process.exitCode())
                      .arg(QString::fromUtf8(step));

        double slowest = 0;
        if (why.isEmpty()) {
            std::vector<double> v;
            for (const QByteArray &figure : figures)
                v.push_back(figure.toDouble());
            std::printf("%-4d %10.1f %10.1f %14.1f %12.1f %14.0f %14.0f %16.0f\n", run, v[0], v[1], v[2],
                        v[3], v[4], v[5], v[6]);
            loadMs.push_back(v[0]);
            questionMs.push_back(v[2]);
            answerMs.push_back(v[3]);
            loadPeakKiB.push_back(v[4]);
            pressGrowthKiB.push_back(v[6] - v[5]);
            slowest = std::max({v[0], v[2], v[3]});
        } else {
            if (loaded.size() == 2)
                std::printf("%-4d %10.1f %10s %14s %12s %14s\n", run, loaded[0].toDouble(), "-", "-", "-",
                            loaded[1].constData());
            std::printf("%-4d failed: %s\n", run, qPrintable(why));
            ++failures;
        }
        std::fflush(stdout);
        if (!why.isEmpty() || (slowS > 0 && slowest > slowS * 1000)) {
            if (run < runs)
                std::printf("(no further runs after one slower than %.0f s or failed)\n", slowS);
            break;
        }
    }
    std::printf(
        "(load: the window's construction, which reads the file; peak@load: VmHWM after it;\n"
        " peak@presses: VmHWM after both presses, reset to the resident size RSS@press before them)\n");
    if (questionMs.empty()) {
        std::printf("no run got through both presses\n");
        return 1;
    }
    std::printf(
        "median of %zu: load %.1f ms, next: question %.1f ms, next: answer %.1f ms, peak@load %.0f KiB, "
        "memory growth during the presses %.0f KiB\n",
        questionMs.size(), bench::Median(loadMs), bench::Median(questionMs), bench::Median(answerMs),
        bench::Median(loadPeakKiB), bench::Median(pressGrowthKiB));
    const double worst = std::max(bench::Quantile(questionMs, 1), bench::Quantile(answerMs, 1));
    std::printf("slowest press %.1f ms (for scale: the other actions' goal is one frame at 60 Hz, 16.7 ms)\n",
                worst);
    return failures == 0 ? 0 : 1;
}
