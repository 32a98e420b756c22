#include "ChartScale.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace chartscale {

namespace {

// Outermost end of a range: the padded and log ranges around drawn values
// reach past kDrawLimit, and must come back unchanged through linearRange.
constexpr double kRangeLimit = kDrawLimit * 100;
// Narrowest span that still has distinct doubles to draw at both ends.
constexpr double kMinSpan = 1e-100;
// The least a log axis's max exceeds its min by, as a ratio.
constexpr double kMinLogRatio = 1.000001;

// Distance from |x| to the next double up.
double ulp(double x)
{
    const double a = std::fabs(x);
    return std::nextafter(a, std::numeric_limits<double>::infinity()) - a;
}

double clampFinite(double v, double fallback)
{
    if (std::isnan(v))
        return fallback;
    return std::clamp(v, -kRangeLimit, kRangeLimit);
}

} // namespace

double drawValue(double value)
{
    if (!std::isfinite(value))
        return std::numeric_limits<double>::quiet_NaN();
    return std::clamp(value, -kDrawLimit, kDrawLimit);
}

double niceNumber(double x, bool rounded)
{
    if (!(x > 0) || !std::isfinite(x))
        return 1;
    const double exponent = std::floor(std::log(x) / std::log(10.0));
    const double power = std::pow(10.0, exponent);
    if (!(power > 0) || !std::isfinite(power))
        return x; // beyond what a power of ten can express here
    const double fraction = x / power;
    double nice;
    if (rounded)
        nice = fraction < 1.5 ? 1 : fraction < 3 ? 2 : fraction < 7 ? 5 : 10;
    else
        nice = fraction <= 1 ? 1 : fraction <= 2 ? 2 : fraction <= 5 ? 5 : 10;
    const double result = nice * power;
    return std::isfinite(result) ? result : x;
}

int desiredTickCount(double availableLength, double labelPixelSize)
{
    if (!(availableLength > 0))
        return 4;
    const double labelPx = std::max(labelPixelSize * 2.6, 20.0); // NaN size gives 20
    const double fit = std::floor(std::min(availableLength, 1e9) / labelPx);
    return int(std::clamp(fit, 3.0, 5.0));
}

double tickInterval(double min, double max, int desiredCount)
{
    const Range r = linearRange(min, max);
    const double range = r.max - r.min;
    const int ticks = std::clamp(desiredCount, 2, kMaxTicks);
    const double mRange = niceNumber(range, false);
    double interval = niceNumber(mRange / ticks, true);
    if (!(interval > 0))
        interval = mRange;
    // Never more than kMaxTicks ticks, and every step must move the value
    // at this magnitude, or the axis would count ticks for ever.
    const double least = std::max(range / (kMaxTicks - 1),
                                  4 * ulp(std::max(std::fabs(r.min), std::fabs(r.max))));
    if (interval < least)
        interval = niceNumber(least, false);
    return interval;
}

Range linearRange(double min, double max)
{
    double lo = clampFinite(min, 0);
    double hi = clampFinite(max, lo + 1);
    if (!(hi > lo))
        hi = lo + 1;
    // Widened by more than is required, so that a range this returns passes
    // the test again even where the widening crossed into a coarser binade.
    const double magnitude = std::max(std::fabs(lo), std::fabs(hi));
    if (!(hi - lo >= std::max(kMinSpan, ulp(magnitude)))) {
        const double span = std::max(kMinSpan, 4 * ulp(magnitude));
        hi = lo + span;
        if (hi > kRangeLimit) { // past the end: move down instead
            hi = kRangeLimit;
            lo = hi - 2 * span;
        }
    }
    return {lo, hi};
}

double logFloor(double floor)
{
    return floor > 0 && floor < 1 ? std::max(floor, 1e-12) : 1.0; // NaN fails the test
}

Range logRange(double min, double max, double floor)
{
    floor = logFloor(floor);
    const double lo = min >= floor ? std::min(min, kRangeLimit / 10) : floor; // NaN fails the test
    double hi = std::isnan(max) ? lo * 10 : std::min(max, kRangeLimit);
    if (!(hi > lo))
        hi = lo * 10;
    if (hi < lo * kMinLogRatio)
        hi = lo * kMinLogRatio;
    return {lo, hi};
}

double logBase(double min, double max, double floor)
{
    const Range r = logRange(min, max, floor);
    const double decades = std::log10(r.max) - std::log10(r.min);
    if (!(decades > kMaxTicks))
        return 10;
    return std::pow(10.0, std::ceil(decades / kMaxTicks));
}

Range paddedLinearRange(double lo, double hi)
{
    lo = drawValue(lo);
    hi = drawValue(hi);
    if (!(lo <= hi))
        return {0, 1};
    const double span = std::max(1.0, hi - lo);
    const double pad = 0.15 * span;
    return linearRange(std::max(0.0, lo - pad), std::max(lo + 1, hi + pad));
}

Range paddedLogRange(double lo, double hi, double floor)
{
    floor = logFloor(floor);
    lo = drawValue(lo);
    hi = drawValue(hi);
    if (!(lo <= hi))
        return {floor, 10};
    return logRange(std::max(floor, lo), hi * 1.15, floor);
}

Bars bars(const QList<double> &counts, int channelCount)
{
    Bars out;
    double maxLin = 0;
    double maxLog = 1;
    const int n = std::clamp(channelCount, 0, 4096);
    out.values.reserve(n);
    for (int i = 0; i < n; ++i) {
        double v = i < counts.size() ? counts.at(i) : 0.0;
        if (!std::isfinite(v)) {
            out.values.append(std::numeric_limits<double>::quiet_NaN());
            continue;
        }
        v = std::max(v, 0.0); // -0 and negatives draw as 0
        out.values.append(v);
        const double drawn = std::min(v, kDrawLimit);
        maxLin = std::max(maxLin, drawn);
        if (drawn >= 1)
            maxLog = std::max(maxLog, drawn);
    }
    // Counts all below 1 keep the default [0, 1].
    out.linear = linearRange(0, maxLin < 1 ? 1 : maxLin * 1.08);
    out.log = logRange(1, std::max(10.0, maxLog * 1.35));
    return out;
}

} // namespace chartscale
