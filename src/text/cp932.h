#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QString>
#include <QStringView>

#include <memory>
#include <optional>

// Windows code page 932, which maps 0x817C to "－" (U+FF0D), 0x8160 to "～" (U+FF5E) and
// 0x8740 to "①", with every byte that cannot be decoded reported. The conversion itself is
// the system's (cp932_iconv.cpp: glibc's iconv; cp932_win.cpp: Windows' own code page);
// what is done with a byte or character it refuses is decided here, once.

// Bytes that are not valid code page 932 each become U+FFFD; decoding goes on with the
// next byte, so a broken lead byte never swallows the ASCII character after it.
QString DecodeCp932(QByteArrayView bytes);

// The system's converter, one direction.
class Cp932Converter;

// The same for many pieces (the lines of a file) through one converter.
class Cp932Decoder
{
public:
    Cp932Decoder();
    ~Cp932Decoder();
    Cp932Decoder(const Cp932Decoder &) = delete;
    Cp932Decoder &operator=(const Cp932Decoder &) = delete;

    QString decode(QByteArrayView bytes);

private:
    std::unique_ptr<Cp932Converter> m_converter;
};

// The code page 932 bytes of text, or nothing when a character has no code in it or
// would not come back unchanged when read (a converter may map "¥" to 0x5C, which reads
// as "\").
std::optional<QByteArray> EncodeCp932(QStringView text);

// Below the seam: the converter of one system (which also makes and ends Cp932Decoder).
namespace cp932 {
// Decodes as far as the first byte it cannot convert; returns how many bytes it took.
qsizetype DecodeValid(Cp932Converter &converter, QByteArrayView bytes, QString &out);
// Every character's bytes, or nothing when one has no code.
std::optional<QByteArray> Encode(QStringView text);
} // namespace cp932
