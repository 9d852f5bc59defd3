#include "datafile.h"

#include "fileio.h"
#include "guards.h"
#include "linecutter.h"
#include "utf16transcoder.h"

#include <QFile>

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <optional>
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

// `utf16` tells that the lines are a UTF-16 file's, already turned into UTF-8.
DataFileText Decode(QList<QByteArray> lines, bool truncated, bool linesCut, std::optional<TextEncoding> utf16)
{
    DataFileText text;
    if (utf16) {
        text.encoding = *utf16;
    } else {
        const bool bom = !lines.isEmpty() && lines.first().startsWith(kUtf8Bom);
        if (bom)
            lines.first().remove(0, 3);
        text.encoding = DetectEncoding(lines, bom);
    }
    text.lines = DecodeLines(lines, text.encoding);
    text.truncated = truncated;
    text.linesCut = linesCut;
    for (QString &line : text.lines)
        text.linesCut = CutText(line, kMaxLineChars) || text.linesCut;
    return text;
}

QString OpenErrorText(const QString &path, int error)
{
    if (error < 0)
        return u"通常のファイルではありません。"_s;
    struct stat info;
    if (error == ENOENT && ::lstat(QFile::encodeName(path).constData(), &info) == 0 && S_ISLNK(info.st_mode))
        return u"シンボリックリンクのリンク先がありません。"_s;
    return ErrnoText(error);
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
    const QByteArray name = QFile::encodeName(path);
    struct stat info;
    if (::stat(name.constData(), &info) == 0)
        return S_ISREG(info.st_mode);
    // The name is there but cannot be followed: a broken link or a loop.
    return ::lstat(name.constData(), &info) == 0;
}

DataFileText ParseDataBytes(QByteArrayView bytes)
{
    const std::optional<TextEncoding> utf16 = Utf16ByteOrder(bytes);
    QByteArray utf8;
    if (utf16) {
        Utf16Transcoder transcoder(*utf16 == TextEncoding::Utf16Be);
        transcoder.feed(bytes.sliced(kUtf16BomSize), utf8);
        transcoder.finish(utf8);
        bytes = utf8;
    }
    const CutResult cut = CutLines(bytes, kMaxDataLines, kMaxLineBytes);
    return Decode(cut.lines, cut.truncated, cut.linesCut, utf16);
}

DataFileText ReadDataFile(const QString &path, const Progress &progress)
{
    const QString what = Quoted(path) + u"を読み込めませんでした。"_s;
    Fd fd;
    struct stat info;
    if (const int error = OpenRegularFile(path, fd, info); error != 0)
        throw RunTimeError(what + u"\n"_s + OpenErrorText(path, error));

    char head[kUtf16BomSize];
    qsizetype headSize = 0;
    for (qsizetype n = 1; headSize < kUtf16BomSize && n > 0; headSize += n)
        n = ReadSome(fd.get(), head + headSize, kUtf16BomSize - headSize, what);
    const std::optional<TextEncoding> utf16 = Utf16ByteOrder(QByteArrayView(head, headSize));
    const qint64 start = utf16 ? kUtf16BomSize : 0;

    // Progress counts both passes: the first is [0, size), the second [size, 2 size).
    const qint64 size = info.st_size;
    const qint64 total = 2 * size;
    QByteArray chunk(kChunkSize, Qt::Uninitialized);
    QByteArray utf8;
    // Feeds the file's text as UTF-8 to `take` until it returns false or the file ends.
    // While `zerosUnwanted` holds, the holes of a sparse file are passed over unread: they
    // read as zero bytes, which hold no line end. Holes start and end on block boundaries,
    // so no UTF-16 code unit is split by a jump.
    const auto pass = [&](qint64 base, const std::function<bool()> &zerosUnwanted,
                          const std::function<bool(QByteArrayView)> &take) {
        if (::lseek(fd.get(), start, SEEK_SET) != start)
            Fail(what, errno);
        std::optional<Utf16Transcoder> transcoder;
        if (utf16)
            transcoder.emplace(*utf16 == TextEncoding::Utf16Be);
        qint64 done = start;
        for (;;) {
            if (zerosUnwanted()) {
                const off_t data = ::lseek(fd.get(), done, SEEK_DATA);
                if (data < 0 && errno == ENXIO)
                    break; // nothing but a hole up to the end
                done = std::max<qint64>(done, data);
            }
            const qsizetype n = ReadSome(fd.get(), chunk.data(), chunk.size(), what);
            if (n == 0)
                break;
            done += n;
            QByteArrayView text(chunk.constData(), n);
            if (transcoder) {
                utf8.clear();
                transcoder->feed(text, utf8);
                text = utf8;
            }
            const bool more = take(text);
            ReportProgress(progress, base + std::min(done, size), total);
            if (!more)
                return;
        }
        if (transcoder) {
            utf8.clear();
            transcoder->finish(utf8);
            take(utf8);
        }
    };

    // A single CR anywhere decides how lines end, so look for one first.
    LineEnds ends = LineEnds::Lf;
    pass(
        0, [] { return true; },
        [&ends](QByteArrayView text) {
            if (!text.contains('\r'))
                return true;
            ends = LineEnds::CrOrCrLf;
            return false;
        });

    LineCutter cutter(ends, kMaxDataLines, kMaxLineBytes);
    pass(
        size, [&cutter] { return cutter.skippingLine(); },
        [&cutter](QByteArrayView text) { return cutter.feed(text); });
    cutter.finish();
    ReportProgress(progress, total, total);
    return Decode(cutter.lines(), cutter.truncated(), cutter.linesCut(), utf16);
}
