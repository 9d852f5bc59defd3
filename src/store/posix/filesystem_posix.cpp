#include "store/filesystem.h"

#include <QFile>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <grp.h>
#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

namespace sys {

namespace {

Error FromErrno(int error)
{
    switch (error) {
    case 0:
        return Error();
    case EACCES:
    case EPERM:
        return Error(Errc::AccessDenied, error);
    case ENOENT:
        return Error(Errc::NotFound, error);
    case EEXIST:
        return Error(Errc::Exists, error);
    case EISDIR:
        return Error(Errc::IsFolder, error);
    case ENOSPC:
        return Error(Errc::NoSpace, error);
    case EDQUOT:
        return Error(Errc::QuotaExceeded, error);
    case EFBIG:
        return Error(Errc::TooLarge, error);
    case EROFS:
        return Error(Errc::ReadOnlyFileSystem, error);
    case EIO:
        return Error(Errc::InputOutput, error);
    case ELOOP:
        return Error(Errc::LinkLoop, error);
    case ENAMETOOLONG:
        return Error(Errc::NameTooLong, error);
    case ENOMEM:
        return Error(Errc::NoMemory, error);
    case EBUSY:
    case ETXTBSY:
        return Error(Errc::InUse, error, QString::fromLocal8Bit(std::strerror(error)));
    case EINVAL:
    case ENOSYS:
    case ENOTSUP:
        return Error(Errc::Unsupported, error, QString::fromLocal8Bit(std::strerror(error)));
    default:
        return Error(Errc::Other, error, QString::fromLocal8Bit(std::strerror(error)));
    }
}

Error LastError()
{
    return FromErrno(errno);
}

FileInfo InfoOf(const struct stat &st)
{
    FileInfo info;
    info.kind = S_ISREG(st.st_mode)   ? FileKind::Regular
                : S_ISDIR(st.st_mode) ? FileKind::Folder
                : S_ISLNK(st.st_mode) ? FileKind::Link
                                      : FileKind::Other;
    info.id = {quint64(st.st_dev), quint64(st.st_ino)};
    info.size = st.st_size;
    info.names = qint64(st.st_nlink);
    info.mine = st.st_uid == ::geteuid();
    info.protection = {st.st_uid, st.st_gid, quint32(st.st_mode & 07777)};
    return info;
}

int Fd(qintptr handle)
{
    return int(handle);
}

mode_t Umask()
{
    const mode_t mask = ::umask(0);
    ::umask(mask);
    return mask;
}

// The names of a file's extended attributes; false when they cannot be read (a file
// system without them has none).
bool AttributeNames(int fd, QList<QByteArray> &names)
{
    names.clear();
    ssize_t size = ::flistxattr(fd, nullptr, 0);
    if (size < 0)
        return errno == ENOTSUP;
    QByteArray list(size, Qt::Uninitialized);
    size = ::flistxattr(fd, list.data(), size_t(list.size()));
    if (size < 0)
        return false;
    for (const QByteArray &name : list.left(size).split('\0'))
        if (!name.isEmpty())
            names.append(name);
    return true;
}

// Gives `to` exactly the extended attributes of `from` (ACLs are stored as such): what `to`
// got from its folder (a default ACL) and `from` lacks goes, or a later chmod would let in
// whom the old file kept out. Attributes the system keeps for itself (security.*) may stay.
bool CopyExtendedAttributes(int from, int to)
{
    QList<QByteArray> names, own;
    if (!AttributeNames(from, names) || !AttributeNames(to, own))
        return false;
    for (const QByteArray &name : std::as_const(own))
        if (!names.contains(name) && ::fremovexattr(to, name.constData()) != 0 &&
            !name.startsWith("security."))
            return false;
    for (const QByteArray &name : std::as_const(names)) {
        const ssize_t length = ::fgetxattr(from, name.constData(), nullptr, 0);
        if (length < 0)
            return false;
        QByteArray value(length, Qt::Uninitialized);
        const ssize_t got = ::fgetxattr(from, name.constData(), value.data(), size_t(value.size()));
        if (got < 0 || ::fsetxattr(to, name.constData(), value.constData(), size_t(got), 0) != 0)
            return false;
    }
    return true;
}

QString AccountName(uid_t uid)
{
    struct passwd entry;
    struct passwd *found = nullptr;
    char buffer[4096];
    if (::getpwuid_r(uid, &entry, buffer, sizeof buffer, &found) == 0 && found != nullptr)
        return QString::fromLocal8Bit(found->pw_name);
    return QStringLiteral("UID %1").arg(uid);
}

// The groups an account belongs to.
QList<gid_t> GroupsOf(uid_t uid)
{
    struct passwd entry;
    struct passwd *found = nullptr;
    char buffer[4096];
    if (::getpwuid_r(uid, &entry, buffer, sizeof buffer, &found) != 0 || found == nullptr)
        return {};
    int count = 64;
    QList<gid_t> groups(count);
    while (::getgrouplist(found->pw_name, found->pw_gid, groups.data(), &count) < 0)
        groups.resize(count = std::max(count, int(groups.size()) * 2));
    groups.resize(count);
    return groups;
}

// The POSIX access list as Linux stores it in "system.posix_acl_access": a version, then
// entries of tag, permission and id.
struct AclEntry
{
    quint16 tag;
    quint16 permission;
    quint32 id;
};
constexpr quint16 kAclUser = 0x02, kAclGroupObject = 0x04, kAclGroup = 0x08, kAclMask = 0x10;

QList<AclEntry> AccessList(const char *path)
{
    char buffer[4 + 8 * 256];
    const ssize_t size = ::getxattr(path, "system.posix_acl_access", buffer, sizeof buffer);
    QList<AclEntry> entries;
    for (ssize_t at = 4; size > 4 && at + 8 <= size; at += 8) {
        AclEntry entry;
        std::memcpy(&entry, buffer + at, sizeof entry);
        entries.append(entry);
    }
    return entries;
}

} // namespace

QByteArray PathBytes(const QString &path)
{
    return QFile::encodeName(path);
}

QString PathText(const QByteArray &path)
{
    return QFile::decodeName(path);
}

// A name from an old archive or a disk mounted with other settings need not be valid
// UTF-8, and decoding it would lose it: the URL's bytes are taken as they are. Another
// computer's "/p" is not this one's.
bool LocalFilePath(const QUrl &url, QByteArray &path)
{
    if (!IsThisComputer(url.host()))
        return false;
    path = QByteArray::fromPercentEncoding(url.path(QUrl::FullyEncoded).toLatin1());
    return true;
}

Error Status(const QByteArray &path, FileInfo &info, Follow follow)
{
    struct stat st;
    const int rc = follow == Follow::Links ? ::stat(path.constData(), &st) : ::lstat(path.constData(), &st);
    if (rc != 0)
        return LastError();
    info = InfoOf(st);
    return {};
}

QString OwnerName(const QByteArray &path)
{
    struct stat st;
    if (::lstat(path.constData(), &st) != 0)
        return QString::fromLocal8Bit(std::strerror(errno));
    return AccountName(st.st_uid);
}

// Each element is opened as it is (O_PATH | O_NOFOLLOW) below the folder opened before it,
// so that a link's owner and contents come from that one link, whatever is renamed meanwhile.
Error WalkPath(const QByteArray &path, QByteArray &resolved, ForeignLink &foreign)
{
    foreign = {};
    QList<QByteArray> rest = path.split('/');
    QByteArray at; // the folder reached, absolute and free of links
    int folder = -1;
    const auto restart = [&](bool fromRoot) {
        if (folder >= 0)
            ::close(folder);
        char *cwd = fromRoot ? nullptr : ::getcwd(nullptr, 0);
        at = cwd ? QByteArray(cwd) : QByteArray();
        std::free(cwd);
        folder = ::open(fromRoot ? "/" : ".", O_PATH | O_DIRECTORY | O_CLOEXEC);
    };
    restart(path.startsWith('/'));
    int links = 0;
    Error error;
    while (folder >= 0 && !error) {
        while (!rest.isEmpty() && (rest.first().isEmpty() || rest.first() == "."))
            rest.removeFirst();
        if (rest.isEmpty()) {
            resolved = at.isEmpty() ? QByteArray("/") : at;
            break;
        }
        const QByteArray name = rest.takeFirst();
        const bool last = std::none_of(rest.begin(), rest.end(), [](const QByteArray &e) { return !e.isEmpty() && e != "."; });
        const QByteArray here = name == ".." ? at.left(std::max<qsizetype>(at.lastIndexOf('/'), 0)) : at + '/' + name;
        const int fd = ::openat(folder, name.constData(), O_PATH | O_NOFOLLOW | O_CLOEXEC);
        struct stat st;
        if (fd < 0 || ::fstat(fd, &st) != 0) {
            error = fd < 0 && errno == ENOENT && last ? Error() : LastError();
            if (!error)
                resolved = here;
            if (fd >= 0)
                ::close(fd);
            break;
        }
        if (!S_ISLNK(st.st_mode)) {
            if (last)
                resolved = here;
            else if (!S_ISDIR(st.st_mode))
                error = FromErrno(ENOTDIR);
            ::close(folder);
            folder = fd;
            at = here;
            if (last)
                break;
            continue;
        }
        char target[PATH_MAX];
        const ssize_t length = ::readlinkat(fd, "", target, sizeof target);
        ::close(fd);
        if (length < 0 || ++links > 40) {
            error = length < 0 ? LastError() : FromErrno(ELOOP);
            break;
        }
        const QByteArray leadsTo(target, length);
        if (st.st_uid != ::geteuid() && st.st_uid != 0) {
            foreign = {here, leadsTo.startsWith('/') ? leadsTo : at + '/' + leadsTo, AccountName(st.st_uid)};
            break;
        }
        rest = leadsTo.split('/') + rest;
        if (leadsTo.startsWith('/'))
            restart(true);
    }
    if (folder < 0 && !error)
        error = LastError();
    if (folder >= 0)
        ::close(folder);
    return error;
}

bool OwnerCouldWrite(const QByteArray &other, const QByteArray &path)
{
    struct stat account, file;
    if (::lstat(other.constData(), &account) != 0 || ::stat(path.constData(), &file) != 0)
        return false;
    const uid_t uid = account.st_uid;
    if (uid == 0 || uid == file.st_uid)
        return true;
    const QList<gid_t> groups = GroupsOf(uid);
    const QList<AclEntry> acl = AccessList(path.constData());
    if (acl.isEmpty())
        return (file.st_mode & S_IWOTH) || ((file.st_mode & S_IWGRP) && groups.contains(file.st_gid));
    // As the system checks an access list: a named entry for the account, else any group
    // entry of its groups, each within the mask; only then the others' bits.
    quint16 mask = 07;
    for (const AclEntry &entry : acl)
        if (entry.tag == kAclMask)
            mask = entry.permission;
    bool inAGroup = false;
    for (const AclEntry &entry : acl) {
        if (entry.tag == kAclUser && entry.id == uid)
            return entry.permission & mask & 02;
        const bool member = (entry.tag == kAclGroupObject && groups.contains(file.st_gid)) ||
                            (entry.tag == kAclGroup && groups.contains(gid_t(entry.id)));
        if (member && (entry.permission & mask & 02))
            return true;
        inAGroup = inAGroup || member;
    }
    return !inAGroup && (file.st_mode & S_IWOTH);
}

// Judged by the permission bits as a user would be; root, whom the system lets write
// anything, is held to the owner's write bit.
Error CheckWritable(const QByteArray &path, const FileInfo &info)
{
    if (::geteuid() == 0)
        return (info.protection.bits & S_IWUSR) ? Error() : FromErrno(EACCES);
    return ::faccessat(AT_FDCWD, path.constData(), W_OK, AT_EACCESS) == 0 ? Error() : LastError();
}

Error File::open(const QByteArray &path, Access access, Follow follow)
{
    close();
    int flags = O_CLOEXEC | O_NOCTTY | O_NONBLOCK;
    flags |= access == Access::Read ? O_RDONLY : access == Access::Write ? O_WRONLY : O_RDWR;
    if (follow == Follow::NotLinks)
        flags |= O_NOFOLLOW;
    const int fd = ::open(path.constData(), flags);
    if (fd < 0)
        return LastError();
    // Reads from an ordinary file never block; the flag only kept the open from waiting.
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    m_handle = fd;
    return {};
}

Error File::createNew(const QByteArray &path)
{
    close();
    const int fd = ::open(path.constData(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0)
        return LastError();
    m_handle = fd;
    return {};
}

Error File::createTemporary(const QByteArray &dir, const QByteArray &prefix, QByteArray &path)
{
    close();
    QByteArray pattern = dir + '/' + prefix + "XXXXXX";
    const int fd = ::mkostemp(pattern.data(), O_CLOEXEC);
    if (fd < 0)
        return LastError();
    m_handle = fd;
    path = pattern;
    return {};
}

Error File::info(FileInfo &info) const
{
    struct stat st;
    if (::fstat(Fd(m_handle), &st) != 0)
        return LastError();
    info = InfoOf(st);
    return {};
}

Error File::readAt(qint64 offset, char *buffer, qsizetype size, qsizetype &got)
{
    for (;;) {
        const ssize_t n = ::pread(Fd(m_handle), buffer, size_t(size), off_t(offset));
        if (n >= 0) {
            got = n;
            return {};
        }
        if (errno != EINTR)
            return LastError();
    }
}

Error File::writeAt(qint64 offset, const char *data, qsizetype size)
{
    while (size > 0) {
        const ssize_t n = ::pwrite(Fd(m_handle), data, size_t(size), off_t(offset));
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return LastError();
        }
        data += n;
        size -= n;
        offset += n;
    }
    return {};
}

qint64 File::nextData(qint64 offset)
{
    const off_t data = ::lseek(Fd(m_handle), off_t(offset), SEEK_DATA);
    if (data < 0)
        return errno == ENXIO ? -1 : offset;
    return data;
}

Error File::resize(qint64 size)
{
    return ::ftruncate(Fd(m_handle), off_t(size)) == 0 ? Error() : LastError();
}

Error File::reserve(qint64 size)
{
    return FromErrno(::posix_fallocate(Fd(m_handle), 0, off_t(size)));
}

Error File::allowHoles()
{
    return {};
}

Error File::flush()
{
    return ::fsync(Fd(m_handle)) == 0 ? Error() : LastError();
}

Error File::close()
{
    if (m_handle == kClosed)
        return {};
    const int fd = Fd(std::exchange(m_handle, kClosed));
    return ::close(fd) == 0 ? Error() : LastError();
}

Error File::protectAsNew()
{
    return ::fchmod(Fd(m_handle), 0666 & ~Umask()) == 0 ? Error() : LastError();
}

// Created 0600: the user's alone, whatever group a set-group-ID folder gives it, and an
// ACL inherited from the folder stays masked out as long as the mode is not widened.
Error File::protectAsCopyOf(const File &)
{
    return {};
}

bool File::takeOver(const QByteArray &path, const FileInfo &old)
{
    const Protection &p = old.protection;
    struct stat now;
    // Compared with what this file has, not with the user: a set-group-ID folder gives a
    // new file the folder's group.
    if (::fstat(Fd(m_handle), &now) != 0)
        return false;
    if ((now.st_uid != p.owner || now.st_gid != p.group) &&
        ::fchown(Fd(m_handle), uid_t(p.owner), gid_t(p.group)) != 0)
        return false;
    // After the owner: a change of owner clears the set-user-ID bits.
    if (::fchmod(Fd(m_handle), mode_t(p.bits)) != 0)
        return false;
    const int from = ::open(path.constData(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (from < 0)
        return false;
    struct stat st;
    const bool same =
        ::fstat(from, &st) == 0 && quint64(st.st_ino) == old.id.index && quint64(st.st_dev) == old.id.volume;
    const bool kept = same && CopyExtendedAttributes(from, Fd(m_handle));
    ::close(from);
    return kept;
}

QString HostName()
{
    char name[256] = {};
    return ::gethostname(name, sizeof name - 1) == 0 ? QString::fromLocal8Bit(name) : QString();
}

Error Remove(const QByteArray &path)
{
    return ::unlink(path.constData()) == 0 ? Error() : LastError();
}

Error Replace(const QByteArray &from, const QByteArray &to)
{
    return ::rename(from.constData(), to.constData()) == 0 ? Error() : LastError();
}

Error MoveNew(const QByteArray &from, const QByteArray &to)
{
    if (::renameat2(AT_FDCWD, from.constData(), AT_FDCWD, to.constData(), RENAME_NOREPLACE) == 0)
        return {};
    if (errno != EINVAL && errno != ENOSYS && errno != ENOTSUP)
        return LastError();
    // A file system without RENAME_NOREPLACE (NFS, older FUSE): a second name, made only
    // where none is, then the first one goes. Without hard links either, there is no such
    // move: that is the file system's lack, not a permission.
    if (::link(from.constData(), to.constData()) != 0) {
        if (errno == EPERM || errno == ENOTSUP || errno == EOPNOTSUPP || errno == ENOSYS || errno == EXDEV)
            return Error(Errc::Unsupported, errno, QString::fromLocal8Bit(std::strerror(errno)));
        return LastError();
    }
    return Remove(from);
}

Error FlushFolder(const QByteArray &dir)
{
    const int fd = ::open(dir.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return errno == EACCES ? Error() : LastError();
    // Some file systems cannot flush a folder (EINVAL): their renames are as safe as they get.
    const int error = ::fsync(fd) != 0 && errno != EINVAL ? errno : 0;
    ::close(fd);
    return FromErrno(error);
}

Error FolderEntries(const QByteArray &dir, QList<QByteArray> &names)
{
    names.clear();
    DIR *folder = ::opendir(dir.constData());
    if (folder == nullptr)
        return LastError();
    while (const dirent *entry = ::readdir(folder))
        names.append(QByteArray(entry->d_name));
    ::closedir(folder);
    return {};
}

FolderLock::~FolderLock()
{
    if (m_handle >= 0)
        ::close(Fd(m_handle));
}

FolderLock::State FolderLock::take(const QByteArray &dir)
{
    const int fd = ::open(dir.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return State::Unavailable;
    while (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        if (errno == EINTR)
            continue;
        const int error = errno;
        ::close(fd);
        return error == EWOULDBLOCK ? State::Busy : State::Unavailable;
    }
    m_handle = fd;
    return State::Taken;
}

// Judged on the open folder, so that what is narrowed is what was checked.
Error MakePrivateFolder(const QByteArray &path)
{
    if (::mkdir(path.constData(), 0700) != 0 && errno != EEXIST)
        return LastError();
    const int fd = ::open(path.constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
        return errno == ENOTDIR || errno == ELOOP ? FromErrno(EEXIST) : LastError();
    struct stat st;
    int error = ::fstat(fd, &st) != 0 ? errno : 0;
    if (!error && st.st_uid != ::geteuid())
        error = EACCES;
    else if (!error && (st.st_mode & 07777) != 0700 && ::fchmod(fd, 0700) != 0)
        error = errno;
    ::close(fd);
    return FromErrno(error);
}

} // namespace sys
