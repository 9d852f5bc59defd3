#include "datafile.h"

#include "filesystem.h"

#include "text/linecutter.h"
#include "text/runtimeerror.h"
#include "text/utf16transcoder.h"

#include <algorithm>
#include <optional>

using namespace Qt::StringLiterals;

namespace {

// Opens what the name leads to and refuses anything but an ordinary file; the message's
// second line, or empty.
QString OpenRegularFile(const QString &path, sys::File &file, sys::FileInfo &info)
{
    const QByteArray name = sys::PathBytes(path);
    sys::Error error = file.open(name, sys::Access::Read, sys::Follow::Links);
    if (!error)
        error = file.info(info);
    if (error) {
        sys::FileInfo link;
        if (error.code() == sys::Errc::NotFound && !sys::Status(name, link, sys::Follow::NotLinks) &&
            link.kind == sys::FileKind::Link)
            return u"シンボリックリンクのリンク先がありません。"_s;
        return error.text();
    }
    if (info.kind == sys::FileKind::Folder)
        return sys::Error(sys::Errc::IsFolder).text();
    if (info.kind != sys::FileKind::Regular)
        return u"通常のファイルではありません。"_s;
    return {};
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
    const QByteArray name = sys::PathBytes(path);
    sys::FileInfo info;
    if (!sys::Status(name, info, sys::Follow::Links))
        return info.kind == sys::FileKind::Regular;
    // The name is there but cannot be followed: a broken link or a loop.
    return !sys::Status(name, info, sys::Follow::NotLinks);
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
    sys::File file;
    sys::FileInfo info;
    if (const QString why = OpenRegularFile(path, file, info); !why.isEmpty())
        throw RunTimeError(what + u"\n"_s + why);

    char head[kUtf16BomSize];
    qsizetype headSize = 0;
    for (qsizetype n = 1; headSize < kUtf16BomSize && n > 0; headSize += n)
        Check(what, file.readAt(headSize, head + headSize, kUtf16BomSize - headSize, n));
    const std::optional<TextEncoding> utf16 = Utf16ByteOrder(QByteArrayView(head, headSize));
    const qint64 start = utf16 ? kUtf16BomSize : 0;

    // Progress counts both passes: the first is [0, size), the second [size, 2 size).
    const qint64 size = info.size;
    const qint64 total = 2 * size;
    QByteArray chunk(kChunkSize, Qt::Uninitialized);
    QByteArray utf8;
    // Feeds the file's text as UTF-8 to `take` until it returns false or the file ends.
    // While `zerosUnwanted` holds, the holes of a sparse file are passed over unread: they
    // read as zero bytes, which hold no line end. Holes start and end on block boundaries,
    // so no UTF-16 code unit is split by a jump.
    const auto pass = [&](qint64 base, const std::function<bool()> &zerosUnwanted,
                          const std::function<bool(QByteArrayView)> &take) {
        std::optional<Utf16Transcoder> transcoder;
        if (utf16)
            transcoder.emplace(*utf16 == TextEncoding::Utf16Be);
        qint64 done = start;
        for (;;) {
            if (zerosUnwanted()) {
                const qint64 data = file.nextData(done);
                if (data < 0)
                    break; // nothing but a hole up to the end
                done = std::max(done, data);
            }
            qsizetype n = 0;
            Check(what, file.readAt(done, chunk.data(), chunk.size(), n));
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
