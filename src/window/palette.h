#pragma once

#include <QColor>
#include <QString>

#include <array>

// The sixteen colours of the text and background menus. A colour value holds red in
// the low byte, then green, then blue.
inline constexpr int kPaletteSize = 16;

quint32 PaletteColor(int index);
QString PaletteCaption(int index);
QColor ColorFromValue(quint32 value);

// Menu positions from top to bottom, as palette indices: the text menu lists dark grey
// (8) above light grey (7), the background menu keeps numeric order.
inline constexpr std::array<int, kPaletteSize> kFontColorMenuOrder = {0, 1, 2,  3,  4,  5,  6,  8,
                                                                      7, 9, 10, 11, 12, 13, 14, 15};
inline constexpr std::array<int, kPaletteSize> kBackColorMenuOrder = {0, 1, 2,  3,  4,  5,  6,  7,
                                                                      8, 9, 10, 11, 12, 13, 14, 15};

// True when `order` names every palette index exactly once. A palette that grows
// leaves zeros at the end of an order that was not extended, which this catches.
constexpr bool ListsEachIndexOnce(const std::array<int, kPaletteSize> &order)
{
    std::array<bool, kPaletteSize> seen = {};
    for (int index : order) {
        if (index < 0 || index >= kPaletteSize || seen[std::size_t(index)])
            return false;
        seen[std::size_t(index)] = true;
    }
    return true;
}
static_assert(ListsEachIndexOnce(kFontColorMenuOrder), "the text colour menu must list each colour once");
static_assert(ListsEachIndexOnce(kBackColorMenuOrder), "the background menu must list each colour once");
