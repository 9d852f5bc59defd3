#include "window/layout.h"
#include "window/palette.h"

#include <QTest>

using namespace Qt::StringLiterals;

class TestLayout : public QObject
{
    Q_OBJECT

private slots:
    void workedExample_data();
    void workedExample();
    void wholePixelsCarryIntoLaterRows_data();
    void wholePixelsCarryIntoLaterRows();
    void palette_data();
    void palette();
};

void TestLayout::workedExample_data()
{
    QTest::addColumn<Proportion>("proportion");
    QTest::addColumn<double>("height0");
    QTest::addColumn<double>("top1");
    QTest::addColumn<double>("height1");
    QTest::addColumn<double>("borderTop");

    QTest::newRow("1:2") << Proportion::OneTwo << double(148.66667f) << double(188.66667f)
                         << double(297.33334f) << double(178.66667f);
    QTest::newRow("1:1") << Proportion::OneOne << 223.0 << 263.0 << 223.0 << 253.0;
    QTest::newRow("2:1") << Proportion::TwoOne << double(297.33334f) << double(337.33334f)
                         << double(148.66667f) << double(327.33334f);
}

void TestLayout::workedExample()
{
    QFETCH(Proportion, proportion);
    QFETCH(double, height0);
    QFETCH(double, top1);
    QFETCH(double, height1);
    QFETCH(double, borderTop);
    const CardLayout l = ComputeCardLayout(proportion, 749, 486, 40, 4.3f, kExactStore);
    QCOMPARE(l.width0, 749.0);
    QCOMPARE(l.width1, 749.0);
    QCOMPARE(l.height0, height0);
    QCOMPARE(l.top1, top1);
    QCOMPARE(l.height1, height1);
    QCOMPARE(l.borderTop, borderTop);
    QCOMPARE(l.font0, 174.18604f);
    QCOMPARE(l.font1, 174.18604f);
}

void TestLayout::wholePixelsCarryIntoLaterRows_data()
{
    QTest::addColumn<Proportion>("proportion");
    QTest::addColumn<double>("clientHeight");
    QTest::addColumn<double>("height0");
    QTest::addColumn<double>("top1");
    QTest::addColumn<double>("height1");
    QTest::addColumn<double>("borderTop");

    // (486 - 40) / 3 = 148.67 is stored as 149, and 149 is what the later rows read.
    QTest::newRow("1:2") << Proportion::OneTwo << 486.0 << 149.0 << 189.0 << 298.0 << 179.0;
    QTest::newRow("2:1") << Proportion::TwoOne << 486.0 << 297.0 << 337.0 << 149.0 << 327.0;
    QTest::newRow("1:1 odd height") << Proportion::OneOne << 487.0 << 224.0 << 264.0 << 224.0 << 254.0;
    QTest::newRow("below the top: heights clamp to 0")
        << Proportion::OneOne << 10.0 << 0.0 << 40.0 << 0.0 << 30.0;
    QTest::newRow("no height at all") << Proportion::TwoOne << 0.0 << 0.0 << 40.0 << 0.0 << 30.0;
}

void TestLayout::wholePixelsCarryIntoLaterRows()
{
    QFETCH(Proportion, proportion);
    QFETCH(double, clientHeight);
    QFETCH(double, height0);
    QFETCH(double, top1);
    QFETCH(double, height1);
    QFETCH(double, borderTop);
    const CardLayout l = ComputeCardLayout(proportion, 749, clientHeight, 40, 4.3f, kPixelStore);
    QCOMPARE(l.height0, height0);
    QCOMPARE(l.top1, top1);
    QCOMPARE(l.height1, height1);
    QCOMPARE(l.borderTop, borderTop);
}

void TestLayout::palette_data()
{
    QTest::addColumn<int>("index");
    QTest::addColumn<QString>("caption");
    QTest::addColumn<QColor>("color");

    QTest::newRow("0") << 0 << u"黒"_s << QColor(0, 0, 0);
    QTest::newRow("1") << 1 << u"暗い青"_s << QColor(0, 0, 128);
    QTest::newRow("2") << 2 << u"暗い緑"_s << QColor(0, 128, 0);
    QTest::newRow("3") << 3 << u"暗いシアン"_s << QColor(0, 128, 128);
    QTest::newRow("4") << 4 << u"暗い赤"_s << QColor(128, 0, 0);
    QTest::newRow("5") << 5 << u"暗いマゼンダ"_s << QColor(128, 0, 128);
    QTest::newRow("6") << 6 << u"暗い黄色"_s << QColor(128, 128, 0);
    QTest::newRow("7") << 7 << u"明るい灰色"_s << QColor(192, 192, 192);
    QTest::newRow("8") << 8 << u"暗い灰色"_s << QColor(128, 128, 128);
    QTest::newRow("9") << 9 << u"明るい青"_s << QColor(0, 0, 255);
    QTest::newRow("10") << 10 << u"明るい緑"_s << QColor(0, 255, 0);
    QTest::newRow("11") << 11 << u"明るいシアン"_s << QColor(0, 255, 255);
    QTest::newRow("12") << 12 << u"明るい赤"_s << QColor(255, 0, 0);
    QTest::newRow("13") << 13 << u"明るいマゼンダ"_s << QColor(255, 0, 255);
    QTest::newRow("14") << 14 << u"明るい黄色"_s << QColor(255, 255, 0);
    QTest::newRow("15") << 15 << u"明るい白"_s << QColor(255, 255, 255);
}

void TestLayout::palette()
{
    QFETCH(int, index);
    QFETCH(QString, caption);
    QFETCH(QColor, color);
    QCOMPARE(PaletteCaption(index), caption);
    QCOMPARE(ColorFromValue(PaletteColor(index)), color);
    QCOMPARE(PaletteColor(index), quint32(color.red() + 256 * color.green() + 65536 * color.blue()));
}

QTEST_GUILESS_MAIN(TestLayout)
#include "tst_layout.moc"
