#include "layout.h"

#include "deck/guards.h"

#include <algorithm>
#include <cmath>

namespace {

double Single(double value)
{
    return static_cast<float>(value);
}

double WholePixels(double value)
{
    return std::round(value);
}

double WholeNonNegativePixels(double value)
{
    return std::max(0.0, std::round(value));
}

} // namespace

const Store kExactStore = {Single, Single};
const Store kPixelStore = {WholePixels, WholeNonNegativePixels};

CardLayout ComputeCardLayout(Proportion proportion, double clientWidth, double clientHeight, double top0,
                             float enlarge, const Store &store)
{
    CardLayout l;
    l.width0 = store.size(clientWidth);
    switch (proportion) {
    case Proportion::OneTwo:
        l.height0 = store.size((clientHeight - top0) / 3);
        break;
    case Proportion::OneOne:
        l.height0 = store.size((clientHeight - top0) / 2);
        break;
    case Proportion::TwoOne:
        l.height0 = store.size(((clientHeight - top0) * 2) / 3);
        break;
    }
    l.font0 = static_cast<float>(CheckedDivide(l.width0, enlarge));
    l.width1 = store.size(l.width0);
    l.top1 = store.position(l.height0 + top0);
    switch (proportion) {
    case Proportion::OneTwo:
        l.height1 = store.size(l.height0 * 2);
        break;
    case Proportion::OneOne:
        l.height1 = store.size(l.height0);
        break;
    case Proportion::TwoOne:
        l.height1 = store.size(l.height0 / 2);
        break;
    }
    l.font1 = static_cast<float>(CheckedDivide(l.width0, enlarge));
    l.borderTop = store.position(l.height0 + top0 - 10);
    return l;
}
