#pragma once

#include <QString>
#include <QtGlobal>

class CardTable;

// How a line becomes a card: split at punctuation, split at a blank, or take two
// consecutive lines as question and answer.
enum class DelimiterMode { Punctuation = 1, Blank = 2, LinePairs = 3 };

// The rows 0..lastRow hold raw lines in column 0. Splits them in place into questions
// (column 0) and answers (column 1) and returns the row of the last card. Rows above the
// returned row keep what they held.
qint16 SplitCards(CardTable &table, qint16 lastRow, DelimiterMode mode);

// A list entry shows at most this many UTF-16 code units. The list is a few words wide,
// and its text field would take several frames to lay out the whole of two 10 000-character
// texts each time an entry is chosen.
inline constexpr qsizetype kMaxListItemChars = 1000;

// The list entry of a card: question and answer joined by an ASCII comma in every mode,
// cut to kMaxListItemChars without splitting a surrogate pair.
QString ListItemText(const CardTable &table, int row);
