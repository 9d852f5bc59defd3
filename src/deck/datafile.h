#pragma once

#include "textcodec.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

// The data file: the store of the current deck and the only thing kept between runs.
// Every failure is a RunTimeError whose message says in Japanese what went wrong.

QString DataFileName();

inline constexpr int kMaxDataLines = 301;

// True only for an ordinary file (or a link to one) of exactly that name: a folder, FIFO,
// socket or device of that name is not the data file.
bool DataFileExists(const QString &path = DataFileName());

struct DataFileText
{
    QStringList lines;      // at most kMaxDataLines
    bool truncated = false; // the file has more lines than that
    TextEncoding encoding = TextEncoding::Cp932;
};

// Cuts and decodes the bytes of a whole data file.
DataFileText ParseDataBytes(QByteArrayView bytes);

// Reads the data file by streaming it: only the lines kept are held in memory.
DataFileText ReadDataFile(const QString &path = DataFileName());

// The bytes to store for text: code page 932 when every character has a code there and
// the file cannot be mistaken for UTF-8 when read back; otherwise UTF-8 behind a byte
// order mark, so that no character is ever lost.
QByteArray EncodeDataText(const QString &text);

// The file's bytes after a paste of clipboard text: the text with every lone LF made a
// CR LF (the clipboard hands lines over LF-ended here), then one CR LF.
QByteArray PastedDataBytes(const QString &clipboardText);

// Replaces the file's contents through a temporary file in the same folder that is
// renamed over it only when every byte is written: a failure leaves the old file whole.
void WriteDataFile(const QByteArray &bytes, const QString &path = DataFileName());

// A file opened for copying; opening checks that it is an ordinary, readable file, so
// that a folder, FIFO or device is refused before anything is changed.
class SourceFile
{
public:
    explicit SourceFile(const QString &path);
    ~SourceFile();
    SourceFile(const SourceFile &) = delete;
    SourceFile &operator=(const SourceFile &) = delete;

    // Whether this is the very file at `path` (the same file, possibly under another name).
    bool isSameFileAs(const QString &path) const;

    // Streams the contents over the file at `path`, atomically as WriteDataFile.
    void copyOver(const QString &path = DataFileName());

private:
    QString m_path;
    int m_fd = -1;
};
