#include "store/datafile.h"
#include "store/datawriter.h"
#include "deck/guards.h"
#include "store/leftovers.h"

#include "testutils.h"

#include <cerrno>
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace Qt::StringLiterals;

// A file system without RENAME_NOREPLACE (NFS, older FUSE) answers EINVAL.
namespace {
bool g_noReplaceMissing = false;
}

extern "C" int renameat2(int fromDir, const char *from, int toDir, const char *to, unsigned int flags)
{
    static const auto real = reinterpret_cast<int (*)(int, const char *, int, const char *, unsigned int)>(
        dlsym(RTLD_NEXT, "renameat2"));
    if (g_noReplaceMissing && (flags & RENAME_NOREPLACE)) {
        errno = EINVAL;
        return -1;
    }
    return real(fromDir, from, toDir, to, flags);
}

namespace {

const QString kBackup = u".表示するデータ.txt.pelmor-backup"_s;
const QString kTemp = u".表示するデータ.txt.pelmor-Ab12Cd"_s;
const QString kKept = u"表示するデータ（元に戻す前）.txt"_s;
const QByteArray kNameBytes = QFile::encodeName(DataFileName());
const QByteArray kBackupBytes = QFile::encodeName(kBackup);
const char *const kName = kNameBytes.constData();
const char *const kBackupName = kBackupBytes.constData();

QStringList FilesIn(const QString &dir)
{
    return QDir(dir).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
}

// Messages name files by absolute path; tables write the working folder as "@".
QString Named(const QString &name)
{
    return u"「@/"_s + name + u"」"_s;
}

QString Here(QString message)
{
    return message.replace(u"「@/"_s, u"「"_s + QDir::currentPath() + u"/"_s);
}

QString Restored()
{
    return u"前回の書き込みが途中で止まっていたため、データファイル%1を書き込む前の内容に戻しました。"_s.arg(
        Named(DataFileName()));
}

QString KeptNote()
{
    return u"\n元に戻す前の内容は%1に残しました（その後に編集していた場合は、こちらをお使いください）。"_s
        .arg(Named(kKept));
}

// After a cancel the next start tries again; after a failure only once its cause is gone.
QString LeftNote()
{
    return u"\n書き込む前の内容は%1に残っています。次に起動したときに、もう一度元に戻します。"_s.arg(
        Named(kBackup));
}

QString LeftAfterFailure()
{
    return u"\n書き込む前の内容は%1に残っています。原因を取り除いてから起動し直すと、もう一度元に戻します。"
           u"それまでは、データファイルを書き換えられません。"_s.arg(Named(kBackup));
}

QString Ignored(const QString &why)
{
    return u"データファイルの隣にある%1は、このプログラムが残したものではないため使いませんでした（%2）。"
           u"データファイルはそのままです。"_s.arg(Named(kBackup), why);
}

mode_t Mode(const QString &path)
{
    struct stat info = {};
    lstat(QFile::encodeName(path).constData(), &info);
    return info.st_mode;
}

bool IsRoot()
{
    return geteuid() == 0;
}

} // namespace

class TestLeftovers : public QObject
{
    Q_OBJECT

private slots:
    void putsBackAKilledWrite_data();
    void putsBackAKilledWrite();
    void leavesWhatIsNotOurs_data();
    void leavesWhatIsNotOurs();
    void removesOnlyOurTemporaryFiles();
    void leavesAnotherWindowsFilesAlone_data();
    void leavesAnotherWindowsFilesAlone();
    void honoursWriteProtection();
    void aFolderThatCannotChange_data();
    void aFolderThatCannotChange();
    void showsProgressAndCanBeStopped();
    void neverFillsAnotherAccountsFile();
    void copiesAreNoMoreReadable_data();
    void copiesAreNoMoreReadable();
    void aStoppedRestoreTrustsNoName();
    void aRepairThatMustWaitIsTold();
    void anUnrepairedBackupHoldsWritesBack();
    void movesWithoutReplaceWhereTheSystemCannot();
};

void TestLeftovers::putsBackAKilledWrite_data()
{
    QTest::addColumn<QByteArray>("dataFile"); // "<missing>": none
    QTest::addColumn<QString>("message");
    QTest::addColumn<QStringList>("files");

    QTest::newRow("half written") << QByteArray("half-writ") << Restored() + KeptNote()
                                  << QStringList{u".表示するデータ.txt.keep"_s, DataFileName(), kKept};
    QTest::newRow("edited by hand after the kill")
        << QByteArray("old\r\nmy edit\r\n") << Restored() + KeptNote()
        << QStringList{u".表示するデータ.txt.keep"_s, DataFileName(), kKept};
    QTest::newRow("killed before a byte changed")
        << QByteArray("old\r\n") << QString() << QStringList{u".表示するデータ.txt.keep"_s, DataFileName()};
    QTest::newRow("no data file") << QByteArray("<missing>") << Restored()
                                  << QStringList{u".表示するデータ.txt.keep"_s, DataFileName()};
}

// The old bytes go back; what they replace stays beside them, named in the message.
void TestLeftovers::putsBackAKilledWrite()
{
    QFETCH(QByteArray, dataFile);
    QFETCH(QString, message);
    QFETCH(QStringList, files);
    TempWorkDir dir;
    if (dataFile != "<missing>")
        WriteBytes(DataFilePath(), dataFile);
    WriteBytes(kBackup, "old\r\n");
    WriteBytes(kTemp, "half a copy");
    WriteBytes(u".表示するデータ.txt.keep"_s, "the user's");
    const mode_t mask = umask(022);
    QCOMPARE(ClearStaleFiles(), Here(message));
    umask(mask);
    QCOMPARE(ReadBytes(DataFilePath()), QByteArray("old\r\n"));
    QCOMPARE(FilesIn(dir.path()), files);
    if (files.contains(kKept))
        QCOMPARE(ReadBytes(kKept), dataFile);
    if (dataFile == "<missing>")
        QCOMPARE(Mode(DataFilePath()) & 07777, mode_t(0644));
    QCOMPARE(ClearStaleFiles(), QString());

    // A write clears a killed run's temporary file as well.
    WriteBytes(kTemp, "half a copy");
    WriteDataFile("new\r\n");
    QCOMPARE(FilesIn(dir.path()), files);
}

void TestLeftovers::leavesWhatIsNotOurs_data()
{
    QTest::addColumn<QString>("thing");
    QTest::addColumn<bool>("dataFile");
    QTest::addColumn<QString>("why");

    for (const bool dataFile : {true, false}) {
        const char *data = dataFile ? "" : ", no data file";
        QTest::addRow("a link to a secret%s", data) << u"link"_s << dataFile << u"シンボリックリンクです"_s;
        QTest::addRow("a FIFO%s", data)
            << u"fifo"_s << dataFile
            << u"通常のファイルではありません（フォルダー、名前付きパイプ、デバイスなど）"_s;
        QTest::addRow("a folder%s", data)
            << u"folder"_s << dataFile
            << u"通常のファイルではありません（フォルダー、名前付きパイプ、デバイスなど）"_s;
        QTest::addRow("a second name of a file%s", data)
            << u"hard link"_s << dataFile << u"ほかの名前（ハードリンク）も付いています"_s;
        QTest::addRow("another account's file%s", data)
            << u"nobody's"_s << dataFile << u"ほかのユーザーのファイルです"_s;
    }
}

// In a shared folder (sticky, writable by all) another account may put anything under the
// backup's name: it is never taken for the user's old bytes.
void TestLeftovers::leavesWhatIsNotOurs()
{
    QFETCH(QString, thing);
    QFETCH(bool, dataFile);
    QFETCH(QString, why);
    if (thing == u"nobody's"_s && !IsRoot())
        QSKIP("needs root to act as another user");
    TempWorkDir dir;
    QCOMPARE(chmod(".", 01777), 0);
    if (dataFile)
        WriteBytes(DataFilePath(), "mine\r\n");
    WriteBytes(u"secret"_s, "planted\r\n");
    const QByteArray backup = QFile::encodeName(kBackup);
    if (thing == u"link"_s)
        QVERIFY(QFile::link(u"secret"_s, kBackup));
    else if (thing == u"fifo"_s)
        QCOMPARE(mkfifo(backup.constData(), 0666), 0);
    else if (thing == u"folder"_s)
        QVERIFY(QDir().mkdir(kBackup));
    else if (thing == u"hard link"_s)
        QCOMPARE(link("secret", backup.constData()), 0);
    else
        QCOMPARE(AsNobody([&backup] {
                     const int fd = open(backup.constData(), O_WRONLY | O_CREAT | O_EXCL, 0644);
                     return fd >= 0 && write(fd, "planted\r\n", 9) == 9 && close(fd) == 0;
                 }),
                 0);
    const mode_t type = Mode(kBackup) & S_IFMT;
    const QStringList before = FilesIn(dir.path());

    QCOMPARE(ClearStaleFiles(), Here(Ignored(why)));
    QCOMPARE(ReadBytes(DataFilePath()), dataFile ? QByteArray("mine\r\n") : QByteArray("<missing>"));
    QCOMPARE(FilesIn(dir.path()), before);
    QCOMPARE(Mode(kBackup) & S_IFMT, type);
    QCOMPARE(ReadBytes(u"secret"_s), QByteArray("planted\r\n"));
    if (dataFile) { // a save goes on as usual and leaves it too
        WriteDataFile("new\r\n");
        QCOMPARE(ReadBytes(DataFilePath()), QByteArray("new\r\n"));
        QCOMPARE(Mode(kBackup) & S_IFMT, type);
    }
}

void TestLeftovers::removesOnlyOurTemporaryFiles()
{
    TempWorkDir dir;
    QCOMPARE(chmod(".", 01777), 0);
    WriteBytes(DataFilePath(), "mine\r\n");
    WriteBytes(kTemp, "ours");
    WriteBytes(u"secret"_s, "x");
    QVERIFY(QFile::link(u"secret"_s, u".表示するデータ.txt.pelmor-Link01"_s));
    QStringList kept{u".表示するデータ.txt.pelmor-Link01"_s, u"secret"_s, DataFileName()};
    if (IsRoot()) { // root's clean-up never deletes another account's files
        const QByteArray theirs = QFile::encodeName(u".表示するデータ.txt.pelmor-Zz99zz"_s);
        QCOMPARE(
            AsNobody([&theirs] { return close(open(theirs.constData(), O_WRONLY | O_CREAT, 0644)) == 0; }),
            0);
        kept.insert(1, QFile::decodeName(theirs));
    }
    QCOMPARE(ClearStaleFiles(), QString());
    QCOMPARE(FilesIn(dir.path()), kept);
}

void TestLeftovers::leavesAnotherWindowsFilesAlone_data()
{
    QTest::addColumn<int>("lock");
    QTest::newRow("another window writing") << LOCK_EX;
    QTest::newRow("another window holding the folder") << LOCK_SH;
}

void TestLeftovers::leavesAnotherWindowsFilesAlone()
{
    QFETCH(int, lock);
    TempWorkDir dir;
    WriteBytes(DataFilePath(), "old");
    WriteBytes(kTemp, "being written");
    const int other = open(".", O_RDONLY | O_DIRECTORY);
    QCOMPARE(flock(other, lock), 0);
    QCOMPARE(ClearStaleFiles(), QString());
    QString failure;
    try {
        WriteDataFile("new\r\n");
    } catch (const RunTimeError &error) {
        failure = error.message();
    }
    close(other);
    QCOMPARE(failure,
             u"「表示するデータ."
             u"txt」に書き込めませんでした。\n別のウィンドウがこのフォルダーのデータファイルを書き込んで"
             u"います。終わってからもう一度お試しください。"_s);
    QCOMPARE(FilesIn(dir.path()), (QStringList{kTemp, DataFileName()}));
    QCOMPARE(ReadBytes(DataFilePath()), QByteArray("old"));
}

void TestLeftovers::honoursWriteProtection()
{
    TempWorkDir dir;
    WriteBytes(DataFilePath(), "half-writ");
    WriteBytes(kBackup, "old\r\n");
    QCOMPARE(chmod(QFile::encodeName(DataFilePath()).constData(), 0444), 0);
    QCOMPARE(
        ClearStaleFiles(),
        Here(
            Named(DataFileName()) +
            u"を元に戻せませんでした。\nデータファイルは書き込みが禁止されているため、置き換えませんでした。内容はそのままです。"_s +
            LeftAfterFailure()));
    QCOMPARE(ReadBytes(DataFilePath()), QByteArray("half-writ"));
    QCOMPARE(FilesIn(dir.path()), (QStringList{kBackup, DataFileName()}));
}

void TestLeftovers::aFolderThatCannotChange_data()
{
    QTest::addColumn<QByteArray>("dataFile");
    QTest::addColumn<QString>("message");
    // No room for the copy of what would be replaced: nothing is replaced.
    QTest::newRow("changed since") << QByteArray("half-writ")
                                   << Named(DataFileName()) +
                                          u"を元に戻せませんでした。\nアクセスが許可されていません。"_s +
                                          LeftAfterFailure();
    // Nothing to put back, but the backup cannot go: said so, never passed over.
    QTest::newRow("unchanged")
        << QByteArray("old\r\n")
        << u"書き込む前の内容を保存した%1を削除できませんでした。アクセスが許可されていません。"_s.arg(
               Named(kBackup));
}

// The folder is not writable (to the user; root is run as another account for it).
void TestLeftovers::aFolderThatCannotChange()
{
    QFETCH(QByteArray, dataFile);
    QFETCH(QString, message);
    TempWorkDir dir;
    message = Here(message);
    WriteBytes(DataFilePath(), dataFile);
    WriteBytes(kBackup, "old\r\n");
    const auto repair = [&] {
        const QString got = ClearStaleFiles();
        if (got != message)
            qWarning("got: %s", qPrintable(got));
        return got == message;
    };
    if (IsRoot()) {
        for (const char *name : {".", kName, kBackupName})
            QCOMPARE(chown(name, 65534, 65534), 0);
        QCOMPARE(chmod(".", 0555), 0);
        QCOMPARE(AsNobody(repair), 0);
    } else {
        QCOMPARE(chmod(".", 0555), 0);
        QVERIFY(repair());
    }
    QCOMPARE(chmod(".", 0755), 0);
    QCOMPARE(ReadBytes(DataFilePath()), dataFile);
    QCOMPARE(FilesIn(dir.path()), (QStringList{kBackup, DataFileName()}));
}

void TestLeftovers::showsProgressAndCanBeStopped()
{
    TempWorkDir dir;
    const QByteArray old(3 * kChunkSize + 5, 'o');
    const QByteArray changed =
        QByteArray(old).replace(old.size() - 1, 1, "x"); // late, so the compare goes far
    WriteBytes(DataFilePath(), changed);
    WriteBytes(kBackup, old);
    QCOMPARE(ClearStaleFiles(DataFilePath(), [](qint64, qint64) { return false; }),
             Here(u"元に戻すのを中止しました。"_s + LeftNote()));
    QCOMPARE(ReadBytes(DataFilePath()), changed);
    QCOMPARE(FilesIn(dir.path()), (QStringList{kBackup, DataFileName()}));

    // Stopped while the old bytes go back: the data file keeps its own, no copy stays.
    QCOMPARE(
        ClearStaleFiles(DataFilePath(), [&](qint64 d, qint64) { return d <= 2 * old.size() + kChunkSize; }),
        Here(u"元に戻すのを中止しました。"_s + LeftNote()));
    QCOMPARE(ReadBytes(DataFilePath()), changed);
    QCOMPARE(FilesIn(dir.path()), (QStringList{kBackup, DataFileName()}));

    QList<qint64> done;
    qint64 total = 0;
    QCOMPARE(ClearStaleFiles(DataFilePath(),
                             [&](qint64 d, qint64 t) {
                                 done.append(d), total = t;
                                 return true;
                             }),
             Here(Restored() + KeptNote()));
    QCOMPARE(ReadBytes(DataFilePath()), old);
    QCOMPARE(done.first(), qint64(kChunkSize)); // from the first chunk compared on
    QCOMPARE(ReadBytes(kKept), changed);
    QVERIFY(done.size() >= 4);
    QVERIFY(std::is_sorted(done.cbegin(), done.cend()));
    QCOMPARE(done.last(), total);
}

// Sticky shared folder: another account's file under the data file's name never gets the
// user's old bytes; both stay as they are, and the user is told.
void TestLeftovers::neverFillsAnotherAccountsFile()
{
    if (!IsRoot())
        QSKIP("needs root to act as another user");
    TempWorkDir dir;
    QCOMPARE(chmod(".", 01777), 0);
    WriteBytes(kBackup, "private\r\n");
    QCOMPARE(chmod(kBackupName, 0600), 0);
    QCOMPARE(AsNobody([] {
                 const int fd = open(kName, O_WRONLY | O_CREAT | O_EXCL, 0666);
                 return fd >= 0 && fchmod(fd, 0666) == 0 && write(fd, "theirs\r\n", 8) == 8 && close(fd) == 0;
             }),
             0);
    bool failed = false;
    QCOMPARE(ClearStaleFiles(DataFilePath(), {}, &failed),
             Here(Named(DataFileName()) +
                  u"を元に戻せませんでした。\nデータファイルはほかのユーザーのファイルのため、書き込む前の内容を"
                  u"入れずにそのままにしました。"_s +
                  LeftAfterFailure()));
    QVERIFY(failed);
    QCOMPARE(ReadBytes(DataFilePath()), QByteArray("theirs\r\n"));
    QCOMPARE(ReadBytes(kBackup), QByteArray("private\r\n"));
    QCOMPARE(FilesIn(dir.path()), (QStringList{kBackup, DataFileName()}));
}

void TestLeftovers::copiesAreNoMoreReadable_data()
{
    QTest::addColumn<bool>("dataFile"); // false: made again from the backup
    QTest::addColumn<int>("mode");      // of the file whose bytes the copy holds
    QTest::newRow("kept copy of a private deck") << true << 0600;
    QTest::newRow("kept copy of a group's deck") << true << 0640;
    QTest::newRow("data file made again from a private backup") << false << 0600;
}

void TestLeftovers::copiesAreNoMoreReadable()
{
    QFETCH(bool, dataFile);
    QFETCH(int, mode);
    TempWorkDir dir;
    WriteBytes(kBackup, "old\r\n");
    QCOMPARE(chmod(kBackupName, dataFile ? 0600 : mode_t(mode)), 0);
    if (dataFile) {
        WriteBytes(DataFilePath(), "half-writ");
        QCOMPARE(chmod(kName, mode_t(mode)), 0);
    }
    const mode_t mask = umask(0);
    ClearStaleFiles();
    umask(mask);
    QCOMPARE(ReadBytes(DataFilePath()), QByteArray("old\r\n"));
    QCOMPARE(Mode(dataFile ? kKept : DataFileName()) & 07777, mode_t(mode));
}

// Stopped while the old bytes go back, the data file gets its own bytes from the copy it
// made, never from whatever another account put under the copy's name meanwhile.
void TestLeftovers::aStoppedRestoreTrustsNoName()
{
    TempWorkDir dir;
    const QByteArray old(3 * kChunkSize, 'o');
    const QByteArray changed(3 * kChunkSize, 'c');
    WriteBytes(DataFilePath(), changed);
    WriteBytes(kBackup, old);
    ClearStaleFiles(DataFilePath(), [&](qint64 done, qint64) {
        if (done <= 2 * old.size() + 1)
            return true;
        QFile::rename(kKept, u"moved"_s);
        WriteBytes(kKept, "impostor");
        return false;
    });
    QCOMPARE(ReadBytes(DataFilePath()), changed);
    QCOMPARE(ReadBytes(kKept), QByteArray("impostor"));
    QCOMPARE(ReadBytes(kBackup), old);
}

// Another window holds the folder while a killed write waits: the user is told that the data
// just read may be half written, as a failure.
void TestLeftovers::aRepairThatMustWaitIsTold()
{
    TempWorkDir dir;
    WriteBytes(DataFilePath(), "half-writ");
    WriteBytes(kBackup, "old\r\n");
    const int other = open(".", O_RDONLY | O_DIRECTORY);
    QCOMPARE(flock(other, LOCK_EX), 0);
    bool failed = false;
    const QString message = ClearStaleFiles(DataFilePath(), {}, &failed);
    close(other);
    QCOMPARE(message,
             u"前回の書き込みが途中で止まっていますが、別のウィンドウがフォルダー「%1」を使っているため、まだ元に"
             u"戻していません。読み込んだデータは書きかけのものかもしれません。そのウィンドウを閉じてから起動し直す"
             u"と、書き込む前の内容（%2）に戻します。"_s.arg(QDir::currentPath(), Here(Named(kBackup))));
    QVERIFY(failed);
    QCOMPARE(ReadBytes(DataFilePath()), QByteArray("half-writ"));
}

// While the old bytes of a killed write cannot be put back, no write may go past them: a later
// start would take the backup for that write's and undo it.
void TestLeftovers::anUnrepairedBackupHoldsWritesBack()
{
    TempWorkDir dir;
    WriteBytes(DataFilePath(), "half-writ");
    WriteBytes(kBackup, "old\r\n");
    WriteBytes(kKept, "taken");
    for (int number = 2; number <= 100; ++number)
        WriteBytes(u"表示するデータ（元に戻す前%1）.txt"_s.arg(number), "taken");
    QString failure;
    try {
        WriteDataFile("new\r\n");
    } catch (const RunTimeError &error) {
        failure = error.message();
    }
    QVERIFY2(failure.contains(u"すべて使われています"_s), qPrintable(failure));
    QVERIFY(failure.contains(LeftAfterFailure().mid(1).left(10)));
    QCOMPARE(ReadBytes(DataFilePath()), QByteArray("half-writ"));
    QCOMPARE(ReadBytes(kBackup), QByteArray("old\r\n"));

    QFile::remove(kKept); // room again: the next start puts the old bytes back
    QCOMPARE(ClearStaleFiles(), Here(Restored() + KeptNote()));
    QCOMPARE(ReadBytes(DataFilePath()), QByteArray("old\r\n"));
}

void TestLeftovers::movesWithoutReplaceWhereTheSystemCannot()
{
    TempWorkDir dir;
    WriteBytes(kBackup, "old\r\n");
    g_noReplaceMissing = true;
    const QString message = ClearStaleFiles();
    g_noReplaceMissing = false;
    QCOMPARE(message, Here(Restored()));
    QCOMPARE(ReadBytes(DataFilePath()), QByteArray("old\r\n"));
    QCOMPARE(FilesIn(dir.path()), QStringList{DataFileName()});
}

QTEST_MAIN(TestLeftovers)
#include "tst_leftovers.moc"
