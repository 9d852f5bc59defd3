#pragma once

#include "datafile.h"

#include <QByteArray>
#include <QString>

// Writing the data file. A write never damages the old file: the new bytes go to a
// temporary file beside it that replaces it only when every byte is on disk.

// The bytes to store for text: code page 932 when every character has a code there and
// the file cannot be mistaken for UTF-8 when read back; otherwise UTF-8 behind a byte
// order mark, so that no character is ever lost.
QByteArray EncodeDataText(const QString &text);

// The file's bytes after a paste of clipboard text: the text with every lone LF made a
// CR LF (the clipboard hands lines over LF-ended here), then one CR LF.
QByteArray PastedDataBytes(const QString &clipboardText);

// Replaces the file's contents with `bytes`; a failure leaves the old file whole.
void WriteDataFile(const QByteArray &bytes, const QString &path = DataFilePath());

// A temporary file beside the target that replaces it on commit(); destroyed without a
// commit, it disappears and the target keeps every byte.
class DataFileWriter
{
public:
    explicit DataFileWriter(const QString &path);
    ~DataFileWriter();
    DataFileWriter(const DataFileWriter &) = delete;
    DataFileWriter &operator=(const DataFileWriter &) = delete;

    void write(const char *data, qsizetype size);
    void commit();

private:
    QString m_target;
    QString m_what;
    QByteArray m_tempPath;
    Fd m_fd;
    bool m_committed = false;
};
