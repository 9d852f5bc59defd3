#include "pastedtext.h"

#include "cp932.h"
#include "linecutter.h"
#include "textcodec.h"

using namespace Qt::StringLiterals;

namespace {

using Told = std::function<void(qint64, qint64)>;

// The pieces of pasted text as they are stored: each lone LF made a CR LF, then one CR
// LF; a surrogate pair is never split. `piece(text, charsDone)` gets each in turn.
template <typename Piece> void ForEachPastedPiece(const QString &text, Piece piece)
{
    constexpr qsizetype kPieceChars = 1 << 16;
    QString out;
    out.reserve(kPieceChars + 2);
    QChar previous;
    for (qsizetype i = 0; i < text.size(); ++i) {
        const QChar c = text.at(i);
        if (c == u'\n' && previous != u'\r')
            out.append(u'\r');
        out.append(c);
        previous = c;
        if (out.size() >= kPieceChars && !c.isHighSurrogate()) {
            piece(QStringView(out), i + 1);
            out.clear();
        }
    }
    out.append(u"\r\n"_s);
    piece(QStringView(out), text.size());
}

// Whether text can be stored in code page 932: every character has a code there, and
// the bytes do not read back as UTF-8 (half-width "ﾃｽ" is 0xC3 0xBD).
bool PastedTextFitsCp932(const QString &text, int lineLimit, const Told &told, qint64 total)
{
    bool fits = true;
    // Pasted text always holds a CR, so its lines end at CR LF.
    LineCutter cutter(LineEnds::CrOrCrLf, lineLimit);
    ForEachPastedPiece(text, [&](QStringView piece, qsizetype done) {
        if (!fits)
            return;
        const std::optional<QByteArray> bytes = EncodeCp932(piece);
        if (!bytes)
            fits = false;
        else if (!cutter.truncated())
            cutter.feed(*bytes);
        if (told)
            told(done, total);
    });
    if (!fits)
        return false;
    cutter.finish();
    return DetectEncoding(cutter.lines(), false) == TextEncoding::Cp932;
}

} // namespace

QByteArray EncodeDataText(const QString &text, int lineLimit)
{
    if (std::optional<QByteArray> cp932 = EncodeCp932(text)) {
        // Read back, these bytes must not pass for UTF-8 (half-width "ﾃｽ" is 0xC3 0xBD).
        if (DetectEncoding(CutLines(*cp932, lineLimit).lines, false) == TextEncoding::Cp932)
            return *cp932;
    }
    return QByteArray(kUtf8Bom) + text.toUtf8();
}

void EncodePastedText(const QString &text, int lineLimit, const std::function<void(QByteArrayView)> &sink,
                      const Told &told)
{
    const qint64 total = 2 * qint64(text.size()) + 1;
    const bool cp932 = PastedTextFitsCp932(text, lineLimit, told, total);
    if (!cp932)
        sink(QByteArrayView(kUtf8Bom));
    ForEachPastedPiece(text, [&](QStringView piece, qsizetype done) {
        sink(cp932 ? *EncodeCp932(piece) : piece.toUtf8());
        if (told)
            told(text.size() + done, total);
    });
}

QByteArray PastedDataBytes(const QString &text, int lineLimit)
{
    QByteArray bytes;
    EncodePastedText(text, lineLimit, [&bytes](QByteArrayView piece) { bytes.append(piece); });
    return bytes;
}
