#include "delimiters.h"

#include "cardtable.h"
#include "guards.h"
#include "text/textcodec.h"

#include <QStringView>

#include <initializer_list>

using namespace Qt::StringLiterals;

namespace {

// In order of precedence: a delimiter of higher precedence wins wherever it stands.
constexpr std::initializer_list<char16_t> kPunctuation = {u',', u'.', u'、', u'。'};
constexpr std::initializer_list<char16_t> kBlanks = {u' ', u'　'};

void SplitAtDelimiter(CardTable &table, int row, std::initializer_list<char16_t> delimiters)
{
    const QString line = table.cell(row, 0);
    for (char16_t delimiter : delimiters) {
        const qsizetype at = line.indexOf(QChar(delimiter));
        if (at >= 0) {
            table.setCell(row, 1, line.sliced(at + 1));
            table.setCell(row, 0, line.first(at));
            return;
        }
    }
    table.setCell(row, 1, QString());
}

} // namespace

qint16 SplitCards(CardTable &table, qint16 lastRow, DelimiterMode mode)
{
    if (mode == DelimiterMode::LinePairs) {
        const qint16 lastCard = lastRow / 2;
        // Card i reads rows 2i and 2i + 1, never below i: working upwards is safe.
        for (int i = 0; i <= lastCard; ++i) {
            table.setCell(i, 0, table.cell(2 * i, 0));
            table.setCell(i, 1, 2 * i + 1 <= lastRow ? table.cell(2 * i + 1, 0) : QString());
        }
        return lastCard;
    }
    const auto delimiters = mode == DelimiterMode::Punctuation ? kPunctuation : kBlanks;
    for (int row = 0; row <= lastRow; ++row)
        SplitAtDelimiter(table, row, delimiters);
    return lastRow;
}

QString ListItemText(const CardTable &table, int row)
{
    QString text = table.cell(row, 0).left(kMaxListItemChars + 1);
    if (text.size() <= kMaxListItemChars)
        text += u',' + table.cell(row, 1).left(kMaxListItemChars + 1);
    CutText(text, kMaxListItemChars);
    return text;
}
