#include "cp932.h"

#include <windows.h>

#include <algorithm>

// Windows' own code page 932. It decodes five single bytes that the code page leaves
// unassigned (0x80, 0xA0, 0xFD to 0xFF) to private characters; they are refused here, as
// every other system refuses them, so that a file reads the same everywhere.
class Cp932Converter
{
};

Cp932Decoder::Cp932Decoder() : m_converter(std::make_unique<Cp932Converter>()) {}

Cp932Decoder::~Cp932Decoder() = default;

namespace {

constexpr UINT kCodePage = 932;

bool IsLeadByte(unsigned char byte)
{
    return (byte >= 0x81 && byte <= 0x9F) || (byte >= 0xE0 && byte <= 0xFC);
}

bool IsUnassignedSingleByte(unsigned char byte)
{
    return byte == 0x80 || byte == 0xA0 || byte >= 0xFD;
}

// The UTF-16 of bytes that are all valid, or false.
bool DecodeStrict(QByteArrayView bytes, QString &out)
{
    if (bytes.isEmpty())
        return true;
    const int size = ::MultiByteToWideChar(kCodePage, MB_ERR_INVALID_CHARS, bytes.data(), int(bytes.size()),
                                           nullptr, 0);
    if (size <= 0)
        return false;
    const qsizetype start = out.size();
    out.resize(start + size);
    ::MultiByteToWideChar(kCodePage, MB_ERR_INVALID_CHARS, bytes.data(), int(bytes.size()),
                          reinterpret_cast<wchar_t *>(out.data() + start), size);
    return true;
}

// How many bytes the characters before the first invalid one take.
qsizetype ValidPrefix(QByteArrayView bytes)
{
    qsizetype at = 0;
    QString ignored;
    while (at < bytes.size()) {
        const auto lead = static_cast<unsigned char>(bytes[at]);
        if (IsUnassignedSingleByte(lead))
            break;
        const qsizetype length = IsLeadByte(lead) ? 2 : 1;
        if (at + length > bytes.size())
            break;
        ignored.clear();
        if (!DecodeStrict(bytes.sliced(at, length), ignored))
            break;
        at += length;
    }
    return at;
}

} // namespace

namespace cp932 {

qsizetype DecodeValid(Cp932Converter &, QByteArrayView bytes, QString &out)
{
    // Large pieces at once; a piece with an invalid byte character by character.
    constexpr qsizetype kPiece = 1 << 16;
    qsizetype done = 0;
    while (done < bytes.size()) {
        qsizetype size = std::min(kPiece, bytes.size() - done);
        // Never split a character between two pieces.
        if (done + size < bytes.size()) {
            qsizetype at = done;
            while (at < done + size)
                at += IsLeadByte(static_cast<unsigned char>(bytes[at])) ? 2 : 1;
            size = std::min(at, bytes.size()) - done;
        }
        const QByteArrayView piece = bytes.sliced(done, size);
        const bool unassigned = std::any_of(piece.begin(), piece.end(), [](char c) {
            return IsUnassignedSingleByte(static_cast<unsigned char>(c));
        });
        if (unassigned || !DecodeStrict(piece, out)) {
            const qsizetype valid = ValidPrefix(piece);
            DecodeStrict(piece.first(valid), out);
            return done + valid;
        }
        done += size;
    }
    return done;
}

std::optional<QByteArray> Encode(QStringView text)
{
    if (text.isEmpty())
        return QByteArray();
    const auto *wide = reinterpret_cast<const wchar_t *>(text.utf16());
    BOOL usedDefault = FALSE;
    const int size = ::WideCharToMultiByte(kCodePage, WC_NO_BEST_FIT_CHARS, wide, int(text.size()), nullptr, 0,
                                           nullptr, &usedDefault);
    if (size <= 0 || usedDefault)
        return std::nullopt;
    QByteArray bytes(size, Qt::Uninitialized);
    ::WideCharToMultiByte(kCodePage, WC_NO_BEST_FIT_CHARS, wide, int(text.size()), bytes.data(), size, nullptr,
                          &usedDefault);
    if (usedDefault)
        return std::nullopt;
    return bytes;
}

} // namespace cp932
