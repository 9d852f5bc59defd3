#include "palette.h"

#include "deck/guards.h"

using namespace Qt::StringLiterals;

namespace {

struct PaletteEntry
{
    const char16_t *caption;
    quint32 value;
};

constexpr std::array<PaletteEntry, kPaletteSize> kPalette = {{
    {u"黒", 0x000000},
    {u"暗い青", 0x800000},
    {u"暗い緑", 0x008000},
    {u"暗いシアン", 0x808000},
    {u"暗い赤", 0x000080},
    {u"暗いマゼンダ", 0x800080},
    {u"暗い黄色", 0x008080},
    {u"明るい灰色", 0xC0C0C0},
    {u"暗い灰色", 0x808080},
    {u"明るい青", 0xFF0000},
    {u"明るい緑", 0x00FF00},
    {u"明るいシアン", 0xFFFF00},
    {u"明るい赤", 0x0000FF},
    {u"明るいマゼンダ", 0xFF00FF},
    {u"明るい黄色", 0x00FFFF},
    {u"明るい白", 0xFFFFFF},
}};

constexpr bool EveryEntryHasACaption()
{
    for (const PaletteEntry &entry : kPalette)
        if (entry.caption == nullptr)
            return false;
    return true;
}
static_assert(EveryEntryHasACaption(), "a palette entry without a caption: extend the table");

const PaletteEntry &Entry(int index)
{
    if (index < 0 || index >= kPaletteSize)
        throw RunTimeError(u"インデックスが有効範囲にありません。"_s);
    return kPalette[index];
}

} // namespace

quint32 PaletteColor(int index)
{
    return Entry(index).value;
}

QString PaletteCaption(int index)
{
    return QString::fromUtf16(Entry(index).caption);
}

QColor ColorFromValue(quint32 value)
{
    return QColor(int(value & 0xFF), int((value >> 8) & 0xFF), int((value >> 16) & 0xFF));
}
