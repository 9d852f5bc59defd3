#pragma once

#include "fileio.h"
#include "text/textcodec.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

// The data file: the store of the current deck, read again at every start (the decks it
// held before are copies in the user's data folder, deck/keptdecks.h).
// Reading lives here; writing in datawriter.h; a dropped file in sourcefile.h.
// Every failure is a RunTimeError whose message says in Japanese what went wrong.

// The name as the user knows it, for messages.
QString DataFileName();
// Where the program reads and writes it: the one place that decides the path.
QString DataFilePath();

inline constexpr int kMaxDataLines = 301;
// A card text is kept up to this many UTF-16 code units, far more than a card label can
// show; the rest of its line is read past without being kept.
inline constexpr qsizetype kMaxLineChars = 10000;
// The bytes of a line kept before decoding: no encoding here takes more than 4 bytes for
// a code unit, and a cut line gives up at most 3 more to end on a whole character.
inline constexpr qsizetype kMaxLineBytes = 4 * kMaxLineChars + 4;

// True for an ordinary file (or a link to one) of exactly that name: a folder, FIFO,
// socket or device of that name is not the data file. A link that leads nowhere (broken,
// or a loop) counts too, so that reading it says why it fails.
bool DataFileExists(const QString &path = DataFilePath());

struct DataFileText
{
    QStringList lines;      // at most kMaxDataLines, each at most kMaxLineChars long
    bool truncated = false; // the file has more lines than that
    bool linesCut = false;  // some line was longer and is cut
    TextEncoding encoding = TextEncoding::Cp932;
};

// Cuts and decodes the bytes of a whole data file.
DataFileText ParseDataBytes(QByteArrayView bytes);

// Reads the data file by streaming it: only what is kept of the lines is held in memory.
// The file is read twice (a single CR anywhere decides how lines end); `progress` hears
// after every chunk how far both passes have come, out of twice the file's size.
DataFileText ReadDataFile(const QString &path = DataFilePath(), const Progress &progress = {});
