#include "drill/statustext.h"

#include <QTest>

using namespace Qt::StringLiterals;

class TestStatusText : public QObject
{
    Q_OBJECT

private slots:
    void formats_data();
    void formats();
};

void TestStatusText::formats_data()
{
    QTest::addColumn<QString>("actual");
    QTest::addColumn<QString>("expected");

    QTest::newRow("count 0") << CountText(0) << u"データ数 ＝ 0"_s;
    QTest::newRow("count 3") << CountText(3) << u"データ数 ＝ 3"_s;
    QTest::newRow("count 301, no grouping") << CountText(301) << u"データ数 ＝ 301"_s;
    QTest::newRow("negative has no blank") << StatusNumber(-1) << u"-1"_s;
    QTest::newRow("thousands, no grouping") << StatusNumber(12345) << u" 12345"_s;
    QTest::newRow("third of ten, question") << PositionText(2, 9, CardSide::Question) << u" 3 /  10 問い"_s;
    QTest::newRow("third of ten, answer") << PositionText(2, 9, CardSide::Answer) << u" 3 /  10 答え"_s;
    QTest::newRow("empty deck") << PositionText(0, 0, CardSide::Question) << u" 1 /  1 問い"_s;
    QTest::newRow("last of 301") << PositionText(300, 300, CardSide::Answer) << u" 301 /  301 答え"_s;
}

void TestStatusText::formats()
{
    QFETCH(QString, actual);
    QFETCH(QString, expected);
    QCOMPARE(actual, expected);
}

QTEST_GUILESS_MAIN(TestStatusText)
#include "tst_statustext.moc"
