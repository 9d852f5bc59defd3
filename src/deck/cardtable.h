#pragma once

// The deck: the card table (301 rows of question and answer), the data file that feeds
// it and the text codec of that file.
//
//   datafile   opens the data file safely, cuts it into at most 301 lines (linecutter),
//              decodes them (textcodec, cp932) and writes or copies it atomically;
//   delimiters splits the raw lines held in column 0 into questions and answers;
//   cardtable  holds the rows and checks every row index it is given;
//   guards     the run-time error and the checked 16-bit counters.
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
