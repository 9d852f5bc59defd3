#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QString>
#include <QStringView>

#include <memory>
#include <optional>

// Windows code page 932 through glibc's iconv, which maps 0x817C to "－" (U+FF0D),
// 0x8160 to "～" (U+FF5E) and 0x8740 to "①" and reports every byte it cannot decode.

// Bytes that are not valid code page 932 each become U+FFFD; decoding goes on with the
// next byte, so a broken lead byte never swallows the ASCII character after it.
QString DecodeCp932(QByteArrayView bytes);

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
    std::unique_ptr<class Iconv> m_iconv;
};

// The code page 932 bytes of text, or nothing when a character has no code in it or
// would not come back unchanged when read (iconv maps "¥" to 0x5C, which reads as "\").
std::optional<QByteArray> EncodeCp932(QStringView text);
