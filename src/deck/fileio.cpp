#include "fileio.h"

#include "guards.h"

#include <QDir>
#include <QFile>

#include <cerrno>
#include <cstring>
#include <unistd.h>

using namespace Qt::StringLiterals;

void ReportProgress(const Progress &progress, qint64 done, qint64 total)
{
    if (progress && !progress(done, total))
        throw Cancelled();
}

QString Quoted(const QString &path)
{
    return u"「"_s + QDir::toNativeSeparators(path) + u"」"_s;
}

QString QuotedNative(const QByteArray &path)
{
    return Quoted(QFile::decodeName(path));
}

QString ErrnoText(int error)
{
    switch (error) {
    case EACCES:
    case EPERM:
        return u"アクセスが許可されていません。"_s;
    case ENOENT:
        return u"ファイルまたはフォルダーが見つかりません。"_s;
    case EISDIR:
        return u"ファイルではなくフォルダーです。"_s;
    case ENOSPC:
        return u"ディスクの空き容量が足りません。"_s;
    case EDQUOT:
        return u"ディスクの使用量の上限に達しました。"_s;
    case EFBIG:
        return u"ファイルが大きすぎます。"_s;
    case EROFS:
        return u"読み取り専用のファイルシステムです。"_s;
    case EIO:
        return u"入出力エラーが起きました。"_s;
    case ELOOP:
        return u"シンボリックリンクが多すぎるか、循環しています。"_s;
    case ENAMETOOLONG:
        return u"パスが長すぎます。"_s;
    case ENOMEM:
        return u"メモリが足りません。"_s;
    default:
        return u"システムエラーが起きました（%1: %2）。"_s.arg(error).arg(
            QString::fromLocal8Bit(std::strerror(error)));
    }
}

void Fail(const QString &what, int error)
{
    throw RunTimeError(what + u"\n"_s + ErrnoText(error));
}

void Fd::reset()
{
    if (m_fd >= 0)
        ::close(m_fd);
    m_fd = -1;
}

qsizetype ReadSome(int fd, char *buffer, qsizetype size, const QString &what)
{
    for (;;) {
        const ssize_t n = ::read(fd, buffer, size_t(size));
        if (n >= 0)
            return n;
        if (errno != EINTR)
            Fail(what, errno);
    }
}

void WriteAll(int fd, const char *data, qsizetype size, const QString &what)
{
    while (size > 0) {
        const ssize_t n = ::write(fd, data, size_t(size));
        if (n < 0) {
            if (errno == EINTR)
                continue;
            Fail(what, errno);
        }
        data += n;
        size -= n;
    }
}
