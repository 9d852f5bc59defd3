#include "deck/datafile.h"
#include "deck/datawriter.h"
#include "deck/guards.h"
#include "deck/sourcefile.h"

#include "testutils.h"

#include <sys/stat.h>
#include <unistd.h>

using namespace Qt::StringLiterals;

namespace {

QStringList FilesIn(const QString &dir)
{
    return QDir(dir).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot);
}

} // namespace

class TestDataFile : public QObject
{
    Q_OBJECT

private slots:
    void readsEncodings_data();
    void readsEncodings();
    void readsAtMost301Lines();
    void crFarIntoTheFileStillCounts();
    void refusesWhatIsNoFile();
    void writesAtomically();
    void copiesByteForByte();
    void knowsTheSameFile();
};

void TestDataFile::readsEncodings_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QStringList>("lines");
    QTest::addColumn<TextEncoding>("encoding");

    QTest::newRow("code page 932") << QByteArray("\x8C\xA2,dog\r\n\x81\x7C")
                                   << QStringList{u"犬,dog"_s, u"－"_s} << TextEncoding::Cp932;
    QTest::newRow("UTF-8 with BOM") << QByteArray("\xEF\xBB\xBFx,y\r\n") << QStringList{u"x,y"_s}
                                    << TextEncoding::Utf8;
    QTest::newRow("UTF-8 without BOM, LF lines")
        << u"犬,dog\ncafé,x\n"_s.toUtf8() << QStringList{u"犬,dog"_s, u"café,x"_s} << TextEncoding::Utf8;
    QTest::newRow("U+FEFF after the byte order mark is text")
        << QByteArray("\xEF\xBB\xBF\xEF\xBB\xBF"
                      "a\r\n\xEF\xBB\xBF"
                      "b")
        << QStringList{u"\uFEFFa"_s, u"\uFEFFb"_s} << TextEncoding::Utf8;
    QTest::newRow("invalid bytes") << QByteArray("a\x80\r\n") << QStringList{u"a\uFFFD"_s}
                                   << TextEncoding::Cp932;
}

void TestDataFile::readsEncodings()
{
    QFETCH(QByteArray, bytes);
    QFETCH(QStringList, lines);
    QFETCH(TextEncoding, encoding);
    TempWorkDir dir;
    WriteBytes(DataFilePath(), bytes);
    const DataFileText text = ReadDataFile();
    QCOMPARE(text.lines, lines);
    QCOMPARE(text.encoding, encoding);
    QVERIFY(!text.truncated);
}

void TestDataFile::readsAtMost301Lines()
{
    TempWorkDir dir;
    WriteBytes(DataFilePath(), NumberedLines(301));
    QCOMPARE(ReadDataFile().lines.size(), 301);
    QVERIFY(!ReadDataFile().truncated);

    const QByteArray longer = NumberedLines(100000);
    WriteBytes(DataFilePath(), longer);
    const DataFileText text = ReadDataFile();
    QCOMPARE(text.lines.size(), 301);
    QCOMPARE(text.lines.last(), u"q300,a300"_s);
    QVERIFY(text.truncated);
    QCOMPARE(ReadBytes(DataFilePath()), longer); // the file itself is left alone
}

void TestDataFile::crFarIntoTheFileStillCounts()
{
    TempWorkDir dir;
    QByteArray bytes = "a\nb" + QByteArray(3 << 20, 'x') + "\r\n";
    WriteBytes(DataFilePath(), bytes);
    const DataFileText text = ReadDataFile();
    QCOMPARE(text.lines.size(), 1); // with a CR anywhere, LF is text
    QVERIFY(text.lines.first().startsWith(u"a\nb"_s));
}

void TestDataFile::refusesWhatIsNoFile()
{
    TempWorkDir dir;
    QVERIFY_THROWS_EXCEPTION(RunTimeError, ReadDataFile()); // missing
    QVERIFY(QDir().mkdir(DataFilePath()));
    QVERIFY_THROWS_EXCEPTION(RunTimeError, ReadDataFile());
    QVERIFY(QDir().rmdir(DataFilePath()));
    QCOMPARE(mkfifo(QFile::encodeName(DataFilePath()).constData(), 0600), 0);
    QVERIFY_THROWS_EXCEPTION(RunTimeError, ReadDataFile()); // and does not block
}

void TestDataFile::writesAtomically()
{
    TempWorkDir dir;
    WriteBytes(DataFilePath(), "old");
    const QByteArray name = QFile::encodeName(DataFilePath());
    QCOMPARE(chmod(name.constData(), 0604), 0);
    WriteDataFile("new\r\n");
    QCOMPARE(ReadBytes(DataFilePath()), QByteArray("new\r\n"));
    struct stat info;
    QCOMPARE(stat(name.constData(), &info), 0);
    QCOMPARE(info.st_mode & 07777, mode_t(0604));               // the old file's permissions stay
    QCOMPARE(FilesIn(dir.path()), QStringList{DataFilePath()}); // no temporary file left
}

void TestDataFile::copiesByteForByte()
{
    TempWorkDir dir;
    QByteArray bytes;
    for (int i = 0; i < (3 << 20); ++i)
        bytes.append(char(i * 7));
    WriteBytes(u"dropped.bin"_s, bytes);
    WriteBytes(DataFilePath(), "old");
    SourceFile(QFile::encodeName(u"dropped.bin"_s)).copyOver();
    QCOMPARE(ReadBytes(DataFilePath()), bytes);
}

void TestDataFile::knowsTheSameFile()
{
    TempWorkDir dir;
    WriteBytes(DataFilePath(), "a\r\n");
    QVERIFY(QFile::link(DataFilePath(), u"alias"_s));
    WriteBytes(u"other"_s, "a\r\n");
    QVERIFY(SourceFile(QFile::encodeName(dir.filePath(DataFilePath()))).isSameFileAs(DataFilePath()));
    QVERIFY(SourceFile(QFile::encodeName(u"alias"_s)).isSameFileAs(DataFilePath()));
    QVERIFY(!SourceFile(QFile::encodeName(u"other"_s)).isSameFileAs(DataFilePath()));
}

QTEST_GUILESS_MAIN(TestDataFile)
#include "tst_datafile.moc"
