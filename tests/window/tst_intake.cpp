#include "windowtestutils.h"

#include "store/datafile.h"
#include "deck/keptdecks.h"
#include "window/longtask.h"

#include <QApplication>
#include <QClipboard>
#include <QDropEvent>
#include <QElapsedTimer>
#include <QGuiApplication>
#include <QLineEdit>
#include <QMimeData>
#include <QProgressDialog>
#include <QPushButton>
#include <QTimer>
#include <QUrl>

#include <atomic>
#include <thread>
#ifdef Q_OS_UNIX
#include <csignal>
#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>
#endif

using namespace Qt::StringLiterals;

namespace {

void SetClipboard(const QString &text)
{
    QGuiApplication::clipboard()->setText(text);
}

// Drops `data` on `target` the way the desktop does: a drag enter, then the drop.
// Returns whether the drag was accepted.
bool Drop(QWidget *target, QMimeData *data)
{
    const QPoint at = target->rect().center();
    QDragEnterEvent enter(at, Qt::CopyAction, data, Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(target, &enter);
    if (!enter.isAccepted())
        return false;
    QDropEvent drop(QPointF(at), Qt::CopyAction, data, Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(target, &drop);
    QCoreApplication::processEvents(); // the handler runs once the drop is answered
    return true;
}

// What the window answers a drag and its drop with; IgnoreAction is a refusal.
struct Answer
{
    Qt::DropAction drag = Qt::IgnoreAction;
    Qt::DropAction drop = Qt::IgnoreAction;
    bool handledWhileAnswering = false; // the data file changed before the drop was answered
};

// Drags `data` over the shown window to the centre of `over` and drops it there, through
// the window as the desktop does: the window hands the drag to the control under the
// pointer that takes drops, or takes it itself. The source offers `offered` and, as with
// Shift held, proposes a move.
Answer DragAndDrop(WindowUnderTest &w, QWidget *over, QMimeData *data,
                   Qt::DropActions offered = Qt::CopyAction | Qt::MoveAction)
{
    QWindow *window = w->windowHandle();
    const QPoint at = over->mapTo(w.get(), over->rect().center());
    QDragEnterEvent enter(at, offered, data, Qt::LeftButton, Qt::ShiftModifier);
    if (enter.proposedAction() != Qt::MoveAction)
        qFatal("the drag does not propose a move");
    QCoreApplication::sendEvent(window, &enter);
    if (!enter.isAccepted()) {
        QDragLeaveEvent leave;
        QCoreApplication::sendEvent(window, &leave);
        return {};
    }
    const QByteArray before = ReadBytes(DataFilePath());
    QDropEvent drop(QPointF(at), offered, data, Qt::LeftButton, Qt::ShiftModifier);
    QCoreApplication::sendEvent(window, &drop);
    const bool handled = ReadBytes(DataFilePath()) != before;
    QCoreApplication::processEvents();
    return {enter.dropAction(), drop.isAccepted() ? drop.dropAction() : Qt::IgnoreAction, handled};
}

QMimeData *Files(const QStringList &paths)
{
    auto *data = new QMimeData;
    QList<QUrl> urls;
    for (const QString &path : paths)
        urls.append(QUrl::fromLocalFile(QFileInfo(path).absoluteFilePath()));
    data->setUrls(urls);
    return data;
}

// The class names of the windows other than the main window that show while it lives.
class ShownWindows : public QObject
{
public:
    ShownWindows() { qApp->installEventFilter(this); }
    ~ShownWindows() override { qApp->removeEventFilter(this); }
    QStringList names;

protected:
    bool eventFilter(QObject *object, QEvent *event) override
    {
        const auto *widget = qobject_cast<QWidget *>(object);
        if (event->type() == QEvent::Show && widget != nullptr && widget->isWindow() &&
            qobject_cast<const frmTesh *>(widget) == nullptr)
            names.append(QString::fromLatin1(widget->metaObject()->className()));
        return false;
    }
};

#ifdef Q_OS_UNIX
// A full disk, as a process limit on file sizes makes it.
class FileSizeLimit
{
public:
    explicit FileSizeLimit(rlim_t bytes)
    {
        std::signal(SIGXFSZ, SIG_IGN);
        getrlimit(RLIMIT_FSIZE, &m_old);
        rlimit limit = m_old;
        limit.rlim_cur = bytes;
        setrlimit(RLIMIT_FSIZE, &limit);
    }
    ~FileSizeLimit() { setrlimit(RLIMIT_FSIZE, &m_old); }

private:
    rlimit m_old;
};
#endif

// Presses `key` in the shown and active window, as a user does: the widget with the focus
// gets it first.
void Press(WindowUnderTest &w, const QKeySequence &key)
{
    QWidget *focus = QApplication::focusWidget();
    QTest::keySequence(focus != nullptr ? focus : w.get(), key);
}

QStringList KeptDecks()
{
    return QDir(KeptDecksFolder()).entryList(QDir::Files | QDir::Hidden | QDir::System, QDir::Name);
}

} // namespace

class TestIntake : public QObject
{
    Q_OBJECT

private slots:
    void init() { FailOnWarnings(); }
    void paste_data();
    void paste();
    void pasteResetsTheDrill();
    void pastesTextOfferedOnlyAsUtf8();
    void noOtherActionDuringAPaste_data();
    void noOtherActionDuringAPaste();
    void nothingToPasteKeepsTheDeck_data();
    void nothingToPasteKeepsTheDeck();
    void delimiterChoiceSplitsTheFileAgain_data();
    void delimiterChoiceSplitsTheFileAgain();
    void delimiterChoiceWithoutAReadableFile();
    void dropOnEachTarget_data();
    void dropOnEachTarget();
    void ignoresWhatIsNoFileList();
    void onlyTheWindowAndTheCardsTakeDrops();
    void refusesADragThatOffersNoCopy_data();
    void refusesADragThatOffersNoCopy();
    void refusesWhatIsNoFile_data();
    void refusesWhatIsNoFile();
    void droppingTheDataFileItself();
    void failedWriteKeepsTheOldFile();
    void stoppedWritesReloadTheDeck();
    void dropsANameThatIsNoUtf8();
    void refusesAFifoWithoutOpeningIt();
    void whileAnIntakeRuns_data();
    void whileAnIntakeRuns();
    void aDropWaitsForThePasteBeforeIt();
    void theProgressBarFollowsWhatIsTold();
    void shortWorkShowsNoProgressDialog_data();
    void shortWorkShowsNoProgressDialog();
    void undoAndRedoPutDecksBack_data();
    void undoAndRedoPutDecksBack();
    void undoesTheLastTenIntakes();
    void undoThatCannotWriteStaysAvailable_data();
    void undoThatCannotWriteStaysAvailable();
    void keptDeckFolderFaults_data();
    void keptDeckFolderFaults();
};

void TestIntake::paste_data()
{
    QTest::addColumn<QString>("mode");
    QTest::addColumn<QString>("clipboard");
    QTest::addColumn<QByteArray>("file");
    QTest::addColumn<QStringList>("items");
    QTest::addColumn<QString>("status");

    QTest::newRow("punctuation, LF lines")
        << u"mnuKugiri1"_s << u"apple,りんご\ndog 犬\ncat。ねこ"_s
        << QByteArray("apple,\x82\xE8\x82\xF1\x82\xB2\r\ndog \x8C\xA2\r\ncat\x81\x42\x82\xCB\x82\xB1\r\n")
        << QStringList{u"apple,りんご"_s, u"dog 犬,"_s, u"cat,ねこ"_s} << u"データ数 ＝ 3"_s;
    QTest::newRow("final line end gives an empty card")
        << u"mnuKugiri1"_s << u"a,b\r\nc,d\r\n"_s << QByteArray("a,b\r\nc,d\r\n\r\n")
        << QStringList{u"a,b"_s, u"c,d"_s, u","_s} << u"データ数 ＝ 3"_s;
    QTest::newRow("blank, lone CR") << u"mnuKugiri2"_s << u"a b\rc　d"_s
                                    << QByteArray("a b\rc\x81\x40"
                                                  "d\r\n")
                                    << QStringList{u"a,b"_s, u"c,d"_s} << u"データ数 ＝ 2"_s;
    QTest::newRow("line pairs, two lines") << u"mnuKugiri3"_s << u"q\na"_s << QByteArray("q\r\na\r\n")
                                           << QStringList{u"q,a"_s} << u"データ数 ＝ 1"_s;
    QTest::newRow("a blank is text") << u"mnuKugiri1"_s << u" "_s << QByteArray(" \r\n")
                                     << QStringList{u" ,"_s} << u"データ数 ＝ 1"_s;
    QTest::newRow("a line end is text") << u"mnuKugiri1"_s << u"\n"_s << QByteArray("\r\n\r\n")
                                        << QStringList{u","_s, u","_s} << u"データ数 ＝ 2"_s;
    QTest::newRow("outside code page 932")
        << u"mnuKugiri1"_s << u"café,カフェ\n한,😀"_s
        << QByteArray("\xEF\xBB\xBF") + u"café,カフェ\r\n한,😀\r\n"_s.toUtf8()
        << QStringList{u"café,カフェ"_s, u"한,😀"_s} << u"データ数 ＝ 2"_s;
}

void TestIntake::paste()
{
    QFETCH(QString, mode);
    QFETCH(QString, clipboard);
    QFETCH(QByteArray, file);
    QFETCH(QStringList, items);
    QFETCH(QString, status);
    TempWorkDir dir;
    WindowUnderTest w;
    SetClipboard(u"x"_s);
    w.trigger(mode); // selects the mode, and pastes
    if (clipboard.isEmpty())
        QGuiApplication::clipboard()->clear();
    else
        SetClipboard(clipboard);
    w.click(u"cmdDataIn"_s);
    QCOMPARE(ReadBytes(DataFilePath()), file);
    QCOMPARE(w.items(), items);
    QCOMPARE(w.status(), status);
    QCOMPARE(w->teshMoto(), clipboard);
    QCOMPARE(w.list()->currentText(), u"表示する語の一覧です"_s);
    QVERIFY(w.messages.isEmpty());
}

void TestIntake::pasteResetsTheDrill()
{
    TempWorkDir dir;
    WriteBytes(DataFilePath(), NumberedLines(5));
    WindowUnderTest w;
    w.show();
    for (int i = 0; i < 3; ++i)
        w.click(u"cmdNext"_s);
    SetClipboard(u"new,新"_s);
    w.trigger(u"mnuPaste1"_s);
    QCOMPARE(w.card(0)->text(), QString());
    QCOMPARE(w.card(1)->text(), QString());
    QCOMPARE(w->teshNow(), qint16(-1));
    QCOMPARE(w->teshFlag(), qint16(1));
    QCOMPARE(w.items(), QStringList{u"new,新"_s});
    w.click(u"cmdNext"_s);
    QCOMPARE(w.card(0)->text(), u"new"_s);
}

// Some programs offer their text only under its MIME type with the charset.
void TestIntake::pastesTextOfferedOnlyAsUtf8()
{
    TempWorkDir dir;
    WindowUnderTest w;
    auto *data = new QMimeData;
    data->setData(u"text/plain;charset=utf-8"_s, u"犬,dog"_s.toUtf8());
    QGuiApplication::clipboard()->setMimeData(data);
    w.click(u"cmdDataIn"_s);
    QCOMPARE(w.items(), QStringList{u"犬,dog"_s});
    QVERIFY(w.messages.isEmpty());
}

// A handler that waits (a paste in its progress dialog) lets the window handle events;
// an action that comes meanwhile is not run, or it would load the old file halfway through.
void TestIntake::noOtherActionDuringAPaste_data()
{
    QTest::addColumn<QString>("action");
    QTest::newRow("a delimiter choice") << u"mnuKugiri2"_s;
    QTest::newRow("undo") << u"keyUndo"_s;
}

void TestIntake::noOtherActionDuringAPaste()
{
    QFETCH(QString, action);
    TempWorkDir dir;
    WriteBytes(DataFilePath(), NumberedLines(3));
    WindowUnderTest w;
    w->setProgressDelay(0);
    w.show();
    SetClipboard(u"first,1"_s);
    w.click(u"cmdDataIn"_s);
    SetClipboard(u"new,新"_s);
    QTimer::singleShot(0, w.get(), [&w, action] { w.trigger(action); });
    w.click(u"cmdDataIn"_s);
    QCOMPARE(w.items(), QStringList{u"new,新"_s});
    QCOMPARE(w.status(), u"データ数 ＝ 1"_s);
    // The undo that was passed over took no step: the next one puts back the deck the paste replaced.
    w.trigger(u"keyUndo"_s);
    QCOMPARE(w.items(), QStringList{u"first,1"_s});
    QVERIFY(w.messages.isEmpty());
}

void TestIntake::nothingToPasteKeepsTheDeck_data()
{
    QTest::addColumn<QMimeData *>("clipboard");
    QTest::addColumn<bool>("dataFile");
    QTest::addColumn<Message>("message");

    const QString kept = u"\nデータファイルは元のままです。"_s;
    const Message empty(frmTesh::MessageKind::Information,
                        u"クリップボードは空です。貼り付ける文字列がありません。"_s + kept);
    const Message noText(frmTesh::MessageKind::Information,
                         u"クリップボードに文字列がありません（画像など、文字列でないものだけです）。"_s +
                             kept);
    const auto image = [] {
        auto *data = new QMimeData;
        data->setData(u"image/png"_s, QByteArray("\x89PNG"));
        return data;
    };
    QTest::newRow("empty clipboard") << static_cast<QMimeData *>(nullptr) << true << empty;
    QTest::newRow("empty clipboard, no data file") << static_cast<QMimeData *>(nullptr) << false << empty;
    QTest::newRow("nothing offered") << new QMimeData << true << empty;
    QTest::newRow("an image only") << image() << true << noText;
    QTest::newRow("an image only, no data file") << image() << false << noText;
    auto *huge = new QMimeData; // past what a paste takes: saved as a file and dropped instead
    huge->setData(u"text/plain;charset=utf-8"_s, QByteArray((64 << 20) + 1, 'x'));
    QTest::newRow("more than a paste takes")
        << huge << true
        << Message(frmTesh::MessageKind::Error,
                   u"クリップボードの文字列が大きすぎます（64 MBまで貼り付けられます）。\n"
                   u"テキストファイルに保存して、そのファイルをウィンドウにドロップしてください。"_s + kept);
}

// Without text to paste, the deck and the data file stay; the window shows the file as it is.
void TestIntake::nothingToPasteKeepsTheDeck()
{
    QFETCH(QMimeData *, clipboard);
    QFETCH(bool, dataFile);
    QFETCH(Message, message);
    TempWorkDir dir;
    if (dataFile)
        WriteBytes(DataFilePath(), NumberedLines(2));
    WindowUnderTest w;
    w.show();
    if (dataFile)
        w.click(u"cmdNext"_s);
    if (clipboard == nullptr)
        QGuiApplication::clipboard()->clear();
    else
        QGuiApplication::clipboard()->setMimeData(clipboard);
    w.click(u"cmdDataIn"_s);
    QCOMPARE(w.messages, QList<Message>{message});
    QCOMPARE(ReadBytes(DataFilePath()), dataFile ? NumberedLines(2) : QByteArray("<missing>"));
    QCOMPARE(w.items(), dataFile ? (QStringList{u"q0,a0"_s, u"q1,a1"_s}) : QStringList());
    QCOMPARE(w.status(), dataFile ? u"データ数 ＝ 2"_s : u"データ数 ＝ 0"_s);
    QCOMPARE(w.card(0)->text(), QString());
    QCOMPARE(w->teshNow(), qint16(-1));
    QCOMPARE(QDir().entryList(QDir::Files | QDir::Hidden).size(), dataFile ? 1 : 0);
}

void TestIntake::delimiterChoiceSplitsTheFileAgain_data()
{
    QTest::addColumn<bool>("dropped"); // the deck came from a dropped file, else from a paste
    QTest::addColumn<QString>("mode");
    QTest::addColumn<QStringList>("items");

    const QStringList byPunctuation{u"a b,c"_s, u"d e,"_s, u"f,g h"_s};
    const QStringList byBlank{u"a,b,c"_s, u"d,e"_s, u"f,g,h"_s};
    const QStringList byPairs{u"a b,c,d e"_s, u"f,g h,"_s};
    for (const bool dropped : {true, false}) {
        const char *from = dropped ? "dropped" : "pasted";
        QTest::addRow("%s, punctuation (already checked)", from)
            << dropped << u"mnuKugiri1"_s << byPunctuation;
        QTest::addRow("%s, blank", from) << dropped << u"mnuKugiri2"_s << byBlank;
        QTest::addRow("%s, line pairs", from) << dropped << u"mnuKugiri3"_s << byPairs;
    }
}

// A delimiter choice never reads the clipboard and never writes: it splits the data file
// anew, with the result a paste of the same text would give.
void TestIntake::delimiterChoiceSplitsTheFileAgain()
{
    QFETCH(bool, dropped);
    QFETCH(QString, mode);
    QFETCH(QStringList, items);
    TempWorkDir dir;
    const QString text = u"a b,c\nd e\nf,g h"_s;
    const QByteArray bytes = "a b,c\r\nd e\r\nf,g h\r\n";
    WindowUnderTest w;
    w.show();
    if (dropped) {
        WriteBytes(u"list.txt"_s, bytes);
        QVERIFY(Drop(w.get(), Files({u"list.txt"_s})));
    } else {
        SetClipboard(text);
        w.click(u"cmdDataIn"_s);
    }
    QCOMPARE(ReadBytes(DataFilePath()), bytes);
    const QByteArray before = FileStamp(DataFilePath());
    w.click(u"cmdNext"_s);

    // Whatever the clipboard holds by now, nothing at all included.
    if (dropped)
        QGuiApplication::clipboard()->clear();
    else
        SetClipboard(u"copied elsewhere"_s);
    w.trigger(mode);
    QCOMPARE(ReadBytes(DataFilePath()), bytes);
    QCOMPARE(FileStamp(DataFilePath()), before);
    QCOMPARE(w.items(), items);
    QCOMPARE(w.status(), u"データ数 ＝%1"_s.arg(items.size(), 2));
    for (const QString &item : {u"mnuKugiri1"_s, u"mnuKugiri2"_s, u"mnuKugiri3"_s})
        QCOMPARE(w.action(item)->isChecked(), item == mode);
    QCOMPARE(w.list()->currentText(), u"表示する語の一覧です"_s);
    QCOMPARE(w.card(0)->text(), QString());
    QCOMPARE(w->teshNow(), qint16(-1));
    QVERIFY(w.messages.isEmpty());
    w.click(u"cmdNext"_s);
    const QString question = w.card(0)->text();

    // What pasting that text again gives, cards and bytes alike.
    SetClipboard(text);
    w.click(u"cmdDataIn"_s);
    QCOMPARE(ReadBytes(DataFilePath()), bytes);
    QCOMPARE(w.items(), items);
    w.click(u"cmdNext"_s);
    QCOMPARE(w.card(0)->text(), question);
}

void TestIntake::delimiterChoiceWithoutAReadableFile()
{
    TempWorkDir dir;
    QGuiApplication::clipboard()->clear();
    {
        WindowUnderTest w; // no data file: the choice makes none
        w.trigger(u"mnuKugiri3"_s);
        QVERIFY(w.action(u"mnuKugiri3"_s)->isChecked());
        QCOMPARE(w.status(), u"データ数 ＝ 0"_s);
        QCOMPARE(w.list()->currentText(), u"表示する語の一覧です"_s);
        QVERIFY(w.messages.isEmpty());
        QVERIFY(!QFileInfo::exists(DataFilePath()));
    }
    WriteBytes(DataFilePath(), "a,b\r\n");
    WindowUnderTest w;
    QCOMPARE(w.items(), QStringList{u"a,b"_s});
    // Unreadable now (a link that leads nowhere): told as at start-up, the list emptied.
    QVERIFY(QFile::remove(DataFilePath()));
    if (!MakeSymlink(u"gone.txt"_s, DataFilePath()))
        QSKIP("no symbolic links for this user on this system");
    w.trigger(u"mnuKugiri2"_s);
    WindowUnderTest started;
    QCOMPARE(started.messages.size(), 1);
    QCOMPARE(w.messages, started.messages);
    QCOMPARE(w.items(), QStringList());
    QCOMPARE(w.list()->currentText(), u"表示する語の一覧です"_s);
    QCOMPARE(w.status(), u"データ数 ＝ 0"_s); // the count claims no card the list lacks
    // Gone altogether: the same count.
    QVERIFY(QFile::remove(DataFilePath()));
    WriteBytes(DataFilePath(), "a,b\r\nc,d\r\n");
    w.trigger(u"mnuKugiri1"_s);
    QCOMPARE(w.status(), u"データ数 ＝ 2"_s);
    QVERIFY(QFile::remove(DataFilePath()));
    w.trigger(u"mnuKugiri3"_s);
    QCOMPARE(w.items(), QStringList());
    QCOMPARE(w.status(), u"データ数 ＝ 0"_s);
}

void TestIntake::dropOnEachTarget_data()
{
    QTest::addColumn<QString>("target");
    // The controls that take no drop leave it to the window.
    QTest::newRow("window, over the status") << u"lblNum"_s;
    QTest::newRow("window, over a button") << u"cmdNext"_s;
    QTest::newRow("window, over the list") << u"Combo1"_s;
    QTest::newRow("question label") << u"lblTime0"_s;
    QTest::newRow("answer label") << u"lblTime1"_s;
}

void TestIntake::dropOnEachTarget()
{
    QFETCH(QString, target);
    TempWorkDir dir;
    const QByteArray first = "\x8C\xA2,dog\r\n\x94\x4C,cat\r\n";
    WriteBytes(u"first.txt"_s, first);
    WriteBytes(u"second.txt"_s, "second,2\r\n");
    WriteBytes(u"third.txt"_s, "third,3\r\n");
    WriteBytes(DataFilePath(), NumberedLines(4));
    WindowUnderTest w;
    w.show();
    w.click(u"cmdNext"_s);
    std::unique_ptr<QMimeData> files(Files({u"first.txt"_s, u"second.txt"_s, u"third.txt"_s}));
    const Answer answer = DragAndDrop(w, w.child(target), files.get());
    // Answered as a copy even when the source proposes a move, which would delete its file.
    QCOMPARE(answer.drag, Qt::CopyAction);
    QCOMPARE(answer.drop, Qt::CopyAction);
    QVERIFY(!answer.handledWhileAnswering); // no message box of the handler holds the source
    QCOMPARE(ReadBytes(DataFilePath()), first);
    QCOMPARE(w.items(), (QStringList{u"犬,dog"_s, u"猫,cat"_s}));
    QCOMPARE(w.status(), u"データ数 ＝ 2"_s);
    QCOMPARE(w.card(0)->text(), QString());
    QCOMPARE(w->teshNow(), qint16(-1));
    QVERIFY(w.messages.isEmpty());
}

void TestIntake::ignoresWhatIsNoFileList()
{
    TempWorkDir dir;
    WriteBytes(DataFilePath(), NumberedLines(3));
    WindowUnderTest w;
    w.show();
    w.click(u"cmdNext"_s);
    auto *text = new QMimeData;
    text->setText(u"dragged,text"_s);
    QVERIFY(!Drop(w.get(), text));
    auto *link = new QMimeData;
    link->setUrls({QUrl(u"https://example.org/list.txt"_s)});
    QVERIFY(!Drop(w.card(0), link));
    // Even a drop that arrives, after a drag of files was accepted, takes nothing that is
    // no file list.
    std::unique_ptr<QMimeData> files(Files({u"x.txt"_s}));
    const QPoint at = w.card(0)->rect().center();
    QDragEnterEvent enter(at, Qt::CopyAction, files.get(), Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(w.card(0), &enter);
    QVERIFY(enter.isAccepted());
    QDropEvent drop(QPointF(at), Qt::CopyAction, link, Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(w.card(0), &drop);
    QVERIFY(drop.isAccepted()); // it arrived
    QCOMPARE(w.card(0)->text(), u"q0"_s);
    QCOMPARE(w.items().size(), 3);
    QCOMPARE(ReadBytes(DataFilePath()), NumberedLines(3));
    QVERIFY(w.messages.isEmpty());
    delete text;
    delete link;
}

void TestIntake::onlyTheWindowAndTheCardsTakeDrops()
{
    TempWorkDir dir;
    WindowUnderTest w;
    w.show();
    QList<QWidget *> widgets = w->findChildren<QWidget *>();
    widgets.append(w.get());
    QStringList takers;
    for (QWidget *widget : widgets)
        if (widget->acceptDrops())
            takers.append(widget->objectName());
    takers.sort();
    QCOMPARE(takers, (QStringList{u"frmTesh"_s, u"lblTime0"_s, u"lblTime1"_s}));
    // Text dragged onto the list's field goes to the window, which refuses it.
    QLineEdit *field = w.list()->lineEdit();
    QMimeData text;
    text.setText(u"dragged"_s);
    const Answer answer = DragAndDrop(w, field, &text);
    QCOMPARE(answer.drag, Qt::IgnoreAction);
    QCOMPARE(field->text(), u"データの貼り付けをして下さい"_s);
}

void TestIntake::refusesADragThatOffersNoCopy_data()
{
    QTest::addColumn<QString>("target");
    QTest::newRow("window") << u"cmdNext"_s;
    QTest::newRow("card label") << u"lblTime0"_s;
}

// A source that offers only a move would delete its file after any drop taken.
void TestIntake::refusesADragThatOffersNoCopy()
{
    QFETCH(QString, target);
    TempWorkDir dir;
    WriteBytes(u"moved.txt"_s, "m,1\r\n");
    WindowUnderTest w;
    w.show();
    std::unique_ptr<QMimeData> files(Files({u"moved.txt"_s}));
    QCOMPARE(DragAndDrop(w, w.child(target), files.get(), Qt::MoveAction).drag, Qt::IgnoreAction);
    QVERIFY(!QFile::exists(DataFilePath()));
    QCOMPARE(w.items(), QStringList());
}

void TestIntake::refusesWhatIsNoFile_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("reason");
    QTest::newRow("folder") << u"folder"_s << u"フォルダーです"_s;
#ifdef Q_OS_UNIX
    QTest::newRow("FIFO") << u"fifo"_s << u"通常のファイルではありません"_s;
    QTest::newRow("device") << u"/dev/zero"_s << u"通常のファイルではありません"_s;
#endif
    QTest::newRow("broken link") << u"broken"_s << u"見つかりません"_s;
    QTest::newRow("missing") << u"missing"_s << u"見つかりません"_s;
}

void TestIntake::refusesWhatIsNoFile()
{
    QFETCH(QString, path);
    QFETCH(QString, reason);
    TempWorkDir dir;
    QVERIFY(QDir().mkdir(u"folder"_s));
    MakeFifo(u"fifo"_s);
    if (!MakeSymlink(u"nowhere"_s, u"broken"_s) && path == u"broken"_s)
        QSKIP("no symbolic links for this user on this system");
    WriteBytes(DataFilePath(), NumberedLines(3));
    WindowUnderTest w;
    w.show();
    w.click(u"cmdNext"_s);
    QVERIFY(Drop(w.get(), Files({path})));
    QCOMPARE(w.messages.size(), 1);
    QCOMPARE(w.messages.first().first, frmTesh::MessageKind::Error);
    QVERIFY2(w.messages.first().second.contains(u"読み込め"_s) && w.messages.first().second.contains(reason),
             qPrintable(w.messages.first().second));
    QCOMPARE(w.card(0)->text(), u"q0"_s); // the deck on view stays
    QCOMPARE(w.items().size(), 3);
    QCOMPARE(ReadBytes(DataFilePath()), NumberedLines(3));
}

void TestIntake::droppingTheDataFileItself()
{
    TempWorkDir dir;
    WriteBytes(DataFilePath(), NumberedLines(3));
    const QByteArray before = FileStamp(DataFilePath());
    WindowUnderTest w;
    QVERIFY(Drop(w.get(), Files({DataFilePath()})));
    QCOMPARE(FileStamp(DataFilePath()), before); // not even copied over itself
    QCOMPARE(ReadBytes(DataFilePath()), NumberedLines(3));
    QCOMPARE(w.items().size(), 3);
    QVERIFY(w.messages.isEmpty());
}

void TestIntake::failedWriteKeepsTheOldFile()
{
    TempWorkDir dir;
    const QByteArray old = NumberedLines(3);
    WriteBytes(DataFilePath(), old);
    WriteBytes(u"big.txt"_s, NumberedLines(40));
    WindowUnderTest w;
    w.show();
    w.click(u"cmdNext"_s);
#ifndef Q_OS_UNIX
    QSKIP("no per-process limit of file sizes here to stand in for a full disk");
#else
    {
        FileSizeLimit limit(64);
        SetClipboard(QString::fromLatin1(NumberedLines(40)));
        w.click(u"cmdDataIn"_s);
        QVERIFY(Drop(w.card(1), Files({u"big.txt"_s})));
    }
#endif
    QCOMPARE(ReadBytes(DataFilePath()), old);
    QCOMPARE(w.messages.size(), 2);
    for (const Message &message : w.messages) {
        QCOMPARE(message.first, frmTesh::MessageKind::Error);
        QVERIFY2(message.second.contains(u"書き込めませんでした"_s), qPrintable(message.second));
    }
    // The window shows the deck of the file as it is, not a half state.
    QCOMPARE(w.items(), (QStringList{u"q0,a0"_s, u"q1,a1"_s, u"q2,a2"_s}));
    QCOMPARE(w.status(), u"データ数 ＝ 3"_s);
    QCOMPARE(QDir().entryList(QDir::Files | QDir::Hidden).size(), 2); // no temporary file left
}

void TestIntake::stoppedWritesReloadTheDeck()
{
    TempWorkDir dir;
    WriteBytes(DataFilePath(), NumberedLines(3));
    WriteBytes(u"big.txt"_s, NumberedLines(200000)); // over 4 MB
    WindowUnderTest w;
    w.show();

    // Write-protected: refused.
    QVERIFY(SetWriteProtected(DataFilePath(), true));
    SetClipboard(u"new,cards"_s);
    w.click(u"cmdDataIn"_s);
    QVERIFY(SetWriteProtected(DataFilePath(), false));
    QVERIFY(w.messages.value(0).second.contains(u"書き込みが禁止"_s));

    // A clipboard that offers text and hands over none.
    auto *unreadable = new QMimeData;
    unreadable->setData(u"text/plain"_s, QByteArray());
    QGuiApplication::clipboard()->setMimeData(unreadable);
    w.click(u"cmdDataIn"_s);
#ifdef Q_OS_WIN
    // There the owner promised the text and never rendered it.
    const QString nothingCame =
        u"クリップボードを持っているアプリケーションから、貼り付ける文字列が届きませんでした。"_s;
#else
    const QString nothingCame =
        u"クリップボードから貼り付ける文字列を受け取れませんでした（空の文字列か、大きすぎるか、"
        u"コピー元のアプリケーションが応答しません）。"_s;
#endif
    QCOMPARE(w.messages.value(1),
             Message(frmTesh::MessageKind::Error, nothingCame + u"\nデータファイルは元のままです。"_s));

    // Cancelled in its progress dialog.
    w->setProgressDelay(0);
    QTimer cancel;
    connect(&cancel, &QTimer::timeout, [&cancel] {
        if (auto *dialog = qobject_cast<QProgressDialog *>(QApplication::activeModalWidget())) {
            dialog->cancel();
            cancel.stop(); // the copy's dialog alone
        }
    });
    cancel.start(0);
    QVERIFY(Drop(w.get(), Files({u"big.txt"_s})));
    cancel.stop();
    QCOMPARE(w.messages.size(), 3);
    QCOMPARE(w.messages.at(2),
             Message(frmTesh::MessageKind::Information, u"中止しました。データファイルは元のままです。"_s));
    QCOMPARE(QApplication::activeModalWidget(), nullptr);

    QCOMPARE(ReadBytes(DataFilePath()), NumberedLines(3));
    QCOMPARE(w.items(), (QStringList{u"q0,a0"_s, u"q1,a1"_s, u"q2,a2"_s}));
    QCOMPARE(w.status(), u"データ数 ＝ 3"_s);
    QCOMPARE(QDir().entryList(QDir::Files | QDir::Hidden).size(), 2);
}

void TestIntake::whileAnIntakeRuns_data()
{
    QTest::addColumn<QString>("intake");
    QTest::addColumn<QString>("meanwhile");
    QTest::newRow("a drop, the window closed") << u"drop"_s << u"close"_s;
    QTest::newRow("a paste, the window closed") << u"paste"_s << u"close"_s;
    QTest::newRow("a paste, 終了 clicked") << u"paste"_s << u"cmdEnd"_s;
    QTest::newRow("a drop, another drop") << u"drop"_s << u"drop"_s;
    QTest::newRow("a drop, the window resized") << u"drop"_s << u"resize"_s;
}

// A close stops the running intake as its cancel would, then the window closes with nothing
// written and nothing told; another drop meanwhile is refused to its source.
void TestIntake::whileAnIntakeRuns()
{
    QFETCH(QString, intake);
    QFETCH(QString, meanwhile);
    TempWorkDir dir;
    WriteBytes(DataFilePath(), NumberedLines(3));
    WriteBytes(u"big.txt"_s, NumberedLines(200000)); // over 4 MB: several steps of progress
    WriteBytes(u"other.txt"_s, "other,1\r\n");
    WindowUnderTest w;
    w.show();
    // Before any progress dialog, as in the first half second: the window answers at each step.
    w->setProgressDelay(60000, 0);
    bool acted = false, refused = false;
    std::unique_ptr<QMimeData> other(Files({u"other.txt"_s}));
    QTimer act; // once the intake writes
    connect(&act, &QTimer::timeout, [&] {
        if (acted || QDir().entryList({u".*pelmor-*"_s}, QDir::Files | QDir::Hidden).isEmpty())
            return;
        acted = true;
        if (meanwhile == u"close"_s)
            w->close();
        else if (meanwhile == u"cmdEnd"_s)
            w.child<QPushButton>(meanwhile)->click();
        else if (meanwhile == u"resize"_s)
            w->centralWidget()->resize(900, 600);
        else { // a drag that entered before the intake started is refused at its drop too
            QDropEvent lone(QPointF(w->rect().center()), Qt::CopyAction, other.get(), Qt::LeftButton, Qt::NoModifier);
            QCoreApplication::sendEvent(w.get(), &lone);
            // and so is one moving over from a widget that took it: Qt hands its enter on accepted
            QDragEnterEvent over(w->rect().center(), Qt::CopyAction, other.get(), Qt::LeftButton, Qt::NoModifier);
            over.accept();
            QCoreApplication::sendEvent(w.get(), &over);
            refused = !Drop(w.get(), other.get()) && !lone.isAccepted() && !over.isAccepted();
        }
    });
    act.start(0);
    if (intake == u"drop"_s) {
        QVERIFY(Drop(w.get(), Files({u"big.txt"_s})));
    } else {
        SetClipboard(QString::fromLatin1(NumberedLines(200000)));
        w.click(u"cmdDataIn"_s);
    }
    act.stop();
    QCoreApplication::processEvents();
    QVERIFY(acted);
    if (meanwhile == u"resize"_s) { // laid out once the intake has ended, as a resize now would
        const QRect laidOut = w.card(1)->geometry();
        w->centralWidget()->resize(901, 600);
        w->centralWidget()->resize(900, 600);
        QCOMPARE(laidOut, w.card(1)->geometry());
        QCOMPARE(ReadBytes(DataFilePath()), NumberedLines(200000));
    } else if (meanwhile == u"drop"_s) {
        QVERIFY(refused);
        QCOMPARE(ReadBytes(DataFilePath()), NumberedLines(200000));
        QVERIFY(w->isVisible());
    } else {
        QCOMPARE(ReadBytes(DataFilePath()), NumberedLines(3));
        QVERIFY(!w->isVisible());
        QCOMPARE(w.messages, QList<Message>());
    }
    QCOMPARE(QDir().entryList(QDir::Files | QDir::Hidden).size(), 3);
}

// A drop answered just before a paste starts runs once the paste has ended.
void TestIntake::aDropWaitsForThePasteBeforeIt()
{
    TempWorkDir dir;
    WriteBytes(u"list.txt"_s, "dropped,1\r\n");
    WindowUnderTest w;
    w.show();
    std::unique_ptr<QMimeData> files(Files({u"list.txt"_s}));
    const QPoint at = w->rect().center();
    QDragEnterEvent enter(at, Qt::CopyAction, files.get(), Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(w.get(), &enter);
    QDropEvent drop(QPointF(at), Qt::CopyAction, files.get(), Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(w.get(), &drop); // its handler waits for the next turn of the loop
    QVERIFY(drop.isAccepted());
    // The paste comes first; at its first step the loop turns a while, as behind a slow owner.
    w->setProgressDelay(60000, 0);
    QTimer::singleShot(0, [] { QTest::qWait(300); });
    SetClipboard(QString::fromLatin1(NumberedLines(200000)));
    w.child<QPushButton>(u"cmdDataIn"_s)->click();
    QTRY_COMPARE_WITH_TIMEOUT(w.items(), QStringList{u"dropped,1"_s}, 60000);
    QCOMPARE(ReadBytes(DataFilePath()), QByteArray("dropped,1\r\n"));
}

// A share of the size told; busy past it; a share again once a size is told anew.
void TestIntake::theProgressBarFollowsWhatIsTold()
{
    QWidget parent;
    const bool abandoned = false;
    LongTask task(&parent, abandoned, u"読み込んでいます"_s, 0);
    const Progress progress = task.progress();
    QVERIFY(progress(5, 10));
    auto *dialog = parent.findChild<QProgressDialog *>();
    QVERIFY(dialog != nullptr);
    const int steps = dialog->maximum();
    QCOMPARE(dialog->value(), steps / 2);
    QVERIFY(progress(20, 10));
    QCOMPARE(dialog->maximum(), 0);
    QVERIFY(progress(3, 4));
    QCOMPARE(dialog->maximum(), steps);
    QCOMPARE(dialog->value(), steps * 3 / 4);
}

void TestIntake::dropsANameThatIsNoUtf8()
{
#ifndef Q_OS_UNIX
    QSKIP("file names are UTF-16 on this system");
#else
    TempWorkDir dir;
    const QByteArray name = "\x83\x65\x83\x58\x83\x67.txt"; // "テスト.txt" in code page 932
    const int fd = open(name.constData(), O_WRONLY | O_CREAT, 0644);
    QVERIFY(fd >= 0 && write(fd, "a,b\r\n", 5) == 5 && close(fd) == 0);
    WindowUnderTest w;
    auto *data = new QMimeData;
    data->setUrls({QUrl::fromEncoded("file://" + QFile::encodeName(dir.path()).toPercentEncoding("/") + "/" +
                                     name.toPercentEncoding())});
    QVERIFY(Drop(w.get(), data));
    delete data;
    unlink(name.constData()); // the temporary folder could not remove it by its name
    QVERIFY(w.messages.isEmpty());
    QCOMPARE(w.items(), QStringList{u"a,b"_s});
#endif
}

void TestIntake::refusesAFifoWithoutOpeningIt()
{
#ifndef Q_OS_UNIX
    QSKIP("no named pipes in folders on this system");
#else
    TempWorkDir dir;
    QCOMPARE(mkfifo("fifo", 0600), 0);
    // A writer waits for a reader to open the FIFO: opening it is a side effect it sees.
    std::atomic<bool> opened = false;
    std::thread writer([&opened] {
        const int fd = open("fifo", O_WRONLY);
        opened = true;
        close(fd);
    });
    WindowUnderTest w;
    QTest::qWait(100); // the writer is waiting by now
    QVERIFY(Drop(w.get(), Files({u"fifo"_s})));
    QTest::qWait(100);
    const bool openedByTheDrop = opened;
    close(open("fifo", O_RDONLY | O_NONBLOCK)); // lets the writer go
    writer.join();
    QVERIFY(!openedByTheDrop);
    QCOMPARE(w.messages.size(), 1);
#endif
}

void TestIntake::shortWorkShowsNoProgressDialog_data()
{
    QTest::addColumn<QString>("work");
    QTest::newRow("start-up read") << u"start"_s;
    QTest::newRow("paste: write, read") << u"paste"_s;
    QTest::newRow("drop: copy, read") << u"drop"_s;
    QTest::newRow("delimiter choice: read") << u"delimiter"_s;
}

// The progress dialog waits half a second, so that everyday reads and writes never flash one.
// A busy machine may take longer even over a small file, and then the dialog rightly shows:
// only a run that a clock around it proves shorter decides, and one of a few tries is.
void TestIntake::shortWorkShowsNoProgressDialog()
{
    QFETCH(QString, work);
    constexpr qint64 kDelayMs = 500;
    TempWorkDir dir;
    WriteBytes(DataFilePath(), NumberedLines(3));
    WriteBytes(u"drop.txt"_s, NumberedLines(4));
    SetClipboard(u"a,b\nc,d"_s);
    for (int attempt = 0; attempt < 20; ++attempt) {
        std::unique_ptr<WindowUnderTest> w;
        if (work != u"start"_s)
            w = std::make_unique<WindowUnderTest>();
        ShownWindows shown;
        QElapsedTimer clock;
        clock.start();
        if (work == u"start"_s)
            w = std::make_unique<WindowUnderTest>();
        else if (work == u"paste"_s)
            w->click(u"cmdDataIn"_s);
        else if (work == u"drop"_s)
            QVERIFY(Drop(w->get(), std::unique_ptr<QMimeData>(Files({u"drop.txt"_s})).get()));
        else
            w->trigger(u"mnuKugiri2"_s);
        const qint64 took = clock.elapsed();
        QCOMPARE(w->messages, QList<Message>());
        QVERIFY(w->items().size() >= 2); // the work was done
        if (took < kDelayMs) {
            QVERIFY2(shown.names.isEmpty(), qPrintable(u"shown: "_s + shown.names.join(u", "_s)));
            return;
        }
        qInfo("attempt %d took %lld ms, no shorter than the delay", attempt + 1, took);
    }
    QSKIP("no try was shorter than the delay on this machine");
}

void TestIntake::undoAndRedoPutDecksBack_data()
{
    QTest::addColumn<bool>("drop");
    QTest::addColumn<QKeySequence>("redo");
    QTest::newRow("paste, Ctrl+Shift+Z") << false << QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_Z);
    QTest::newRow("drop, Ctrl+Y") << true << QKeySequence(Qt::CTRL | Qt::Key_Y);
}

void TestIntake::undoAndRedoPutDecksBack()
{
    QFETCH(bool, drop);
    QFETCH(QKeySequence, redo);
    TempWorkDir dir;
    const QByteArray old = NumberedLines(3), fresh = "new,\x90\x56\r\n"; // 新
    WriteBytes(DataFilePath(), old);
    WriteBytes(u"fresh.txt"_s, fresh);
    WindowUnderTest w;
    w.show();
    QVERIFY(QTest::qWaitForWindowActive(w.get()));
    const QKeySequence undo(Qt::CTRL | Qt::Key_Z);
    if (drop) {
        QVERIFY(Drop(w.get(), Files({u"fresh.txt"_s})));
    } else {
        SetClipboard(u"new,新"_s);
        w.click(u"cmdDataIn"_s);
    }
    QCOMPARE(ReadBytes(DataFilePath()), fresh);
    w.trigger(u"mnuKugiri2"_s); // writes nothing, so no step of its own
    w.trigger(u"mnuKugiri1"_s);
    w.click(u"cmdNext"_s);

    Press(w, undo);
    QCOMPARE(ReadBytes(DataFilePath()), old);
    QCOMPARE(w.items(), (QStringList{u"q0,a0"_s, u"q1,a1"_s, u"q2,a2"_s}));
    QCOMPARE(w.status(), u"データ数 ＝ 3"_s);
    QCOMPARE(w->teshNow(), qint16(-1));
    Press(w, redo);
    QCOMPARE(ReadBytes(DataFilePath()), fresh);
    QCOMPARE(w.items(), QStringList{u"new,新"_s});

    // The field of the list undoes its own typing while it has the focus.
    QLineEdit *field = w.list()->lineEdit();
    field->setFocus();
    const QString typed = field->text();
    QTest::keyClicks(field, u"d"_s);
    Press(w, undo);
    QCOMPARE(field->text(), typed);
    QCOMPARE(ReadBytes(DataFilePath()), fresh);

    // The replaced deck, kept in the user's data folder (its modes: tst_store) and nowhere else.
    const QStringList kept = KeptDecks();
    QCOMPARE(kept.size(), 1);
    QVERIFY2(kept.first().endsWith(u'-' + QFileInfo(dir.path()).fileName() + u".txt"_s),
             qPrintable(kept.first()));
    QCOMPARE(ReadBytes(KeptDecksFolder() + u'/' + kept.first()), old);
    QCOMPARE(QDir().entryList(QDir::Files | QDir::Dirs | QDir::Hidden | QDir::NoDotAndDotDot).size(), 2);
    QVERIFY(w.messages.isEmpty());

    // A new intake after an undo leaves nothing to redo.
    field->clearFocus();
    Press(w, undo);
    SetClipboard(u"other,1"_s);
    w.click(u"cmdDataIn"_s);
    Press(w, redo);
    QCOMPARE(ReadBytes(DataFilePath()), QByteArray("other,1\r\n"));
}

// At least the last ten intakes go back one at a time; an eleventh undo finds nothing.
void TestIntake::undoesTheLastTenIntakes()
{
    TempWorkDir dir;
    const auto deck = [](int i) { return QByteArray("deck,") + QByteArray::number(i) + "\r\n"; };
    WriteBytes(DataFilePath(), deck(0));
    WindowUnderTest w;
    w.show();
    QVERIFY(QTest::qWaitForWindowActive(w.get()));
    for (int i = 1; i <= 11; ++i) {
        SetClipboard(QString::fromLatin1(deck(i)));
        w.click(u"cmdDataIn"_s);
    }
    QCOMPARE(ReadBytes(DataFilePath()), deck(11) + "\r\n");
    for (int i = 10; i >= 1; --i) {
        Press(w, QKeySequence(Qt::CTRL | Qt::Key_Z));
        QCOMPARE(ReadBytes(DataFilePath()), deck(i) + "\r\n");
    }
    Press(w, QKeySequence(Qt::CTRL | Qt::Key_Z));
    QCOMPARE(ReadBytes(DataFilePath()), deck(1) + "\r\n");
    QCOMPARE(KeptDecks().size(), 11);
    QVERIFY(w.messages.isEmpty());
}

void TestIntake::undoThatCannotWriteStaysAvailable_data()
{
    QTest::addColumn<bool>("folder");
    QTest::newRow("write-protected") << false;
    QTest::newRow("a folder in its place") << true;
}

// A failed undo says why, leaves the file, the list and the step as they were.
void TestIntake::undoThatCannotWriteStaysAvailable()
{
    QFETCH(bool, folder);
    TempWorkDir dir;
    const QByteArray old = NumberedLines(2), fresh = "new,x\r\n";
    WriteBytes(DataFilePath(), old);
    WindowUnderTest w;
    w.show();
    QVERIFY(QTest::qWaitForWindowActive(w.get()));
    SetClipboard(u"new,x"_s);
    w.click(u"cmdDataIn"_s);
    w.click(u"cmdNext"_s);
    if (folder)
        QVERIFY(QFile::remove(DataFilePath()) && QDir().mkdir(DataFilePath()));
    else
        QVERIFY(SetWriteProtected(DataFilePath(), true));
    Press(w, QKeySequence(Qt::CTRL | Qt::Key_Z));
    QCOMPARE(w.messages.size(), 1);
    QVERIFY2(w.messages.first().second.startsWith(u"元に戻せませんでした。"_s),
             qPrintable(w.messages.first().second));
    QVERIFY2(w.messages.first().second.contains(folder ? u"通常のファイルではない"_s : u"書き込みが禁止"_s),
             qPrintable(w.messages.first().second));
    QCOMPARE(w.card(0)->text(), u"new"_s); // the drill goes on
    if (folder)
        QVERIFY(QDir().rmdir(DataFilePath()) && (WriteBytes(DataFilePath(), fresh), true));
    else
        QVERIFY(SetWriteProtected(DataFilePath(), false));
    QCOMPARE(ReadBytes(DataFilePath()), fresh);
    Press(w, QKeySequence(Qt::CTRL | Qt::Key_Z));
    QCOMPARE(ReadBytes(DataFilePath()), old);
    QCOMPARE(w.messages.size(), 1);
}

void TestIntake::keptDeckFolderFaults_data()
{
    QTest::addColumn<QString>("fault");
    QTest::addColumn<QString>("why"); // what the message says of it
    const QString inTheWay = u"という名前のフォルダーでないもの（ファイルやリンク）があります"_s;
    const QString refused = u"を作ることも使うこともできません"_s;
    QTest::newRow("a file where the data folder goes") << u"file"_s << inTheWay;
    QTest::newRow("a link where the folder of kept decks goes") << u"link"_s << inTheWay;
    QTest::newRow("a deck too large to keep") << u"large"_s << u"保存しませんでした"_s;
#ifdef Q_OS_UNIX
    QTest::newRow("a data home that cannot be written") << u"read-only"_s << refused;
    QTest::newRow("another account's data folder") << u"other"_s << refused;
#endif
}

// The paste goes through whatever stops the copy, and the user hears of it once.
void TestIntake::keptDeckFolderFaults()
{
    QFETCH(QString, fault);
    QFETCH(QString, why);
    TempWorkDir dir;
    QTemporaryDir elsewhere;
    QByteArray old = NumberedLines(2);
    if (fault == u"large"_s)
        old = (QByteArray(4000, 'x') + ",y\r\n").repeated(300); // over 1 MiB in lines the window reads whole
    WriteBytes(DataFilePath(), old);
    const QString appFolder = QFileInfo(KeptDecksFolder()).path();
    if (fault == u"file"_s) {
        WriteBytes(appFolder, "mine");
    } else if (fault == u"link"_s) {
        QVERIFY(QDir().mkpath(appFolder));
        if (!MakeSymlink(elsewhere.path(), KeptDecksFolder()))
            QSKIP("no symbolic links for this user here");
    } else if (fault == u"read-only"_s) {
#ifdef Q_OS_UNIX
        if (::geteuid() == 0)
            QSKIP("root writes into any folder");
        QVERIFY(QFile::setPermissions(dir.dataHome(), QFile::ReadOwner | QFile::ExeOwner));
#endif
    } else if (fault == u"other"_s) {
#ifdef Q_OS_UNIX
        if (::geteuid() != 0)
            QSKIP("only root gives a folder to another account");
        QVERIFY(QDir().mkpath(appFolder));
        QVERIFY(::chown(QFile::encodeName(appFolder).constData(), 65534, 65534) == 0);
#endif
    }
    WindowUnderTest w;
    w.show();
    QVERIFY(QTest::qWaitForWindowActive(w.get()));
    SetClipboard(u"new,x"_s);
    w.click(u"cmdDataIn"_s);
    QFile::setPermissions(dir.dataHome(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    QCOMPARE(ReadBytes(DataFilePath()), QByteArray("new,x\r\n"));
    QCOMPARE(w.items(), QStringList{u"new,x"_s});
    QCOMPARE(w.messages.size(), 1);
    QVERIFY2(w.messages.first().second.contains(fault == u"large"_s ? u"保存しませんでした"_s
                                                                    : u"保存できませんでした"_s) &&
                 w.messages.first().second.contains(why),
             qPrintable(w.messages.first().second));
    QVERIFY(QDir(elsewhere.path()).isEmpty());
    Press(w, QKeySequence(Qt::CTRL | Qt::Key_Z));
    // Held in memory, except the deck too large to hold.
    QCOMPARE(ReadBytes(DataFilePath()), fault == u"large"_s ? QByteArray("new,x\r\n") : old);
    QCOMPARE(w.messages.size(), 1);
}

QTEST_MAIN(TestIntake)
#include "tst_intake.moc"
