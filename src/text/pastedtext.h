#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QString>

#include <functional>

// How text becomes the data file's bytes: code page 932 when every character has a code
// there and the bytes cannot be mistaken for UTF-8 when read back; otherwise UTF-8 behind a
// byte order mark, so that no character is ever lost. `lineLimit` is how many lines a
// reader looks at to tell the two apart.

QByteArray EncodeDataText(const QString &text, int lineLimit);

// Pasted text as stored: every lone LF made a CR LF (the clipboard hands lines over LF-ended
// here), then one CR LF. The bytes go to `sink` piece by piece, never all held at once;
// `told(done, total)` hears how far it has come (it may throw to stop).
void EncodePastedText(const QString &text, int lineLimit, const std::function<void(QByteArrayView)> &sink,
                      const std::function<void(qint64, qint64)> &told = {});
QByteArray PastedDataBytes(const QString &text, int lineLimit);
