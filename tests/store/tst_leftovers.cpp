#include "deck/guards.h"
#include "store/datafile.h"
#include "store/datawriter.h"
#include "store/leftovers.h"

#include "swaponopen.h"
#include "syncwatch.h"
#include "testutils.h"

#include <QRegularExpression>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

using namespace Qt::StringLiterals;

namespace {

const QString kBackup = u".表示するデータ.txt.pelmor-backup-Ab12Cd"_s;
const QString kTemp = u".表示するデータ.txt.pelmor-Ab12Cd"_s;
const QString kShown = u"表示するデータ（書き込む前）.txt"_s;
const QByteArray kNameBytes = QFile::encodeName(DataFileName());
const char *const kName = kNameBytes.constData();

QStringList FilesIn(const QString &dir)
{
    QStringList names = QDir(dir).entryList(
        QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDir::Unsorted);
    names.sort();
    return names;
}

QStringList Sorted(QStringList names)
{
    names.sort();
    return names;
}

QString Named(const QString &name)
{
    return u"「"_s + QDir::current().absoluteFilePath(name) + u"」"_s;
}

QString Stopped(const QString &shownIn)
{
    return u"前回、データファイル%"
           u"1への書き込みが途中で止まりました。データファイルは書きかけかもしれません。\n"
           u"書き込む前の内容は%2に残しました。元に戻すには、このファイルをウィンドウにドロップしてください。"_s
               .arg(Named(DataFileName()), Named(shownIn));
}

mode_t Mode(const QString &path)
{
    struct stat info = {};
    lstat(QFile::encodeName(path).constData(), &info);
    return info.st_mode;
}

// An access list naming nobody, as setfacl writes it: the owner rw, the group nothing, the
// others `others`, within a mask of rwx.
bool NameNobodyInAccessList(const char *path, quint16 nobody, quint16 others)
{
    struct Entry { quint16 tag, permission; quint32 id; };
    const quint32 version = 2, none = quint32(-1);
    const Entry entries[] = {{0x01, 6, none}, {0x02, nobody, 65534}, {0x04, 0, none}, {0x10, 7, none}, {0x20, others, none}};
    QByteArray value(reinterpret_cast<const char *>(&version), sizeof version);
    value.append(reinterpret_cast<const char *>(entries), sizeof entries);
    return setxattr(path, "system.posix_acl_access", value.constData(), size_t(value.size()), 0) == 0;
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
    void showsAStoppedWrite_data();
    void showsAStoppedWrite();
    void leavesWhatIsNotOurs_data();
    void leavesWhatIsNotOurs();
    void removesOnlyOurTemporaryFiles();
    void leavesAnotherWindowsFilesAlone();
    void aFolderThatCannotBeListed_data();
    void aFolderThatCannotBeListed();
    void canBeStopped();
    void aBackupSwappedWhileLookedAt();
};

void TestLeftovers::showsAStoppedWrite_data()
{
    QTest::addColumn<QString>("backup");
    QTest::addColumn<QByteArray>("dataFile"); // "<missing>": none
    QTest::addColumn<QString>("taken");       // what has the visible name already
    QTest::newRow("half written") << kBackup << QByteArray("half-writ") << QString();
    QTest::newRow("no data file") << kBackup << QByteArray("<missing>") << QString();
    QTest::newRow("an earlier version's name")
        << u".表示するデータ.txt.pelmor-backup"_s << QByteArray("half") << QString();
    QTest::newRow("the visible name taken") << kBackup << QByteArray("half-writ") << u"file"_s;
    QTest::newRow("the visible name a planted link") << kBackup << QByteArray("half-writ") << u"link"_s;
}

// The data file is never changed; the old bytes become a visible file of the user's alone,
// told once.
void TestLeftovers::showsAStoppedWrite()
{
    QFETCH(QString, backup);
    QFETCH(QByteArray, dataFile);
    QFETCH(QString, taken);
    TempWorkDir dir;
    if (dataFile != "<missing>")
        WriteBytes(DataFilePath(), dataFile);
    WriteBytes(backup, "old\r\n");
    QCOMPARE(chmod(QFile::encodeName(backup).constData(), 0600), 0);
    if (taken == u"file"_s)
        WriteBytes(kShown, "someone's");
    else if (!taken.isEmpty()) // leads where nothing is yet: never followed to make it
        QVERIFY(QFile::link(u"victim"_s, kShown));
    bool failed = false;
    // A visible name only ever holds a whole copy: none is there while the copy is made.
    const QStringList before = FilesIn(dir.path());
    QStringList during;
    // and its name is on disk before the backup goes: the folder is flushed while both are there
    bool namedOnDisk = false;
    g_onSync = [&](int fd) {
        struct stat st;
        namedOnDisk = namedOnDisk || (fstat(fd, &st) == 0 && S_ISDIR(st.st_mode) && QFile::exists(backup) &&
                                      FilesIn(dir.path()).filter(u"書き込む前"_s).size() >
                                          before.filter(u"書き込む前"_s).size());
    };
    const QString message = ClearStaleFiles(
        DataFilePath(),
        [&](qint64, qint64) {
            during = FilesIn(dir.path()).filter(u"書き込む前"_s);
            return true;
        },
        &failed);
    g_onSync = {};
    QVERIFY(failed);
    QVERIFY(namedOnDisk);
    QCOMPARE(during, before.filter(u"書き込む前"_s));
    QCOMPARE(ReadBytes(DataFilePath()), dataFile);
    QStringList shown = FilesIn(dir.path()).filter(u"書き込む前"_s);
    if (!taken.isEmpty()) {
        QCOMPARE(ReadBytes(kShown), taken == u"file"_s ? QByteArray("someone's") : QByteArray("<missing>"));
        QVERIFY(!QFile::exists(u"victim"_s));
        shown.removeAll(kShown);
    }
    QCOMPARE(shown.size(), 1);
    QCOMPARE(message, Stopped(shown.first()));
    QCOMPARE(ReadBytes(shown.first()), QByteArray("old\r\n"));
    QCOMPARE(Mode(shown.first()) & 07777, mode_t(0600));
    QVERIFY(!QFile::exists(backup));
    QCOMPARE(ClearStaleFiles(), QString());
}

void TestLeftovers::leavesWhatIsNotOurs_data()
{
    QTest::addColumn<QString>("thing");
    QTest::newRow("a link to a secret") << u"link"_s;
    QTest::newRow("a FIFO") << u"fifo"_s;
    QTest::newRow("a folder") << u"folder"_s;
    QTest::newRow("a second name of a file") << u"hard link"_s;
    QTest::newRow("another account's file") << u"nobody's"_s;
    QTest::newRow("from an account that may write the deck") << u"nobody's, 0666"_s;
    QTest::newRow("from an account without a name") << u"nobody's, 0666, nameless"_s;
    QTest::newRow("from a member of the deck's group") << u"nobody's, 0660 nogroup"_s;
    QTest::newRow("from a member of the deck's group, which may only read") << u"nobody's, 0640 nogroup, read-only"_s;
    QTest::newRow("from an account the access list lets write") << u"nobody's, acl rw"_s;
    QTest::newRow("from an account the access list lets read and run") << u"nobody's, 0666, acl read-only"_s;
    QTest::newRow("root's, the user not root") << u"root's, for nobody"_s;
}

// In a shared folder (sticky, writable by all) another account may put anything under the
// backup's name: nothing of it is touched; only another account's stopped write is told.
void TestLeftovers::leavesWhatIsNotOurs()
{
    QFETCH(QString, thing);
    if (thing.contains(u"nobody"_s) && !IsRoot())
        QSKIP("needs root to act as another user");
    TempWorkDir dir;
    QCOMPARE(chmod(".", 01777), 0);
    WriteBytes(DataFilePath(), "mine\r\n");
    const QRegularExpressionMatch mode = QRegularExpression(u"\\b0[0-7]{3}\\b"_s).match(thing);
    QCOMPARE(chmod(kName, mode.hasMatch() ? mode_t(mode.captured().toUInt(nullptr, 8)) : 0600), 0);
    if (thing.contains(u"nogroup"_s))
        QCOMPARE(chown(kName, 0, 65534), 0);
    if (thing.contains(u"acl"_s) && !NameNobodyInAccessList(kName, thing.contains(u"rw"_s) ? 6 : 5, Mode(DataFilePath()) & 07))
        QSKIP("no access lists on this file system");
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
    else if (thing.startsWith(u"root's"_s))
        WriteBytes(kBackup, "root's\r\n");
    else
        QCOMPARE(
            AsNobody([&backup] { return close(open(backup.constData(), O_WRONLY | O_CREAT, 0644)) == 0; }),
            0);
    if (thing.contains(u"nameless"_s))
        QCOMPARE(chown(backup.constData(), 54321, 54321), 0); // no account has that number
    const mode_t type = Mode(kBackup) & S_IFMT;
    const QStringList before = FilesIn(dir.path());

    // Root may write any deck: its backup is told to a user who is not root.
    const auto toldRoots = [] {
        const QString message = ClearStaleFiles();
        return message.contains(u"ほかのユーザー（root）"_s) && message.contains(u"rootにしか分かりません"_s);
    };
    if (thing.startsWith(u"root's"_s))
        QVERIFY(chown(kName, 65534, 65534) == 0 && AsNobody(toldRoots) == 0);
    const QString message = thing.startsWith(u"root's"_s) ? QString() : ClearStaleFiles();
    // Told only where that account could have written the deck: otherwise it is just a file.
    const QString who = thing.contains(u"nameless"_s) ? u"UID 54321"_s : u"nobody"_s;
    if (thing.startsWith(u"nobody's, "_s) && !thing.contains(u"read-only"_s))
        QVERIFY2(message.contains(u"ほかのユーザー（%1）"_s.arg(who)) && message.contains(Named(kBackup)) &&
                     message.contains(who + u"にしか分かりません"_s),
                 qPrintable(message));
    else
        QCOMPARE(message, QString());
    QCOMPARE(ReadBytes(DataFilePath()), QByteArray("mine\r\n"));
    QCOMPARE(FilesIn(dir.path()), before);
    QCOMPARE(Mode(kBackup) & S_IFMT, type);
    QCOMPARE(ReadBytes(u"secret"_s), QByteArray("planted\r\n"));
}

// Only whole names of ours count: a name that merely holds one is the user's file.
void TestLeftovers::removesOnlyOurTemporaryFiles()
{
    TempWorkDir dir;
    QCOMPARE(chmod(".", 01777), 0);
    WriteBytes(DataFilePath(), "mine\r\n");
    WriteBytes(kTemp, "ours");
    WriteBytes(u"secret"_s, "x");
    QVERIFY(QFile::link(u"secret"_s, u".表示するデータ.txt.pelmor-Link01"_s));
    QStringList kept{u".表示するデータ.txt.pelmor-Link01"_s, u".表示するデータ.txt.pelmor-abcdefg"_s,
                     u"secret"_s, u"x.表示するデータ.txt.pelmor-abcdef"_s, DataFileName()};
    for (const QString &name : {kept[1], kept[3]})
        WriteBytes(name, "the user's");
    if (IsRoot()) { // root's clean-up never deletes another account's files
        const QByteArray theirs = QFile::encodeName(u".表示するデータ.txt.pelmor-Zz99zz"_s);
        QCOMPARE(
            AsNobody([&theirs] { return close(open(theirs.constData(), O_WRONLY | O_CREAT, 0644)) == 0; }),
            0);
        kept.insert(2, QFile::decodeName(theirs));
    }
    QCOMPARE(ClearStaleFiles(), QString());
    QCOMPARE(FilesIn(dir.path()), Sorted(kept));
}

// Another window is writing: its files are not a killed run's.
void TestLeftovers::leavesAnotherWindowsFilesAlone()
{
    TempWorkDir dir;
    WriteBytes(DataFilePath(), "old");
    WriteBytes(kTemp, "being written");
    WriteBytes(kBackup, "being secured");
    const int other = ::open(".", O_RDONLY | O_DIRECTORY);
    QCOMPARE(flock(other, LOCK_EX), 0);
    QCOMPARE(ClearStaleFiles(), QString());
    QString failure;
    try {
        WriteDataFile("new\r\n");
    } catch (const RunTimeError &error) {
        failure = error.message();
    }
    close(other);
    QCOMPARE(
        failure,
        u"「表示するデータ.txt」に書き込めませんでした。\n別のウィンドウがこのフォルダーのデータファイルを"
        u"書き込んでいます。終わってからもう一度お試しください。"_s);
    QCOMPARE(FilesIn(dir.path()), Sorted({kBackup, kTemp, DataFileName()}));
    QCOMPARE(ReadBytes(DataFilePath()), QByteArray("old"));
}

void TestLeftovers::aFolderThatCannotBeListed_data()
{
    QTest::addColumn<bool>("secondName"); // a data file that is written into itself
    QTest::newRow("data file of one name") << false;
    QTest::newRow("data file with a second name") << true;
}

// Write and search but no read (0300): nothing can be looked for, which is said only where a
// stopped write could have left something; a write that was done is never called failed.
void TestLeftovers::aFolderThatCannotBeListed()
{
    QFETCH(bool, secondName);
    TempWorkDir dir;
    WriteBytes(DataFilePath(), "old");
    if (secondName)
        QCOMPARE(link(kName, "second name"), 0);
    const auto check = [&] {
        const QString message = ClearStaleFiles();
        QString failure;
        try {
            WriteDataFile("new\r\n");
        } catch (const RunTimeError &error) {
            failure = error.message();
        }
        const bool told = message.contains(u"確かめられませんでした"_s);
        if (told != secondName || !failure.isEmpty())
            qWarning("start: %s\nwrite: %s", qPrintable(message), qPrintable(failure));
        return told == secondName && failure.isEmpty();
    };
    if (IsRoot()) {
        for (const char *name : {".", kName})
            QCOMPARE(chown(name, 65534, 65534), 0);
        QCOMPARE(chmod(".", 0300), 0);
        QCOMPARE(AsNobody(check), 0);
    } else {
        QCOMPARE(chmod(".", 0300), 0);
        QVERIFY(check());
    }
    QCOMPARE(chmod(".", 0755), 0);
    QCOMPARE(ReadBytes(DataFilePath()), QByteArray("new\r\n"));
}

void TestLeftovers::canBeStopped()
{
    TempWorkDir dir;
    const QByteArray old(3 * kChunkSize + 5, 'o');
    WriteBytes(DataFilePath(), "half");
    WriteBytes(kBackup, old);
    QList<qint64> done;
    const QString message = ClearStaleFiles(DataFilePath(), [&](qint64 d, qint64) {
        done.append(d);
        return d < 2 * kChunkSize;
    });
    QVERIFY2(message.contains(Named(kBackup)), qPrintable(message));
    QCOMPARE(done, (QList<qint64>{kChunkSize, 2 * kChunkSize}));
    QCOMPARE(FilesIn(dir.path()), Sorted({kBackup, DataFileName()}));
    QCOMPARE(ReadBytes(kBackup), old);
}

// The backup is trusted on the descriptor: a file put under its name after it was looked at
// is never shown as the user's old bytes.
void TestLeftovers::aBackupSwappedWhileLookedAt()
{
    TempWorkDir dir;
    WriteBytes(DataFilePath(), "half");
    WriteBytes(kBackup, "old\r\n");
    WriteBytes(u"impostor"_s, "planted\r\n");
    g_openSuffix = QFile::encodeName(kBackup);
    g_onOpen = [] { QVERIFY(QFile::rename(kBackup, u"moved"_s) && QFile::rename(u"impostor"_s, kBackup)); };
    const QString message = ClearStaleFiles();
    g_openSuffix.clear();
    QCOMPARE(message, QString());
    QCOMPARE(FilesIn(dir.path()), Sorted({kBackup, u"moved"_s, DataFileName()}));
    QCOMPARE(ReadBytes(kBackup), QByteArray("planted\r\n"));
}

QTEST_MAIN(TestLeftovers)
#include "tst_leftovers.moc"
