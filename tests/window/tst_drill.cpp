#include "windowtestutils.h"

#include "store/datafile.h"
#include "drill/fontfit.h"

#include <QAbstractItemView>
#include <QInputMethodEvent>
#include <QLineEdit>

using namespace Qt::StringLiterals;

namespace {

// Ten cards "q1,a1" .. "q10,a10" (rows 0..9).
QByteArray TenCards()
{
    QByteArray bytes;
    for (int i = 1; i <= 10; ++i)
        bytes += "q" + QByteArray::number(i) + ",a" + QByteArray::number(i) + "\r\n";
    return bytes;
}

// What the user sees: upper card, lower card, status line.
struct View
{
    QString question, answer, status;
    bool operator==(const View &) const = default;
};

char *toString(const View &view)
{
    return QTest::toString(u"[%1|%2|%3]"_s.arg(view.question, view.answer, view.status));
}

View Seen(WindowUnderTest &w)
{
    return {w.card(0)->text(), w.card(1)->text(), w.status()};
}

// Chooses a list entry the way a user does: opens the list and clicks the entry.
void ChooseEntry(WindowUnderTest &w, int row)
{
    QComboBox *list = w.list();
    list->showPopup();
    QAbstractItemView *view = list->view();
    QVERIFY(QTest::qWaitForWindowExposed(view->window()));
    const QRect rect = view->visualRect(view->model()->index(row, 0));
    QTest::mouseClick(view->viewport(), Qt::LeftButton, {}, rect.center());
    QTRY_VERIFY(!view->window()->isVisible());
}

} // namespace

class TestDrill : public QObject
{
    Q_OBJECT

private slots:
    void init() { FailOnWarnings(); }
    void steps_data();
    void steps();
    void emptyDeckShowsRowZero();
    void listChoice();
    void typingInTheListRunsNothing();
    void fitsFontsToTheCard();
    void longCardTextWraps();
};

// Each row is a sequence of actions from start-up with ten cards, and the view after it:
// n = cmdNext, p = cmbBefor, 0/1 = a click on card label 0 or 1, d = a double click on
// card label 0 (press, release, double click, release, as the desktop sends it),
// o = a press on card label 0 released outside it.
void TestDrill::steps_data()
{
    QTest::addColumn<QString>("actions");
    QTest::addColumn<View>("view");
    QTest::addColumn<int>("now");
    QTest::addColumn<int>("flag");

    QTest::newRow("first question") << u"n"_s << View{u"q1"_s, QString(), u" 1 /  10 問い"_s} << 0 << 0;
    QTest::newRow("first answer") << u"nn"_s << View{u"q1"_s, u"a1"_s, u" 1 /  10 答え"_s} << 0 << 1;
    QTest::newRow("second question") << u"nnn"_s << View{u"q2"_s, QString(), u" 2 /  10 問い"_s} << 1 << 0;
    QTest::newRow("clicks on labels act as next")
        << u"01"_s << View{u"q1"_s, u"a1"_s, u" 1 /  10 答え"_s} << 0 << 1;
    QTest::newRow("previous from answer 5")
        << u"nnnnnnnnnp"_s << View{u"q4"_s, QString(), u" 4 /  10 問い"_s} << 3 << 0;
    QTest::newRow("then its answer") << u"nnnnnnnnnpn"_s << View{u"q4"_s, u"a4"_s, u" 4 /  10 答え"_s} << 3
                                     << 1;
    QTest::newRow("previous from the second card to the first")
        << u"nnnp"_s << View{u"q1"_s, QString(), u" 1 /  10 問い"_s} << 0 << 0;
    QTest::newRow("previous on first question")
        << u"np"_s << View{u"q1"_s, QString(), u" 1 /  10 問い"_s} << 0 << 0;
    QTest::newRow("previous on first answer")
        << u"nnp"_s << View{u"q1"_s, u"a1"_s, u" 1 /  10 答え"_s} << 0 << 1;
    QTest::newRow("previous before any card")
        << u"p"_s << View{QString(), QString(), u"データ数 ＝ 10"_s} << 0 << 1;
    QTest::newRow("then next shows the second card")
        << u"pn"_s << View{u"q2"_s, QString(), u" 2 /  10 問い"_s} << 1 << 0;
    QTest::newRow("last question still reveals")
        << QString(19, u'n') << View{u"q10"_s, QString(), u" 10 /  10 問い"_s} << 9 << 0;
    QTest::newRow("double click is one step")
        << u"d"_s << View{u"q1"_s, QString(), u" 1 /  10 問い"_s} << 0 << 0;
    QTest::newRow("double click on the question shows the answer")
        << u"nd"_s << View{u"q1"_s, u"a1"_s, u" 1 /  10 答え"_s} << 0 << 1;
    QTest::newRow("released outside is no click")
        << u"o"_s << View{QString(), QString(), u"データ数 ＝ 10"_s} << -1 << 1;
    QTest::newRow("last answer stays")
        << QString(25, u'n') << View{u"q10"_s, u"a10"_s, u" 10 /  10 答え"_s} << 9 << 1;
}

void TestDrill::steps()
{
    QFETCH(QString, actions);
    QFETCH(View, view);
    QFETCH(int, now);
    QFETCH(int, flag);
    TempWorkDir dir;
    WriteBytes(DataFilePath(), TenCards());
    WindowUnderTest w;
    w.show();
    for (QChar action : actions) {
        if (action == u'n')
            w.click(u"cmdNext"_s);
        else if (action == u'p')
            w.click(u"cmbBefor"_s);
        else if (action == u'd') {
            QTest::mousePress(w.card(0), Qt::LeftButton);
            QTest::mouseRelease(w.card(0), Qt::LeftButton);
            QTest::mouseDClick(w.card(0), Qt::LeftButton);
            QTest::mouseRelease(w.card(0), Qt::LeftButton);
        } else if (action == u'o') {
            QTest::mousePress(w.card(0), Qt::LeftButton);
            QTest::mouseRelease(w.card(0), Qt::LeftButton, {}, QPoint(w.card(0)->width() / 2, -5));
        } else
            QTest::mouseClick(w.card(action.digitValue()), Qt::LeftButton);
    }
    QCOMPARE(Seen(w), view);
    QCOMPARE(int(w->teshNow()), now);
    QCOMPARE(int(w->teshFlag()), flag);
    QVERIFY(w.messages.isEmpty());
}

void TestDrill::emptyDeckShowsRowZero()
{
    TempWorkDir dir;
    WindowUnderTest w;
    w.show();
    for (const QString &status : {u" 1 /  1 問い"_s, u" 1 /  1 答え"_s, u" 1 /  1 答え"_s}) {
        QTest::mouseClick(w.card(0), Qt::LeftButton); // an empty label acts too
        QCOMPARE(w.status(), status);
    }
    QCOMPARE(w.card(0)->text(), QString());
}

void TestDrill::listChoice()
{
    TempWorkDir dir;
    WriteBytes(DataFilePath(), TenCards());
    WindowUnderTest w;
    w.show();
    w.click(u"cmdNext"_s);
    w.click(u"cmdNext"_s); // an answer is on view
    ChooseEntry(w, 6);
    QCOMPARE(Seen(w), (View{u"q7"_s, QString(), u" 7 /  10 問い"_s}));
    QCOMPARE(w.list()->currentText(), u"q7,a7"_s);
    ChooseEntry(w, 0);
    QCOMPARE(Seen(w), (View{u"q1"_s, QString(), u" 1 /  10 問い"_s}));
    w.click(u"cmdNext"_s);
    QCOMPARE(w.card(1)->text(), u"a1"_s);
}

void TestDrill::typingInTheListRunsNothing()
{
    TempWorkDir dir;
    WriteBytes(DataFilePath(), TenCards());
    WindowUnderTest w;
    w.show();
    QLineEdit *field = w.list()->lineEdit();
    field->setFocus();
    field->selectAll();
    QTest::keyClicks(field, u"q3,a3"_s);
    QTest::keyClick(field, Qt::Key_Return);
    w.click(u"cmdNext"_s); // leaves the field
    QCOMPARE(w.list()->count(), 10);
    QCOMPARE(Seen(w), (View{u"q1"_s, QString(), u" 1 /  10 問い"_s}));
    field->setFocus();
    QInputMethodEvent typed; // Japanese arrives through the input method
    typed.setCommitString(u"新しい語"_s);
    QCoreApplication::sendEvent(field, &typed);
    QCOMPARE(field->text(), u"q3,a3新しい語"_s);
    QTest::keyClick(field, Qt::Key_Enter);
    QCOMPARE(w.list()->count(), 10);
    QCOMPARE(int(w->teshNow()), 0);
}

void TestDrill::fitsFontsToTheCard()
{
    TempWorkDir dir;
    WriteBytes(DataFilePath(), "abcdefghi,xy\r\n");
    WindowUnderTest w;
    w.show();
    const float width = float(w.card(0)->width());
    QCOMPARE(width, 749.0f);
    w.click(u"cmdNext"_s);
    QCOMPARE(w.card(0)->font().pointSizeF(), double(QuestionFontSize(Proportion::OneOne, 9, width, 4.3f)));
    QCOMPARE(w.card(0)->font().pointSizeF(), double(float(749 / 9.5)));
    // The answer label is sized for the hidden answer already.
    QCOMPARE(w.card(1)->font().pointSizeF(), double(float(749 / double(4.3f))));
}

// A card text wider than its label goes on below, line after line: the drawn text reaches
// down past its first line.
void TestDrill::longCardTextWraps()
{
    TempWorkDir dir;
    QByteArray question;
    for (int i = 0; i < 40; ++i)
        question += "word ";
    WriteBytes(DataFilePath(), question + ",a\r\n");
    WindowUnderTest w;
    w.show();
    w.trigger(u"mnuFontColor00"_s); // black: told apart from any background
    w.click(u"cmdNext"_s);
    QLabel *card = w.card(0);
    const int lineHeight = QFontMetrics(card->font()).lineSpacing();
    QVERIFY(2 * lineHeight < card->height()); // room for a second line at the smallest size
    const QImage shot = card->grab().toImage();
    QList<int> inkRows;
    for (int y = 0; y < shot.height(); ++y)
        for (int x = 0; x < shot.width(); ++x)
            if (const QColor c = shot.pixelColor(x, y); c.red() < 64 && c.green() < 64 && c.blue() < 64) {
                inkRows.append(y);
                break;
            }
    QVERIFY(!inkRows.isEmpty());
    QVERIFY2(inkRows.first() < lineHeight, qPrintable(QString::number(inkRows.first())));
    QVERIFY2(inkRows.last() > lineHeight,
             qPrintable(u"last ink row %1, line height %2"_s.arg(inkRows.last()).arg(lineHeight)));
}

QTEST_MAIN(TestDrill)
#include "tst_drill.moc"
