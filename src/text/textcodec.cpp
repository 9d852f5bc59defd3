#include "textcodec.h"

#include "cp932.h"

#include <algorithm>

bool IsValidUtf8(QByteArrayView bytes)
{
    const auto *p = reinterpret_cast<const unsigned char *>(bytes.data());
    const auto *end = p + bytes.size();
    while (p < end) {
        const unsigned char lead = *p++;
        if (lead < 0x80)
            continue;
        int trail;
        unsigned char min = 0x80, max = 0xBF; // range of the first trail byte
        if (lead >= 0xC2 && lead <= 0xDF) {
            trail = 1;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            trail = 2;
            if (lead == 0xE0)
                min = 0xA0; // overlong
            else if (lead == 0xED)
                max = 0x9F; // surrogates
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            trail = 3;
            if (lead == 0xF0)
                min = 0x90; // overlong
            else if (lead == 0xF4)
                max = 0x8F; // above U+10FFFF
        } else {
            return false;
        }
        if (end - p < trail)
            return false;
        if (*p < min || *p > max)
            return false;
        for (int i = 1; i < trail; ++i) {
            if (p[i] < 0x80 || p[i] > 0xBF)
                return false;
        }
        p += trail;
    }
    return true;
}

bool HasHighByte(QByteArrayView bytes)
{
    return std::any_of(bytes.begin(), bytes.end(),
                       [](char c) { return static_cast<unsigned char>(c) > 0x7F; });
}

TextEncoding DetectEncoding(const QList<QByteArray> &lines, bool startsWithBom)
{
    if (startsWithBom)
        return TextEncoding::Utf8;
    bool anyHigh = false;
    for (const QByteArray &line : lines) {
        if (!IsValidUtf8(line))
            return TextEncoding::Cp932;
        anyHigh = anyHigh || HasHighByte(line);
    }
    return anyHigh ? TextEncoding::Utf8 : TextEncoding::Cp932;
}

QStringList DecodeLines(const QList<QByteArray> &lines, TextEncoding encoding)
{
    QStringList decoded;
    decoded.reserve(lines.size());
    if (encoding != TextEncoding::Cp932) {
        for (const QByteArray &line : lines) {
            // fromUtf8 drops a leading U+FEFF; past the file's own byte order mark it is text.
            QString text = QString::fromUtf8(line);
            if (line.startsWith(kUtf8Bom))
                text.prepend(QChar(0xFEFF));
            decoded.append(text);
        }
    } else {
        Cp932Decoder decoder;
        for (const QByteArray &line : lines)
            decoded.append(decoder.decode(line));
    }
    return decoded;
}

std::optional<TextEncoding> Utf16ByteOrder(QByteArrayView start)
{
    if (start.startsWith("\xFF\xFE"))
        return TextEncoding::Utf16Le;
    if (start.startsWith("\xFE\xFF"))
        return TextEncoding::Utf16Be;
    return std::nullopt;
}

bool CutText(QString &text, qsizetype maxUnits)
{
    if (text.size() <= maxUnits)
        return false;
    if (maxUnits > 0 && text[maxUnits - 1].isHighSurrogate() && text[maxUnits].isLowSurrogate())
        --maxUnits;
    text.truncate(maxUnits);
    return true;
}
