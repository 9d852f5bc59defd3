#include "store/filesystem.h"
#include "store/windows/paths_win.h"

#include <QDir>
#include <QStringList>
#include <QRandomGenerator>
#include <QThread>

#include <windows.h>

#include <aclapi.h>
#include <sddl.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

// Paths reach Windows as UTF-16 with the "\\?\" prefix, so that Japanese names and folders
// deeper than 260 characters work alike. Files are opened sharing read, write and delete,
// as the system's own tools do, so that the program never stands in the way of another;
// what another program holds (antivirus, the search indexer, a sync client) is waited for
// a little (kPatience) before a replace or a removal fails.
namespace sys {

namespace {

// Scanners and sync clients hold a freshly written file for milliseconds to a few seconds;
// a program that keeps the file open (an editor) does not let go at all. Ten seconds
// outlast the first and tell the user promptly about the second.
constexpr int kPatienceMs = 10000;

// Codes that MinGW's headers do not name.
constexpr DWORD kDirectoryNotSupported = 336; // ERROR_DIRECTORY_NOT_SUPPORTED
constexpr DWORD kStoppedOnSymlink = 681;      // ERROR_STOPPED_ON_SYMLINK
constexpr DWORD kDiskQuotaExceeded = 1295;    // ERROR_DISK_QUOTA_EXCEEDED

HANDLE Handle(qintptr handle)
{
    return reinterpret_cast<HANDLE>(handle);
}

QString SystemText(DWORD code)
{
    wchar_t *buffer = nullptr;
    const DWORD length = ::FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                              FORMAT_MESSAGE_IGNORE_INSERTS,
                                          nullptr, code, 0, reinterpret_cast<wchar_t *>(&buffer), 0, nullptr);
    QString text = length > 0 ? QString::fromWCharArray(buffer, int(length)).trimmed() : QString();
    ::LocalFree(buffer);
    return text;
}

} // namespace

Error FromCode(unsigned long code)
{
    switch (code) {
    case ERROR_SUCCESS:
        return Error();
    case ERROR_ACCESS_DENIED:
    case ERROR_PRIVILEGE_NOT_HELD:
        return Error(Errc::AccessDenied, int(code));
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_DRIVE:
    case ERROR_BAD_NETPATH:
        return Error(Errc::NotFound, int(code));
    case ERROR_FILE_EXISTS:
    case ERROR_ALREADY_EXISTS:
        return Error(Errc::Exists, int(code));
    case kDirectoryNotSupported:
        return Error(Errc::IsFolder, int(code));
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
        return Error(Errc::NoSpace, int(code));
    case kDiskQuotaExceeded:
        return Error(Errc::QuotaExceeded, int(code));
    case ERROR_FILE_TOO_LARGE:
        return Error(Errc::TooLarge, int(code));
    case ERROR_WRITE_PROTECT:
        return Error(Errc::ReadOnlyFileSystem, int(code));
    case ERROR_CRC:
    case ERROR_IO_DEVICE:
    case ERROR_SECTOR_NOT_FOUND:
        return Error(Errc::InputOutput, int(code));
    case ERROR_CANT_RESOLVE_FILENAME:
    case kStoppedOnSymlink:
        return Error(Errc::LinkLoop, int(code));
    case ERROR_FILENAME_EXCED_RANGE:
        return Error(Errc::NameTooLong, int(code));
    case ERROR_NOT_ENOUGH_MEMORY:
    case ERROR_OUTOFMEMORY:
        return Error(Errc::NoMemory, int(code));
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
    case ERROR_USER_MAPPED_FILE:
        return Error(Errc::InUse, int(code), SystemText(code));
    case ERROR_NOT_SUPPORTED:
    case ERROR_INVALID_FUNCTION:
        return Error(Errc::Unsupported, int(code), SystemText(code));
    default:
        return Error(Errc::Other, int(code), SystemText(code));
    }
}

// The user running the program, and the owner its new files get (the Administrators group
// for an elevated administrator).
bool IsMine(void *owner)
{
    HANDLE token = nullptr;
    if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &token))
        return false;
    bool mine = false;
    for (const TOKEN_INFORMATION_CLASS kind : {TokenUser, TokenOwner}) {
        DWORD size = 0;
        ::GetTokenInformation(token, kind, nullptr, 0, &size);
        auto buffer = std::make_unique<char[]>(size);
        if (!::GetTokenInformation(token, kind, buffer.get(), size, &size))
            continue;
        const PSID sid = kind == TokenUser ? reinterpret_cast<TOKEN_USER *>(buffer.get())->User.Sid
                                           : reinterpret_cast<TOKEN_OWNER *>(buffer.get())->Owner;
        mine = mine || ::EqualSid(sid, owner);
    }
    ::CloseHandle(token);
    return mine;
}

// The system's own accounts, which make the links a Windows installation comes with.
bool IsAdministrative(void *owner)
{
    if (::IsWellKnownSid(owner, WinBuiltinAdministratorsSid) || ::IsWellKnownSid(owner, WinLocalSystemSid))
        return true;
    PSID installer = nullptr;
    const bool same = ::ConvertStringSidToSidW(L"S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464",
                                               &installer) &&
                      ::EqualSid(owner, installer);
    ::LocalFree(installer);
    return same;
}

namespace {

Error LastError()
{
    return FromCode(::GetLastError());
}

// Whether a reparse point is a link: a symbolic link or a junction. Others (the cloud
// files of a sync client, deduplicated files) are ordinary files to the user.
bool IsLinkTag(DWORD tag)
{
    return tag == IO_REPARSE_TAG_SYMLINK || tag == IO_REPARSE_TAG_MOUNT_POINT;
}

Error InfoOfHandle(HANDLE handle, FileInfo &info)
{
    BY_HANDLE_FILE_INFORMATION basic;
    if (!::GetFileInformationByHandle(handle, &basic))
        return LastError();
    FILE_ATTRIBUTE_TAG_INFO tag = {};
    if (!::GetFileInformationByHandleEx(handle, FileAttributeTagInfo, &tag, sizeof tag))
        tag.ReparseTag = 0;
    info = FileInfo();
    if ((basic.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) && IsLinkTag(tag.ReparseTag))
        info.kind = FileKind::Link;
    else if (basic.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
        info.kind = FileKind::Folder;
    else if (::GetFileType(handle) == FILE_TYPE_DISK)
        info.kind = FileKind::Regular;
    info.id = {basic.dwVolumeSerialNumber, (quint64(basic.nFileIndexHigh) << 32) | basic.nFileIndexLow};
    info.size = qint64((quint64(basic.nFileSizeHigh) << 32) | basic.nFileSizeLow);
    info.names = qint64(basic.nNumberOfLinks);
    info.protection.bits = basic.dwFileAttributes;
    PSID owner = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (::GetSecurityInfo(handle, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &owner, nullptr, nullptr,
                          nullptr, &descriptor) == ERROR_SUCCESS) {
        info.mine = IsMine(owner);
        ::LocalFree(descriptor);
    }
    return {};
}

// Opens for looking only: any kind of file, a folder too; a link itself unless followed.
HANDLE OpenToLook(const QByteArray &path, Follow follow)
{
    DWORD flags = FILE_FLAG_BACKUP_SEMANTICS;
    if (follow == Follow::NotLinks)
        flags |= FILE_FLAG_OPEN_REPARSE_POINT;
    return ::CreateFileW(Wide(path).c_str(), FILE_READ_ATTRIBUTES | READ_CONTROL,
                         FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                         flags, nullptr);
}

Error LinkText(HANDLE link, std::wstring &text, bool &relative)
{
    std::vector<char> buffer(MAXIMUM_REPARSE_DATA_BUFFER_SIZE);
    DWORD got = 0;
    if (!::DeviceIoControl(link, FSCTL_GET_REPARSE_POINT, nullptr, 0, buffer.data(), DWORD(buffer.size()), &got,
                           nullptr))
        return LastError();
    return ReparseText(buffer.data(), got, text, relative) ? Error() : FromCode(ERROR_INVALID_REPARSE_DATA);
}

bool Transient(DWORD code)
{
    return code == ERROR_SHARING_VIOLATION || code == ERROR_ACCESS_DENIED || code == ERROR_LOCK_VIOLATION ||
           code == ERROR_UNABLE_TO_REMOVE_REPLACED;
}

// Runs `step` until it succeeds, fails for good, or kPatienceMs have passed while another
// program held the file.
template <typename Step> Error WithPatience(Step step)
{
    int waited = 0;
    for (int pause = 10;; pause = std::min(pause * 2, 500)) {
        if (step())
            return {};
        const DWORD code = ::GetLastError();
        if (!Transient(code) || waited >= kPatienceMs)
            return FromCode(code);
        ::Sleep(DWORD(pause));
        waited += pause;
    }
}

// A protected access list that lets in the user running the program alone, with the
// inheritance flags `inherit` ("OICI" for a folder whose new files get it too); freed
// with LocalFree.
bool UserAloneDescriptor(const wchar_t *inherit, PSECURITY_DESCRIPTOR &descriptor)
{
    wchar_t *user = nullptr;
    if (HANDLE token = nullptr; ::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &token)) {
        DWORD size = 0;
        ::GetTokenInformation(token, TokenUser, nullptr, 0, &size);
        auto buffer = std::make_unique<char[]>(size);
        if (::GetTokenInformation(token, TokenUser, buffer.get(), size, &size))
            ::ConvertSidToStringSidW(reinterpret_cast<TOKEN_USER *>(buffer.get())->User.Sid, &user);
        ::CloseHandle(token);
    }
    const bool made =
        user != nullptr && ::ConvertStringSecurityDescriptorToSecurityDescriptorW(
                               (L"D:P(A;" + std::wstring(inherit) + L";FA;;;" + user + L")").c_str(),
                               SDDL_REVISION_1, &descriptor, nullptr);
    ::LocalFree(user);
    return made;
}

} // namespace

QByteArray PathBytes(const QString &path)
{
    return QDir::fromNativeSeparators(path).toUtf8();
}

QString PathText(const QByteArray &path)
{
    return QString::fromUtf8(path);
}

// "file://server/share/name" is the network path "\\\\server\\share\\name", which Windows opens
// like any other; this computer's name before a drive ("file://pc/C:/…") is a local path.
bool LocalFilePath(const QUrl &url, QByteArray &path)
{
    QUrl local = url;
    const QString drivePath = local.path();
    const bool drive = drivePath.size() >= 3 && drivePath[0] == u'/' && drivePath[1].isLetter() && drivePath[2] == u':';
    if (IsThisComputer(local.host()) &&
        (drive || local.host().compare(u"localhost", Qt::CaseInsensitive) == 0))
        local.setHost(QString());
    path = PathBytes(local.toLocalFile());
    return true;
}

Error Status(const QByteArray &path, FileInfo &info, Follow follow)
{
    const HANDLE handle = OpenToLook(path, follow);
    if (handle == INVALID_HANDLE_VALUE)
        return LastError();
    const Error error = InfoOfHandle(handle, info);
    ::CloseHandle(handle);
    return error;
}

QString OwnerName(const QByteArray &path)
{
    const HANDLE handle = OpenToLook(path, Follow::NotLinks);
    if (handle == INVALID_HANDLE_VALUE)
        return SystemText(::GetLastError());
    PSID owner = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    QString text;
    if (::GetSecurityInfo(handle, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &owner, nullptr, nullptr,
                          nullptr, &descriptor) == ERROR_SUCCESS) {
        wchar_t name[256], domain[256];
        DWORD nameSize = 256, domainSize = 256;
        SID_NAME_USE use;
        if (::LookupAccountSidW(nullptr, owner, name, &nameSize, domain, &domainSize, &use)) {
            text = QString::fromWCharArray(name);
            if (domainSize > 0)
                text = QString::fromWCharArray(domain) + u'\\' + text;
        } else if (wchar_t *sid = nullptr; ::ConvertSidToStringSidW(owner, &sid)) {
            text = QString::fromWCharArray(sid);
            ::LocalFree(sid);
        }
        ::LocalFree(descriptor);
    }
    ::CloseHandle(handle);
    return text;
}

namespace {

// The reparse point itself is opened, not what it leads to, so that a link's owner and what it
// says come from that one link.
PathElement LookAt(const QString &path)
{
    PathElement element;
    const HANDLE handle = OpenToLook(path.toUtf8(), Follow::NotLinks);
    if (handle == INVALID_HANDLE_VALUE) {
        const DWORD code = ::GetLastError();
        element.missing = code == ERROR_FILE_NOT_FOUND;
        element.error = FromCode(code);
        return element;
    }
    FileInfo info;
    element.error = InfoOfHandle(handle, info);
    element.link = info.kind == FileKind::Link;
    PSID owner = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!element.error && element.link) {
        element.error = LinkText(handle, element.leadsTo, element.relative);
        if (!element.error)
            element.error = FromCode(::GetSecurityInfo(handle, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &owner,
                                                       nullptr, nullptr, nullptr, &descriptor));
        // A link whose owner cannot be read is nobody's to trust.
        element.trusted = owner != nullptr && (IsMine(owner) || IsAdministrative(owner));
    }
    ::LocalFree(descriptor);
    ::CloseHandle(handle);
    if (!element.trusted)
        element.owner = OwnerName(Narrow(path.toStdWString()));
    return element;
}

} // namespace

Error WalkPath(const QByteArray &path, QByteArray &resolved, ForeignLink &foreign)
{
    return WalkElements(path, LookAt, resolved, foreign);
}

// Judged by the file's access list, as the system would judge that account.
bool OwnerCouldWrite(const QByteArray &other, const QByteArray &path)
{
    const HANDLE account = OpenToLook(other, Follow::NotLinks);
    const HANDLE file = OpenToLook(path, Follow::Links);
    PSID owner = nullptr, fileOwner = nullptr;
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR accountDescriptor = nullptr, fileDescriptor = nullptr;
    bool could = false;
    if (account != INVALID_HANDLE_VALUE && file != INVALID_HANDLE_VALUE &&
        ::GetSecurityInfo(account, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &owner, nullptr, nullptr, nullptr,
                          &accountDescriptor) == ERROR_SUCCESS &&
        ::GetSecurityInfo(file, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
                          &fileOwner, nullptr, &dacl, nullptr, &fileDescriptor) == ERROR_SUCCESS) {
        TRUSTEE_W trustee;
        ::BuildTrusteeWithSidW(&trustee, owner);
        ACCESS_MASK rights = 0;
        could = ::EqualSid(owner, fileOwner) || dacl == nullptr ||
                (::GetEffectiveRightsFromAclW(dacl, &trustee, &rights) == ERROR_SUCCESS &&
                 (rights & FILE_WRITE_DATA));
    }
    ::LocalFree(accountDescriptor);
    ::LocalFree(fileDescriptor);
    for (const HANDLE handle : {account, file})
        if (handle != INVALID_HANDLE_VALUE)
            ::CloseHandle(handle);
    return could;
}

// The read-only attribute is Windows' write protection, for every user alike.
Error CheckWritable(const QByteArray &, const FileInfo &info)
{
    return (info.protection.bits & FILE_ATTRIBUTE_READONLY) ? FromCode(ERROR_ACCESS_DENIED) : Error();
}

Error File::open(const QByteArray &path, Access access, Follow follow)
{
    close();
    DWORD rights = READ_CONTROL | FILE_READ_ATTRIBUTES;
    if (access != Access::Write)
        rights |= GENERIC_READ;
    if (access != Access::Read)
        rights |= GENERIC_WRITE;
    // A folder opens too, so that the caller can tell the user that it is one.
    DWORD flags = FILE_FLAG_BACKUP_SEMANTICS;
    if (follow == Follow::NotLinks)
        flags |= FILE_FLAG_OPEN_REPARSE_POINT;
    const HANDLE handle =
        ::CreateFileW(Wide(path).c_str(), rights, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                      nullptr, OPEN_EXISTING, flags, nullptr);
    if (handle == INVALID_HANDLE_VALUE)
        return LastError();
    m_handle = reinterpret_cast<qintptr>(handle);
    FileInfo info;
    if (follow == Follow::NotLinks && !InfoOfHandle(handle, info) && info.kind == FileKind::Link) {
        close();
        return FromCode(kStoppedOnSymlink);
    }
    return {};
}

Error File::createNew(const QByteArray &path)
{
    close();
    // The user's alone from the start: a protected access list that lets in the user only,
    // not what the folder passes on to new files.
    SECURITY_ATTRIBUTES security = {sizeof security, nullptr, FALSE};
    if (!UserAloneDescriptor(L"", security.lpSecurityDescriptor))
        return LastError();
    // CREATE_NEW fails on any name that is taken, a link's included, and follows none.
    const HANDLE handle =
        ::CreateFileW(Wide(path).c_str(), GENERIC_READ | GENERIC_WRITE | READ_CONTROL | WRITE_DAC,
                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, &security, CREATE_NEW,
                      FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    ::LocalFree(security.lpSecurityDescriptor);
    if (handle == INVALID_HANDLE_VALUE)
        return LastError();
    m_handle = reinterpret_cast<qintptr>(handle);
    return {};
}

Error File::createTemporary(const QByteArray &dir, const QByteArray &prefix, QByteArray &path)
{
    static const char kLetters[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    for (int attempt = 0; attempt < 100; ++attempt) {
        QByteArray name = dir + '/' + prefix;
        for (int i = 0; i < 6; ++i)
            name += kLetters[QRandomGenerator::system()->bounded(int(sizeof kLetters - 1))];
        const Error error = createNew(name);
        if (!error)
            path = name;
        if (error.code() != Errc::Exists)
            return error;
    }
    return FromCode(ERROR_FILE_EXISTS);
}

Error File::info(FileInfo &info) const
{
    return InfoOfHandle(Handle(m_handle), info);
}

Error File::readAt(qint64 offset, char *buffer, qsizetype size, qsizetype &got)
{
    OVERLAPPED at = {};
    at.Offset = DWORD(quint64(offset));
    at.OffsetHigh = DWORD(quint64(offset) >> 32);
    DWORD n = 0;
    if (!::ReadFile(Handle(m_handle), buffer, DWORD(std::min<qsizetype>(size, 1 << 30)), &n, &at))
        return ::GetLastError() == ERROR_HANDLE_EOF ? (got = 0, Error()) : LastError();
    got = n;
    return {};
}

Error File::writeAt(qint64 offset, const char *data, qsizetype size)
{
    while (size > 0) {
        OVERLAPPED at = {};
        at.Offset = DWORD(quint64(offset));
        at.OffsetHigh = DWORD(quint64(offset) >> 32);
        DWORD n = 0;
        if (!::WriteFile(Handle(m_handle), data, DWORD(std::min<qsizetype>(size, 1 << 30)), &n, &at))
            return LastError();
        data += n;
        size -= n;
        offset += n;
    }
    return {};
}

// The system tells the allocated ranges of a sparse file; a file system that cannot has no
// holes to skip.
qint64 File::nextData(qint64 offset)
{
    LARGE_INTEGER size;
    if (!::GetFileSizeEx(Handle(m_handle), &size))
        return offset;
    if (offset >= size.QuadPart)
        return -1;
    FILE_ALLOCATED_RANGE_BUFFER query;
    query.FileOffset.QuadPart = offset;
    query.Length.QuadPart = size.QuadPart - offset;
    FILE_ALLOCATED_RANGE_BUFFER range;
    DWORD got = 0;
    // More ranges than one (ERROR_MORE_DATA) still give the first.
    if (!::DeviceIoControl(Handle(m_handle), FSCTL_QUERY_ALLOCATED_RANGES, &query, sizeof query, &range,
                           sizeof range, &got, nullptr) &&
        ::GetLastError() != ERROR_MORE_DATA)
        return offset;
    if (got < sizeof range)
        return -1;
    return std::max(offset, qint64(range.FileOffset.QuadPart));
}

Error File::resize(qint64 size)
{
    FILE_END_OF_FILE_INFO end;
    end.EndOfFile.QuadPart = size;
    return ::SetFileInformationByHandle(Handle(m_handle), FileEndOfFileInfo, &end, sizeof end) ? Error()
                                                                                               : LastError();
}

// Where the system cannot reserve room (Wine 8 has no FileAllocationInfo), the write goes on
// without: a full disk then stops it half-way, and the old bytes go back from the backup.
Error File::reserve(qint64 size)
{
    FILE_ALLOCATION_INFO room;
    room.AllocationSize.QuadPart = size;
    if (::SetFileInformationByHandle(Handle(m_handle), FileAllocationInfo, &room, sizeof room) ||
        ::GetLastError() == ERROR_CALL_NOT_IMPLEMENTED)
        return {};
    return LastError();
}

Error File::allowHoles()
{
    DWORD got = 0;
    return ::DeviceIoControl(Handle(m_handle), FSCTL_SET_SPARSE, nullptr, 0, nullptr, 0, &got, nullptr)
               ? Error()
               : LastError();
}

Error File::flush()
{
    return ::FlushFileBuffers(Handle(m_handle)) ? Error() : LastError();
}

Error File::close()
{
    if (m_handle == kClosed)
        return {};
    return ::CloseHandle(Handle(std::exchange(m_handle, kClosed))) ? Error() : LastError();
}

// What the folder gives every new file: the access list made to inherit from the folder
// again, with nothing of its own.
Error File::protectAsNew()
{
    std::wstring path(MAX_PATH, L'\0');
    DWORD length = ::GetFinalPathNameByHandleW(Handle(m_handle), path.data(), DWORD(path.size()), 0);
    if (length >= path.size()) {
        path.resize(length + 1);
        length = ::GetFinalPathNameByHandleW(Handle(m_handle), path.data(), DWORD(path.size()), 0);
    }
    if (length == 0)
        return {};
    path.resize(length);
    ACL empty;
    // Where that cannot be done (Wine, for paths past 260 characters), the file stays the
    // user's alone: never more readable than it should be.
    if (::InitializeAcl(&empty, sizeof empty, ACL_REVISION))
        ::SetNamedSecurityInfoW(path.data(), SE_FILE_OBJECT,
                                DACL_SECURITY_INFORMATION | UNPROTECTED_DACL_SECURITY_INFORMATION, nullptr,
                                nullptr, &empty, nullptr);
    return {};
}

Error File::protectAsCopyOf(const File &from)
{
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    DWORD code = ::GetSecurityInfo(Handle(from.m_handle), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr,
                                   nullptr, &dacl, nullptr, &descriptor);
    if (code != ERROR_SUCCESS)
        return FromCode(code);
    // Protected: the copy's access is the original's, not widened by what the folder passes on.
    code = ::SetSecurityInfo(Handle(m_handle), SE_FILE_OBJECT,
                             DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION, nullptr,
                             nullptr, dacl, nullptr);
    ::LocalFree(descriptor);
    return FromCode(code);
}

// ReplaceFileW keeps the replaced file's access control list, attributes and creation time.
// The attributes are given here too, so that they stay where a replacement keeps less (Wine's
// keeps none).
bool File::takeOver(const QByteArray &, const FileInfo &old)
{
    constexpr DWORD kKept = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE |
                            FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;
    FILE_BASIC_INFO basic = {};
    basic.FileAttributes =
        (old.protection.bits & kKept) ? (old.protection.bits & kKept) : FILE_ATTRIBUTE_NORMAL;
    return ::SetFileInformationByHandle(Handle(m_handle), FileBasicInfo, &basic, sizeof basic);
}

QString HostName()
{
    wchar_t name[256];
    DWORD size = 256;
    return ::GetComputerNameExW(ComputerNameDnsHostname, name, &size) ? QString::fromWCharArray(name, int(size))
                                                                      : QString();
}

Error Remove(const QByteArray &path)
{
    const std::wstring name = Wide(path);
    return WithPatience([&] { return ::DeleteFileW(name.c_str()) != 0; });
}

Error Replace(const QByteArray &from, const QByteArray &to)
{
    const std::wstring source = Wide(from), target = Wide(to);
    if (::GetFileAttributesW(target.c_str()) == INVALID_FILE_ATTRIBUTES)
        return WithPatience([&] {
            return ::MoveFileExW(source.c_str(), target.c_str(),
                                 MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
        });
    return WithPatience([&] {
        return ::ReplaceFileW(target.c_str(), source.c_str(), nullptr, REPLACEFILE_IGNORE_MERGE_ERRORS,
                              nullptr, nullptr) != 0;
    });
}

Error MoveNew(const QByteArray &from, const QByteArray &to)
{
    const std::wstring source = Wide(from), target = Wide(to);
    return WithPatience(
        [&] { return ::MoveFileExW(source.c_str(), target.c_str(), MOVEFILE_WRITE_THROUGH) != 0; });
}

// NTFS logs the folder's entries itself; MOVEFILE_WRITE_THROUGH and ReplaceFileW wait for them.
Error FlushFolder(const QByteArray &)
{
    return {};
}

Error FolderEntries(const QByteArray &dir, QList<QByteArray> &names)
{
    names.clear();
    WIN32_FIND_DATAW entry;
    const HANDLE find = ::FindFirstFileExW((Wide(dir) + L"\\*").c_str(), FindExInfoBasic, &entry,
                                           FindExSearchNameMatch, nullptr, 0);
    if (find == INVALID_HANDLE_VALUE)
        return LastError();
    do
        names.append(QString::fromWCharArray(entry.cFileName).toUtf8());
    while (::FindNextFileW(find, &entry));
    ::FindClose(find);
    return {};
}

FolderLock::~FolderLock()
{
    if (m_handle != -1)
        ::CloseHandle(Handle(m_handle));
}

// A folder cannot be locked on Windows: a hidden file in it, opened by one window alone and
// gone when that window closes it or ends, stands for the lock.
FolderLock::State FolderLock::take(const QByteArray &dir)
{
    const HANDLE handle =
        ::CreateFileW(Wide(dir + "/.pelmor-lock").c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                      OPEN_ALWAYS, FILE_ATTRIBUTE_HIDDEN | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
    if (handle == INVALID_HANDLE_VALUE)
        return ::GetLastError() == ERROR_SHARING_VIOLATION ? State::Busy : State::Unavailable;
    m_handle = reinterpret_cast<qintptr>(handle);
    return State::Taken;
}

// Judged on the open folder, so that what is narrowed is what was checked.
Error MakePrivateFolder(const QByteArray &path)
{
    const std::wstring name = Wide(path);
    SECURITY_ATTRIBUTES security = {sizeof security, nullptr, FALSE};
    if (!UserAloneDescriptor(L"OICI", security.lpSecurityDescriptor))
        return LastError();
    const bool made = ::CreateDirectoryW(name.c_str(), &security);
    const DWORD code = made ? ERROR_SUCCESS : ::GetLastError();
    if (!made && code != ERROR_ALREADY_EXISTS) {
        ::LocalFree(security.lpSecurityDescriptor);
        return FromCode(code);
    }
    const HANDLE handle =
        ::CreateFileW(name.c_str(), READ_CONTROL | WRITE_DAC | FILE_READ_ATTRIBUTES,
                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                      FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        ::LocalFree(security.lpSecurityDescriptor);
        return LastError();
    }
    FileInfo info;
    Error error = InfoOfHandle(handle, info);
    if (!error && info.kind != FileKind::Folder)
        error = FromCode(ERROR_ALREADY_EXISTS);
    else if (!error && !info.mine)
        error = FromCode(ERROR_ACCESS_DENIED);
    BOOL present = FALSE, defaulted = FALSE;
    PACL dacl = nullptr;
    // Set again on a folder just made too: not every system applies the one given at creation.
    if (!error && ::GetSecurityDescriptorDacl(security.lpSecurityDescriptor, &present, &dacl, &defaulted))
        error = FromCode(::SetSecurityInfo(handle, SE_FILE_OBJECT,
                                           DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION, nullptr,
                                           nullptr, dacl, nullptr));
    ::CloseHandle(handle);
    ::LocalFree(security.lpSecurityDescriptor);
    return error;
}

} // namespace sys
