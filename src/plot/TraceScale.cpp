#include "TraceScale.h"

#include <algorithm>
#include <cmath>

namespace {

// A tick walk never takes more steps than this, whatever the range.
constexpr int kMaxTickSteps = 4 * chartscale::kMaxTicks;

} // namespace

qint64 TraceScale::columnAtOrAfter(double timeMs, double msPerPx)
{
    const double c = std::ceil(timeMs / msPerPx);
    // Far beyond any clock reading; keeps the column arithmetic in range.
    if (!std::isfinite(c) || std::fabs(c) > 1e15)
        return 0;
    return qint64(c);
}

TraceScale::TraceScale(int width, int height, double spanMs, double rightEdgeMs, chartscale::Range y,
                       bool log, double logFloor)
    : m_width(std::max(1, width))
    , m_height(std::max(1, height))
    , m_msPerPx((spanMs > 0 ? spanMs : 1) / m_width)
    , m_leftColumn(columnAtOrAfter(rightEdgeMs, m_msPerPx) - m_width)
    , m_y(log ? chartscale::logRange(y.min, y.max, logFloor) : chartscale::linearRange(y.min, y.max))
    , m_log(log)
    , m_logFloor(log ? chartscale::logFloor(logFloor) : 1)
{
    if (m_log) {
        m_logMin = std::log10(m_y.min);
        m_logSpan = std::log10(m_y.max) - m_logMin;
        if (!(m_logSpan > 0))
            m_logSpan = 1;
    }
}

double TraceScale::xForTime(double timeMs) const
{
    // Same-magnitude subtraction: exact, so a point lands on the same pixel
    // fraction whatever the left column.
    return timeMs / m_msPerPx - double(m_leftColumn);
}

double TraceScale::timeForX(double x) const
{
    return (x + double(m_leftColumn)) * m_msPerPx;
}

double TraceScale::yForValue(double value) const
{
    if (std::isnan(value))
        return value;
    if (m_log) {
        if (!(value > 0))
            return qQNaN();
        return m_height * (1 - (std::log10(value) - m_logMin) / m_logSpan);
    }
    // In two steps: the span of any range the axis takes is finite.
    const double fromTop = (m_y.max - value) / (m_y.max - m_y.min);
    return m_height * fromTop;
}

double TraceScale::valueForY(double y) const
{
    const double f = 1 - y / m_height;
    if (m_log)
        return std::pow(10.0, m_logMin + f * m_logSpan);
    return m_y.min + f * (m_y.max - m_y.min);
}

TraceScale::Ticks TraceScale::yTicks(int desiredCount) const
{
    Ticks t;
    if (!m_log) {
        const double interval = chartscale::tickInterval(m_y.min, m_y.max, desiredCount);
        const double first = std::ceil(m_y.min / interval) - 1;
        for (int i = 0; i < kMaxTickSteps; ++i) {
            const double v = (first + i) * interval;
            const double half = v + interval / 2;
            if (v > m_y.max)
                break;
            if (v >= m_y.min)
                t.major.append(v);
            if (half >= m_y.min && half <= m_y.max)
                t.minor.append(half);
        }
        return t;
    }
    const double base = chartscale::logBase(m_y.min, m_y.max, m_logFloor);
    const double logBase = std::log10(base);
    const double first = std::floor(m_logMin / logBase);
    for (int i = 0; i < kMaxTickSteps; ++i) {
        const double low = std::pow(10.0, (first + i) * logBase);
        if (!(low <= m_y.max))
            break;
        if (low >= m_y.min)
            t.major.append(low);
        const double high = low * base;
        for (int j = 1; j <= 9; ++j) {
            const double v = low + j * (high - low) / 10;
            if (v >= m_y.min && v <= m_y.max)
                t.minor.append(v);
        }
    }
    return t;
}

QList<double> TraceScale::timeTicks(double stepMs, double originMs) const
{
    QList<double> ticks;
    if (!(stepMs > 0) || !std::isfinite(originMs))
        return ticks;
    const double from = timeForX(0);
    const double to = timeForX(m_width);
    for (double k = std::ceil((from - originMs) / stepMs); ticks.size() < kMaxTickSteps; ++k) {
        const double t = originMs + k * stepMs;
        if (t > to)
            break;
        ticks.append(t);
    }
    return ticks;
}

double TraceScale::timeStep(double minSpacing) const
{
    constexpr double kMin = 6e4;
    constexpr double kHour = 60 * kMin;
    constexpr double kDay = 24 * kHour;
    static constexpr double kSteps[] = {1e3,  2e3,      5e3,      1e4,       1.5e4,     3e4,       kMin,
                                        2 * kMin,  5 * kMin, 10 * kMin, 15 * kMin, 30 * kMin, kHour,
                                        2 * kHour, 3 * kHour, 6 * kHour, 12 * kHour, kDay, 2 * kDay,
                                        7 * kDay,  14 * kDay};
    for (double step : kSteps) {
        if (step / m_msPerPx >= minSpacing)
            return step;
    }
    return kSteps[std::size(kSteps) - 1];
}

void TraceScale::spreadApart(QList<double> &sortedPositions, double gap)
{
    for (qsizetype i = 1; i < sortedPositions.size(); ++i) {
        if (sortedPositions.at(i) - sortedPositions.at(i - 1) < gap)
            sortedPositions[i] = sortedPositions.at(i - 1) + gap;
    }
}
