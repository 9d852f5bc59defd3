#include "store/datafile.h"
#include "store/datawriter.h"
#include "store/filesystem.h"
#include "store/leftovers.h"
#include "store/windows/paths_win.h"
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
    void spellsPathsForTheSystem_data();
    void spellsPathsForTheSystem();
    void walksAPathLinkByLink_data();
    void walksAPathLinkByLink();
    void tellsTheSystemsCodes_data();
    void tellsTheSystemsCodes();
    void readsADroppedFilesUrl_data();
    void readsADroppedFilesUrl();
    void tellsWhoseAFileIs_data();
    void tellsWhoseAFileIs();
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
    QVERIFY(ms >= 9000); // its patience, however busy the machine
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

void TestStoreWindows::spellsPathsForTheSystem_data()
{
    QTest::addColumn<QString>("path"); // "@": the working folder
    QTest::addColumn<QString>("wide");
    QTest::addColumn<QString>("back"); // the path as the program holds it again
    QTest::newRow("a drive") << u"C:/d/x.txt"_s << u"\\\\?\\C:\\d\\x.txt"_s << u"C:/d/x.txt"_s;
    QTest::newRow("a share") << u"//pc/s/x.txt"_s << u"\\\\?\\UNC\\pc\\s\\x.txt"_s << u"//pc/s/x.txt"_s;
    QTest::newRow("a device") << u"//./NUL"_s << u"\\\\.\\NUL"_s << u"//./NUL"_s;
    QTest::newRow("spelled so already") << u"\\\\?\\C:\\a\\..\\x"_s << u"\\\\?\\C:\\a\\..\\x"_s << u"C:/a/../x"_s;
    QTest::newRow("relative") << u"d/../x.txt"_s << u"\\\\?\\@\\x.txt"_s << u"@/x.txt"_s;
}

void TestStoreWindows::spellsPathsForTheSystem()
{
    QFETCH(QString, path);
    QFETCH(QString, wide);
    QFETCH(QString, back);
    TempWorkDir dir;
    const std::wstring spelled = sys::Wide(path.toUtf8());
    QCOMPARE(QString::fromStdWString(spelled), wide.replace(u'@', QDir::toNativeSeparators(dir.path())));
    QCOMPARE(QString::fromUtf8(sys::Narrow(spelled)), back.replace(u'@', dir.path()));
}

// Links and owners laid out by hand. `world` names what is not a plain file or folder:
// "PATH>TO" the user's own link, "PATH!TO" another account's, "PATH?" nothing there, "PATH#" shut.
void TestStoreWindows::walksAPathLinkByLink_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("world");
    QTest::addColumn<QString>("walked"); // the path reached, "LINK -> WHERE (OWNER)" or "error ERRC"
    const auto error = [](sys::Errc code) { return u"error %1"_s.arg(int(code)); };
    QString chain; // as many links as one path may take
    for (int i = 1; i <= 40; ++i)
        chain += u"C:/l%1>l%2;"_s.arg(i).arg(i + 1);
    QTest::newRow("no link") << u"C:/deck/x.txt"_s << QString() << u"C:/deck/x.txt"_s;
    QTest::newRow("absolute") << u"C:/a/l/x.txt"_s << u"C:/a/l>D:\\decks"_s << u"D:/decks/x.txt"_s;
    QTest::newRow("relative") << u"C:/a/l/x.txt"_s << u"C:/a/l>..\\b\\.\\c"_s << u"C:/b/c/x.txt"_s;
    // A drive or a server alone is no file to look at: the walk starts below them.
    QTest::newRow("up past a drive") << u"C:/l"_s << u"C:/l>..\\..\\x;C:#"_s << u"C:/x"_s;
    QTest::newRow("up past a share") << u"//pc/s/l"_s << u"//pc/s/l>..\\..\\x;//pc#;//pc/s#"_s << u"//pc/s/x"_s;
    QTest::newRow("to a share") << u"C:/l/x"_s << u"C:/l>\\\\pc\\s\\d"_s << u"//pc/s/d/x"_s;
    QTest::newRow("a link to a link") << u"C:/l"_s << u"C:/l>C:\\m;C:/m>real"_s << u"C:/real"_s;
    QTest::newRow("forty links") << u"C:/l1"_s << chain << u"C:/l41"_s;
    QTest::newRow("forty-one") << u"C:/l0"_s << chain + u"C:/l0>l1"_s << error(sys::Errc::LinkLoop);
    QTest::newRow("another's") << u"C:/a/l/x"_s << u"C:/a/l!D:\\y"_s << u"C:/a/l -> D:/y (pc\\eve)"_s;
    QTest::newRow("another's, relative")
        << u"C:/m/x"_s << u"C:/m>a\\l;C:/a/l!..\\y"_s << u"C:/a/l -> C:/a/../y (pc\\eve)"_s;
    QTest::newRow("a new name") << u"C:/l"_s << u"C:/l>new.txt;C:/new.txt?"_s << u"C:/new.txt"_s;
    QTest::newRow("no such folder") << u"C:/l"_s << u"C:/l>gone\\x;C:/gone?"_s << error(sys::Errc::NotFound);
    QTest::newRow("shut") << u"C:/a/x"_s << u"C:/a#"_s << error(sys::Errc::AccessDenied);
    QTest::newRow("a device") << u"//./NUL"_s << u"//./NUL#"_s << u"//./NUL"_s;
}

void TestStoreWindows::walksAPathLinkByLink()
{
    QFETCH(QString, path);
    QFETCH(QString, world);
    QFETCH(QString, walked);
    QHash<QString, QString> elements;
    for (const QString &entry : world.split(u';', Qt::SkipEmptyParts)) {
        const qsizetype mark = entry.indexOf(QRegularExpression(u"[>!?#]"_s));
        elements.insert(entry.left(mark), entry.mid(mark));
    }
    const auto look = [&](const QString &here) {
        const QString kind = elements.value(QString::fromUtf8(sys::Narrow(here.toStdWString())));
        sys::PathElement element;
        element.missing = kind == u"?";
        if (kind == u"?" || kind == u"#")
            element.error = sys::FromCode(element.missing ? ERROR_FILE_NOT_FOUND : ERROR_ACCESS_DENIED);
        else if (!kind.isEmpty()) {
            element.link = true;
            element.leadsTo = kind.mid(1).toStdWString();
            element.relative = QDir::isRelativePath(kind.mid(1));
            element.trusted = kind.startsWith(u'>');
            element.owner = element.trusted ? QString() : u"pc\\eve"_s;
        }
        return element;
    };
    QByteArray resolved;
    sys::ForeignLink foreign;
    const sys::Error error = sys::WalkElements(path.toUtf8(), look, resolved, foreign);
    QCOMPARE(error ? u"error %1"_s.arg(int(error.code()))
                   : foreign.link.isEmpty() ? QString::fromUtf8(resolved)
                                            : u"%1 -> %2 (%3)"_s.arg(QString::fromUtf8(foreign.link),
                                                                     QString::fromUtf8(foreign.leadsTo), foreign.owner),
             walked);
}

void TestStoreWindows::tellsTheSystemsCodes_data()
{
    QTest::addColumn<uint>("code");
    QTest::addColumn<int>("errc");
    QTest::newRow("a folder where a file should be") << 336u << int(sys::Errc::IsFolder);
    QTest::newRow("a loop of links") << 681u << int(sys::Errc::LinkLoop);
    QTest::newRow("over the quota") << 1295u << int(sys::Errc::QuotaExceeded);
    QTest::newRow("a bad name") << uint(ERROR_INVALID_NAME) << int(sys::Errc::Other);
}

void TestStoreWindows::tellsTheSystemsCodes()
{
    QFETCH(uint, code);
    QFETCH(int, errc);
    const sys::Error error = sys::FromCode(code);
    QCOMPARE(int(error.code()), errc);
    // A code without words of ours is told in the system's.
    QVERIFY2(error.code() != sys::Errc::Other || !error.text().contains(u": ）"_s), qPrintable(error.text()));
}

void TestStoreWindows::readsADroppedFilesUrl_data()
{
    QTest::addColumn<QString>("url"); // "#": this computer's name
    QTest::addColumn<QString>("path");
    QTest::newRow("a drive") << u"file:///C:/d/a.txt"_s << u"C:/d/a.txt"_s;
    QTest::newRow("localhost") << u"file://localhost/C:/d/a.txt"_s << u"C:/d/a.txt"_s;
    QTest::newRow("this computer") << u"file://#/C:/d/a.txt"_s << u"C:/d/a.txt"_s;
    QTest::newRow("this computer's share") << u"file://#/s/a.txt"_s << u"//#/s/a.txt"_s;
    QTest::newRow("another's share") << u"file://pc/s/a.txt"_s << u"//pc/s/a.txt"_s;
    QTest::newRow("another's drive") << u"file://pc/C:/a.txt"_s << u"//pc/C:/a.txt"_s;
}

void TestStoreWindows::readsADroppedFilesUrl()
{
    QFETCH(QString, url);
    QFETCH(QString, path);
    const QString host = QUrl(u"file://"_s + sys::HostName()).host();
    QByteArray got;
    QVERIFY(sys::LocalFilePath(QUrl(url.replace(u'#', sys::HostName())), got));
    QCOMPARE(QString::fromUtf8(got), path.replace(u'#', host));
}

void TestStoreWindows::tellsWhoseAFileIs_data()
{
    QTest::addColumn<QString>("owner"); // "me": the user running the tests
    QTest::addColumn<int>("mine");      // -1: as the user's elevation has it
    QTest::addColumn<bool>("administrative");
    QTest::newRow("the user") << u"me"_s << 1 << false;
    QTest::newRow("another user") << u"S-1-5-21-1-2-3-1001"_s << 0 << false;
    QTest::newRow("everyone") << u"S-1-1-0"_s << 0 << false;
    QTest::newRow("the system") << u"S-1-5-18"_s << 0 << true;
    QTest::newRow("the installer")
        << u"S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464"_s << 0 << true;
    QTest::newRow("the administrators") << u"S-1-5-32-544"_s << -1 << true;
}

void TestStoreWindows::tellsWhoseAFileIs()
{
    QFETCH(QString, owner);
    QFETCH(int, mine);
    QFETCH(bool, administrative);
    if (owner == u"me") {
        HANDLE token = nullptr;
        QVERIFY(::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &token));
        char user[256];
        DWORD size = sizeof user;
        wchar_t *text = nullptr;
        QVERIFY(::GetTokenInformation(token, TokenUser, user, size, &size));
        QVERIFY(::ConvertSidToStringSidW(reinterpret_cast<TOKEN_USER *>(user)->User.Sid, &text));
        owner = QString::fromWCharArray(text);
        ::LocalFree(text);
        ::CloseHandle(token);
        // and named as the user knows the account
        TempWorkDir dir;
        WriteBytes(u"x"_s, "x");
        QCOMPARE(sys::OwnerName("x"), qEnvironmentVariable("USERDOMAIN") + u'\\' + qEnvironmentVariable("USERNAME"));
    }
    PSID sid = nullptr;
    QVERIFY(::ConvertStringSidToSidW(reinterpret_cast<const wchar_t *>(owner.utf16()), &sid));
    if (mine >= 0)
        QCOMPARE(sys::IsMine(sid), mine == 1);
    QCOMPARE(sys::IsAdministrative(sid), administrative);
    ::LocalFree(sid);
}

QTEST_MAIN(TestStoreWindows)
#include "tst_store_windows.moc"
