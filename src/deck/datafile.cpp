#include "datafile.h"

#include "fileio.h"
#include "guards.h"
#include "linecutter.h"

#include <QFile>

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace Qt::StringLiterals;

namespace {

// Opens without blocking (a FIFO would wait for a writer) and refuses anything but an
// ordinary file. Returns the errno of a failure, or 0.
int OpenRegularFile(const QString &path, Fd &fd, struct stat &info)
{
    fd = Fd();
    const int raw = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (raw < 0)
        return errno;
    Fd opened(raw);
    if (::fstat(raw, &info) != 0)
        return errno;
    if (S_ISDIR(info.st_mode))
        return EISDIR;
    if (!S_ISREG(info.st_mode))
        return -1;
    // Reads from an ordinary file never block; the flag is of no further use.
    ::fcntl(raw, F_SETFL, ::fcntl(raw, F_GETFL) & ~O_NONBLOCK);
    fd = std::move(opened);
    return 0;
}

DataFileText Decode(const QList<QByteArray> &rawLines, bool truncated)
{
    QList<QByteArray> lines = rawLines;
    const bool bom = !lines.isEmpty() && lines.first().startsWith(kUtf8Bom);
    if (bom)
        lines.first().remove(0, 3);
    DataFileText text;
    text.encoding = DetectEncoding(lines, bom);
    text.lines = DecodeLines(lines, text.encoding);
    text.truncated = truncated;
    return text;
}

} // namespace

QString DataFileName()
{
    return u"表示するデータ.txt"_s;
}

QString DataFilePath()
{
    // Relative: the data file lives in the folder the program was started in.
    return DataFileName();
}

bool DataFileExists(const QString &path)
{
    struct stat info;
    return ::stat(QFile::encodeName(path).constData(), &info) == 0 && S_ISREG(info.st_mode);
}

DataFileText ParseDataBytes(QByteArrayView bytes)
{
    const CutResult cut = CutLines(bytes, kMaxDataLines);
    return Decode(cut.lines, cut.truncated);
}

DataFileText ReadDataFile(const QString &path, const Progress &progress)
{
    const QString what = Quoted(path) + u"を読み込めませんでした。"_s;
    Fd fd;
    struct stat info;
    if (const int error = OpenRegularFile(path, fd, info); error != 0)
        throw RunTimeError(what + u"\n"_s +
                           (error < 0 ? u"通常のファイルではありません。"_s : ErrnoText(error)));

    QByteArray chunk(kChunkSize, Qt::Uninitialized);
    // A single CR anywhere decides how lines end, so look for one first.
    LineEnds ends = LineEnds::Lf;
    for (qsizetype n; (n = ReadSome(fd.get(), chunk.data(), chunk.size(), what)) > 0;) {
        if (QByteArrayView(chunk.constData(), n).contains('\r')) {
            ends = LineEnds::CrOrCrLf;
            break;
        }
    }
    if (::lseek(fd.get(), 0, SEEK_SET) != 0)
        Fail(what, errno);

    LineCutter cutter(ends, kMaxDataLines);
    qint64 done = 0;
    for (qsizetype n; (n = ReadSome(fd.get(), chunk.data(), chunk.size(), what)) > 0;) {
        if (!cutter.feed(QByteArrayView(chunk.constData(), n)))
            break;
        done += n;
        ReportProgress(progress, done, info.st_size);
    }
    cutter.finish();
    return Decode(cutter.lines(), cutter.truncated());
}
