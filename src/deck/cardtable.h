#pragma once

// The cards: the card table (301 rows of question and answer), how a line becomes a
// card, and the guards of the drill's counters. Three rooms lie beneath:
//
//   deck/   cardtable  holds the rows and checks every row index it is given;
//           delimiters splits the raw lines held in column 0 into questions and answers;
//           guards     the checked 16-bit counters and division.
//   store/  the data file on disk: the bounded reader (datafile), the safe writer
//           (datawriter), the repair of what a killed write left (leftovers), the dropped
//           file (sourcefile); every system call behind filesystem.h.
//   text/   code page 932, UTF-8 and UTF-16, cutting bytes into lines; the run-time error.
//
// Nothing here knows about widgets: the window sequences these steps.

#include <QString>

#include <array>

class CardTable
{
public:
    static constexpr int kRows = 301;
    static constexpr int kLastRow = kRows - 1;

    // Both throw RunTimeError for a row outside 0..300 or a column other than 0 or 1.
    const QString &cell(int row, int column) const;
    void setCell(int row, int column, const QString &text);

private:
    static void CheckIndex(int row, int column);

    std::array<std::array<QString, 2>, kRows> m_cells;
};
