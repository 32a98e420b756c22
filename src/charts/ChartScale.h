#pragma once

// Axis ranges and tick intervals of the charts. Total: whatever doubles an
// instrument sends (NaN, infinities, 1e308, denormals), every function gives
// a finite range with min < max and a tick interval that yields a bounded
// number of ticks, each one representable at that magnitude. Ordinary counts
// get exactly the ranges and ticks the views have always shown.

#include <QList>

namespace chartscale {

// Largest magnitude drawn; beyond it a value is clamped for drawing only.
constexpr double kDrawLimit = 1e300;
// Most major ticks an axis is ever asked to draw.
constexpr int kMaxTicks = 20;

struct Range {
    double min = 0;
    double max = 1;
};

// A value as a chart may place it: NaN for anything not finite (a gap, no
// bar), finite values clamped to ±kDrawLimit.
double drawValue(double value);

// 1, 2, 5 or 10 times a power of ten near x (rounded: nearest; otherwise
// the next one up). 1 for x that is not a positive finite number.
double niceNumber(double x, bool rounded);

// How many ticks fit along an axis of this length with labels of this size: 3 to 5.
int desiredTickCount(double availableLength, double labelPixelSize);

// Nice-number interval for a value axis anchored at 0.
double tickInterval(double min, double max, int desiredCount);

// The repair of the ordered range setters: a crossed or empty range gets
// max = min + 1 (log: min raised to the floor, max = min × 10). A log axis
// starts at 1 (a count of one); a rate axis may start lower, at the rate of
// one count over the longest gate (floor in (0, 1]; anything else is 1).
Range linearRange(double min, double max);
Range logRange(double min, double max, double floor = 1);
// The floor a log axis takes for the one asked: in (0, 1] (at least 1e-12), else 1.
double logFloor(double floor);

// Base of a log axis over this range: 10, or a power of ten wide enough
// that the axis keeps to kMaxTicks decades of labels.
double logBase(double min, double max, double floor = 1);

// Y ranges around data spanning [lo, hi] (lo > hi or NaN: no data). Linear:
// 15 % pad of a span of at least 1, never below 0, default [0, 1]. Log, over
// the data of at least the floor: [max(floor, lo), hi × 1.15], default
// [floor, 10].
Range paddedLinearRange(double lo, double hi);
Range paddedLogRange(double lo, double hi, double floor = 1);

// The bar chart's reading: one value per channel (negative counts as 0, NaN
// for anything not finite: no bar and no tag) and both Y ranges, which
// follow the finite values only.
struct Bars {
    QList<double> values;
    Range linear;
    Range log{1, 10};
};
Bars bars(const QList<double> &counts, int channelCount);

} // namespace chartscale
