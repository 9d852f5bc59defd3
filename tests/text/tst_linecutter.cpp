#include "text/linecutter.h"

#include <QTest>

using Lines = QList<QByteArray>;

class TestLineCutter : public QObject
{
    Q_OBJECT

private slots:
    void cutsWholeInput_data();
    void cutsWholeInput();
    void chunkBoundariesDoNotMatter_data() { cutsWholeInput_data(); }
    void chunkBoundariesDoNotMatter();
    void keepsAtMostMaxLines_data();
    void keepsAtMostMaxLines();
    void capsLongLines_data();
    void capsLongLines();
};

void TestLineCutter::cutsWholeInput_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<Lines>("lines");

    QTest::newRow("empty file has no line") << QByteArray() << Lines{};
    QTest::newRow("last line without end") << QByteArray("a\r\nb") << Lines{"a", "b"};
    QTest::newRow("final line end opens no line") << QByteArray("a\r\nb\r\n") << Lines{"a", "b"};
    QTest::newRow("two final line ends give an empty line") << QByteArray("a\r\n\r\n") << Lines{"a", ""};
    QTest::newRow("lone CR ends a line") << QByteArray("a\rb\r") << Lines{"a", "b"};
    QTest::newRow("CR CR LF: empty line between") << QByteArray("a\r\r\nb") << Lines{"a", "", "b"};
    QTest::newRow("lone LF is text where any CR is") << QByteArray("a\nb\r\nc") << Lines{"a\nb", "c"};
    QTest::newRow("LF CR: LF stays in the line") << QByteArray("a\n\rb") << Lines{"a\n", "b"};
    QTest::newRow("no CR at all: LF ends lines") << QByteArray("a\nb\n") << Lines{"a", "b"};
    QTest::newRow("LF only, doubled") << QByteArray("a\n\nb\n\n") << Lines{"a", "", "b", ""};
    QTest::newRow("only a line end") << QByteArray("\r\n") << Lines{""};
    QTest::newRow("NUL and controls are text")
        << QByteArray("a\0\tb\r\n", 6) << Lines{QByteArray("a\0\tb", 4)};
}

void TestLineCutter::cutsWholeInput()
{
    QFETCH(QByteArray, bytes);
    QFETCH(Lines, lines);
    const CutResult cut = CutLines(bytes, 301);
    QCOMPARE(cut.lines, lines);
    QVERIFY(!cut.truncated);
}

void TestLineCutter::chunkBoundariesDoNotMatter()
{
    QFETCH(QByteArray, bytes);
    QFETCH(Lines, lines);
    LineCutter cutter(LineEndsOf(bytes), 301);
    for (char byte : bytes)
        cutter.feed(QByteArrayView(&byte, 1));
    cutter.finish();
    QCOMPARE(cutter.lines(), lines);
}

void TestLineCutter::keepsAtMostMaxLines_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<int>("kept");
    QTest::addColumn<bool>("truncated");

    QTest::newRow("3 lines and a final CR LF") << QByteArray("a\r\nb\r\nc\r\n") << 3 << false;
    QTest::newRow("3 lines and a final CR") << QByteArray("a\rb\rc\r") << 3 << false;
    QTest::newRow("3 lines, no final end") << QByteArray("a\r\nb\r\nc") << 3 << false;
    QTest::newRow("an empty fourth line") << QByteArray("a\r\nb\r\nc\r\n\r\n") << 3 << true;
    QTest::newRow("a fourth line") << QByteArray("a\r\nb\r\nc\r\nd") << 3 << true;
    QTest::newRow("LF file with a fourth line") << QByteArray("a\nb\nc\nd\n") << 3 << true;
}

void TestLineCutter::keepsAtMostMaxLines()
{
    QFETCH(QByteArray, bytes);
    QFETCH(int, kept);
    QFETCH(bool, truncated);
    const CutResult cut = CutLines(bytes, 3);
    QCOMPARE(cut.lines.size(), kept);
    QCOMPARE(cut.truncated, truncated);
    QCOMPARE(cut.lines.value(2), QByteArray("c"));
}

void TestLineCutter::capsLongLines_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<Lines>("lines");
    QTest::addColumn<bool>("cut");

    QTest::newRow("at the cap: whole") << QByteArray("abcd\r\nx") << Lines{"abcd", "x"} << false;
    QTest::newRow("longer: rest skipped, next line whole")
        << QByteArray("abcdefgh\r\nxy\r\n") << Lines{"abcd", "xy"} << true;
    QTest::newRow("LF file") << QByteArray("abcdefgh\nxy") << Lines{"abcd", "xy"} << true;
    QTest::newRow("last line without end") << QByteArray("x\r\nabcdefgh") << Lines{"x", "abcd"} << true;
    QTest::newRow("UTF-8 character ending at the cap stays") << QByteArray("a\xE7\x8A\xAC"
                                                                           "bc")
                                                             << Lines{"a\xE7\x8A\xAC"} << true;
    QTest::newRow("UTF-8 character across the cap goes")
        << QByteArray("ab\xE7\x8A\xAC") << Lines{"ab"} << true;
    QTest::newRow("four-byte character across the cap goes")
        << QByteArray("a\xF0\x9F\x98\x80") << Lines{"a"} << true;
    QTest::newRow("code page 932 bytes are kept up to the cap")
        << QByteArray("\x8C\xA2\x8C\xA2\x8C") << Lines{"\x8C\xA2\x8C\xA2"} << true;
}

void TestLineCutter::capsLongLines()
{
    QFETCH(QByteArray, bytes);
    QFETCH(Lines, lines);
    QFETCH(bool, cut);
    const CutResult whole = CutLines(bytes, 301, 4);
    QCOMPARE(whole.lines, lines);
    QCOMPARE(whole.linesCut, cut);
    LineCutter cutter(LineEndsOf(bytes), 301, 4);
    for (char byte : bytes)
        cutter.feed(QByteArrayView(&byte, 1));
    cutter.finish();
    QCOMPARE(cutter.lines(), lines);
    QCOMPARE(cutter.linesCut(), cut);
}

QTEST_GUILESS_MAIN(TestLineCutter)
#include "tst_linecutter.moc"
