#pragma once

#include <QByteArray>
#include <QByteArrayView>

// UTF-16 bytes of either byte order to UTF-8, fed in chunks of any size: a data file saved
// as "Unicode" by the Windows text editor then goes through the same line cutter and the
// same UTF-8 decoding as any other. A surrogate without its partner and an odd last byte
// each become U+FFFD.
class Utf16Transcoder
{
public:
    explicit Utf16Transcoder(bool bigEndian) : m_bigEndian(bigEndian) {}

    // Appends the UTF-8 of every character complete so far to `out`.
    void feed(QByteArrayView bytes, QByteArray &out);
    // Appends what an unfinished character at the end of the input leaves.
    void finish(QByteArray &out);

private:
    char *put(char16_t unit, char *out);

    bool m_bigEndian;
    int m_oddByte = -1;           // the first byte of a code unit split between two chunks
    char16_t m_highSurrogate = 0; // waiting for its low surrogate
};
