#include "sourcefile.h"

#include "datawriter.h"
#include "guards.h"

#include <QFile>

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace Qt::StringLiterals;

SourceFile::SourceFile(const QByteArray &path) : m_path(path)
{
    const QString what = QuotedNative(path) + u"は読み込めません。"_s;
    // Decided before opening: opening a device or a FIFO can itself do something (a
    // terminal would become the program's controlling terminal, a FIFO would wait).
    struct stat info;
    if (::stat(path.constData(), &info) != 0)
        Fail(what, errno);
    if (S_ISDIR(info.st_mode))
        Fail(what, EISDIR);
    if (!S_ISREG(info.st_mode))
        throw RunTimeError(what + u"\n通常のファイルではありません（デバイスや名前付きパイプなど）。"_s);
    Fd fd(::open(path.constData(), O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
    struct stat opened;
    if (fd.get() < 0 || ::fstat(fd.get(), &opened) != 0)
        Fail(what, errno);
    if (opened.st_dev != info.st_dev || opened.st_ino != info.st_ino)
        throw RunTimeError(what + u"\n開く間にファイルが置き換えられました。"_s);
    m_fd = std::move(fd);
}

bool SourceFile::isSameFileAs(const QString &path) const
{
    struct stat mine, other;
    return ::fstat(m_fd.get(), &mine) == 0 && ::stat(QFile::encodeName(path).constData(), &other) == 0 &&
           mine.st_dev == other.st_dev && mine.st_ino == other.st_ino;
}

void SourceFile::copyOver(const QString &path, const Progress &progress)
{
    const QString what = QuotedNative(m_path) + u"を読み込めませんでした。"_s;
    struct stat info;
    const qint64 total = ::fstat(m_fd.get(), &info) == 0 ? qint64(info.st_size) : 0;
    DataFileWriter writer(path);
    QByteArray chunk(kChunkSize, Qt::Uninitialized);
    qint64 done = 0;
    for (qsizetype n; (n = ReadSome(m_fd.get(), chunk.data(), chunk.size(), what)) > 0;) {
        writer.write(chunk.constData(), n);
        done += n;
        ReportProgress(progress, done, total);
    }
    writer.commit();
}
