#include "deck/guards.h"
#include "store/datafile.h"
#include "store/datawriter.h"
#include "store/sourcefile.h"
#include "store/writesupport.h"
#include "text/cp932.h"

#include "testutils.h"

using namespace Qt::StringLiterals;

namespace {

QByteArray Utf16(const QString &text, bool bigEndian)
{
    QByteArray bytes = bigEndian ? QByteArray("\xFE\xFF") : QByteArray("\xFF\xFE");
    for (QChar c : text) {
        const char high = char(c.unicode() >> 8), low = char(c.unicode() & 0xFF);
        bytes.append(bigEndian ? high : low).append(bigEndian ? low : high);
    }
    return bytes;
}

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
    void cutsLongLines_data();
    void cutsLongLines();
    void reportsProgress();
    void readsHolesOfSparseFiles();
    void readsAtMost301Lines();
    void crFarIntoTheFileStillCounts();
    void refusesWhatIsNoFile_data();
    void refusesWhatIsNoFile();
    void writesAtomically();
    void copiesByteForByte();
    void knowsTheSameFile();
    void splitsPaths_data();
    void splitsPaths();
    void takesOnlyFilesOfThisComputer_data();
    void takesOnlyFilesOfThisComputer();
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
    QTest::newRow("UTF-16 LE, CR LF")
        << Utf16(u"犬,dog\r\n\r\nb\rc"_s, false) << QStringList{u"犬,dog"_s, QString(), u"b"_s, u"c"_s}
        << TextEncoding::Utf16Le;
    QTest::newRow("UTF-16 BE, LF only")
        << Utf16(u"犬,dog\nb\n"_s, true) << QStringList{u"犬,dog"_s, u"b"_s} << TextEncoding::Utf16Be;
    QTest::newRow("UTF-16 LE: U+010D holds byte 0x0D, no CR")
        << Utf16(u"\u010D\nb"_s, false) << QStringList{u"\u010D"_s, u"b"_s} << TextEncoding::Utf16Le;
    QTest::newRow("UTF-16 with an odd byte count")
        << Utf16(u"a\r\nb"_s, false) + 'x' << QStringList{u"a"_s, u"b\uFFFD"_s} << TextEncoding::Utf16Le;
    QTest::newRow("UTF-16: U+FEFF after the byte order mark is text")
        << Utf16(u"\uFEFFa"_s, false) << QStringList{u"\uFEFFa"_s} << TextEncoding::Utf16Le;
    QTest::newRow("UTF-16 byte order mark alone")
        << QByteArray("\xFE\xFF") << QStringList{} << TextEncoding::Utf16Be;
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
    QVERIFY(!text.linesCut);
    QCOMPARE(ParseDataBytes(bytes).lines, lines);
}

void TestDataFile::cutsLongLines_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QString>("first");
    QTest::addColumn<TextEncoding>("encoding");

    const QString dogs = QString(kMaxLineChars, u'犬');
    const QString longDogs = dogs + u"犬,dog"_s;
    QTest::newRow("code page 932") << *EncodeCp932(longDogs + u"\r\nnext"_s) << dogs << TextEncoding::Cp932;
    QTest::newRow("UTF-8") << (longDogs + u"\r\nnext"_s).toUtf8() << dogs << TextEncoding::Utf8;
    // 3 bytes a character: the bytes kept end inside one, yet the file stays UTF-8.
    QTest::newRow("UTF-8 beyond the bytes kept")
        << (QString(kMaxLineBytes / 3 + 10, u'犬') + u"\nnext"_s).toUtf8() << dogs << TextEncoding::Utf8;
    QTest::newRow("UTF-16") << Utf16(longDogs + u"\nnext"_s, false) << dogs << TextEncoding::Utf16Le;
    QTest::newRow("surrogate pair across the cut")
        << (QString(kMaxLineChars - 1, u'a') + u"😀b\r\nnext"_s).toUtf8() << QString(kMaxLineChars - 1, u'a')
        << TextEncoding::Utf8;
    QTest::newRow("ASCII beyond the bytes kept") << QByteArray(kMaxLineBytes * 2, 'a') + "\nnext"
                                                 << QString(kMaxLineChars, u'a') << TextEncoding::Cp932;
}

void TestDataFile::cutsLongLines()
{
    QFETCH(QByteArray, bytes);
    QFETCH(QString, first);
    QFETCH(TextEncoding, encoding);
    TempWorkDir dir;
    WriteBytes(DataFilePath(), bytes);
    const DataFileText text = ReadDataFile();
    QCOMPARE(text.lines, (QStringList{first, u"next"_s}));
    QCOMPARE(text.encoding, encoding);
    QVERIFY(text.linesCut);
    const DataFileText parsed = ParseDataBytes(bytes);
    QCOMPARE(parsed.lines, text.lines);
    QVERIFY(parsed.linesCut);

    // Exactly as long as kept: nothing is cut.
    WriteBytes(DataFilePath(), QByteArray(kMaxLineChars, 'a'));
    QVERIFY(!ReadDataFile().linesCut);
}

void TestDataFile::reportsProgress()
{
    TempWorkDir dir;
    const QByteArray bytes = QByteArray(3 * kChunkSize, 'a') + "\r\n";
    WriteBytes(DataFilePath(), bytes);
    QList<std::pair<qint64, qint64>> calls;
    ReadDataFile(DataFilePath(), [&calls](qint64 done, qint64 total) {
        calls.append({done, total});
        return true;
    });
    const qint64 total = 2 * bytes.size();
    QCOMPARE(calls.size(), 9); // 4 chunks in each pass, then done
    for (qsizetype i = 0; i < calls.size(); ++i) {
        QCOMPARE(calls[i].second, total);
        QVERIFY(i == 0 || calls[i].first >= calls[i - 1].first);
        QVERIFY(calls[i].first - (i == 0 ? 0 : calls[i - 1].first) <= kChunkSize);
    }
    QCOMPARE(calls.last().first, total);

    int asked = 0;
    QVERIFY_THROWS_EXCEPTION(Cancelled, ReadDataFile(DataFilePath(), [&asked](qint64, qint64) {
                                 ++asked;
                                 return false;
                             }));
    QCOMPARE(asked, 1);
}

void TestDataFile::readsHolesOfSparseFiles()
{
    TempWorkDir dir;
    QFile file(DataFilePath());
    QVERIFY(file.open(QIODevice::WriteOnly));
    // The first read ends a line; the next line starts in a hole, whose zero bytes are text.
    file.write(QByteArray(kChunkSize - 1, 'a') + "\n");
    QVERIFY(file.resize(8 * kChunkSize)); // a hole: zero bytes that take no room on disk
    QVERIFY(file.seek(8 * kChunkSize));
    file.write("\nend");
    file.close();
    QList<qint64> done;
    const DataFileText text = ReadDataFile(DataFilePath(), [&done](qint64 d, qint64) {
        done.append(d);
        return true;
    });
    QCOMPARE(text.lines,
             (QStringList{QString(kMaxLineChars, u'a'), QString(kMaxLineChars, QChar(0)), u"end"_s}));
    QVERIFY(text.linesCut);
    // Progress jumps over the hole: the last read reports the end of the file.
    QCOMPARE(done.value(done.size() - 2), 2 * QFileInfo(DataFilePath()).size());
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

void TestDataFile::refusesWhatIsNoFile_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<QString>("why");
    QTest::newRow("missing") << u"missing"_s << u"ファイルまたはフォルダーが見つかりません。"_s;
    QTest::newRow("folder") << u"folder"_s << u"ファイルではなくフォルダーです。"_s;
    QTest::newRow("FIFO, without blocking") << u"fifo"_s << u"通常のファイルではありません。"_s;
    QTest::newRow("broken link") << u"broken link"_s << u"シンボリックリンクのリンク先がありません。"_s;
}

void TestDataFile::refusesWhatIsNoFile()
{
    QFETCH(QString, kind);
    QFETCH(QString, why);
    TempWorkDir dir;
    if (kind == u"folder"_s)
        QVERIFY(QDir().mkdir(DataFilePath()));
    else if (kind == u"fifo"_s && !MakeFifo(DataFilePath()))
        QSKIP("no named pipes in folders on this system");
    else if (kind == u"broken link"_s && !MakeSymlink(u"gone"_s, DataFilePath()))
        QSKIP("no symbolic links for this user on this system");
    QString failure;
    try {
        ReadDataFile();
    } catch (const RunTimeError &error) {
        failure = error.message();
    }
    QCOMPARE(failure, u"「表示するデータ.txt」を読み込めませんでした。\n"_s + why);
}

void TestDataFile::writesAtomically()
{
    TempWorkDir dir;
    WriteBytes(DataFilePath(), "old");
#ifdef Q_OS_UNIX
    const QByteArray name = QFile::encodeName(DataFilePath());
    QCOMPARE(chmod(name.constData(), 0604), 0);
#endif
    WriteDataFile("new\r\n");
    QCOMPARE(ReadBytes(DataFilePath()), QByteArray("new\r\n"));
#ifdef Q_OS_UNIX
    struct stat info;
    QCOMPARE(stat(name.constData(), &info), 0);
    QCOMPARE(info.st_mode & 07777, mode_t(0604)); // the old file's permissions stay
#endif
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
    SourceFile(QUrl::fromLocalFile(dir.filePath(u"dropped.bin"_s))).copyOver();
    QCOMPARE(ReadBytes(DataFilePath()), bytes);
}

void TestDataFile::knowsTheSameFile()
{
    TempWorkDir dir;
    WriteBytes(DataFilePath(), "a\r\n");
    if (!MakeSymlink(DataFilePath(), u"alias"_s))
        QSKIP("no symbolic links for this user on this system");
    WriteBytes(u"other"_s, "a\r\n");
    QVERIFY(SourceFile(QUrl::fromLocalFile(dir.filePath(DataFilePath()))).isSameFileAs(DataFilePath()));
    QVERIFY(SourceFile(QUrl::fromLocalFile(dir.filePath(u"alias"_s))).isSameFileAs(DataFilePath()));
    QVERIFY(!SourceFile(QUrl::fromLocalFile(dir.filePath(u"other"_s))).isSameFileAs(DataFilePath()));
}

void TestDataFile::splitsPaths_data()
{
    QTest::addColumn<QByteArray>("path");
    QTest::addColumn<QByteArray>("dir");
    QTest::addColumn<QByteArray>("name");
    QTest::newRow("in the working folder") << QByteArray("name") << QByteArray(".") << QByteArray("name");
    QTest::newRow("in the root folder") << QByteArray("/name") << QByteArray("/") << QByteArray("name");
    QTest::newRow("absolute") << QByteArray("/a/b/name") << QByteArray("/a/b") << QByteArray("name");
    QTest::newRow("relative") << QByteArray("a/name") << QByteArray("a") << QByteArray("name");
}

void TestDataFile::splitsPaths()
{
    QFETCH(QByteArray, path);
    QFETCH(QByteArray, dir);
    QFETCH(QByteArray, name);
    QByteArray gotDir, gotName;
    SplitPath(path, gotDir, gotName);
    QCOMPARE(gotDir, dir);
    QCOMPARE(gotName, name);
}

void TestDataFile::takesOnlyFilesOfThisComputer_data()
{
    QTest::addColumn<QString>("url"); // "@" stands for the working folder's path
    QTest::addColumn<QString>("refusal");
    QTest::newRow("a local file") << u"file://@/a.txt"_s << QString();
    QTest::newRow("localhost") << u"file://localhost@/a.txt"_s << QString();
    QTest::newRow("loopback") << u"file://127.0.0.1@/a.txt"_s << QString();
    QTest::newRow("loopback, IPv6") << u"file://[::1]@/a.txt"_s << QString();
    QTest::newRow("this computer's name") << u"file://#@/a.txt"_s << QString(); // "#": the host name
    QTest::newRow("a NUL in the name") << u"file://@/a.txt%00.jpg"_s << u"NUL"_s;
#ifdef Q_OS_UNIX // Windows opens another computer's files by their network path
    QTest::newRow("another computer")
        << u"file://otherhost@/a.txt"_s << u"ほかのコンピューター（otherhost）"_s;
#endif
}

// Nothing is copied from a URL that does not name this computer's file, whatever this
// computer holds under its path.
void TestDataFile::takesOnlyFilesOfThisComputer()
{
    QFETCH(QString, url);
    QFETCH(QString, refusal);
    TempWorkDir dir;
    WriteBytes(u"a.txt"_s, "dropped");
    WriteBytes(DataFilePath(), "deck");
    QString here = QDir::currentPath();
    if (!here.startsWith(u'/'))
        here.prepend(u'/'); // "C:/…" on Windows
    QString failure;
    try {
        SourceFile(QUrl(url.replace(u"@"_s, here).replace(u"#"_s, sys::HostName()))).copyOver();
    } catch (const RunTimeError &error) {
        failure = error.message();
    }
    QVERIFY2(refusal.isEmpty() ? failure.isEmpty() : failure.contains(refusal), qPrintable(failure));
    QCOMPARE(ReadBytes(DataFilePath()), refusal.isEmpty() ? QByteArray("dropped") : QByteArray("deck"));
}

QTEST_GUILESS_MAIN(TestDataFile)
#include "tst_datafile.moc"
