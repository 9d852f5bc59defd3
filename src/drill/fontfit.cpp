#include "fontfit.h"

#include "deck/guards.h"

namespace {

// The band formulas' divisors at the longest length that still uses them, as constants.
constexpr double kFloorSteep = 14.9; // 12 * 1.2 + 0.5
constexpr double kFloorEven = 12.5;  // 12 + 0.5
constexpr double kFloorWide = 10.5;  // 10 + 0.5

float Size(float width, double divisor)
{
    return static_cast<float>(CheckedDivide(double(width), divisor));
}

// Product first, then the sum.
double Linear(int length, double factor, double summand)
{
    return double(length) * factor + summand;
}

} // namespace

float QuestionFontSize(Proportion proportion, int length, float width0, float enlarge)
{
    const double f = enlarge;
    const int q = length;
    switch (proportion) {
    case Proportion::OneTwo: // the question has the smaller share
        if (q <= 3)
            return Size(width0, f * 1.5);
        if (q == 4)
            return Size(width0, Linear(q, 1.4, 0.5));
        if (q <= 8)
            return Size(width0, Linear(q, 1.5, 0.5));
        if (q <= 12)
            return Size(width0, Linear(q, 1.2, 0.5));
        return Size(width0, kFloorSteep);
    case Proportion::OneOne:
        if (q <= 3)
            return Size(width0, f);
        if (q == 4)
            return Size(width0, Linear(q, 1.4, 0.5));
        if (q <= 12)
            return Size(width0, Linear(q, 1.0, 0.5));
        return Size(width0, kFloorEven);
    case Proportion::TwoOne: // the question has the larger share
        if (q <= 3)
            return Size(width0, f);
        if (q == 4)
            return Size(width0, Linear(q, 1.4, 0.5));
        if (q <= 10)
            return Size(width0, Linear(q, 1.0, 0.5));
        return Size(width0, kFloorWide);
    }
    return Size(width0, f);
}

float AnswerFontSize(Proportion proportion, int length, float width0, float width1, float enlarge)
{
    const double f = enlarge;
    const int a = length;
    switch (proportion) {
    case Proportion::OneTwo: // the answer has the larger share
        if (a <= 3)
            return Size(width1, f);
        if (a == 4)
            return Size(width0, Linear(a, 1.4, 0.5));
        if (a <= 10)
            return Size(width0, Linear(a, 1.0, 0.5));
        return Size(width0, kFloorWide);
    case Proportion::OneOne:
        if (a <= 3)
            return Size(width0, f);
        if (a == 4)
            return Size(width0, Linear(a, 1.4, 0.5));
        if (a == 6) // 6 and 7 characters share one size
            return Size(width0, Linear(a, 1.0, 1.5));
        if (a <= 12)
            return Size(width0, Linear(a, 1.0, 0.5));
        return Size(width0, kFloorEven);
    case Proportion::TwoOne: // the answer has the smaller share
        if (a <= 3)
            return Size(width1, f * 1.5);
        if (a == 4)
            return Size(width0, Linear(a, 1.5, 0.5));
        if (a <= 8)
            return Size(width0, Linear(a, 1.4, 0.5));
        if (a <= 12)
            return Size(width0, Linear(a, 1.2, 0.5));
        return Size(width0, kFloorSteep);
    }
    return Size(width1, f);
}
