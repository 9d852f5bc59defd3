#include "deck/datafile.h"
#include "deck/guards.h"

#include "testutils.h"

#include <QDirIterator>

#include <csignal>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

using namespace Qt::StringLiterals;

namespace {

// Makes every write beyond `bytes` fail with EFBIG, as a full disk would, for the
// lifetime of the object.
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

QStringList FilesIn(const QString &dir)
{
    return QDir(dir).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot);
}

} // namespace

class TestDataFile : public QObject
{
    Q_OBJECT

private slots:
    void existsOnlyAsOrdinaryFile();
    void readsEncodings_data();
    void readsEncodings();
    void readsAtMost301Lines();
    void crFarIntoTheFileStillCounts();
    void refusesWhatIsNoFile();
    void writesAtomically();
    void failedWriteKeepsOldBytes();
    void copiesByteForByte();
    void refusesSourcesThatAreNoFile();
    void knowsTheSameFile();
};

void TestDataFile::existsOnlyAsOrdinaryFile()
{
    TempWorkDir dir;
    QVERIFY(!DataFileExists());
    QVERIFY(QDir().mkdir(DataFileName()));
    QVERIFY(!DataFileExists());
    QVERIFY(QDir().rmdir(DataFileName()));
    QCOMPARE(mkfifo(QFile::encodeName(DataFileName()).constData(), 0600), 0);
    QVERIFY(!DataFileExists());
    QVERIFY(QFile::remove(DataFileName()));
    WriteBytes(u"表示するデータ.TXT"_s, "a\r\n");
    QVERIFY(!DataFileExists());
    WriteBytes(u"target"_s, "a\r\n");
    QVERIFY(QFile::link(u"target"_s, DataFileName()));
    QVERIFY(DataFileExists());
}

void TestDataFile::readsEncodings_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QStringList>("lines");
    QTest::addColumn<TextEncoding>("encoding");

    QTest::newRow("code page 932") << QByteArray("\x8C\xA2,dog\r\n\x81\x7C") << QStringList{u"犬,dog"_s, u"－"_s}
                                   << TextEncoding::Cp932;
    QTest::newRow("UTF-8 with BOM") << QByteArray("\xEF\xBB\xBFx,y\r\n") << QStringList{u"x,y"_s}
                                    << TextEncoding::Utf8;
    QTest::newRow("UTF-8 without BOM, LF lines") << u"犬,dog\ncafé,x\n"_s.toUtf8()
                                                 << QStringList{u"犬,dog"_s, u"café,x"_s} << TextEncoding::Utf8;
    QTest::newRow("invalid bytes") << QByteArray("a\x80\r\n") << QStringList{u"a\uFFFD"_s} << TextEncoding::Cp932;
}

void TestDataFile::readsEncodings()
{
    QFETCH(QByteArray, bytes);
    QFETCH(QStringList, lines);
    QFETCH(TextEncoding, encoding);
    TempWorkDir dir;
    WriteBytes(DataFileName(), bytes);
    const DataFileText text = ReadDataFile();
    QCOMPARE(text.lines, lines);
    QCOMPARE(text.encoding, encoding);
    QVERIFY(!text.truncated);
}

void TestDataFile::readsAtMost301Lines()
{
    TempWorkDir dir;
    WriteBytes(DataFileName(), NumberedLines(301));
    QCOMPARE(ReadDataFile().lines.size(), 301);
    QVERIFY(!ReadDataFile().truncated);

    const QByteArray longer = NumberedLines(100000);
    WriteBytes(DataFileName(), longer);
    const DataFileText text = ReadDataFile();
    QCOMPARE(text.lines.size(), 301);
    QCOMPARE(text.lines.last(), u"q300,a300"_s);
    QVERIFY(text.truncated);
    QCOMPARE(ReadBytes(DataFileName()), longer); // the file itself is left alone
}

void TestDataFile::crFarIntoTheFileStillCounts()
{
    TempWorkDir dir;
    QByteArray bytes = "a\nb" + QByteArray(3 << 20, 'x') + "\r\n";
    WriteBytes(DataFileName(), bytes);
    const DataFileText text = ReadDataFile();
    QCOMPARE(text.lines.size(), 1); // with a CR anywhere, LF is text
    QVERIFY(text.lines.first().startsWith(u"a\nb"_s));
}

void TestDataFile::refusesWhatIsNoFile()
{
    TempWorkDir dir;
    QVERIFY_THROWS_EXCEPTION(RunTimeError, ReadDataFile()); // missing
    QVERIFY(QDir().mkdir(DataFileName()));
    QVERIFY_THROWS_EXCEPTION(RunTimeError, ReadDataFile());
    QVERIFY(QDir().rmdir(DataFileName()));
    QCOMPARE(mkfifo(QFile::encodeName(DataFileName()).constData(), 0600), 0);
    QVERIFY_THROWS_EXCEPTION(RunTimeError, ReadDataFile()); // and does not block
}

void TestDataFile::writesAtomically()
{
    TempWorkDir dir;
    WriteBytes(DataFileName(), "old");
    const QByteArray name = QFile::encodeName(DataFileName());
    QCOMPARE(chmod(name.constData(), 0604), 0);
    WriteDataFile("new\r\n");
    QCOMPARE(ReadBytes(DataFileName()), QByteArray("new\r\n"));
    struct stat info;
    QCOMPARE(stat(name.constData(), &info), 0);
    QCOMPARE(info.st_mode & 07777, mode_t(0604)); // the old file's permissions stay
    QCOMPARE(FilesIn(dir.path()), QStringList{DataFileName()}); // no temporary file left
}

void TestDataFile::failedWriteKeepsOldBytes()
{
    TempWorkDir dir;
    const QByteArray old = NumberedLines(10);
    WriteBytes(DataFileName(), old);
    {
        FileSizeLimit limit(16);
        try {
            WriteDataFile(NumberedLines(50));
            QFAIL("the write should have failed");
        } catch (const RunTimeError &error) {
            QVERIFY2(error.message().contains(u"大きすぎます"_s), qPrintable(error.message()));
        }
    }
    QCOMPARE(ReadBytes(DataFileName()), old);
    QCOMPARE(FilesIn(dir.path()), QStringList{DataFileName()});
}

void TestDataFile::copiesByteForByte()
{
    TempWorkDir dir;
    QByteArray bytes;
    for (int i = 0; i < (3 << 20); ++i)
        bytes.append(char(i * 7));
    WriteBytes(u"dropped.bin"_s, bytes);
    WriteBytes(DataFileName(), "old");
    SourceFile(u"dropped.bin"_s).copyOver();
    QCOMPARE(ReadBytes(DataFileName()), bytes);
}

void TestDataFile::refusesSourcesThatAreNoFile()
{
    TempWorkDir dir;
    QVERIFY(QDir().mkdir(u"folder"_s));
    QCOMPARE(mkfifo("fifo", 0600), 0);
    QVERIFY(QFile::link(u"nowhere"_s, u"broken"_s));
    const int sock = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address = {};
    address.sun_family = AF_UNIX;
    std::strcpy(address.sun_path, "sock");
    QCOMPARE(bind(sock, reinterpret_cast<sockaddr *>(&address), sizeof address), 0);
    for (const QString &path : {u"folder"_s, u"fifo"_s, u"broken"_s, u"sock"_s, u"/dev/zero"_s, u"missing"_s})
        QVERIFY_THROWS_EXCEPTION(RunTimeError, SourceFile{path});
    close(sock);
}

void TestDataFile::knowsTheSameFile()
{
    TempWorkDir dir;
    WriteBytes(DataFileName(), "a\r\n");
    QVERIFY(QFile::link(DataFileName(), u"alias"_s));
    WriteBytes(u"other"_s, "a\r\n");
    QVERIFY(SourceFile(dir.filePath(DataFileName())).isSameFileAs(DataFileName()));
    QVERIFY(SourceFile(u"alias"_s).isSameFileAs(DataFileName()));
    QVERIFY(!SourceFile(u"other"_s).isSameFileAs(DataFileName()));
}

QTEST_GUILESS_MAIN(TestDataFile)
#include "tst_datafile.moc"
