#pragma once

#include "text/runtimeerror.h"

#include <QtGlobal>

// Checked 16-bit arithmetic for the drill counters: an overflow is a run-time error,
// never a silent wrap.
qint16 CheckedInt16(int value);
qint16 CheckedAdd16(qint16 value, int delta);
qint16 CheckedSub16(qint16 value, int delta);

// Division whose invalid operation, division by zero or overflow is a run-time error.
double CheckedDivide(double dividend, double divisor);
