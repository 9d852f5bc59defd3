#include "leftovers.h"

#include "guards.h"
#include "writesupport.h"

#include <QFile>
#include <QFileInfo>
#include <QStringList>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace Qt::StringLiterals;

namespace {

bool SameFile(const struct stat &a, const struct stat &b)
{
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// Why a file under one of our names cannot be ours; empty when it can.
QString NotOursBecause(const struct stat &info)
{
    if (S_ISLNK(info.st_mode))
        return u"シンボリックリンクです"_s;
    if (!S_ISREG(info.st_mode))
        return u"通常のファイルではありません（フォルダー、名前付きパイプ、デバイスなど）"_s;
    if (info.st_uid != ::geteuid())
        return u"ほかのユーザーのファイルです"_s;
    if (info.st_nlink != 1)
        return u"ほかの名前（ハードリンク）も付いています"_s;
    return {};
}

// Opens a leftover only when it is ours: judged by its name first, so that no FIFO or
// device is ever opened, then on the descriptor, so that nothing put there in between is
// taken. Otherwise an empty Fd, and `why` says why.
Fd OpenOurs(const QByteArray &path, struct stat &info, QString &why)
{
    struct stat named;
    if (::lstat(path.constData(), &named) != 0) {
        why = ErrnoText(errno);
        return Fd();
    }
    if (why = NotOursBecause(named); !why.isEmpty())
        return Fd();
    Fd fd(::open(path.constData(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY));
    if (fd.get() < 0 || ::fstat(fd.get(), &info) != 0) {
        why = ErrnoText(errno);
        return Fd();
    }
    why = NotOursBecause(info);
    if (why.isEmpty() && !SameFile(info, named))
        why = u"調べている間に置き換えられました"_s;
    return why.isEmpty() ? std::move(fd) : Fd();
}

// Removes the name while it still names the file that was checked; 0 or an errno.
int UnlinkChecked(const QByteArray &path, const struct stat &checked)
{
    struct stat now;
    if (::lstat(path.constData(), &now) != 0)
        return errno;
    if (!SameFile(now, checked))
        return EBUSY;
    return ::unlink(path.constData()) == 0 ? 0 : errno;
}

// Whether both files hold the same bytes.
bool SameContents(int a, int b, qint64 size, const QString &what, const Progress &progress, qint64 total)
{
    struct stat info;
    if (::fstat(b, &info) != 0)
        Fail(what, errno);
    if (info.st_size != size)
        return false;
    QByteArray chunkA(kChunkSize, Qt::Uninitialized), chunkB(kChunkSize, Qt::Uninitialized);
    for (qint64 offset = 0; offset < size;) {
        const ssize_t n = ::pread(a, chunkA.data(), size_t(chunkA.size()), offset);
        const ssize_t m = n <= 0 ? n : ::pread(b, chunkB.data(), size_t(n), offset);
        if (n < 0 || m < 0) {
            if (errno == EINTR)
                continue;
            Fail(what, errno);
        }
        if (n == 0 || m != n || std::memcmp(chunkA.constData(), chunkB.constData(), size_t(n)) != 0)
            return false;
        offset += n;
        ReportProgress(progress, offset, total);
    }
    return true;
}

// "表示するデータ.txt" → "表示するデータ（元に戻す前）.txt", then "…（元に戻す前2）.txt", …
QByteArray KeptPath(const QByteArray &dir, const QByteArray &name, int number)
{
    const QString fileName = QFile::decodeName(name);
    const qsizetype dot = fileName.lastIndexOf(u'.');
    const QString stem = dot > 0 ? fileName.left(dot) : fileName;
    const QString extension = dot > 0 ? fileName.mid(dot) : QString();
    const QString tag = number == 1 ? u"（元に戻す前）"_s : u"（元に戻す前%1）"_s.arg(number);
    return dir + "/" + QFile::encodeName(stem + tag + extension);
}

// Copies the data file's bytes into a new visible file beside it; returns its path.
QByteArray KeepCopy(int from, const QByteArray &dir, const QByteArray &name, const QString &what,
                    const Progress &progress, qint64 done, qint64 total)
{
    for (int number = 1; number <= 100; ++number) {
        const QByteArray path = KeptPath(dir, name, number);
        Fd to(::open(path.constData(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666));
        if (to.get() < 0) {
            if (errno == EEXIST)
                continue;
            Fail(what, errno);
        }
        try {
            CopyContents(from, to.get(), what, progress, done, total);
        } catch (...) {
            ::unlink(path.constData());
            throw;
        }
        return path;
    }
    Fail(what, EEXIST);
}

// No data file: a new one gets the backup's bytes, read from the descriptor that was
// checked, and never takes the place of a file that appeared meanwhile.
void Recreate(int from, const QByteArray &target, const QByteArray &dir, const QByteArray &name,
              const QString &what, const Progress &progress, qint64 total)
{
    QByteArray pattern = TempPattern(dir, name);
    Fd to(::mkostemp(pattern.data(), O_CLOEXEC));
    if (to.get() < 0)
        Fail(what, errno);
    try {
        if (::fchmod(to.get(), NewFileMode()) != 0)
            Fail(what, errno);
        CopyContents(from, to.get(), what, progress, 0, total);
        if (::renameat2(AT_FDCWD, pattern.constData(), AT_FDCWD, target.constData(), RENAME_NOREPLACE) != 0)
            Fail(what, errno);
    } catch (...) {
        ::unlink(pattern.constData());
        throw;
    }
}

// Copies the kept bytes back into the data file and removes the copy; false when that fails
// (then the copy stays, and the message names it).
bool PutBack(const QByteArray &kept, int to, const QString &what)
{
    try {
        const Fd from(::open(kept.constData(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
        if (from.get() < 0)
            Fail(what, errno);
        CopyContents(from.get(), to, what);
        return ::unlink(kept.constData()) == 0;
    } catch (const RunTimeError &) {
        return false;
    }
}

QString Named(const QByteArray &path)
{
    return Quoted(QFileInfo(QFile::decodeName(path)).absoluteFilePath());
}

// Puts the bytes secured before a write into the file itself back. Returns a message,
// empty when the data file already held them.
QString RestoreBackup(const QByteArray &backup, const QByteArray &target, const QByteArray &dir,
                      const QByteArray &name, const Progress &progress)
{
    struct stat saved;
    QString why;
    const Fd from = OpenOurs(backup, saved, why);
    if (from.get() < 0)
        return u"データファイルの隣にある%1は、このプログラムが残したものではないため使いませんでした（%2）。"
               u"データファイルはそのままです。"_s.arg(Named(backup), why);

    const QString what = Named(target) + u"を元に戻せませんでした。"_s;
    const QString left =
        u"\n書き込む前の内容は%1に残っています。次に起動したときに、もう一度元に戻します。"_s.arg(
            Named(backup));
    QByteArray kept;
    const auto keptText = [&kept] {
        return kept.isEmpty()
                   ? QString()
                   : u"\n元に戻す前の内容は%1に残しました（その後に編集していた場合は、こちらをお使いください）。"_s
                         .arg(Named(kept));
    };
    bool restored = true;
    try {
        struct stat info;
        if (::lstat(target.constData(), &info) != 0) {
            if (errno != ENOENT)
                Fail(what, errno);
            Recreate(from.get(), target, dir, name, what, progress, saved.st_size);
        } else {
            if (!S_ISREG(info.st_mode))
                throw RunTimeError(what +
                                   u"\nデータファイルが通常のファイルではないため、置き換えませんでした。"_s);
            const qint64 total = 2 * qint64(saved.st_size) + info.st_size;
            Fd current(::open(target.constData(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY));
            if (current.get() < 0)
                Fail(what, errno);
            restored = !SameContents(from.get(), current.get(), saved.st_size, what, progress, total);
            if (restored) {
                RequireWritable(
                    target, info, what,
                    u"\nデータファイルは書き込みが禁止されているため、置き換えませんでした。内容はそのままです。"_s);
                kept = KeepCopy(current.get(), dir, name, what, progress, saved.st_size, total);
                Fd to(::open(target.constData(), O_WRONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY));
                struct stat now;
                if (to.get() < 0 || ::fstat(to.get(), &now) != 0)
                    Fail(what, errno);
                if (!SameFile(now, info))
                    throw RunTimeError(what + u"\n調べている間にデータファイルが置き換えられました。"_s);
                try {
                    CopyContents(from.get(), to.get(), what, progress, saved.st_size + info.st_size, total);
                } catch (...) {
                    // Stopped half-way: the data file gets its own bytes back, never a mix.
                    if (PutBack(kept, to.get(), what))
                        kept.clear();
                    throw;
                }
            }
        }
        SyncFolder(dir, what);
    } catch (const Cancelled &) {
        return u"元に戻すのを中止しました。"_s + keptText() + left;
    } catch (const RunTimeError &error) {
        return error.message() + keptText() + left;
    }

    QString message =
        restored
            ? u"前回の書き込みが途中で止まっていたため、データファイル%1を書き込む前の内容に戻しました。"_s
                      .arg(Named(target)) +
                  keptText()
            : QString();
    if (const int error = UnlinkChecked(backup, saved); error != 0) {
        if (!message.isEmpty())
            message += u'\n';
        message +=
            u"書き込む前の内容を保存した%1を削除できませんでした。"_s.arg(Named(backup)) + ErrnoText(error);
    }
    return message;
}

} // namespace

// With the folder locked: nobody is writing there now, so every temporary file of ours
// is a killed run's.
QString ClearStaleFilesIn(const QByteArray &dir, const QByteArray &name, const QByteArray &target,
                          const Progress &progress)
{
    const QByteArray prefix = StalePrefix(name);
    QList<QByteArray> stale;
    if (DIR *folder = ::opendir(dir.constData())) {
        while (const dirent *entry = ::readdir(folder)) {
            const QByteArray entryName(entry->d_name);
            if (entryName.startsWith(prefix))
                stale.append(entryName);
        }
        ::closedir(folder);
    }
    QStringList messages;
    for (const QByteArray &entryName : stale) {
        const QByteArray rest = entryName.mid(prefix.size());
        const QByteArray path = dir + "/" + entryName;
        struct stat info;
        if (rest == kBackupTag) {
            if (QString message = RestoreBackup(path, target, dir, name, progress); !message.isEmpty())
                messages.append(message);
        } else if (rest.size() == 6 && ::lstat(path.constData(), &info) == 0 &&
                   NotOursBecause(info).isEmpty()) {
            UnlinkChecked(path, info);
        }
    }
    return messages.join(u'\n');
}

QString ClearStaleFiles(const QString &path, const Progress &progress)
{
    try {
        QByteArray target, dir, name;
        struct stat info;
        ResolveTarget(QFile::encodeName(path), target, info, QString());
        SplitPath(target, dir, name);
        Fd lock;
        if (LockFolder(dir, lock) != Lock::Taken)
            return {};
        return ClearStaleFilesIn(dir, name, target, progress);
    } catch (const RunTimeError &) {
        return {}; // no data file to look beside: reading it will tell the user
    }
}
