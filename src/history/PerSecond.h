#pragma once

#include "LineSummary.h"

#include <cmath>
#include <limits>

// Counts shown as counts per second: each reading's count over its own gate
// period. The factor 1000 / period is positive, so the order of the counts
// of one period is kept and a line's summary over them scales as a whole;
// stretches of different periods are scaled apart and then merged.
//
// The log line of rates passes through the readings the count log line
// passes through (a count of at least 1: at least one pulse in the gate).
// With gates over a second such a rate is below 1, so the rate axis starts
// at the rate of one count over the longest gate (floor()).
namespace persecond {

// 1000 / periodMs; NaN for a period that is not known (0 or less).
inline double factor(int periodMs)
{
    return periodMs > 0 ? 1000.0 / periodMs : std::numeric_limits<double>::quiet_NaN();
}

// A count times a factor; a finite count stays finite (beyond the largest
// double: the largest double), so that a line does not break where the
// counts do not.
inline double scaled(double count, double factor)
{
    const double v = count * factor;
    if (std::isinf(v) && std::isfinite(count))
        return std::copysign(std::numeric_limits<double>::max(), v);
    return v;
}

inline double rate(double count, int periodMs)
{
    return scaled(count, factor(periodMs));
}

inline ValueSpan scaled(const ValueSpan &s, double factor)
{
    return s.isEmpty() ? s : ValueSpan{scaled(s.lo, factor), scaled(s.hi, factor)};
}

// A line's summary over readings of one period, in counts per second.
inline LineSummary scaled(const LineSummary &s, double factor)
{
    LineSummary out = s;
    out.all = scaled(s.all, factor);
    out.head = scaled(s.head, factor);
    out.tail = scaled(s.tail, factor);
    out.middle = scaled(s.middle, factor);
    return out;
}

// The lowest start of a rate axis for gates up to longestPeriodMs.
inline double floor(int longestPeriodMs)
{
    return longestPeriodMs > 1000 ? 1000.0 / longestPeriodMs : 1.0;
}

} // namespace persecond
