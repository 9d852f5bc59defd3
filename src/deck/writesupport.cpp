#include "writesupport.h"

#include "guards.h"

#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

using namespace Qt::StringLiterals;

QByteArray StalePrefix(const QByteArray &name)
{
    return "." + name + ".pelmor-";
}

QByteArray TempPattern(const QByteArray &dir, const QByteArray &name)
{
    return dir + "/" + StalePrefix(name) + "XXXXXX";
}

QByteArray BackupPath(const QByteArray &dir, const QByteArray &name)
{
    return dir + "/" + StalePrefix(name) + kBackupTag;
}

QString FolderText(const QByteArray &dir)
{
    return Quoted(QFileInfo(QFile::decodeName(dir)).absoluteFilePath());
}

void SplitPath(const QByteArray &path, QByteArray &dir, QByteArray &name)
{
    const qsizetype slash = path.lastIndexOf('/');
    dir = slash < 0 ? QByteArray(".") : slash == 0 ? QByteArray("/") : path.left(slash);
    name = path.mid(slash + 1);
}

bool ResolveTarget(const QByteArray &given, QByteArray &target, struct stat &info, const QString &what)
{
    target = given;
    struct stat link;
    if (::lstat(given.constData(), &link) != 0) {
        if (errno == ENOENT)
            return false;
        Fail(what, errno);
    }
    if (!S_ISLNK(link.st_mode)) {
        info = link;
        return true;
    }
    if (::stat(given.constData(), &info) != 0)
        throw RunTimeError(what + u"\nリンク先のファイルを開けません。"_s + ErrnoText(errno));
    char *real = ::realpath(given.constData(), nullptr);
    if (real == nullptr)
        Fail(what, errno);
    target = real;
    std::free(real);
    return true;
}

// Judged by the permission bits as a user would be; root, whom the system lets write
// anything, is held to the owner's write bit, so write-protection means the same for all.
int WriteCheck(const QByteArray &path, const struct stat &info)
{
    if (::geteuid() == 0)
        return (info.st_mode & S_IWUSR) ? 0 : EACCES;
    return ::faccessat(AT_FDCWD, path.constData(), W_OK, AT_EACCESS) == 0 ? 0 : errno;
}

void RequireWritable(const QByteArray &path, const struct stat &info, const QString &what,
                     const QString &refusal)
{
    if (const int error = WriteCheck(path, info); error == EACCES || error == EPERM)
        throw RunTimeError(what + refusal);
    else if (error != 0)
        Fail(what, error);
}

mode_t NewFileMode()
{
    const mode_t mask = ::umask(0);
    ::umask(mask);
    return 0666 & ~mask;
}

Lock LockFolder(const QByteArray &dir, Fd &lock)
{
    lock = Fd(::open(dir.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (lock.get() < 0)
        return Lock::Unavailable;
    while (::flock(lock.get(), LOCK_EX | LOCK_NB) != 0) {
        if (errno == EINTR)
            continue;
        const int error = errno;
        lock.reset();
        return error == EWOULDBLOCK ? Lock::Busy : Lock::Unavailable;
    }
    return Lock::Taken;
}

void SyncFolder(const QByteArray &dir, const QString &what)
{
    Fd folder(::open(dir.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    // Some file systems cannot flush a folder (EINVAL): their renames are as safe as they get.
    if (folder.get() < 0 || (::fsync(folder.get()) != 0 && errno != EINVAL))
        Fail(what, errno);
}

void CopyContents(int from, int to, const QString &what, const Progress &progress, qint64 done, qint64 total)
{
    QByteArray chunk(kChunkSize, Qt::Uninitialized);
    off_t offset = 0;
    for (;;) {
        const ssize_t n = ::pread(from, chunk.data(), size_t(chunk.size()), offset);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            Fail(what, errno);
        }
        if (n == 0)
            break;
        for (ssize_t written = 0; written < n;) {
            const ssize_t w =
                ::pwrite(to, chunk.constData() + written, size_t(n - written), offset + written);
            if (w < 0) {
                if (errno == EINTR)
                    continue;
                Fail(what, errno);
            }
            written += w;
        }
        offset += n;
        ReportProgress(progress, done + offset, total);
    }
    if (::ftruncate(to, offset) != 0 || ::fsync(to) != 0)
        Fail(what, errno);
}
