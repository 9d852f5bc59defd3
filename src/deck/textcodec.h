#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QList>
#include <QString>
#include <QStringList>

// The data file's text is code page 932, as written on Windows. The same file may also
// come from this platform as UTF-8, so UTF-8 is recognised: by its byte order mark, or
// because every line read is valid UTF-8 and holds at least one byte above 0x7F.
enum class TextEncoding { Cp932, Utf8 };

inline constexpr char kUtf8Bom[] = "\xEF\xBB\xBF";

// Strict UTF-8: no overlong forms, no surrogates, nothing above U+10FFFF.
bool IsValidUtf8(QByteArrayView bytes);

TextEncoding DetectEncoding(const QList<QByteArray> &lines, bool startsWithBom);
QStringList DecodeLines(const QList<QByteArray> &lines, TextEncoding encoding);

bool HasHighByte(QByteArrayView bytes);
