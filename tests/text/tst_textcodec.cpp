#include "store/datafile.h"
#include "store/datawriter.h"
#include "text/cp932.h"
#include "text/pastedtext.h"
#include "text/textcodec.h"
#include "text/utf16transcoder.h"

#include <QTest>

using namespace Qt::StringLiterals;

class TestTextCodec : public QObject
{
    Q_OBJECT

private slots:
    void decodesCp932_data();
    void decodesCp932();
    void encodesCp932_data();
    void encodesCp932();
    void validatesUtf8_data();
    void validatesUtf8();
    void detectsEncoding_data();
    void detectsEncoding();
    void encodesDataText_data();
    void encodesDataText();
    void pastedTextGetsCrLf_data();
    void pastedTextGetsCrLf();
    void pastedTextTellsProgress_data();
    void pastedTextTellsProgress();
    void cutsText_data();
    void cutsText();
    void transcodesUtf16_data();
    void transcodesUtf16();
};

void TestTextCodec::decodesCp932_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QString>("text");

    QTest::newRow("minus, wave dash, circled one") << QByteArray("\x81\x7C\x81\x60\x87\x40") << u"－～①"_s;
    QTest::newRow("backslash stays a backslash") << QByteArray("\\") << u"\\"_s;
    QTest::newRow("kana and kanji") << QByteArray("\x82\xE8\x82\xF1\x82\xB2,\x8C\xA2") << u"りんご,犬"_s;
    QTest::newRow("half-width katakana") << QByteArray("\xB6\xDD\xCF") << u"ｶﾝﾏ"_s;
    QTest::newRow("NEC and IBM extensions") << QByteArray("\xED\x40\xFA\x40") << u"纊ⅰ"_s;
    QTest::newRow("IBM row chosen by NEC") << QByteArray("\xEE\xEF\x87\x9A") << u"ⅰ∵"_s;
    QTest::newRow("user-defined area") << QByteArray("\xF0\x40\xF9\xFC") << u"\uE000\uE757"_s;
    QTest::newRow("undefined single bytes") << QByteArray("\x80\xA0\xFD\xFE\xFF"
                                                          "A")
                                            << u"\uFFFD\uFFFD\uFFFD\uFFFD\uFFFDA"_s;
    QTest::newRow("unassigned double byte") << QByteArray("\x85\x40") << u"\uFFFD@"_s;
    QTest::newRow("trail byte out of range") << QByteArray("\x81\x7F!") << u"\uFFFD\x7F!"_s;
    QTest::newRow("lead byte before ASCII keeps the ASCII") << QByteArray("\x82 Z") << u"\uFFFD Z"_s;
    QTest::newRow("lead byte at the end") << QByteArray("A\x82") << u"A\uFFFD"_s;
}

void TestTextCodec::decodesCp932()
{
    QFETCH(QByteArray, bytes);
    QFETCH(QString, text);
    QCOMPARE(DecodeCp932(bytes), text);
}

void TestTextCodec::encodesCp932_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("representable");

    QTest::newRow("Japanese and ASCII") << u"apple,りんご　－～①ｶﾝﾏ"_s << true;
    QTest::newRow("e acute") << u"café"_s << false;
    QTest::newRow("emoji") << u"😀"_s << false;
    QTest::newRow("hangul") << u"한"_s << false;
    QTest::newRow("simplified Chinese") << u"们"_s << false;
    QTest::newRow("yen sign would read back as backslash") << u"¥100"_s << false;
    QTest::newRow("em dash would read back as horizontal bar") << u"—"_s << false;
    QTest::newRow("minus sign would read back as full-width minus") << u"−"_s << false;
    QTest::newRow("wave dash would read back as full-width tilde") << u"〜"_s << false;
    QTest::newRow("user-defined area") << u"\uE000"_s << true;
    QTest::newRow("lone surrogate") << QString(QChar(0xD83D)) << false;
}

void TestTextCodec::encodesCp932()
{
    QFETCH(QString, text);
    QFETCH(bool, representable);
    const std::optional<QByteArray> bytes = EncodeCp932(text);
    QCOMPARE(bytes.has_value(), representable);
    if (bytes)
        QCOMPARE(DecodeCp932(*bytes), text);
}

void TestTextCodec::validatesUtf8_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<bool>("valid");

    QTest::newRow("ASCII") << QByteArray("abc") << true;
    QTest::newRow("Japanese") << u"りんご"_s.toUtf8() << true;
    QTest::newRow("four bytes") << u"😀"_s.toUtf8() << true;
    QTest::newRow("overlong slash") << QByteArray("\xC0\xAF") << false;
    QTest::newRow("overlong three bytes") << QByteArray("\xE0\x80\xAF") << false;
    QTest::newRow("surrogate") << QByteArray("\xED\xA0\x80") << false;
    QTest::newRow("above U+10FFFF") << QByteArray("\xF4\x90\x80\x80") << false;
    QTest::newRow("cut short") << QByteArray("\xE3\x81") << false;
    QTest::newRow("lone trail byte") << QByteArray("\x80") << false;
    QTest::newRow("code page 932 kanji") << QByteArray("\x8C\xA2") << false;
}

void TestTextCodec::validatesUtf8()
{
    QFETCH(QByteArray, bytes);
    QFETCH(bool, valid);
    QCOMPARE(IsValidUtf8(bytes), valid);
}

void TestTextCodec::detectsEncoding_data()
{
    QTest::addColumn<QList<QByteArray>>("lines");
    QTest::addColumn<bool>("bom");
    QTest::addColumn<TextEncoding>("encoding");

    QTest::newRow("ASCII only") << QList<QByteArray>{"a,b"} << false << TextEncoding::Cp932;
    QTest::newRow("UTF-8 lines") << QList<QByteArray>{"a", u"犬"_s.toUtf8()} << false << TextEncoding::Utf8;
    QTest::newRow("one line not UTF-8")
        << QList<QByteArray>{u"犬"_s.toUtf8(), "\x8C\xA2"} << false << TextEncoding::Cp932;
    QTest::newRow("byte order mark") << QList<QByteArray>{"a"} << true << TextEncoding::Utf8;
}

void TestTextCodec::detectsEncoding()
{
    QFETCH(QList<QByteArray>, lines);
    QFETCH(bool, bom);
    QFETCH(TextEncoding, encoding);
    QCOMPARE(DetectEncoding(lines, bom), encoding);
}

void TestTextCodec::encodesDataText_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QByteArray>("bytes");

    QTest::newRow("code page 932") << u"犬,dog\r\n"_s << QByteArray("\x8C\xA2,dog\r\n");
    QTest::newRow("outside code page 932: UTF-8 with BOM") << u"café\r\n"_s
                                                           << QByteArray("\xEF\xBB\xBF"
                                                                         "caf\xC3\xA9\r\n");
    QTest::newRow("katakana that would pass for UTF-8")
        << u"ﾃｽ\r\n"_s << QByteArray("\xEF\xBB\xBF\xEF\xBE\x83\xEF\xBD\xBD\r\n");
}

void TestTextCodec::encodesDataText()
{
    QFETCH(QString, text);
    QFETCH(QByteArray, bytes);
    QCOMPARE(EncodeDataText(text, kMaxDataLines), bytes);
    const DataFileText back = ParseDataBytes(bytes);
    QCOMPARE(back.lines.join(u"\r\n"_s) + u"\r\n"_s, text);
}

void TestTextCodec::pastedTextGetsCrLf_data()
{
    QTest::addColumn<QString>("clipboard");
    QTest::addColumn<QByteArray>("bytes");

    QTest::newRow("empty") << QString() << QByteArray("\r\n");
    QTest::newRow("no final line end") << u"a,b\nc,d"_s << QByteArray("a,b\r\nc,d\r\n");
    QTest::newRow("final LF") << u"a,b\n"_s << QByteArray("a,b\r\n\r\n");
    QTest::newRow("CR LF kept") << u"a\r\nb"_s << QByteArray("a\r\nb\r\n");
    QTest::newRow("lone CR kept") << u"a\rb"_s << QByteArray("a\rb\r\n");
    QTest::newRow("LF after CR LF") << u"a\r\n\nb"_s << QByteArray("a\r\n\r\nb\r\n");
}

void TestTextCodec::pastedTextGetsCrLf()
{
    QFETCH(QString, clipboard);
    QFETCH(QByteArray, bytes);
    QCOMPARE(PastedDataBytes(clipboard, kMaxDataLines), bytes);
}

void TestTextCodec::pastedTextTellsProgress_data()
{
    QTest::addColumn<QString>("clipboard");

    QTest::newRow("empty") << QString();
    QTest::newRow("lines") << u"a,b\nc"_s;
    QTest::newRow("a full piece") << QString(65536, u'x');
    QTest::newRow("UTF-8 over two pieces") << QString(70000, u'x') + u"😀"_s;
}

// The progress a paste shows: it only climbs, stops one step short of the end (the file is
// not in place yet), and a stop at its first report comes before any byte is handed on.
void TestTextCodec::pastedTextTellsProgress()
{
    QFETCH(QString, clipboard);
    QByteArray bytes;
    const auto sink = [&bytes](QByteArrayView piece) { bytes.append(piece); };
    QList<std::pair<qint64, qint64>> told;
    EncodePastedText(clipboard, kMaxDataLines, sink, [&told](qint64 done, qint64 total) {
        told.append({done, total});
    });
    QCOMPARE(bytes, PastedDataBytes(clipboard, kMaxDataLines));
    QVERIFY(!told.isEmpty());
    for (qsizetype i = 0; i < told.size(); ++i) {
        QCOMPARE(told[i].second, told.last().second);
        QVERIFY2(told[i].first < told[i].second && (i == 0 || told[i].first >= told[i - 1].first),
                 qPrintable(u"%1 of %2"_s.arg(told[i].first).arg(told[i].second)));
    }
    QCOMPARE(told.last().first, told.last().second - 1);

    bytes.clear();
    QVERIFY_THROWS_EXCEPTION(
        int, EncodePastedText(clipboard, kMaxDataLines, sink, [](qint64, qint64) { throw 1; }));
    QVERIFY(bytes.isEmpty());
}

void TestTextCodec::cutsText_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("kept");

    QTest::newRow("short enough") << u"abc"_s << u"abc"_s;
    QTest::newRow("one unit too many") << u"abcd"_s << u"abc"_s;
    QTest::newRow("surrogate pair across the cut goes whole") << u"ab😀"_s << u"ab"_s;
    QTest::newRow("surrogate pair before the cut stays") << u"a😀b"_s << u"a😀"_s;
}

void TestTextCodec::cutsText()
{
    QFETCH(QString, text);
    QFETCH(QString, kept);
    QString cut = text;
    QCOMPARE(CutText(cut, 3), kept != text);
    QCOMPARE(cut, kept);
}

void TestTextCodec::transcodesUtf16_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<bool>("bigEndian");
    QTest::addColumn<QString>("text");

    QTest::newRow("little endian") << QByteArray("A\0\xAC\x72\r\0", 6) << false << u"A犬\r"_s;
    QTest::newRow("big endian") << QByteArray("\0A\x72\xAC\0\n", 6) << true << u"A犬\n"_s;
    QTest::newRow("surrogate pair") << QByteArray("\x3D\xD8\x00\xDE", 4) << false << u"😀"_s;
    QTest::newRow("low surrogate alone") << QByteArray("\x00\xDEx\0", 4) << false << u"\uFFFDx"_s;
    QTest::newRow("high surrogate before a letter") << QByteArray("\x3D\xD8x\0", 4) << false << u"\uFFFDx"_s;
    QTest::newRow("high surrogate at the end") << QByteArray("x\0\x3D\xD8", 4) << false << u"x\uFFFD"_s;
    QTest::newRow("odd last byte") << QByteArray("x\0y", 3) << false << u"x\uFFFD"_s;
}

void TestTextCodec::transcodesUtf16()
{
    QFETCH(QByteArray, bytes);
    QFETCH(bool, bigEndian);
    QFETCH(QString, text);
    QByteArray whole;
    Utf16Transcoder all(bigEndian);
    all.feed(bytes, whole);
    all.finish(whole);
    QCOMPARE(QString::fromUtf8(whole), text);
    QByteArray bytewise;
    Utf16Transcoder single(bigEndian);
    for (char byte : bytes)
        single.feed(QByteArrayView(&byte, 1), bytewise);
    single.finish(bytewise);
    QCOMPARE(bytewise, whole);
}

QTEST_GUILESS_MAIN(TestTextCodec)
#include "tst_textcodec.moc"
