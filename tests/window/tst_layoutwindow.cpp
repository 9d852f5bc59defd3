#include "windowtestutils.h"

#include "store/datafile.h"
#include "drill/fontfit.h"
#include "window/clientarea.h"
#include "window/layout.h"
#include "window/palette.h"

#include <QApplication>
#include <QLineEdit>
#include <QMenu>
#include <QScreen>

using namespace Qt::StringLiterals;

namespace {

const QStringList kFixed = {u"cmdDataIn"_s, u"Combo1"_s, u"cmdNext"_s,
                            u"cmbBefor"_s,  u"cmdEnd"_s, u"lblNum"_s};

QMap<QString, QRect> FixedGeometry(WindowUnderTest &w)
{
    QMap<QString, QRect> geometry;
    for (const QString &name : kFixed)
        geometry[name] = w.child(name)->geometry();
    return geometry;
}

// Resizes the client area and lets the window take the new size.
void ResizeClient(WindowUnderTest &w, int width, int height)
{
    QWidget *client = w->centralWidget();
    const QSize frame = w->size() - client->size();
    w->resize(width + frame.width(), height + frame.height());
    QTRY_COMPARE(client->size(), QSize(width, height));
}

void VerifyLayout(WindowUnderTest &w, Proportion proportion, bool cardShown)
{
    QWidget *client = w->centralWidget();
    const CardLayout l =
        ComputeCardLayout(proportion, client->width(), client->height(), 40, 4.3f, kPixelStore);
    QCOMPARE(w.card(0)->geometry(), QRect(0, 40, int(l.width0), int(l.height0)));
    QCOMPARE(w.card(1)->geometry(), QRect(0, int(l.top1), int(l.width1), int(l.height1)));
    QCOMPARE(w.label(u"lblBorderLine"_s)->geometry(), QRect(0, int(l.borderTop), 25, 17));
    if (!cardShown) {
        QCOMPARE(w.card(0)->font().pointSizeF(), double(l.font0));
        QCOMPARE(w.card(1)->font().pointSizeF(), double(l.font1));
    }
}

} // namespace

class TestLayoutWindow : public QObject
{
    Q_OBJECT

private slots:
    void init() { FailOnWarnings(); }
    void followsTheWindow_data();
    void followsTheWindow();
    void minimisedChangesNothing();
    void proportionRefitsTheCard();
    void tinyWindowsDoNotFail_data();
    void tinyWindowsDoNotFail();
    void textColour();
    void backgroundColour();
    void listFieldReadsOnADarkTheme();
    void colourMenuOrders();
};

void TestLayoutWindow::followsTheWindow_data()
{
    QTest::addColumn<QString>("item");
    QTest::addColumn<Proportion>("proportion");
    QTest::addColumn<QSize>("client");

    QTest::newRow("1:2 larger") << u"mnuHyouzi1"_s << Proportion::OneTwo << QSize(1000, 700);
    QTest::newRow("1:1 odd height") << u"mnuHyouzi2"_s << Proportion::OneOne << QSize(800, 487);
    QTest::newRow("2:1 narrower than the buttons")
        << u"mnuHyouzi3"_s << Proportion::TwoOne << QSize(300, 400);
}

void TestLayoutWindow::followsTheWindow()
{
    QFETCH(QString, item);
    QFETCH(Proportion, proportion);
    QFETCH(QSize, client);
    TempWorkDir dir;
    WindowUnderTest w;
    w.show();
    const auto fixed = FixedGeometry(w);
    w.trigger(item);
    QStringList checked;
    for (const QString &name : {u"mnuHyouzi1"_s, u"mnuHyouzi2"_s, u"mnuHyouzi3"_s})
        if (w.action(name)->isChecked())
            checked.append(name);
    QCOMPARE(checked, QStringList{item});
    VerifyLayout(w, proportion, false);
    ResizeClient(w, client.width(), client.height());
    VerifyLayout(w, proportion, false);
    QCOMPARE(FixedGeometry(w), fixed);
    w.trigger(item); // choosing it again lays out again, with the same result
    VerifyLayout(w, proportion, false);
    QVERIFY(w.action(item)->isChecked());
}

void TestLayoutWindow::minimisedChangesNothing()
{
    TempWorkDir dir;
    WindowUnderTest w;
    w.show();
    const QRect before = w.card(1)->geometry();
    w->setWindowState(Qt::WindowMinimized);
    QTRY_VERIFY(w->isMinimized());
    w->centralWidget()->resize(900, 600); // a size notification while minimised
    QCOMPARE(w.card(1)->geometry(), before);
    w->setWindowState(Qt::WindowNoState);
    QTRY_VERIFY(!w->isMinimized());
    VerifyLayout(w, Proportion::OneOne, false);
}

void TestLayoutWindow::proportionRefitsTheCard()
{
    TempWorkDir dir;
    WriteBytes(DataFilePath(), "abcde,xy\r\n");
    WindowUnderTest w;
    w.show();
    w.click(u"cmdNext"_s);
    w.click(u"cmdNext"_s);
    w.trigger(u"mnuHyouzi1"_s);
    VerifyLayout(w, Proportion::OneTwo, true);
    QCOMPARE(w.card(0)->font().pointSizeF(), double(QuestionFontSize(Proportion::OneTwo, 5, 749, 4.3f)));
    QCOMPARE(w.card(1)->font().pointSizeF(), double(AnswerFontSize(Proportion::OneTwo, 2, 749, 749, 4.3f)));
    ResizeClient(w, 600, 500);
    QCOMPARE(w.card(0)->font().pointSizeF(), double(float(600 / 8.0))); // 5 * 1.5 + 0.5
    QCOMPARE(w.card(1)->text(), u"xy"_s);                               // texts are not reloaded
}

void TestLayoutWindow::tinyWindowsDoNotFail_data()
{
    QTest::addColumn<QSize>("client");
    QTest::newRow("no width") << QSize(0, 300);
    QTest::newRow("below the card top") << QSize(300, 20);
    QTest::newRow("nothing") << QSize(0, 0);
}

void TestLayoutWindow::tinyWindowsDoNotFail()
{
    QFETCH(QSize, client);
    TempWorkDir dir;
    WriteBytes(DataFilePath(), "a,b\r\n");
    WindowUnderTest w;
    w.show();
    w.click(u"cmdNext"_s);
    w->centralWidget()->resize(client); // below any minimum the frame would allow
    for (const QString &item : {u"mnuHyouzi1"_s, u"mnuHyouzi2"_s, u"mnuHyouzi3"_s})
        w.trigger(item);
    w.click(u"cmdNext"_s);
    QVERIFY(w.card(0)->height() >= 0);
    QVERIFY(w.card(0)->font().pointSizeF() > 0);
    QCOMPARE(w.card(1)->text(), u"b"_s);
    QVERIFY(w.messages.isEmpty());
}

void TestLayoutWindow::textColour()
{
    TempWorkDir dir;
    WindowUnderTest w;
    const QColor combo = w.list()->palette().color(QPalette::Text);
    const QColor button = w.child(u"cmdNext"_s)->palette().color(QPalette::ButtonText);
    w.trigger(u"mnuFontColor12"_s);
    for (const QString &name : {u"lblTime0"_s, u"lblTime1"_s, u"lblNum"_s, u"lblBorderLine"_s})
        QCOMPARE(w.label(name)->palette().color(QPalette::WindowText), QColor(255, 0, 0));
    QCOMPARE(w.list()->palette().color(QPalette::Text), combo);
    QCOMPARE(w.child(u"cmdNext"_s)->palette().color(QPalette::ButtonText), button);
    QCOMPARE(w->teshFontColor(), 12);
    int checked = 0;
    for (QAction *item : w->findChild<QMenu *>(u"mnuFontColor"_s)->actions())
        checked += item->isChecked();
    QCOMPARE(checked, 1);
    QVERIFY(w.action(u"mnuFontColor12"_s)->isChecked());
    w.trigger(u"mnuFontColor12"_s); // again: still checked
    QVERIFY(w.action(u"mnuFontColor12"_s)->isChecked());
}

void TestLayoutWindow::backgroundColour()
{
    TempWorkDir dir;
    WindowUnderTest w;
    auto *client = qobject_cast<ClientArea *>(w->centralWidget());
    QCOMPARE(client->backColor(), QColor(0, 0, 128)); // start-up: dark blue
    QCOMPARE(w.card(0)->palette().color(QPalette::WindowText), QColor(255, 255, 255));
    const QColor listBase = w.list()->palette().color(QPalette::Base);
    QCOMPARE(listBase, QColor(224, 224, 224));
    // What the screen shows, read without making the window paint anew (grab() would).
    w.show();
    const auto onScreen = [&w] {
        const QImage shot = w->screen()->grabWindow(w->winId()).toImage();
        return shot.pixelColor(shot.width() - 5, shot.height() - 5); // through the answer label
    };
    QTRY_COMPARE(onScreen(), QColor(0, 0, 128));
    w.trigger(u"mnuBackColor07"_s);
    QCOMPARE(client->backColor(), QColor(192, 192, 192));
    QCOMPARE(w->teshBackColor(), 0xC0C0C0);
    QCOMPARE(w.list()->palette().color(QPalette::Base), listBase);
    QVERIFY(!w.card(0)->autoFillBackground()); // the labels let the colour through
    QTRY_COMPARE(onScreen(), QColor(192, 192, 192));
    QVERIFY(!w.action(u"mnuBackColor01"_s)->isChecked());
    QVERIFY(w.action(u"mnuBackColor07"_s)->isChecked());
}

// A dark desktop theme gives light text; the list's field keeps its light grey, and so
// its own dark text.
void TestLayoutWindow::listFieldReadsOnADarkTheme()
{
    TempWorkDir dir;
    const QPalette desktop = QApplication::palette();
    const auto restore = qScopeGuard([&desktop] { QApplication::setPalette(desktop); });
    QPalette dark = desktop;
    for (auto [role, color] : {std::pair{QPalette::Window, QColor(40, 40, 40)},
                               {QPalette::Base, QColor(30, 30, 30)},
                               {QPalette::Button, QColor(50, 50, 50)},
                               {QPalette::Text, QColor(230, 230, 230)},
                               {QPalette::WindowText, QColor(230, 230, 230)},
                               {QPalette::ButtonText, QColor(230, 230, 230)}})
        dark.setColor(role, color);
    QApplication::setPalette(dark);
    WindowUnderTest w;
    w.show();
    QLineEdit *field = w.list()->lineEdit();
    QCOMPARE(field->palette().color(QPalette::Base), QColor(224, 224, 224));
    QCOMPARE(field->palette().color(QPalette::Text), QColor(Qt::black));
    // What is drawn: dark text on the grey.
    const QImage shot = field->grab().toImage();
    int darkest = 255;
    for (int y = 0; y < shot.height(); ++y)
        for (int x = 0; x < shot.width(); ++x)
            darkest = std::min(darkest, qGray(shot.pixel(x, y)));
    QVERIFY2(darkest < 64, qPrintable(QString::number(darkest)));
}

void TestLayoutWindow::colourMenuOrders()
{
    TempWorkDir dir;
    WindowUnderTest w;
    for (const QString &menu : {u"mnuFontColor"_s, u"mnuBackColor"_s}) {
        const QList<QAction *> items = w->findChild<QMenu *>(menu)->actions();
        QCOMPARE(items.size(), 16);
        const bool text = menu == u"mnuFontColor"_s;
        QCOMPARE(items[7]->text(), text ? u"暗い灰色"_s : u"明るい灰色"_s);
        QCOMPARE(items[8]->text(), text ? u"明るい灰色"_s : u"暗い灰色"_s);
        QCOMPARE(items[7]->objectName(), menu + (text ? u"08"_s : u"07"_s));
        QCOMPARE(items[0]->text(), u"黒"_s);
        QCOMPARE(items[15]->text(), u"明るい白"_s);
    }
}

QTEST_MAIN(TestLayoutWindow)
#include "tst_layoutwindow.moc"
