// The chart arithmetic takes any doubles: every range it gives is finite,
// ordered and unchanged by the setters' repair, and the value axis's tick
// walk over it ends within a few steps that each move the value.
#include "ChartScale.h"
#include "FuzzCheck.h"

#include <QList>

#include <cmath>
#include <cstdint>
#include <cstring>

using namespace chartscale;

namespace {

void checkAxis(const Range &r, int desired)
{
    FUZZ_CHECK(std::isfinite(r.min) && std::isfinite(r.max) && r.min < r.max);
    const Range again = linearRange(r.min, r.max);
    FUZZ_CHECK(again.min == r.min && again.max == r.max);
    const double interval = tickInterval(r.min, r.max, desired);
    FUZZ_CHECK(std::isfinite(interval) && interval > 0);
    FUZZ_CHECK(r.min + interval / 2 != r.min && r.max + interval / 2 != r.max);
    int ticks = 0;
    for (double v = -std::floor(-r.min / interval) * interval; v <= r.max; v += interval)
        FUZZ_CHECK(++ticks <= kMaxTicks + 1);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    QList<double> values;
    for (size_t at = 0; at + 8 <= size && values.size() < 64; at += 8) {
        double v;
        std::memcpy(&v, data + at, sizeof v);
        values.append(v);
    }
    const int desired = size > 0 ? int(int8_t(data[size - 1])) : 5;
    for (qsizetype i = 0; i + 1 < values.size(); ++i) {
        const double a = values.at(i), b = values.at(i + 1);
        for (const Range &r : {linearRange(a, b), paddedLinearRange(a, b), logRange(a, b), paddedLogRange(a, b)})
            checkAxis(r, desired);
        const Range log = logRange(a, b);
        const double base = logBase(log.min, log.max);
        FUZZ_CHECK(std::isfinite(base) && base >= 10);
        FUZZ_CHECK((std::log10(log.max) - std::log10(log.min)) / std::log10(base) <= kMaxTicks);
        FUZZ_CHECK(std::isfinite(tickInterval(a, b, desired)));
    }
    const Bars b = bars(values, int(values.size()));
    checkAxis(b.linear, desired);
    checkAxis(b.log, desired);
    for (qsizetype i = 0; i < values.size(); ++i)
        FUZZ_CHECK(std::isnan(b.values.at(i)) == !std::isfinite(values.at(i)));
    return 0;
}
