#include "statustext.h"

using namespace Qt::StringLiterals;

QString StatusNumber(int value)
{
    const QString digits = QString::number(value);
    return value < 0 ? digits : u' ' + digits;
}

QString CountText(int count)
{
    return u"データ数 ＝"_s + StatusNumber(count);
}

QString PositionText(int row, int lastRow, CardSide side)
{
    return StatusNumber(row + 1) + u" / "_s + StatusNumber(lastRow + 1) +
           (side == CardSide::Question ? u" 問い"_s : u" 答え"_s);
}
