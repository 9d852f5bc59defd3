#pragma once

// The drill: the texts of the status line and the font sizes that fit a card's texts to
// the card labels. Plain functions of their inputs; the window keeps the drill state.

#include <QString>

enum class CardSide { Question, Answer };

// A number as the status line shows it: one leading blank unless negative, no grouping.
QString StatusNumber(int value);

// "データ数 ＝ 3"
QString CountText(int count);

// " 3 /  10 問い" for card row 2 of rows 0..9, or " 答え" once the answer is on view.
QString PositionText(int row, int lastRow, CardSide side);
