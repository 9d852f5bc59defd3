#include "store/datafile.h"
#include "store/datawriter.h"
#include "store/filesystem.h"
#include "store/leftovers.h"
#include "store/windows/reparsetext.h"
#include "text/runtimeerror.h"

#include "testutils.h"

#include <QElapsedTimer>
#include <QRegularExpression>
#include <QThread>

#include <windows.h>

#include <aclapi.h>
#include <sddl.h>

using namespace Qt::StringLiterals;

// The store's promises that are Windows' own: the read-only attribute is write protection, a
// link (reparse point) is never a leftover of ours, another owner's backup is only told of, a
// file another program holds is waited for, then refused with the old file whole.
namespace {

const QString kBackup = u".表示するデータ.txt.pelmor-backup-Ab12Cd"_s;

QStringList FilesIn(const QString &dir)
{
    return QDir(dir).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
}

std::wstring Wide(const QString &path)
{
    return QDir::toNativeSeparators(path).toStdWString();
}

QString WriteFailure(const QByteArray &bytes)
{
    try {
        WriteDataFile(bytes);
        return {};
    } catch (const RunTimeError &error) {
        return error.message();
    }
}

// Gives the file another owner; false unless the file really has it then.
bool SetOwner(const QString &path, const wchar_t *sid)
{
    PSID owner = nullptr;
    if (!::ConvertStringSidToSidW(sid, &owner))
        return false;
    std::wstring name = Wide(path);
    DWORD rc = ::SetNamedSecurityInfoW(name.data(), SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, owner,
                                       nullptr, nullptr, nullptr);
    PSID now = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (rc == ERROR_SUCCESS)
        rc = ::GetNamedSecurityInfoW(name.data(), SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &now, nullptr,
                                     nullptr, nullptr, &descriptor);
    const bool changed = rc == ERROR_SUCCESS && ::EqualSid(now, owner);
    ::LocalFree(descriptor);
    ::LocalFree(owner);
    return changed;
}

} // namespace

class TestStoreWindows : public QObject
{
    Q_OBJECT

private slots:
    void theReadOnlyAttributeProtects();
    void aLinkIsNoLeftover();
    void anotherOwnersBackupIsNoLeftover();
    void waitsForAFileHeldElsewhere();
    void japaneseAndLongPaths();
    void readsWhereALinkLeads_data();
    void readsWhereALinkLeads();
};

void TestStoreWindows::theReadOnlyAttributeProtects()
{
    TempWorkDir dir;
    WriteBytes(DataFilePath(), "half-writ");
    QVERIFY(::SetFileAttributesW(Wide(DataFilePath()).c_str(), FILE_ATTRIBUTE_READONLY));
    QVERIFY(WriteFailure("new\r\n").contains(u"書き込みが禁止"_s));
    QVERIFY(::SetFileAttributesW(Wide(DataFilePath()).c_str(), FILE_ATTRIBUTE_NORMAL));
    QCOMPARE(ReadBytes(DataFilePath()), QByteArray("half-writ"));
}

void TestStoreWindows::aLinkIsNoLeftover()
{
    TempWorkDir dir;
    WriteBytes(DataFilePath(), "mine\r\n");
    WriteBytes(u"secret"_s, "planted\r\n");
    if (!MakeSymlink(u"secret"_s, kBackup))
        QSKIP("this system makes no symbolic links for this user");
    QCOMPARE(ClearStaleFiles(), QString());
    QCOMPARE(ReadBytes(DataFilePath()), QByteArray("mine\r\n"));
    QCOMPARE(ReadBytes(u"secret"_s), QByteArray("planted\r\n"));
    WriteDataFile("new\r\n");
    QCOMPARE(ReadBytes(DataFilePath()), QByteArray("new\r\n"));
    QCOMPARE(ReadBytes(u"secret"_s), QByteArray("planted\r\n"));
}

void TestStoreWindows::anotherOwnersBackupIsNoLeftover()
{
    TempWorkDir dir;
    WriteBytes(DataFilePath(), "mine\r\n");
    WriteBytes(kBackup, "planted\r\n");
    if (!SetOwner(kBackup, L"S-1-5-18")) // the system account
        QSKIP("this user cannot give a file another owner here");
    QVERIFY(ClearStaleFiles().contains(u"ほかのユーザー"_s));
    QCOMPARE(ReadBytes(DataFilePath()), QByteArray("mine\r\n"));
    QCOMPARE(FilesIn(dir.path()), (QStringList{kBackup, DataFileName()}));
}

// Held without FILE_SHARE_DELETE (as a scanner or an editor may hold it), the data file
// cannot be replaced: a short hold is waited out, a long one refused with the file whole.
void TestStoreWindows::waitsForAFileHeldElsewhere()
{
    TempWorkDir dir;
    WriteBytes(DataFilePath(), "old\r\n");
    const auto hold = [] {
        return ::CreateFileW(Wide(DataFilePath()).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                             nullptr, OPEN_EXISTING, 0, nullptr);
    };

    HANDLE held = hold();
    QVERIFY(held != INVALID_HANDLE_VALUE);
    QThread *release = QThread::create([held] {
        ::Sleep(500);
        ::CloseHandle(held);
    });
    release->start();
    QCOMPARE(WriteFailure("new\r\n"), QString());
    release->wait();
    delete release;
    QCOMPARE(ReadBytes(DataFilePath()), QByteArray("new\r\n"));

    held = hold();
    QVERIFY(held != INVALID_HANDLE_VALUE);
    QElapsedTimer waited;
    waited.start();
    const QString failure = WriteFailure("newer\r\n");
    const qint64 ms = waited.elapsed();
    ::CloseHandle(held);
    qInfo("refused after %lld ms: %s", ms, qPrintable(failure));
    QVERIFY2(failure.contains(sys::Error(sys::Errc::InUse).text()), qPrintable(failure));
    QVERIFY(ms >= 9000 && ms < 30000);
    QCOMPARE(ReadBytes(DataFilePath()), QByteArray("new\r\n"));
    QStringList left = FilesIn(dir.path());
    if (RunningUnderWine()) {
        // Wine's ReplaceFileW leaves a temporary file of its own ("rf*.tmp") at each failed
        // attempt; Windows' makes none.
        left = left.filter(QRegularExpression(u"^(?!rf[0-9a-f]+\\.tmp$)"_s));
        qInfo("under Wine: its own rf*.tmp files are not counted");
    }
    QCOMPARE(left.join(u" "_s), DataFileName());
}

// Japanese folder names, and a folder deeper than the 260 characters of old Windows paths.
void TestStoreWindows::japaneseAndLongPaths()
{
    TempWorkDir dir;
    QString deep = dir.path();
    while (deep.size() < 300)
        deep += u"/日本語のフォルダー名をいくつも重ねた深い場所"_s;
    QVERIFY(QDir().mkpath(deep));
    QVERIFY(QDir::setCurrent(deep));
    QCOMPARE(WriteFailure("\x8C\xA2,dog\r\n"), QString());
    QCOMPARE(ReadDataFile().lines, QStringList{u"犬,dog"_s});
    QCOMPARE(WriteFailure("\x94\x4C,cat\r\n"), QString());
    QCOMPARE(ReadDataFile().lines, QStringList{u"猫,cat"_s});
    QCOMPARE(FilesIn(deep), QStringList{DataFileName()});
    QVERIFY(QDir::setCurrent(dir.path()));
}

void TestStoreWindows::readsWhereALinkLeads_data()
{
    QTest::addColumn<uint>("tag");
    QTest::addColumn<uint>("flags");
    QTest::addColumn<QString>("substitute");
    QTest::addColumn<int>("cut");      // bytes cut off the end
    QTest::addColumn<QString>("text"); // "<none>": no whole name
    QTest::addColumn<bool>("relative");
    const uint link = IO_REPARSE_TAG_SYMLINK, junction = IO_REPARSE_TAG_MOUNT_POINT;
    QTest::newRow("a symbolic link") << link << 0u << u"\\??\\C:\\deck\\x.txt"_s << 0 << u"C:\\deck\\x.txt"_s << false;
    QTest::newRow("a relative one") << link << 1u << u"..\\x.txt"_s << 0 << u"..\\x.txt"_s << true;
    QTest::newRow("a junction") << junction << 0u << u"\\??\\D:\\decks"_s << 0 << u"D:\\decks"_s << false;
    QTest::newRow("to a share") << link << 0u << u"\\??\\UNC\\pc\\share\\x.txt"_s << 0 << u"\\\\pc\\share\\x.txt"_s
                                << false;
    QTest::newRow("cut short") << link << 0u << u"\\??\\C:\\x"_s << 11 << u"<none>"_s << false;
    QTest::newRow("less than a head") << junction << 0u << QString() << 12 << u"<none>"_s << false;
    QTest::newRow("a head alone") << junction << 0u << QString() << 10 << QString() << false;
}

// What FSCTL_GET_REPARSE_POINT gives, laid out by hand: Wine makes no links to read.
void TestStoreWindows::readsWhereALinkLeads()
{
    QFETCH(uint, tag);
    QFETCH(uint, flags);
    QFETCH(QString, substitute);
    QFETCH(int, cut);
    QFETCH(QString, text);
    QFETCH(bool, relative);
    const QString print = u"shown"_s; // the name shown to people, after the substitute: never taken
    const quint16 head[] = {quint16(tag), quint16(tag >> 16), 0, 0, 0, quint16(substitute.size() * 2),
                            quint16(substitute.size() * 2), quint16(print.size() * 2)};
    QByteArray data(reinterpret_cast<const char *>(head), sizeof head);
    if (tag == IO_REPARSE_TAG_SYMLINK)
        data.append(reinterpret_cast<const char *>(&flags), sizeof flags);
    data.append(reinterpret_cast<const char *>((substitute + print).utf16()), (substitute + print).size() * 2);
    data.chop(cut);
    std::wstring got;
    bool gotRelative = !relative;
    const bool whole = sys::ReparseText(data.constData(), size_t(data.size()), got, gotRelative);
    QCOMPARE(whole ? QString::fromStdWString(got) : u"<none>"_s, text);
    QCOMPARE(whole && gotRelative, relative);
}

QTEST_MAIN(TestStoreWindows)
#include "tst_store_windows.moc"
