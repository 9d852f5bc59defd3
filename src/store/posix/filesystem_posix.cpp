#include "store/filesystem.h"

#include <QFile>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
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

// Gives `to` every extended attribute of the file at `from` (ACLs are stored as such).
bool CopyExtendedAttributes(const QByteArray &from, int to)
{
    ssize_t size = ::listxattr(from.constData(), nullptr, 0);
    if (size < 0)
        return errno == ENOTSUP;
    QByteArray names(size, Qt::Uninitialized);
    size = ::listxattr(from.constData(), names.data(), size_t(names.size()));
    if (size < 0)
        return false;
    for (const QByteArray &name : names.left(size).split('\0')) {
        if (name.isEmpty())
            continue;
        const ssize_t length = ::getxattr(from.constData(), name.constData(), nullptr, 0);
        if (length < 0)
            return false;
        QByteArray value(length, Qt::Uninitialized);
        const ssize_t got = ::getxattr(from.constData(), name.constData(), value.data(), size_t(value.size()));
        if (got < 0 || ::fsetxattr(to, name.constData(), value.constData(), size_t(got), 0) != 0)
            return false;
    }
    return true;
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
// UTF-8, and decoding it would lose it: the URL's bytes are taken as they are.
QByteArray LocalFilePath(const QUrl &url)
{
    return QByteArray::fromPercentEncoding(url.path(QUrl::FullyEncoded).toLatin1());
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

Error ResolveLinks(const QByteArray &path, QByteArray &resolved)
{
    char *real = ::realpath(path.constData(), nullptr);
    if (real == nullptr)
        return LastError();
    resolved = real;
    std::free(real);
    return {};
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

Error File::read(char *buffer, qsizetype size, qsizetype &got)
{
    for (;;) {
        const ssize_t n = ::read(Fd(m_handle), buffer, size_t(size));
        if (n >= 0) {
            got = n;
            return {};
        }
        if (errno != EINTR)
            return LastError();
    }
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

Error File::write(const char *data, qsizetype size)
{
    while (size > 0) {
        const ssize_t n = ::write(Fd(m_handle), data, size_t(size));
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return LastError();
        }
        data += n;
        size -= n;
    }
    return {};
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

Error File::seek(qint64 offset)
{
    return ::lseek(Fd(m_handle), off_t(offset), SEEK_SET) == off_t(offset) ? Error() : LastError();
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

Error File::protectLike(const File &from)
{
    struct stat st;
    if (::fstat(Fd(from.m_handle), &st) != 0)
        return LastError();
    // Permission bits only: a copy never gets set-user-ID and the like.
    return ::fchmod(Fd(m_handle), st.st_mode & 0777) == 0 ? Error() : LastError();
}

bool File::takeOver(const QByteArray &path, const FileInfo &old)
{
    const Protection &p = old.protection;
    if ((p.owner != ::geteuid() || p.group != ::getegid()) &&
        ::fchown(Fd(m_handle), uid_t(p.owner), gid_t(p.group)) != 0)
        return false;
    // After the owner: a change of owner clears the set-user-ID bits.
    if (::fchmod(Fd(m_handle), mode_t(p.bits)) != 0)
        return false;
    return CopyExtendedAttributes(path, Fd(m_handle));
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
    // where none is, then the first one goes.
    if (::link(from.constData(), to.constData()) != 0)
        return LastError();
    return Remove(from);
}

Error FlushFolder(const QByteArray &dir)
{
    const int fd = ::open(dir.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return LastError();
    // Some file systems cannot flush a folder (EINVAL): their renames are as safe as they get.
    const int error = ::fsync(fd) != 0 && errno != EINVAL ? errno : 0;
    ::close(fd);
    return FromErrno(error);
}

QList<QByteArray> FolderEntries(const QByteArray &dir)
{
    QList<QByteArray> names;
    if (DIR *folder = ::opendir(dir.constData())) {
        while (const dirent *entry = ::readdir(folder))
            names.append(QByteArray(entry->d_name));
        ::closedir(folder);
    }
    return names;
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

} // namespace sys
