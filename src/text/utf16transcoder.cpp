#include "utf16transcoder.h"

namespace {

char *PutUtf8(char32_t c, char *out)
{
    if (c < 0x80) {
        *out++ = char(c);
    } else if (c < 0x800) {
        *out++ = char(0xC0 | (c >> 6));
        *out++ = char(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        *out++ = char(0xE0 | (c >> 12));
        *out++ = char(0x80 | ((c >> 6) & 0x3F));
        *out++ = char(0x80 | (c & 0x3F));
    } else {
        *out++ = char(0xF0 | (c >> 18));
        *out++ = char(0x80 | ((c >> 12) & 0x3F));
        *out++ = char(0x80 | ((c >> 6) & 0x3F));
        *out++ = char(0x80 | (c & 0x3F));
    }
    return out;
}

constexpr char32_t kReplacement = 0xFFFD;

bool IsHighSurrogate(char16_t unit)
{
    return unit >= 0xD800 && unit <= 0xDBFF;
}

bool IsLowSurrogate(char16_t unit)
{
    return unit >= 0xDC00 && unit <= 0xDFFF;
}

} // namespace

char *Utf16Transcoder::put(char16_t unit, char *out)
{
    if (m_highSurrogate != 0) {
        const char16_t high = m_highSurrogate;
        m_highSurrogate = 0;
        if (IsLowSurrogate(unit))
            return PutUtf8(0x10000 + ((char32_t(high) - 0xD800) << 10) + (unit - 0xDC00), out);
        out = PutUtf8(kReplacement, out);
    }
    if (IsHighSurrogate(unit)) {
        m_highSurrogate = unit;
        return out;
    }
    return PutUtf8(IsLowSurrogate(unit) ? kReplacement : char32_t(unit), out);
}

void Utf16Transcoder::feed(QByteArrayView bytes, QByteArray &out)
{
    const auto *p = reinterpret_cast<const unsigned char *>(bytes.data());
    const auto *end = p + bytes.size();
    const auto unit = [this](unsigned char first, unsigned char second) {
        return m_bigEndian ? char16_t(first << 8 | second) : char16_t(second << 8 | first);
    };
    // At most 3 bytes per code unit, with one unit carried over and a held surrogate.
    const qsizetype start = out.size();
    out.resize(start + (bytes.size() / 2 + 2) * 3 + 3);
    char *o = out.data() + start;
    if (m_oddByte >= 0 && p < end) {
        o = put(unit(static_cast<unsigned char>(m_oddByte), *p++), o);
        m_oddByte = -1;
    }
    for (; end - p >= 2; p += 2)
        o = put(unit(p[0], p[1]), o);
    if (p < end)
        m_oddByte = *p;
    out.resize(o - out.constData());
}

void Utf16Transcoder::finish(QByteArray &out)
{
    char buffer[8];
    char *o = buffer;
    if (m_highSurrogate != 0)
        o = PutUtf8(kReplacement, o);
    if (m_oddByte >= 0)
        o = PutUtf8(kReplacement, o);
    m_highSurrogate = 0;
    m_oddByte = -1;
    out.append(buffer, o - buffer);
}
