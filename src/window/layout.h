#pragma once

#include "drill/fontfit.h"

// Where the two card labels and the divider go for a client area of width W and height H.
// Each row of the computation reads the values stored by the rows before it; `Store`
// says how a control keeps a value it is given (whole pixels in the window, single
// precision in the exact computation), so that rounding carries into the later rows.
struct CardLayout
{
    double width0 = 0; // upper (question) label
    double height0 = 0;
    float font0 = 0;
    double width1 = 0; // lower (answer) label
    double top1 = 0;
    double height1 = 0;
    float font1 = 0;
    double borderTop = 0; // divider, 10 pixels above the boundary
};

struct Store
{
    double (*position)(double);
    double (*size)(double);
};

// Single precision, no other rounding: the values as computed.
extern const Store kExactStore;
// Whole pixels, sizes never below 0: what a widget keeps.
extern const Store kPixelStore;

CardLayout ComputeCardLayout(Proportion proportion, double clientWidth, double clientHeight, double top0,
                             float enlarge, const Store &store);
