#include "cardtable.h"

#include "guards.h"

using namespace Qt::StringLiterals;

void CardTable::CheckIndex(int row, int column)
{
    if (row < 0 || row > kLastRow || column < 0 || column > 1)
        throw RunTimeError(u"インデックスが有効範囲にありません。"_s);
}

const QString &CardTable::cell(int row, int column) const
{
    CheckIndex(row, column);
    return m_cells[row][column];
}

void CardTable::setCell(int row, int column, const QString &text)
{
    CheckIndex(row, column);
    m_cells[row][column] = text;
}
