// libFuzzer target for the deck: any bytes as the data file, through cutting (also with a
// small cap on the bytes kept of a line), decoding (UTF-16 behind its byte order mark
// too), the card split in every delimiter mode and the list entries, then written back.
// A broken rule prints what broke and traps, which libFuzzer records as a crash.

#include "deck/cardtable.h"
#include "deck/delimiters.h"
#include "deck/guards.h"
#include "store/datafile.h"
#include "store/datawriter.h"
#include "text/linecutter.h"
#include "text/pastedtext.h"
#include "text/textcodec.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QList>
#include <QString>
#include <QStringConverter>
#include <QStringDecoder>
#include <QStringList>

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <initializer_list>
#include <optional>

using namespace Qt::StringLiterals;

namespace {

[[noreturn]] void Broken(const char *what, int line)
{
    std::fprintf(stderr, "fuzz_deck.cpp:%d: broken: %s\n", line, what);
    std::fflush(stderr);
    __builtin_trap();
}

#define CHECK(condition)                                                                                     \
    do {                                                                                                     \
        if (!(condition))                                                                                    \
            Broken(#condition, __LINE__);                                                                    \
    } while (false)

// FNV-1a: the input decides where it is cut into chunks, so the fuzzer steers that too.
std::uint64_t Hash(QByteArrayView bytes)
{
    std::uint64_t h = 0xcbf29ce484222325u;
    for (char c : bytes) {
        h ^= static_cast<unsigned char>(c);
        h *= 0x100000001b3u;
    }
    return h;
}

// The cut worked out the plain way, as a second opinion on LineCutter: with CR ends every
// CR LF counts as one CR; split at the terminator; a terminator at the very end (or an
// empty input) opens no further line; past maxLines lines the cut is truncated.
CutResult ReferenceCut(QByteArrayView bytes, int maxLines)
{
    QByteArray normal = bytes.toByteArray();
    char terminator = '\n';
    if (normal.contains('\r')) {
        normal.replace("\r\n", "\r");
        terminator = '\r';
    }
    QList<QByteArray> pieces = normal.split(terminator);
    if (normal.isEmpty() || normal.endsWith(terminator))
        pieces.removeLast();
    CutResult result;
    result.truncated = pieces.size() > maxLines;
    result.lines = pieces.mid(0, std::min<qsizetype>(pieces.size(), maxLines));
    return result;
}

// Feeds the bytes in chunks whose sizes come from nextSize (0 is allowed: an empty chunk
// must change nothing). stopWhenDone stops at the first refusal, as the file reader does;
// otherwise the rest is fed anyway and must be ignored.
CutResult CutInChunks(QByteArrayView bytes, const std::function<qsizetype()> &nextSize, bool stopWhenDone,
                      qsizetype maxLineBytes = kNoLineLimit)
{
    LineCutter cutter(LineEndsOf(bytes), kMaxDataLines, maxLineBytes);
    qsizetype pos = 0;
    while (pos < bytes.size()) {
        const qsizetype n = std::min(nextSize(), bytes.size() - pos);
        const bool wanted = cutter.feed(bytes.sliced(pos, n));
        CHECK(wanted == !cutter.truncated());
        CHECK(cutter.lines().size() <= kMaxDataLines);
        pos += n;
        if (!wanted && stopWhenDone)
            break;
    }
    cutter.finish();
    return {cutter.lines(), cutter.truncated(), cutter.linesCut()};
}

void CheckCut(QByteArrayView bytes, const CutResult &whole)
{
    CHECK(whole.lines.size() <= kMaxDataLines);
    CHECK(!whole.truncated || whole.lines.size() == kMaxDataLines);
    const bool crEnds = LineEndsOf(bytes) == LineEnds::CrOrCrLf;
    CHECK(crEnds == bytes.contains('\r'));
    for (const QByteArray &line : whole.lines) {
        CHECK(!line.contains('\r'));
        CHECK(crEnds || !line.contains('\n'));
    }

    const CutResult reference = ReferenceCut(bytes, kMaxDataLines);
    CHECK(whole.lines == reference.lines);
    CHECK(whole.truncated == reference.truncated);
    CHECK(!whole.linesCut);

    const std::uint64_t h = Hash(bytes);
    const auto same = [&whole](const CutResult &other) {
        return other.lines == whole.lines && other.truncated == whole.truncated;
    };

    // Two chunks, cut at a point the input chooses.
    const qsizetype at = qsizetype(h % std::uint64_t(bytes.size() + 1));
    for (bool stop : {true, false}) {
        bool first = true;
        CHECK(same(CutInChunks(
            bytes,
            [&] {
                const qsizetype n = first ? at : bytes.size();
                first = false;
                return n;
            },
            stop)));
    }
    // One byte at a time: every boundary falls between two chunks.
    CHECK(same(CutInChunks(
        bytes, [] { return qsizetype(1); }, true)));
    // Uneven chunks of 0 to 7 bytes.
    std::uint64_t state = h | 1;
    const auto uneven = [&state] {
        state ^= state << 13;
        state ^= state >> 7;
        state ^= state << 17;
        return qsizetype(state % 8);
    };
    CHECK(same(CutInChunks(bytes, uneven, false)));

    // A cap the input chooses: a longer line keeps a prefix of at least cap - 3 bytes,
    // which is still UTF-8 when the line was, and only the lines themselves change.
    const qsizetype cap = qsizetype(1 + (h >> 32) % 8);
    const CutResult capped = CutLines(bytes, kMaxDataLines, cap);
    CHECK(capped.lines.size() == whole.lines.size());
    CHECK(capped.truncated == whole.truncated);
    bool anyLonger = false;
    for (qsizetype i = 0; i < whole.lines.size(); ++i) {
        const QByteArray &line = whole.lines[i];
        const QByteArray &kept = capped.lines[i];
        anyLonger = anyLonger || line.size() > cap;
        if (line.size() <= cap) {
            CHECK(kept == line);
            continue;
        }
        CHECK(line.startsWith(kept));
        CHECK(kept.size() <= cap && kept.size() >= cap - 3);
        CHECK(!IsValidUtf8(line) || IsValidUtf8(kept));
    }
    CHECK(capped.linesCut == anyLonger);
    const auto sameCapped = [&capped](const CutResult &other) {
        return other.lines == capped.lines && other.truncated == capped.truncated &&
               other.linesCut == capped.linesCut;
    };
    CHECK(sameCapped(CutInChunks(
        bytes, [] { return qsizetype(1); }, true, cap)));
    CHECK(sameCapped(CutInChunks(bytes, uneven, false, cap)));
}

bool IsStrictUtf8(QByteArrayView bytes)
{
    // Qt's decoder as the second opinion; the initial BOM is a character like any other.
    QStringDecoder decoder(QStringDecoder::Utf8,
                           QStringConverter::Flag::Stateless | QStringConverter::Flag::ConvertInitialBom);
    const QString ignored = decoder.decode(bytes);
    return !decoder.hasError();
}

bool IsAscii(QByteArrayView bytes)
{
    return std::all_of(bytes.begin(), bytes.end(),
                       [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

void CheckDecoded(const CutResult &cut, const DataFileText &text)
{
    CHECK(text.lines.size() == cut.lines.size());
    CHECK(text.truncated == cut.truncated);

    QList<QByteArray> raw = cut.lines;
    const bool bom = !raw.isEmpty() && raw.first().startsWith("\xEF\xBB\xBF");
    if (bom)
        raw.first().remove(0, 3);

    bool allUtf8 = true;
    bool anyHigh = false;
    for (const QByteArray &line : raw) {
        allUtf8 = allUtf8 && IsStrictUtf8(line);
        anyHigh = anyHigh || !IsAscii(line);
    }
    const bool utf8 = bom || (allUtf8 && anyHigh);
    CHECK(text.encoding == (utf8 ? TextEncoding::Utf8 : TextEncoding::Cp932));

    bool anyLong = false;
    for (qsizetype i = 0; i < raw.size(); ++i) {
        const QByteArray &bytes = raw[i];
        const QString &line = text.lines[i];
        CHECK(IsValidUtf8(bytes) == IsStrictUtf8(bytes));
        // Neither encoding makes one byte into more than one UTF-16 unit, so a line of at
        // most kMaxLineChars bytes is never cut and the checks below see it whole.
        CHECK(line.size() <= std::min(bytes.size(), kMaxLineChars));
        // A CR always ends a line, so none survives into one; the LF cannot come from
        // nowhere either (code page 932 has no multi-byte code that holds 0x0A or 0x0D).
        CHECK(!line.contains(u'\r'));
        if (bytes.size() > kMaxLineChars) {
            anyLong = true;
            continue;
        }
        CHECK(bytes.contains('\n') == line.contains(u'\n'));
        if (IsAscii(bytes))
            CHECK(line == QString::fromLatin1(bytes));
        // Valid UTF-8 read as UTF-8 loses nothing, not even a U+FEFF at the start of a line.
        if (text.encoding == TextEncoding::Utf8 && IsStrictUtf8(bytes))
            CHECK(line.toUtf8() == bytes);
    }
    CHECK(anyLong || !text.linesCut);
}

// Whether a UTF-16 unit is half of a pair whose other half is missing.
bool LoneSurrogate(const QString &text, qsizetype i)
{
    const QChar c = text[i];
    if (c.isHighSurrogate())
        return i + 1 >= text.size() || !text[i + 1].isLowSurrogate();
    if (c.isLowSurrogate())
        return i == 0 || !text[i - 1].isHighSurrogate();
    return false;
}

// A file behind a UTF-16 byte order mark, with Qt's decoder as the second opinion: every
// unpaired surrogate and an odd last byte become U+FFFD; the lines end as in any other
// file, by CR code units or, without one, by LF; each is cut to kMaxLineChars units
// without splitting a pair.
void CheckUtf16(QByteArrayView bytes, TextEncoding encoding, const DataFileText &text)
{
    CHECK(text.encoding == encoding);
    const QByteArrayView body = bytes.sliced(kUtf16BomSize);
    QStringDecoder decoder(encoding == TextEncoding::Utf16Be ? QStringDecoder::Utf16BE
                                                             : QStringDecoder::Utf16LE,
                           QStringConverter::Flag::Stateless | QStringConverter::Flag::ConvertInitialBom);
    const QString units = decoder.decode(body.first(body.size() & ~qsizetype(1)));
    QString decoded;
    for (qsizetype i = 0; i < units.size(); ++i)
        decoded += LoneSurrogate(units, i) ? QChar(QChar::ReplacementCharacter) : units[i];
    if (body.size() % 2 != 0)
        decoded += QChar(QChar::ReplacementCharacter);

    QChar terminator = u'\n';
    if (decoded.contains(u'\r')) {
        decoded.replace(u"\r\n"_s, u"\r"_s);
        terminator = u'\r';
    }
    QStringList lines = decoded.split(terminator);
    if (decoded.isEmpty() || decoded.endsWith(terminator))
        lines.removeLast();
    CHECK(text.truncated == (lines.size() > kMaxDataLines));
    lines = lines.mid(0, std::min<qsizetype>(lines.size(), kMaxDataLines));
    bool cut = false;
    for (QString &line : lines) {
        if (line.size() > kMaxLineChars) {
            cut = true;
            line.truncate(line[kMaxLineChars].isLowSurrogate() && line[kMaxLineChars - 1].isHighSurrogate()
                              ? kMaxLineChars - 1
                              : kMaxLineChars);
        }
    }
    CHECK(text.lines == lines);
    CHECK(text.linesCut == cut);
}

constexpr std::array<char16_t, 4> kPunctuation = {u',', u'.', u'、', u'。'};
constexpr std::array<char16_t, 2> kBlanks = {u' ', u'　'};

// Marks every cell before the lines go in, like the window's table still holding the
// previous deck: cells the split must not reach have to keep it.
const CardTable &HeldTable()
{
    static const CardTable table = [] {
        CardTable t;
        for (int row = 0; row < CardTable::kRows; ++row) {
            for (int column = 0; column < 2; ++column)
                t.setCell(row, column, u"\x01held %1:%2"_s.arg(row).arg(column));
        }
        return t;
    }();
    return table;
}

void CheckSplitAtDelimiter(const QString &line, const QString &question, const QString &answer,
                           const char16_t *delimiters, std::size_t count)
{
    const auto contains = [&line](char16_t c) { return line.contains(QChar(c)); };
    if (question.size() == line.size()) {
        // Nothing split off: no delimiter anywhere in the line.
        CHECK(question == line);
        CHECK(answer.isEmpty());
        CHECK(std::none_of(delimiters, delimiters + count, contains));
        return;
    }
    CHECK(question.size() + 1 + answer.size() == line.size());
    const char16_t used = line[question.size()].unicode();
    const char16_t *found = std::find(delimiters, delimiters + count, used);
    CHECK(found != delimiters + count);
    CHECK(question + QChar(used) + answer == line);
    // Split at the first occurrence of the delimiter of highest precedence in the line.
    CHECK(!question.contains(QChar(used)));
    CHECK(std::none_of(delimiters, found, contains));
}

void CheckSplit(const QStringList &lines, DelimiterMode mode)
{
    const CardTable &held = HeldTable();
    CardTable table = held;
    const int count = int(lines.size());
    for (int i = 0; i < count; ++i)
        table.setCell(i, 0, lines[i]);
    if (count == 0)
        return; // the window splits nothing then

    const qint16 last = SplitCards(table, qint16(count - 1), mode);
    if (mode == DelimiterMode::LinePairs)
        CHECK(last == (count - 1) / 2);
    else
        CHECK(last == count - 1);

    for (int row = 0; row <= last; ++row) {
        const QString &question = table.cell(row, 0);
        const QString &answer = table.cell(row, 1);
        switch (mode) {
        case DelimiterMode::Punctuation:
            CheckSplitAtDelimiter(lines[row], question, answer, kPunctuation.data(), kPunctuation.size());
            break;
        case DelimiterMode::Blank:
            CheckSplitAtDelimiter(lines[row], question, answer, kBlanks.data(), kBlanks.size());
            break;
        case DelimiterMode::LinePairs:
            CHECK(question == lines[2 * row]);
            CHECK(answer == (2 * row + 1 < count ? lines[2 * row + 1] : QString()));
            break;
        }
        // The entry is the card, cut short as the list shows it.
        const QString entry = question + u',' + answer;
        const QString shown = ListItemText(table, row);
        CHECK(entry.startsWith(shown));
        CHECK(shown.size() == std::min(entry.size(), kMaxListItemChars) ||
              (shown.size() == kMaxListItemChars - 1 && entry[shown.size()].isHighSurrogate()));
    }
    for (int row = last + 1; row < CardTable::kRows; ++row) {
        CHECK(table.cell(row, 0) == (row < count ? lines[row] : held.cell(row, 0)));
        CHECK(table.cell(row, 1) == held.cell(row, 1));
    }
}

// Writing the decoded lines and reading them back must give the same lines. Each line
// gets its own CR LF rather than only joining them: a final empty line needs a terminator
// to come back, and a single line holding a lone LF would otherwise be read with LF ends
// and fall apart. No other restriction is needed, because
//  - decoded lines never hold a CR (checked above), so the only CRs are the terminators
//    and code page 932 never has 0x0D inside a character;
//  - text with U+FFFD, or anything else without a code page 932 code, goes out as UTF-8
//    behind a BOM, and UTF-8 read as such gives back exactly what was written;
//  - at most 301 lines go in, so none is lost to truncation on the way back.
void CheckWrittenBack(const QStringList &lines)
{
    QString text;
    for (const QString &line : lines)
        text += line + u"\r\n"_s;
    const QByteArray bytes = EncodeDataText(text, kMaxDataLines);
    const DataFileText back = ParseDataBytes(bytes);
    CHECK(!back.truncated);
    CHECK(back.lines == lines);
    if (bytes.startsWith("\xEF\xBB\xBF")) {
        CHECK(back.encoding == TextEncoding::Utf8);
        CHECK(bytes.sliced(3) == text.toUtf8());
    } else {
        CHECK(back.encoding == TextEncoding::Cp932);
    }
    // Plain ASCII is stored as it is, without a BOM.
    if (IsAscii(text.toUtf8()))
        CHECK(bytes == text.toLatin1());
}

// A paste of the lines (ending with LF or CR LF as the input chooses) reads back as the
// same lines. Only for a deck that has lines and none holding an LF: a paste turns every
// LF into a line end, and no lines and a single empty line both paste as nothing.
void CheckPastedBack(const QStringList &lines, std::uint64_t choice)
{
    if (lines.isEmpty() ||
        std::any_of(lines.begin(), lines.end(), [](const QString &line) { return line.contains(u'\n'); }))
        return;
    QString clipboard;
    for (qsizetype i = 0; i < lines.size(); ++i) {
        if (i > 0)
            clipboard += (choice >> (i % 64)) & 1 ? u"\r\n"_s : u"\n"_s;
        clipboard += lines[i];
    }
    const DataFileText back = ParseDataBytes(PastedDataBytes(clipboard, kMaxDataLines));
    CHECK(!back.truncated);
    CHECK(back.lines == lines);
}

void Run(QByteArrayView bytes)
{
    const CutResult cut = CutLines(bytes, kMaxDataLines);
    CheckCut(bytes, cut);

    const DataFileText text = ParseDataBytes(bytes);
    if (const std::optional<TextEncoding> utf16 = Utf16ByteOrder(bytes))
        CheckUtf16(bytes, *utf16, text);
    else
        CheckDecoded(CutLines(bytes, kMaxDataLines, kMaxLineBytes), text);

    for (DelimiterMode mode : {DelimiterMode::Punctuation, DelimiterMode::Blank, DelimiterMode::LinePairs})
        CheckSplit(text.lines, mode);

    CheckWrittenBack(text.lines);
    CheckPastedBack(text.lines, Hash(bytes));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    try {
        Run(QByteArrayView(reinterpret_cast<const char *>(data), qsizetype(size)));
    } catch (const RunTimeError &error) {
        // Nothing here goes near a guard's limits: any RunTimeError is a fault.
        std::fprintf(stderr, "RunTimeError: %s\n", error.what());
        std::fflush(stderr);
        __builtin_trap();
    }
    return 0;
}
