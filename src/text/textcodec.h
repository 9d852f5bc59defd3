#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QList>
#include <QString>
#include <QStringList>

#include <optional>

// The data file's text is code page 932, as written on Windows. The same file may also
// come from this platform as UTF-8, so UTF-8 is recognised: by its byte order mark, or
// because every line read is valid UTF-8 and holds at least one byte above 0x7F. A file
// that starts with a UTF-16 byte order mark (the Windows text editor's "Unicode") is
// UTF-16; it is turned into UTF-8 before it is cut into lines.
enum class TextEncoding { Cp932, Utf8, Utf16Le, Utf16Be };

inline constexpr char kUtf8Bom[] = "\xEF\xBB\xBF";
inline constexpr qsizetype kUtf16BomSize = 2;

// Utf16Le or Utf16Be when `start` begins with that byte order mark.
std::optional<TextEncoding> Utf16ByteOrder(QByteArrayView start);

// Strict UTF-8: no overlong forms, no surrogates, nothing above U+10FFFF.
bool IsValidUtf8(QByteArrayView bytes);

TextEncoding DetectEncoding(const QList<QByteArray> &lines, bool startsWithBom);
// Lines of a UTF-16 file arrive here as UTF-8.
QStringList DecodeLines(const QList<QByteArray> &lines, TextEncoding encoding);

// Keeps at most maxUnits UTF-16 code units and never half of a surrogate pair; true when
// something was cut off.
bool CutText(QString &text, qsizetype maxUnits);

bool HasHighByte(QByteArrayView bytes);
