// Data files far beyond what the window keeps: 200 MB of text without a line end, a 2 GB
// sparse file (what a mistaken drop of a large binary file leaves), and a deck of 151 cards
// whose question and answer are each 10 000 characters long. For each, a fresh process
// starts the window on it and reports the time from its launch to the first painted frame
// of the loaded window and its peak resident size (VmHWM); then the time of each action on
// the window to its frame (next: question and answer, previous, list choice, resize).
//
//   bench_bigfile [--reps N] [--without-2g]
//
// Runs on whatever platform Qt picks (offscreen when there is no DISPLAY), in a temporary
// working directory (the 2 GB file is sparse: it takes no room on disk).

#include "windowbench.h"

#include "store/datafile.h"
#include "window/frmtesh.h"
#include "window/japaneseui.h"

#include <QAbstractButton>
#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QLabel>

#include <cstdio>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

using namespace Qt::StringLiterals;
using bench::Clock;
using bench::MsSince;

namespace {

qint64 NowNs()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch()).count();
}

// The deck's code page 932 lines without their line ends, over and over, to `size` bytes.
void WriteOneLine(const QString &path, qint64 size)
{
    QByteArray block;
    for (const QByteArray &line : bench::DeckFileBytes(301).split('\n'))
        block += line.trimmed();
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        throw std::runtime_error("cannot create the long-line file");
    for (qint64 written = 0; written < size; written += block.size()) {
        const QByteArray piece = block.left(qsizetype(std::min<qint64>(block.size(), size - written)));
        if (file.write(piece) != piece.size())
            throw std::runtime_error("cannot write the long-line file");
    }
}

void WriteSparse(const QString &path, qint64 size)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || !file.resize(size))
        throw std::runtime_error("cannot create the sparse file");
}

// `lines` lines of `length` characters each: the deck's Japanese text with its words and
// blanks, over and over.
QString LongLines(int lines, int length)
{
    const QString deck = bench::DeckText(301).replace(u'\n', u' ');
    QString text;
    for (int i = 0; i < lines; ++i) {
        QString line;
        while (line.size() < length)
            line += deck.mid((i * 97) % deck.size());
        text += line.left(length) + u'\n';
    }
    return text;
}

struct Action
{
    const char *name;
    std::vector<double> ms;
};

void PrintAction(const Action &action)
{
    if (action.ms.empty()) {
        std::printf("  %-34s none (no card to move to, or no frame within 2 s)\n", action.name);
        return;
    }
    std::printf("  %-34s median %8.3f ms   max %8.3f ms   (%zu)\n", action.name, bench::Median(action.ms),
                bench::Quantile(action.ms, 1), action.ms.size());
}

// One scenario in this process: the window starts in `folder`, and once it is shown its
// actions are timed. `launchedNs` is when the parent started this process.
int RunWindow(int argc, char *argv[], const QString &folder, qint64 launchedNs, int reps, bool pairs)
{
    if (!QDir::setCurrent(folder))
        return 1;
    const Clock::time_point mainStart = Clock::now();
    bench::UseOffscreenWithoutDisplay();
    QApplication app(argc, argv);
    SetUpJapaneseUi(app);

    QList<QString> messages;
    frmTesh window([&messages](frmTesh::MessageKind, const QString &text) { messages.append(text); });
    bench::PaintCounter counter;
    app.installEventFilter(&counter);
    if (!bench::ShowAndWait(window)) {
        std::fprintf(stderr, "the window was never exposed\n");
        return 1;
    }
    const double loadedMs = double(NowNs() - launchedNs) / 1e6;
    const double inMainMs = MsSince(mainStart);
    const long peakKiB = bench::StatusKiB("VmHWM");
    std::printf("  loaded window: %.0f ms from launch (%.0f ms in main), peak RSS %.1f MB, %d card(s), "
                "platform %s\n",
                loadedMs, inMainMs, double(peakKiB) / 1024, window.teshMax() + 1,
                qPrintable(QGuiApplication::platformName()));
    for (const QString &message : messages)
        std::printf("  message: %s\n", qPrintable(QString(message).replace(u'\n', u' ')));

    auto *next = window.findChild<QAbstractButton *>(u"cmdNext"_s);
    auto *previous = window.findChild<QAbstractButton *>(u"cmbBefor"_s);
    auto *list = window.findChild<QComboBox *>(u"Combo1"_s);
    if (pairs) {
        // Line pairs make both card labels 10 000 characters long: the deck is pasted
        // once that mode is chosen.
        window.findChild<QAction *>(u"mnuKugiri3"_s)->trigger();
        QGuiApplication::clipboard()->setText(LongLines(302, 12000));
        window.findChild<QAbstractButton *>(u"cmdDataIn"_s)->click();
        next->click();
        next->click();
        bench::Quiesce();
        std::printf("  after the paste of 302 lines of 12 000 characters in line-pair mode: %d cards, "
                    "question %lld and answer %lld characters, list entry %lld\n",
                    window.teshMax() + 1,
                    static_cast<long long>(window.findChild<QLabel *>(u"lblTime0"_s)->text().size()),
                    static_cast<long long>(window.findChild<QLabel *>(u"lblTime1"_s)->text().size()),
                    static_cast<long long>(list->itemText(0).size()));
    }
    const int cards = window.teshMax() + 1;
    const auto choose = [list](int row) {
        list->setCurrentIndex(row);
        emit list->activated(row);
    };
    Action question{"next: question on view", {}}, answer{"next: answer on view", {}}, back{"previous", {}},
        chosen{"list choice", {}}, resized{"resize 749x486 <-> 1000x700", {}};
    const QSize original = window.size();
    const auto measure = [&](Action &action, const std::function<void()> &act,
                             const std::function<bool()> &done) {
        bench::Quiesce();
        const int paintsBefore = counter.paints;
        const Clock::time_point start = Clock::now();
        act();
        const double ms = bench::WaitForFrame(counter, paintsBefore, done, start);
        if (ms >= 0)
            action.ms.push_back(ms);
    };
    const auto flagIs = [&window](int flag) { return [&window, flag] { return window.teshFlag() == flag; }; };
    const auto click = [](QAbstractButton *button) { return [button] { button->click(); }; };
    for (int i = 0; i < reps; ++i) {
        choose(i % cards);
        measure(answer, click(next), flagIs(1));
        if (window.teshNow() < window.teshMax())
            measure(question, click(next), flagIs(0));
        if (window.teshNow() > 0)
            measure(back, click(previous), flagIs(0));
        const int pick = (i * 37 + 1) % cards;
        measure(
            chosen, [&] { choose(pick); },
            [&] { return window.teshNow() == pick && window.teshFlag() == 0; });
        const QSize wanted = i % 2 == 0 ? QSize(1000, 700) : original;
        measure(
            resized, [&] { window.resize(wanted); }, [&] { return window.size() == wanted; });
    }
    for (const Action *action : {&question, &answer, &back, &chosen, &resized})
        PrintAction(*action);
    std::fflush(stdout);
    return 0;
}

} // namespace

int main(int argc, char *argv[])
{
    int reps = 20;
    bool with2g = true;
    for (int i = 1; i < argc; ++i) {
        const QByteArray arg = argv[i];
        if (arg == "--window" && i + 4 < argc) {
            // A scenario's own process: --window FOLDER LAUNCHED_NS REPS PAIRS
            return RunWindow(1, argv, QFile::decodeName(argv[i + 1]), QByteArray(argv[i + 2]).toLongLong(),
                             QByteArray(argv[i + 3]).toInt(), QByteArray(argv[i + 4]) == "1");
        }
        if (arg == "--reps" && i + 1 < argc) {
            reps = QByteArray(argv[++i]).toInt();
        } else if (arg == "--without-2g") {
            with2g = false;
        } else {
            std::fprintf(stderr, "usage: bench_bigfile [--reps N] [--without-2g]\n");
            return 2;
        }
    }
    if (reps < 1)
        return 2;

    bench::Sandbox sandbox;
    struct Scenario
    {
        const char *name;
        QString folder;
        bool pairs;
    };
    std::vector<Scenario> scenarios;
    const auto folder = [&sandbox](const QString &name) {
        QDir(sandbox.path()).mkdir(name);
        return sandbox.filePath(name);
    };
    scenarios.push_back({"200 MB of code page 932 text without a line end", folder(u"long"_s), false});
    WriteOneLine(scenarios.back().folder + u"/"_s + DataFileName(), 200LL * 1000 * 1000);
    if (with2g) {
        scenarios.push_back({"2 GB sparse file (truncate -s 2G)", folder(u"sparse"_s), false});
        WriteSparse(scenarios.back().folder + u"/"_s + DataFileName(), 2LL << 30);
    }
    scenarios.push_back({"151 cards of 10 000 + 10 000 characters", folder(u"pairs"_s), true});
    bench::WriteFile(scenarios.back().folder + u"/"_s + DataFileName(), bench::DeckFileBytes(301));

    std::printf("Big data files: %s\n", qPrintable(bench::MachineLine()));
    std::printf("times: from the process launch to the loaded window painted; each action from the "
                "click to its frame (%d repetitions)\n",
                reps);
    const QByteArray self = QFile::encodeName(QFile::symLinkTarget(u"/proc/self/exe"_s));
    int status = 0;
    for (const Scenario &scenario : scenarios) {
        std::printf("%s\n", scenario.name);
        std::fflush(stdout);
        const int rc =
            bench::RunCommand({self, "--window", QFile::encodeName(scenario.folder), QByteArray::number(NowNs()),
                   QByteArray::number(reps), scenario.pairs ? "1" : "0"});
        if (rc != 0) {
            std::printf("  failed (exit status %d)\n", rc);
            status = 1;
        }
    }
    return status;
}
