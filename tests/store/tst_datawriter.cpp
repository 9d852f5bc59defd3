#include "deck/guards.h"
#include "store/datafile.h"
#include "store/datawriter.h"
#include "store/sourcefile.h"
#include "text/pastedtext.h"

#include "swaponopen.h"
#include "testutils.h"

#include <QRegularExpression>

#include <csignal>
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

using namespace Qt::StringLiterals;

// fsync and rename of this program (the deck library is linked in statically) pass
// through here, so the tests see their order and can make a rename fail.
namespace {
QStringList g_calls;
bool g_failRename = false;
int g_folderSyncError = 0; // what fsync of a folder fails with, 0 for success
int g_fallocateError = 0;
bool g_backupStays = false; // the backup cannot be removed
bool g_noMoveNew = false;   // a file system without RENAME_NOREPLACE and hard links

QString FdName(int fd)
{
    return QFileInfo(QFile::symLinkTarget(u"/proc/self/fd/%1"_s.arg(fd))).fileName();
}
} // namespace

extern "C" int fsync(int fd)
{
    static const auto real = reinterpret_cast<int (*)(int)>(dlsym(RTLD_NEXT, "fsync"));
    g_calls.append(u"fsync "_s + FdName(fd));
    struct stat info;
    if (g_folderSyncError != 0 && fstat(fd, &info) == 0 && S_ISDIR(info.st_mode)) {
        errno = g_folderSyncError;
        return -1;
    }
    return real(fd);
}

// The n-th write into the data file fails once (0: none), as a disk error would.
int g_failDataWrite = 0;

extern "C" ssize_t pwrite(int fd, const void *data, size_t size, off_t offset)
{
    static const auto real =
        reinterpret_cast<ssize_t (*)(int, const void *, size_t, off_t)>(dlsym(RTLD_NEXT, "pwrite"));
    if (g_failDataWrite > 0 && FdName(fd) == DataFileName() && --g_failDataWrite == 0) {
        errno = EIO;
        return -1;
    }
    return real(fd, data, size, offset);
}

extern "C" int posix_fallocate(int fd, off_t offset, off_t length)
{
    static const auto real =
        reinterpret_cast<int (*)(int, off_t, off_t)>(dlsym(RTLD_NEXT, "posix_fallocate"));
    if (g_fallocateError != 0)
        return g_fallocateError;
    return real(fd, offset, length);
}

extern "C" int unlink(const char *path)
{
    static const auto real = reinterpret_cast<int (*)(const char *)>(dlsym(RTLD_NEXT, "unlink"));
    if (g_backupStays && QByteArray(path).contains(".pelmor-backup-")) {
        errno = EBUSY;
        return -1;
    }
    return real(path);
}

extern "C" int renameat2(int fromDir, const char *from, int toDir, const char *to, unsigned int flags)
{
    static const auto real = reinterpret_cast<int (*)(int, const char *, int, const char *, unsigned int)>(
        dlsym(RTLD_NEXT, "renameat2"));
    if (g_noMoveNew && (flags & RENAME_NOREPLACE)) {
        errno = EINVAL;
        return -1;
    }
    return real(fromDir, from, toDir, to, flags);
}

extern "C" int link(const char *from, const char *to)
{
    static const auto real = reinterpret_cast<int (*)(const char *, const char *)>(dlsym(RTLD_NEXT, "link"));
    if (g_noMoveNew) {
        errno = EPERM;
        return -1;
    }
    return real(from, to);
}

extern "C" int rename(const char *from, const char *to)
{
    static const auto real =
        reinterpret_cast<int (*)(const char *, const char *)>(dlsym(RTLD_NEXT, "rename"));
    g_calls.append(u"rename "_s + QFileInfo(QFile::decodeName(from)).fileName());
    if (g_failRename) {
        errno = EIO;
        return -1;
    }
    return real(from, to);
}

namespace {

const QByteArray kName = QFile::encodeName(DataFilePath());

QString Named(const QString &name)
{
    return u"「"_s + QDir::current().absoluteFilePath(name) + u"」"_s;
}

QStringList FilesIn(const QString &dir)
{
    return QDir(dir).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
}

struct stat Lstat(const QByteArray &path)
{
    struct stat info = {};
    lstat(path.constData(), &info);
    return info;
}

// The message a write fails with, or "" when it succeeds.
QString WriteFailure(const QByteArray &bytes)
{
    try {
        WriteDataFile(bytes);
        return {};
    } catch (const RunTimeError &error) {
        return error.message();
    }
}

} // namespace

class TestDataWriter : public QObject
{
    Q_OBJECT

private slots:
    void init()
    {
        g_calls.clear(), g_failRename = false, g_folderSyncError = 0, g_fallocateError = 0,
                         g_failDataWrite = 0, g_backupStays = false, g_noMoveNew = false;
    }
    void theNameIsFixed();
    void refusesWhatIsNoOrdinaryFile_data();
    void refusesWhatIsNoOrdinaryFile();
    void writesThroughALink();
    void refusesAWriteProtectedFile_data();
    void refusesAWriteProtectedFile();
    void flushesAroundTheRename();
    void aFailedRenameKeepsTheOldFile();
    void aFailedFolderFlush_data();
    void aFailedFolderFlush();
    void aNewFileFollowsTheUmask_data();
    void aNewFileFollowsTheUmask();
    void keepsOwnerModeAndAttributes();
    void writesInPlaceWhenARenameWouldNotKeepTheFile();
    void refusesAFileReplacedMeanwhile();
    void aLargeWriteInPlace_data();
    void aLargeWriteInPlace();
    void anotherUsersFile();
    void namesTheFolderThatStopsIt();
    void pastedTextInPieces_data();
    void pastedTextInPieces();
    void keepsTheGroupInASetGroupIdFolder();
    void takesNoAclFromTheFolder();
    void refusesAnotherAccountsLink_data();
    void refusesAnotherAccountsLink();
    void writesInPlaceWithoutMovesThatKeepNames();
    void refusesADroppedFileSwappedWhileLookedAt();
};

void TestDataWriter::theNameIsFixed()
{
    QCOMPARE(DataFileName(), u"表示するデータ.txt"_s);
    QCOMPARE(QFileInfo(DataFilePath()).fileName(), DataFileName());
}

void TestDataWriter::refusesWhatIsNoOrdinaryFile_data()
{
    QTest::addColumn<QString>("kind");
    QTest::newRow("FIFO") << u"fifo"_s;
    QTest::newRow("link to a FIFO") << u"link to fifo"_s;
    QTest::newRow("link to a folder") << u"link to folder"_s;
    QTest::newRow("link to a device") << u"link to device"_s;
    QTest::newRow("broken link") << u"broken link"_s;
    QTest::newRow("link loop") << u"loop"_s;
}

void TestDataWriter::refusesWhatIsNoOrdinaryFile()
{
    QFETCH(QString, kind);
    TempWorkDir dir;
    if (kind == u"fifo"_s || kind == u"link to fifo"_s)
        QCOMPARE(mkfifo(kind == u"fifo"_s ? kName.constData() : "thing", 0600), 0);
    if (kind == u"link to folder"_s)
        QVERIFY(QDir().mkdir(u"thing"_s));
    if (kind == u"link to device"_s && mknod("thing", S_IFCHR | 0666, makedev(1, 3)) != 0)
        QSKIP("making a device node needs root");
    if (kind.startsWith(u"link"_s) || kind == u"broken link"_s)
        QCOMPARE(symlink("thing", kName.constData()), 0);
    if (kind == u"loop"_s)
        QVERIFY(symlink("other", kName.constData()) == 0 && symlink(kName.constData(), "other") == 0);
    const QStringList before = FilesIn(dir.path());
    const mode_t nameType = Lstat(kName).st_mode & S_IFMT;
    const mode_t thingType = Lstat("thing").st_mode & S_IFMT;

    QVERIFY(!WriteFailure("new\r\n").isEmpty());
    QCOMPARE(FilesIn(dir.path()), before);
    QCOMPARE(Lstat(kName).st_mode & S_IFMT, nameType);
    QCOMPARE(Lstat("thing").st_mode & S_IFMT, thingType);
}

void TestDataWriter::writesThroughALink()
{
    TempWorkDir dir;
    QVERIFY(QDir().mkdir(u"sub"_s));
    WriteBytes(u"sub/cards.txt"_s, "old");
    QCOMPARE(symlink("sub/cards.txt", kName.constData()), 0);
    WriteDataFile("new\r\n");
    QVERIFY(S_ISLNK(Lstat(kName).st_mode));
    QCOMPARE(ReadBytes(u"sub/cards.txt"_s), QByteArray("new\r\n"));
    QCOMPARE(FilesIn(dir.filePath(u"sub"_s)), QStringList{u"cards.txt"_s});
}

void TestDataWriter::refusesAWriteProtectedFile_data()
{
    QTest::addColumn<int>("mode");
    QTest::newRow("read-only") << 0444;
    QTest::newRow("no permission at all") << 0;
    QTest::newRow("writable by the group only") << 0464;
}

void TestDataWriter::refusesAWriteProtectedFile()
{
    QFETCH(int, mode);
    TempWorkDir dir;
    WriteBytes(DataFilePath(), "old");
    QCOMPARE(chmod(kName.constData(), mode_t(mode)), 0);
    QVERIFY(WriteFailure("new\r\n").contains(u"書き込みが禁止"_s));
    QCOMPARE(chmod(kName.constData(), 0644), 0);
    QCOMPARE(ReadBytes(DataFilePath()), QByteArray("old"));
    QCOMPARE(FilesIn(dir.path()), QStringList{DataFileName()});
    if (geteuid() != 0)
        return;
    // The same for a user, whom the system itself refuses (root is held to the owner's bit).
    QCOMPARE(chmod(".", 0777), 0);
    QCOMPARE(chown(kName.constData(), 65534, 65534), 0);
    QCOMPARE(chmod(kName.constData(), mode_t(mode)), 0);
    QCOMPARE(AsNobody([] { return WriteFailure("new\r\n").contains(u"書き込みが禁止"_s); }), 0);
    QCOMPARE(ReadBytes(DataFilePath()), QByteArray("old"));
    // Another account's file: whose it is, and what the user can do.
    QCOMPARE(chown(kName.constData(), 0, 0), 0);
    QCOMPARE(
        AsNobody([] { return WriteFailure("new\r\n").contains(u"ほかのユーザー（root）のファイルです"_s); }),
        0);
}

void TestDataWriter::flushesAroundTheRename()
{
    TempWorkDir dir;
    WriteBytes(DataFilePath(), "old");
    WriteDataFile("new\r\n");
    const qsizetype rename =
        g_calls.indexOf(QRegularExpression(u"^rename \\.表示するデータ\\.txt\\.pelmor-.*"_s));
    const qsizetype fileSync =
        g_calls.indexOf(QRegularExpression(u"^fsync \\.表示するデータ\\.txt\\.pelmor-.*"_s));
    const qsizetype folderSync = g_calls.indexOf(u"fsync "_s + QFileInfo(dir.path()).fileName());
    QVERIFY2(fileSync >= 0 && fileSync < rename && rename < folderSync, qPrintable(g_calls.join(u"; "_s)));
}

void TestDataWriter::aFailedRenameKeepsTheOldFile()
{
    TempWorkDir dir;
    WriteBytes(DataFilePath(), "old");
    g_failRename = true;
    QVERIFY(WriteFailure("new\r\n").contains(u"入出力エラー"_s));
    QCOMPARE(ReadBytes(DataFilePath()), QByteArray("old"));
    QCOMPARE(FilesIn(dir.path()), QStringList{DataFileName()});
}

void TestDataWriter::aFailedFolderFlush_data()
{
    QTest::addColumn<int>("error");
    QTest::addColumn<QString>("failure");
    QTest::newRow("a file system that cannot flush folders") << EINVAL << QString();
    QTest::newRow("a real error")
        << EIO << u"「表示するデータ.txt」に書き込めませんでした。\n入出力エラーが起きました。"_s;
}

void TestDataWriter::aFailedFolderFlush()
{
    QFETCH(int, error);
    QFETCH(QString, failure);
    TempWorkDir dir;
    WriteBytes(DataFilePath(), "old");
    g_folderSyncError = error;
    QCOMPARE(WriteFailure("new\r\n"), failure);
}

void TestDataWriter::aNewFileFollowsTheUmask_data()
{
    QTest::addColumn<int>("umask");
    QTest::addColumn<int>("mode");
    QTest::newRow("022") << 022 << 0644;
    QTest::newRow("002") << 002 << 0664;
    QTest::newRow("077") << 077 << 0600;
}

void TestDataWriter::aNewFileFollowsTheUmask()
{
    QFETCH(int, umask);
    QFETCH(int, mode);
    TempWorkDir dir;
    const mode_t old = ::umask(mode_t(umask));
    const QString failure = WriteFailure("new\r\n");
    ::umask(old);
    QCOMPARE(failure, QString());
    QCOMPARE(Lstat(kName).st_mode & 07777, mode_t(mode));
}

void TestDataWriter::keepsOwnerModeAndAttributes()
{
    TempWorkDir dir;
    WriteBytes(DataFilePath(), "old");
    if (setxattr(kName.constData(), "user.pelmor", "kept", 4, 0) != 0)
        QSKIP("this file system keeps no user attributes");
    const bool root = geteuid() == 0;
    if (root)
        QCOMPARE(chown(kName.constData(), 12345, 23456), 0);
    QCOMPARE(chmod(kName.constData(), 03640), 0); // after the owner: a chown clears set-group-ID
    const struct stat before = Lstat(kName);
    QCOMPARE(before.st_mode & 07777, mode_t(03640));
    WriteDataFile("new\r\n");
    const struct stat after = Lstat(kName);
    QCOMPARE(ReadBytes(DataFilePath()), QByteArray("new\r\n"));
    QCOMPARE(after.st_mode & 07777, mode_t(03640));
    QCOMPARE(after.st_uid, before.st_uid);
    QCOMPARE(after.st_gid, before.st_gid);
    char value[8] = {};
    QCOMPARE(getxattr(kName.constData(), "user.pelmor", value, sizeof value), ssize_t(4));
    QCOMPARE(QByteArray(value), QByteArray("kept"));
    if (!root)
        qInfo("owner kept only as the owner: another owner needs root");
}

void TestDataWriter::writesInPlaceWhenARenameWouldNotKeepTheFile()
{
    TempWorkDir dir;
    WriteBytes(DataFilePath(), "old");
    QCOMPARE(link(kName.constData(), "second name"), 0);
    const ino_t inode = Lstat(kName).st_ino;
    WriteDataFile("new\r\n");
    QCOMPARE(Lstat(kName).st_ino, inode);
    QCOMPARE(ReadBytes(u"second name"_s), QByteArray("new\r\n"));

    const QString tooLarge = u"「表示するデータ.txt」に書き込めませんでした。\nファイルが大きすぎます。"_s;
    const auto withSizeLimit = [](const QByteArray &bytes) {
        std::signal(SIGXFSZ, SIG_IGN);
        rlimit old;
        getrlimit(RLIMIT_FSIZE, &old);
        rlimit limit = old;
        limit.rlim_cur = 64;
        setrlimit(RLIMIT_FSIZE, &limit);
        const QString failure = WriteFailure(bytes);
        setrlimit(RLIMIT_FSIZE, &old);
        return failure;
    };
    QCOMPARE(withSizeLimit(QByteArray(100, 'x')), tooLarge);
    QCOMPARE(ReadBytes(DataFilePath()), QByteArray("new\r\n"));
    // A full disk stops it while room is reserved, before a byte of the file changes.
    g_fallocateError = ENOSPC;
    QCOMPARE(WriteFailure(QByteArray(100, 'x')),
             u"「表示するデータ.txt」に書き込めませんでした。\nディスクの空き容量が足りません。"_s);
    g_fallocateError = 0;
    QCOMPARE(ReadBytes(DataFilePath()), QByteArray("new\r\n"));
    QCOMPARE(FilesIn(dir.path()), (QStringList{u"second name"_s, DataFileName()}));

    // A disk error half-way through the file: the old bytes go back.
    const QByteArray old = ReadBytes(DataFilePath());
    g_failDataWrite = 2;
    QCOMPARE(WriteFailure(QByteArray(kChunkSize + 10, 'n')),
             u"「表示するデータ.txt」に書き込めませんでした。\n入出力エラーが起きました。"_s);
    QCOMPARE(ReadBytes(DataFilePath()), old);
    QCOMPARE(FilesIn(dir.path()), (QStringList{u"second name"_s, DataFileName()}));

    // A backup that cannot be removed would have a later start say that the write stopped:
    // the write fails and the old bytes stay, secured in a file of the user's alone.
    g_backupStays = true;
    QCOMPARE(WriteFailure("kept?\r\n"),
             u"「表示するデータ.txt」に書き込めませんでした。\n"_s + sys::Error(sys::Errc::InUse).text());
    g_backupStays = false;
    QCOMPARE(ReadBytes(DataFilePath()), old);
    const QStringList backups = FilesIn(dir.path()).filter(u".pelmor-backup-"_s);
    QCOMPARE(backups.size(), 1);
    QCOMPARE(ReadBytes(backups.first()), old);
    QCOMPARE(Lstat(QFile::encodeName(backups.first())).st_mode & 07777, mode_t(0600));
    QVERIFY(QFile::remove(backups.first()));

    // The old bytes do not fit in a backup: the half-made backup goes too.
    WriteDataFile(QByteArray(100, 'o'));
    QCOMPARE(withSizeLimit("short\r\n"), tooLarge);
    QCOMPARE(ReadBytes(DataFilePath()), QByteArray(100, 'o'));
    QCOMPARE(FilesIn(dir.path()), (QStringList{u"second name"_s, DataFileName()}));
}

// The file written in place must still be the one the write started with.
void TestDataWriter::refusesAFileReplacedMeanwhile()
{
    TempWorkDir dir;
    WriteBytes(DataFilePath(), "old");
    QCOMPARE(link(kName.constData(), "second name"), 0);
    QString failure;
    {
        DataFileWriter writer(DataFilePath());
        writer.write("new\r\n", 5);
        WriteBytes(u"other"_s, "theirs");
        QCOMPARE(::rename("other", kName.constData()), 0);
        try {
            writer.commit();
        } catch (const RunTimeError &error) {
            failure = error.message();
        }
    }
    QCOMPARE(
        failure,
        u"「表示するデータ.txt」に書き込めませんでした。\n書き込みの間にファイルが置き換えられました。"_s);
    QCOMPARE(ReadBytes(DataFilePath()), QByteArray("theirs"));
    QCOMPARE(ReadBytes(u"second name"_s), QByteArray("old"));
    QCOMPARE(FilesIn(dir.path()), (QStringList{u"second name"_s, DataFileName()}));
}

void TestDataWriter::aLargeWriteInPlace_data()
{
    QTest::addColumn<int>("stopAt"); // the progress call that asks to stop; 0: none
    QTest::addColumn<bool>("putsBack");
    QTest::newRow("stopped while the old bytes are secured") << 1 << false;
    QTest::newRow("stopped while the file is written") << 4 << true;
    QTest::newRow("to the end") << 0 << false;
}

// Both copies of a write into the file itself tell their progress and can be stopped; a stop
// puts every old byte back, and a sparse deck's holes take no room in its backup.
void TestDataWriter::aLargeWriteInPlace()
{
    QFETCH(int, stopAt);
    QFETCH(bool, putsBack);
    TempWorkDir dir;
    const qint64 size = 64 * kChunkSize;
    {
        QFile file(DataFilePath());
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write(QByteArray(kChunkSize, 'o')) == kChunkSize &&
                file.resize(size - 5) && file.seek(size - 5) && file.write("end\r\n") == 5);
    }
    const QByteArray old = ReadBytes(DataFilePath());
    QCOMPARE(link(kName.constData(), "second name"), 0);
    int calls = 0, securing = 0;
    qint64 lastDone = 0, total = 0, backupRoom = 0;
    bool ordered = true, cancelled = false, toldSecured = false;
    const Progress progress = [&](qint64 done, qint64 all) {
        // After a stop, the old bytes go back from the start.
        ordered = ordered && (done >= lastDone || calls == stopAt) && done <= all;
        lastDone = done;
        total = all;
        securing += done <= size && securing == calls;
        toldSecured = toldSecured || done == size;
        for (const QString &name : FilesIn(u"."_s).filter(u".pelmor-"_s))
            backupRoom = std::max<qint64>(backupRoom, Lstat(QFile::encodeName(name)).st_blocks * 512);
        // As the dialog does: once stopped, it stays stopped.
        return ++calls < stopAt || !stopAt;
    };
    try {
        DataFileWriter writer(DataFilePath());
        writer.write(QByteArray(2 * kChunkSize + 3, 'n').constData(), 2 * kChunkSize + 3);
        writer.commit(progress);
    } catch (const Cancelled &) {
        cancelled = true;
    }
    QCOMPARE(cancelled, stopAt != 0);
    QVERIFY(ordered);
    QVERIFY(securing > 0); // the window answers while the old bytes are secured
    QCOMPARE(toldSecured, putsBack || !stopAt); // and is told when they all are
    if (putsBack)
        QVERIFY(calls > stopAt); // the rollback too keeps the window answering
    QCOMPARE(total, size + 2 * kChunkSize + 3);
    QVERIFY2(backupRoom < 4 * kChunkSize, qPrintable(QString::number(backupRoom)));
    QCOMPARE(ReadBytes(u"second name"_s), stopAt ? old : QByteArray(2 * kChunkSize + 3, 'n'));
    QCOMPARE(FilesIn(dir.path()), (QStringList{u"second name"_s, DataFileName()}));
    if (!stopAt)
        QCOMPARE(lastDone, total);
}

void TestDataWriter::anotherUsersFile()
{
    if (geteuid() != 0)
        QSKIP("needs root to make a file of another user and to act as another user");
    TempWorkDir dir;
    QCOMPARE(chmod(".", 0777), 0);
    WriteBytes(DataFilePath(), "old");
    QCOMPARE(chmod(kName.constData(), 0666), 0); // root's file, writable by all
    const ino_t inode = Lstat(kName).st_ino;
    QCOMPARE(AsNobody([] { return WriteFailure("new\r\n").isEmpty(); }), 0);
    QCOMPARE(ReadBytes(DataFilePath()), QByteArray("new\r\n"));
    QCOMPARE(Lstat(kName).st_uid, uid_t(0)); // written in place: still root's
    QCOMPARE(Lstat(kName).st_ino, inode);
    QCOMPARE(FilesIn(dir.path()), QStringList{DataFileName()});
}

void TestDataWriter::namesTheFolderThatStopsIt()
{
    {
        // A folder on the way that is not there is told as missing, not as some other file.
        TempWorkDir missing;
        QString failure;
        try {
            WriteDataFile("new\r\n", u"missing/x.txt"_s);
        } catch (const RunTimeError &error) {
            failure = error.message();
        }
        QVERIFY2(failure.endsWith(sys::Error(sys::Errc::NotFound).text()), qPrintable(failure));
    }
    if (geteuid() != 0)
        QSKIP("needs root to give the file to another user");
    TempWorkDir dir;
    WriteBytes(DataFilePath(), "old");
    QCOMPARE(chown(kName.constData(), 65534, 65534), 0);
    QCOMPARE(chmod(".", 0755), 0); // the file is nobody's, the folder root's
    QCOMPARE(AsNobody([] {
                 const QString failure = WriteFailure("new\r\n");
                 return failure.contains(u"フォルダー"_s) && failure.contains(u"権限"_s);
             }),
             0);
    QCOMPARE(ReadBytes(DataFilePath()), QByteArray("old"));
}

void TestDataWriter::pastedTextInPieces_data()
{
    // Pasted text is encoded in pieces of 65 536 characters: what meets at a seam must
    // come out as if encoded whole.
    QTest::addColumn<QString>("text");
    const QString fill = QString(65535, u'a');
    QTest::newRow("LF at a seam") << fill + u"\nb"_s;
    QTest::newRow("CR LF across a seam") << fill + u"\r\nb"_s;
    QTest::newRow("surrogate pair across a seam") << fill + u"😀b"_s;
    QTest::newRow("UTF-8 needed far in") << QString(200000, u'あ') + u"é"_s;
    QTest::newRow("half-width katakana") << u"ﾃｽ\n"_s + QString(70000, u'x');
}

void TestDataWriter::pastedTextInPieces()
{
    QFETCH(QString, text);
    QString whole = text;
    whole.replace(QRegularExpression(u"(?<!\r)\n"_s), u"\r\n"_s);
    const QByteArray expected = EncodeDataText(whole + u"\r\n"_s, kMaxDataLines);
    QCOMPARE(PastedDataBytes(text, kMaxDataLines), expected);
    TempWorkDir dir;
    bool told = true; // the progress never goes past its end
    WritePastedText(text, DataFilePath(), [&told](qint64 done, qint64 total) {
        told = told && done <= total;
        return true;
    });
    QVERIFY(told);
    QCOMPARE(ReadBytes(DataFilePath()), expected);
}

// A class folder that gives new files its group: the deck keeps the user's group, and no
// member of the folder's reads it.
void TestDataWriter::keepsTheGroupInASetGroupIdFolder()
{
    if (geteuid() != 0)
        QSKIP("needs root to own a folder of another group and to act as another user");
    TempWorkDir dir;
    QVERIFY(chown(".", 0, 65534) == 0 && chmod(".", 02775) == 0);
    WriteBytes(DataFilePath(), "old");
    QVERIFY(chown(kName.constData(), 0, 0) == 0 && chmod(kName.constData(), 0640) == 0);
    WriteDataFile("new\r\n");
    QCOMPARE(Lstat(kName).st_gid, gid_t(0));
    QCOMPARE(Lstat(kName).st_mode & 07777, mode_t(0640));
    QCOMPARE(AsNobody([] { return ::open(kName.constData(), O_RDONLY) < 0; }), 0);
}

// POSIX ACLs as the kernel stores them: version 2, then tag, permissions and id per entry.
QByteArray Acl(std::initializer_list<std::array<quint32, 3>> entries)
{
    QByteArray bytes;
    const auto put = [&bytes](auto value) {
        bytes.append(reinterpret_cast<const char *>(&value), sizeof value);
    };
    put(quint32(2));
    for (const auto &[tag, permissions, id] : entries)
        put(quint16(tag)), put(quint16(permissions)), put(quint32(id));
    return bytes;
}

// The folder's default ACL lets "nobody" read every new file; the deck, with no ACL of its
// own, keeps "nobody" out, and so do its replacement and the backup of a write into it.
void TestDataWriter::takesNoAclFromTheFolder()
{
    if (geteuid() != 0)
        QSKIP("needs root to act as another user");
    TempWorkDir dir;
    QCOMPARE(chmod(".", 0755), 0);
    WriteBytes(DataFilePath(), "old");
    QCOMPARE(chmod(kName.constData(), 0640), 0);
    constexpr quint32 kAnyone = 0xFFFFFFFF;
    const QByteArray folderDefault = Acl(
        {{0x01, 7, kAnyone}, {0x02, 4, 65534}, {0x04, 5, kAnyone}, {0x10, 7, kAnyone}, {0x20, 0, kAnyone}});
    if (setxattr(".", "system.posix_acl_default", folderDefault.constData(), size_t(folderDefault.size()),
                 0) != 0)
        QSKIP("this file system keeps no ACLs");
    const auto nobodyReads = [](const QByteArray &path) {
        return AsNobody([&path] { return ::open(path.constData(), O_RDONLY) >= 0; }) == 0;
    };
    WriteDataFile("new\r\n");
    QCOMPARE(ReadBytes(DataFilePath()), QByteArray("new\r\n"));
    QVERIFY(!nobodyReads(kName));
    QCOMPARE(Lstat(kName).st_mode & 07777, mode_t(0640));

    QCOMPARE(link(kName.constData(), "second name"), 0); // now written into itself
    g_backupStays = true;
    QVERIFY(!WriteFailure("newer\r\n").isEmpty());
    g_backupStays = false;
    const QStringList backups = FilesIn(dir.path()).filter(u".pelmor-backup-"_s);
    QCOMPARE(backups.size(), 1);
    QVERIFY(!nobodyReads(QFile::encodeName(backups.first())));
}

void TestDataWriter::refusesAnotherAccountsLink_data()
{
    // Links made one after the other: "name>target>owner" (0: root, 1: nobody).
    QTest::addColumn<QStringList>("links");
    QTest::addColumn<QString>("refused"); // the link named in the refusal; empty: written through (by nobody: <nobody>)
    const QString data = DataFileName();
    QTest::newRow("the data file's name") << QStringList{data + u">private>1"_s} << data;
    QTest::newRow("further down a chain")
        << QStringList{u"class/week3.txt>../private>1"_s, data + u">class/week3.txt>0"_s} << u"class/week3.txt"_s;
    QTest::newRow("a folder on the way")
        << QStringList{u"shared>mine>1"_s, data + u">shared/private>0"_s} << u"shared"_s;
    QTest::newRow("root's and the user's links") << QStringList{u"class/week3.txt>../private>0"_s,
                                                                data + u">class/week3.txt>0"_s}
                                                 << QString();
    // The same for a user who is not root: nobody writes through its own link and root's.
    QTest::newRow("root's and the user's links, the user not root")
        << QStringList{u"class/week3.txt>../private>0"_s, data + u">class/week3.txt>1"_s} << u"<nobody>"_s;
}

// A classmate's link, wherever it stands in a chain, would have the user's paste overwrite a
// file of the user's own elsewhere.
void TestDataWriter::refusesAnotherAccountsLink()
{
    QFETCH(QStringList, links);
    QFETCH(QString, refused);
    if (geteuid() != 0)
        QSKIP("needs root to make a link of another user");
    TempWorkDir dir;
    QCOMPARE(chmod(".", 01777), 0);
    QVERIFY(QDir().mkdir(u"class"_s) && QDir().mkdir(u"mine"_s));
    WriteBytes(u"private"_s, "secret");
    WriteBytes(u"mine/private"_s, "secret");
    for (const QString &link : links) {
        const QStringList parts = link.split(u'>');
        const QByteArray name = QFile::encodeName(parts[0]);
        QVERIFY(symlink(QFile::encodeName(parts[1]).constData(), name.constData()) == 0);
        QCOMPARE(lchown(name.constData(), parts[2] == u"1"_s ? 65534 : 0, parts[2] == u"1"_s ? 65534 : 0), 0);
    }
    if (refused == u"<nobody>"_s) {
        QCOMPARE(chown("private", 65534, 65534), 0);
        QCOMPARE(AsNobody([] { return WriteFailure("new\r\n").isEmpty(); }), 0);
        QCOMPARE(ReadBytes(u"private"_s), QByteArray("new\r\n"));
        return;
    }
    const QString failure = WriteFailure("new\r\n");
    if (refused.isEmpty()) {
        QCOMPARE(failure, QString());
        QCOMPARE(ReadBytes(u"private"_s), QByteArray("new\r\n"));
        return;
    }
    QVERIFY2(failure.contains(u"%1は、ほかのユーザー（nobody）"_s.arg(Named(refused))), qPrintable(failure));
    QCOMPARE(ReadBytes(u"private"_s), QByteArray("secret"));
    QCOMPARE(ReadBytes(u"mine/private"_s), QByteArray("secret"));
    QCOMPARE(FilesIn(u"mine"_s), QStringList{u"private"_s});
}

void TestDataWriter::writesInPlaceWithoutMovesThatKeepNames()
{
    TempWorkDir dir;
    WriteBytes(DataFilePath(), "old");
    QCOMPARE(link(kName.constData(), "second name"), 0);
    g_noMoveNew = true;
    QCOMPARE(WriteFailure("new\r\n"), QString());
    QCOMPARE(ReadBytes(u"second name"_s), QByteArray("new\r\n"));
    QCOMPARE(FilesIn(dir.path()), (QStringList{u"second name"_s, DataFileName()}));
}

void TestDataWriter::refusesADroppedFileSwappedWhileLookedAt()
{
    TempWorkDir dir;
    WriteBytes(DataFilePath(), "deck");
    WriteBytes(u"dropped.txt"_s, "dropped");
    WriteBytes(u"impostor"_s, "planted");
    g_openSuffix = "dropped.txt";
    g_onOpen = [] { QVERIFY(::rename("impostor", "dropped.txt") == 0); };
    QString failure;
    try {
        SourceFile(QUrl::fromLocalFile(dir.filePath(u"dropped.txt"_s))).copyOver();
    } catch (const RunTimeError &error) {
        failure = error.message();
    }
    g_openSuffix.clear();
    QVERIFY2(failure.contains(u"置き換えられました"_s), qPrintable(failure));
    QCOMPARE(ReadBytes(DataFilePath()), QByteArray("deck"));
}

QTEST_GUILESS_MAIN(TestDataWriter)
#include "tst_datawriter.moc"
