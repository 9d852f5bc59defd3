#pragma once

#include "fileio.h"
#include "textcodec.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

// The data file: the store of the current deck and the only thing kept between runs.
// Reading lives here; writing in datawriter.h; a dropped file in sourcefile.h.
// Every failure is a RunTimeError whose message says in Japanese what went wrong.

// The name as the user knows it, for messages.
QString DataFileName();
// Where the program reads and writes it: the one place that decides the path.
QString DataFilePath();

inline constexpr int kMaxDataLines = 301;

// True only for an ordinary file (or a link to one) of exactly that name: a folder, FIFO,
// socket or device of that name is not the data file.
bool DataFileExists(const QString &path = DataFilePath());

struct DataFileText
{
    QStringList lines;      // at most kMaxDataLines
    bool truncated = false; // the file has more lines than that
    TextEncoding encoding = TextEncoding::Cp932;
};

// Cuts and decodes the bytes of a whole data file.
DataFileText ParseDataBytes(QByteArrayView bytes);

// Reads the data file by streaming it: only the lines kept are held in memory.
DataFileText ReadDataFile(const QString &path = DataFilePath(), const Progress &progress = {});
