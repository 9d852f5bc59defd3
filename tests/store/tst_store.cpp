#include "store/datafile.h"
#include "store/datawriter.h"
#include "store/filesystem.h"
#include "deck/keptdecks.h"
#include "store/leftovers.h"
#include "text/runtimeerror.h"

#include "testutils.h"

#ifdef Q_OS_WIN
#include <io.h>

#include <aclapi.h>
#include <sddl.h>
#include <winioctl.h>
#else
#include "syncwatch.h"

#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/xattr.h>
#endif

using namespace Qt::StringLiterals;

// The store's promises that both systems keep, each in the system's own terms, run as the
// same tests on Linux and, cross-built, under Wine.
namespace {

QStringList FilesIn(const QString &dir)
{
    QStringList names = QDir(dir).entryList(
        QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDir::Unsorted);
    names.sort();
    return names;
}

QString WriteFailure(const QByteArray &bytes, const QString &path = DataFilePath())
{
    try {
        WriteDataFile(bytes, path);
        return {};
    } catch (const RunTimeError &error) {
        return error.message();
    }
}

bool MakeHardLink(const QString &existing, const QString &link)
{
#ifdef Q_OS_WIN
    return ::CreateHardLinkW(QDir::toNativeSeparators(link).toStdWString().c_str(),
                             QDir::toNativeSeparators(existing).toStdWString().c_str(), nullptr);
#else
    return ::link(QFile::encodeName(existing).constData(), QFile::encodeName(link).constData()) == 0;
#endif
}

// A file of `size` bytes, all a hole but `tail` at its end.
bool MakeSparse(const QString &path, qint64 size, const QByteArray &tail)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return false;
#ifdef Q_OS_WIN
    DWORD got = 0;
    ::DeviceIoControl(HANDLE(_get_osfhandle(file.handle())), FSCTL_SET_SPARSE, nullptr, 0, nullptr, 0, &got,
                      nullptr);
#endif
    return file.seek(size - tail.size()) && file.write(tail) == tail.size();
}

// Who may read the file, as the system keeps it: the permission bits and ACL on POSIX, the
// access list on Windows.
QByteArray Access(const QString &path)
{
#ifdef Q_OS_WIN
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    std::wstring name = QDir::toNativeSeparators(path).toStdWString();
    if (::GetNamedSecurityInfoW(name.data(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr,
                                nullptr, nullptr, &descriptor) != ERROR_SUCCESS)
        return "<none>";
    wchar_t *text = nullptr;
    ::ConvertSecurityDescriptorToStringSecurityDescriptorW(descriptor, SDDL_REVISION_1,
                                                           DACL_SECURITY_INFORMATION, &text, nullptr);
    const QByteArray access = QString::fromWCharArray(text).toUtf8();
    ::LocalFree(text);
    ::LocalFree(descriptor);
    return access;
#else
    struct stat info = {};
    ::lstat(QFile::encodeName(path).constData(), &info);
    char acl[256];
    const ssize_t size =
        ::lgetxattr(QFile::encodeName(path).constData(), "system.posix_acl_access", acl, sizeof acl);
    return QByteArray::number(info.st_mode & 07777, 8) + ' ' +
           QByteArray(acl, int(std::max<ssize_t>(size, 0))).toHex();
#endif
}

} // namespace

class TestStore : public QObject
{
    Q_OBJECT

private slots:
    void movesWithoutReplacing();
    void locksTheFolderForOneWindow();
    void writesIntoAFileWithASecondName();
    void refusesPipesAndDevices_data();
    void refusesPipesAndDevices();
    void sizesAboveFourGiB();
    void aReplacementKeepsTheFilesAccess();
    void copiesAreNoMoreReadable();
    void keptDeckNames_data();
    void keptDeckNames();
    void keepsTheNewestDecks();
    void keepsNoDeckThroughALink();
    void readsADeckUpToItsBound_data();
    void readsADeckUpToItsBound();
    void keepsNoDeckPastAHundredNames();
};

void TestStore::movesWithoutReplacing()
{
    TempWorkDir dir;
    WriteBytes(u"from"_s, "new");
    WriteBytes(u"to"_s, "someone's");
    QCOMPARE(sys::MoveNew("from", "to").code(), sys::Errc::Exists);
    QCOMPARE(ReadBytes(u"to"_s), QByteArray("someone's"));
    QCOMPARE(ReadBytes(u"from"_s), QByteArray("new"));
    QCOMPARE(sys::MoveNew("from", "free").code(), sys::Errc::None);
    QCOMPARE(FilesIn(dir.path()), (QStringList{u"free"_s, u"to"_s}));
}

void TestStore::locksTheFolderForOneWindow()
{
    TempWorkDir dir;
    auto first = std::make_unique<sys::FolderLock>();
    QCOMPARE(first->take("."), sys::FolderLock::State::Taken);
    sys::FolderLock second;
    QCOMPARE(second.take("."), sys::FolderLock::State::Busy);
    WriteBytes(DataFilePath(), "old");
    QVERIFY(WriteFailure("new\r\n").contains(u"別のウィンドウ"_s));
    first.reset();
    QCOMPARE(second.take("."), sys::FolderLock::State::Taken);
}

// A rename would part the names: the file itself gets the bytes, and no backup stays.
void TestStore::writesIntoAFileWithASecondName()
{
    TempWorkDir dir;
    WriteBytes(DataFilePath(), "old");
    if (!MakeHardLink(DataFilePath(), u"second name"_s))
        QSKIP("this file system makes no hard links");
    sys::FileInfo info;
    QVERIFY(!sys::Status(sys::PathBytes(DataFilePath()), info, sys::Follow::NotLinks));
    QCOMPARE(info.names, qint64(2));
    QCOMPARE(WriteFailure("new\r\n"), QString());
    QCOMPARE(ReadBytes(u"second name"_s), QByteArray("new\r\n"));
    QCOMPARE(FilesIn(dir.path()), (QStringList{u"second name"_s, DataFileName()}));
}

void TestStore::refusesPipesAndDevices_data()
{
    QTest::addColumn<QString>("path");
#ifdef Q_OS_WIN
    QTest::newRow("the NUL device") << u"NUL"_s;
    QTest::newRow("a named pipe") << u"//./pipe/pelmor-test"_s;
#else
    QTest::newRow("a device") << u"device"_s;
    QTest::newRow("a FIFO") << u"fifo"_s;
#endif
}

// Neither read as a deck nor written as one: opening them must not wait or consume.
void TestStore::refusesPipesAndDevices()
{
    QFETCH(QString, path);
    TempWorkDir dir;
#ifdef Q_OS_WIN
    const HANDLE pipe = ::CreateNamedPipeW(L"\\\\.\\pipe\\pelmor-test", PIPE_ACCESS_DUPLEX, PIPE_TYPE_BYTE, 1,
                                           4096, 4096, 0, nullptr);
    const auto closePipe = qScopeGuard([pipe] { ::CloseHandle(pipe); });
#else
    QVERIFY(MakeFifo(u"fifo"_s));
    // Root gets a device of the test's own: a fault that wrote through it must not replace the
    // system's /dev/null, which no one else can replace.
    if (path == u"device"_s && geteuid() != 0)
        path = u"/dev/null"_s;
    else if (path == u"device"_s && mknod("device", S_IFCHR | 0666, makedev(1, 3)) != 0)
        QSKIP("no device can be made here");
#endif
    const QStringList before = FilesIn(dir.path());
    QVERIFY(!DataFileExists(path));
    QVERIFY(!WriteFailure("new\r\n", path).isEmpty());
    QVERIFY_THROWS_EXCEPTION(RunTimeError, ReadDataFile(path));
    QCOMPARE(FilesIn(dir.path()), before);
}

// Sizes and offsets past 32 bits, and the holes of a sparse file passed over unread.
void TestStore::sizesAboveFourGiB()
{
    TempWorkDir dir;
    const qint64 size = (qint64(1) << 32) + 4096;
    if (!MakeSparse(DataFilePath(), size, "\r\na,b\r\n"))
        QSKIP("no room for a sparse file of 4 GiB here");
    sys::FileInfo info;
    QVERIFY(!sys::Status(sys::PathBytes(DataFilePath()), info, sys::Follow::Links));
    QCOMPARE(info.size, size);
    sys::File file;
    QVERIFY(!file.open(sys::PathBytes(DataFilePath()), sys::Access::Read, sys::Follow::Links));
    char tail[3] = {};
    qsizetype got = 0;
    QVERIFY(!file.readAt(size - 5, tail, 3, got));
    QCOMPARE(QByteArray(tail, int(got)), QByteArray("a,b"));
    const DataFileText text = ReadDataFile();
    QCOMPARE(text.lines.mid(1), QStringList{u"a,b"_s});
}

// Replaced by a rename, the data file keeps who may do what with it (the mode and ACL on
// POSIX; on Windows its attributes and access list, which ReplaceFileW keeps).
void TestStore::aReplacementKeepsTheFilesAccess()
{
    TempWorkDir dir;
    WriteBytes(DataFilePath(), "old");
#ifdef Q_OS_WIN
    const std::wstring name = QDir::toNativeSeparators(DataFilePath()).toStdWString();
    QVERIFY(::SetFileAttributesW(name.c_str(), FILE_ATTRIBUTE_HIDDEN));
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    PACL dacl = nullptr;
    QVERIFY(::ConvertStringSecurityDescriptorToSecurityDescriptorW(L"D:P(A;;FA;;;WD)", SDDL_REVISION_1,
                                                                   &descriptor, nullptr));
    BOOL present = FALSE, defaulted = FALSE;
    ::GetSecurityDescriptorDacl(descriptor, &present, &dacl, &defaulted);
    std::wstring writable = name;
    ::SetNamedSecurityInfoW(writable.data(), SE_FILE_OBJECT,
                            DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION, nullptr, nullptr,
                            dacl, nullptr);
    ::LocalFree(descriptor);
#else
    QVERIFY(::chmod(QFile::encodeName(DataFilePath()).constData(), 0604) == 0);
#endif
    const QByteArray before = Access(DataFilePath());
    QCOMPARE(WriteFailure("new\r\n"), QString());
    QCOMPARE(ReadBytes(DataFilePath()), QByteArray("new\r\n"));
#ifdef Q_OS_WIN
    QVERIFY(::GetFileAttributesW(name.c_str()) & FILE_ATTRIBUTE_HIDDEN);
    if (RunningUnderWine())
        QSKIP("Wine's ReplaceFileW keeps the attributes but not the access list (Windows' keeps both)");
#endif
    QCOMPARE(Access(DataFilePath()), before);
}

// The old bytes of a write into the file itself, shown after a killed run: never readable by
// anyone the data file keeps out (POSIX: the user's alone; Windows: the backup's access
// list, which is the data file's).
void TestStore::copiesAreNoMoreReadable()
{
    TempWorkDir dir;
    WriteBytes(DataFilePath(), "half");
    const QString backup = u".表示するデータ.txt.pelmor-backup-Ab12Cd"_s;
    sys::File file;
    QVERIFY(!file.createNew(sys::PathBytes(backup)));
    QVERIFY(!file.writeAt(0, "old\r\n", 5) && !file.close());
#ifdef Q_OS_WIN
    const QByteArray expected = Access(backup);
#else
    const QByteArray expected = "600 ";
#endif
    QVERIFY(ClearStaleFiles().contains(u"書き込む前"_s));
    const QString shown = u"表示するデータ（書き込む前）.txt"_s;
    QCOMPARE(ReadBytes(shown), QByteArray("old\r\n"));
    QCOMPARE(Access(shown), expected);
}

void TestStore::keptDeckNames_data()
{
    QTest::addColumn<QString>("deck");
    QTest::addColumn<QString>("name");
    const QString when = u"2026-12-09 14.03.21 "_s;
    QTest::newRow("a home folder") << u"/home/user/class/表示するデータ.txt"_s
                                   << when + u"home-user-class.txt"_s;
    QTest::newRow("what Windows refuses")
        << u"/a*b/c?d/e\"f<g>h|i/x.txt"_s << when + u"a-b-c-d-e-f-g-h-i.txt"_s;
    QTest::newRow("a final dot") << u"/srv/授業./x.txt"_s << when + u"srv-授業.txt"_s;
    QTest::newRow("a final character Windows refuses") << u"/srv/授業?/x.txt"_s << when + u"srv-授業.txt"_s;
    QTest::newRow("a long path keeps its end")
        << u"/"_s + QString(100, u'a') + u"/end/x.txt"_s << when + QString(76, u'a') + u"-end.txt"_s;
}

// When and from which folder, in a name both file systems take.
void TestStore::keptDeckNames()
{
    QFETCH(QString, deck);
    QFETCH(QString, name);
    const QDateTime when(QDate(2026, 12, 9), QTime(14, 3, 21));
    QCOMPARE(KeptDeckName(deck, when), name);
}

// The newest copies stay, each whole and the user's alone; what else is there stays too
// (a name taken in the same second: keepsNoDeckThroughALink).
void TestStore::keepsTheNewestDecks()
{
    TempWorkDir dir;
    const QString folder = dir.filePath(u"data/kept"_s);
    const QDateTime start(QDate(2026, 1, 2), QTime(3, 4, 5));
    QVERIFY(QDir().mkpath(folder));
    WriteBytes(folder + u"/notes.txt"_s, "mine");
    QStringList want{u"notes.txt"_s};
    QString kept;
#ifdef Q_OS_UNIX
    QSet<ino_t> synced;
    g_onSync = [&synced](int fd) {
        struct stat st;
        if (fstat(fd, &st) == 0)
            synced.insert(st.st_ino);
    };
    const auto unwatch = qScopeGuard([] { g_onSync = {}; });
#endif
    for (int i = 0; i < kKeptDecks + 2; ++i) {
        kept = KeepDeck(QByteArray::number(i), DataFilePath(), start.addSecs(i), folder);
        QCOMPARE(ReadBytes(kept), QByteArray::number(i));
#ifdef Q_OS_UNIX
        struct stat named;
        QVERIFY(stat(QFile::encodeName(kept).constData(), &named) == 0 && synced.contains(named.st_ino)); // flushed before named
#endif
        if (i >= 2)
            want.append(QFileInfo(kept).fileName());
    }
    want.sort();
    QCOMPARE(FilesIn(folder), want);
#ifdef Q_OS_UNIX
    QCOMPARE(Access(folder), QByteArray("700 "));
    QCOMPARE(Access(kept), QByteArray("600 "));
#else
    // One entry, the user's, and nothing inherited from above. Wine keeps no protected access
    // list here (seen: the inherited entries stay on the folder and the file), so it is judged
    // on Windows only.
    if (RunningUnderWine())
        QSKIP(QByteArray("Wine shows the inherited access lists: " + Access(folder) + ' ' + Access(kept)).constData());
    QVERIFY2(Access(folder).startsWith("D:P(A;OICI;FA;;;S-") && Access(folder).count('(') == 1,
             Access(folder).constData());
    QVERIFY2(Access(kept).startsWith("D:P(A;;FA;;;S-") && Access(kept).count('(') == 1,
             Access(kept).constData());
#endif
}

// A link under the name a copy would get is never followed (a link for the folder: tst_intake).
void TestStore::keepsNoDeckThroughALink()
{
    TempWorkDir dir;
    const QString folder = dir.filePath(u"kept"_s);
    const QDateTime when(QDate(2026, 1, 2), QTime(3, 4, 5));
    QVERIFY(QDir().mkpath(folder));
    WriteBytes(u"target.txt"_s, "untouched");
    if (!MakeSymlink(dir.filePath(u"target.txt"_s), folder + u'/' + KeptDeckName(DataFilePath(), when)))
        QSKIP("no symbolic links for this user here");
    const QString kept = KeepDeck("old", DataFilePath(), when, folder);
    QVERIFY2(kept.endsWith(u" (2).txt"_s), qPrintable(kept));
    QCOMPARE(ReadBytes(u"target.txt"_s), QByteArray("untouched"));
}

void TestStore::readsADeckUpToItsBound_data()
{
    QTest::addColumn<qint64>("size");
    QTest::addColumn<int>("result");
    QTest::newRow("no deck") << qint64(-1) << int(DeckBytes::None);
    QTest::newRow("empty") << qint64(0) << int(DeckBytes::Read);
    QTest::newRow("at the bound, 1 MiB") << (qint64(1) << 20) << int(DeckBytes::Read);
    QTest::newRow("a byte past it") << (qint64(1) << 20) + 1 << int(DeckBytes::TooLarge);
}

// A deck up to the bound is read whole; past it, or missing, nothing is held.
void TestStore::readsADeckUpToItsBound()
{
    QFETCH(qint64, size);
    QFETCH(int, result);
    TempWorkDir dir;
    QByteArray deck(qMax(size, qint64(0)), 'x');
    if (size >= 0)
        WriteBytes(DataFilePath(), deck);
    QByteArray bytes = "left from before";
    QCOMPARE(int(ReadDeckBytes(DataFilePath(), bytes)), result);
    QCOMPARE(bytes, result == int(DeckBytes::Read) ? deck : QByteArray());
}

// A hundred copies in one second: the next is refused with the folder named, and nothing of it stays.
void TestStore::keepsNoDeckPastAHundredNames()
{
    TempWorkDir dir;
    const QString folder = dir.filePath(u"kept"_s);
    const QDateTime when(QDate(2026, 1, 2), QTime(3, 4, 5));
    const QString name = KeptDeckName(DataFilePath(), when);
    QVERIFY(QDir().mkpath(folder));
    WriteBytes(folder + u'/' + name, "1");
    for (int n = 2; n <= 100; ++n)
        WriteBytes(folder + u'/' + name.chopped(4) + u" (%1).txt"_s.arg(n), QByteArray::number(n));
    const QStringList hundred = FilesIn(folder);
    QCOMPARE(hundred.size(), 100);
    try {
        KeepDeck("one more", DataFilePath(), when, folder);
        QFAIL("a hundred and first copy was kept");
    } catch (const RunTimeError &error) {
        QVERIFY2(error.message().contains(Quoted(folder)), qPrintable(error.message()));
    }
    QCOMPARE(FilesIn(folder), hundred);
}

QTEST_MAIN(TestStore)
#include "tst_store.moc"
