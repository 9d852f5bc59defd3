#include "guards.h"

#include <cmath>
#include <limits>

using namespace Qt::StringLiterals;

qint16 CheckedInt16(int value)
{
    if (value < std::numeric_limits<qint16>::min() || value > std::numeric_limits<qint16>::max())
        throw RunTimeError(u"オーバーフローしました。"_s);
    return static_cast<qint16>(value);
}

qint16 CheckedAdd16(qint16 value, int delta)
{
    return CheckedInt16(int(value) + delta);
}

qint16 CheckedSub16(qint16 value, int delta)
{
    return CheckedInt16(int(value) - delta);
}

double CheckedDivide(double dividend, double divisor)
{
    if (divisor == 0.0)
        throw RunTimeError(u"0 で除算しました。"_s);
    const double quotient = dividend / divisor;
    if (std::isnan(quotient))
        throw RunTimeError(u"浮動小数点数の演算が無効です。"_s);
    if (std::isinf(quotient))
        throw RunTimeError(u"オーバーフローしました。"_s);
    return quotient;
}
