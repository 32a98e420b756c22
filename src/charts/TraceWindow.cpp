#include "TraceWindow.h"

#include "ChartScale.h"

#include <algorithm>

TraceWindow::TraceWindow(int channelCount, double spanMs)
    : m_channels(std::clamp(channelCount, 1, 64))
    , m_stride(1 + m_channels)
    , m_spanMs(spanMs)
    , m_logCarry(m_channels)
    , m_hasLogCarry(m_channels, false)
{
}

bool TraceWindow::onLine(double count, bool log)
{
    return std::isfinite(count) && (!log || count >= 1);
}

void TraceWindow::grow()
{
    const qsizetype capacity = m_capacity ? m_capacity * 2 : 64;
    QList<double> data(capacity * m_stride);
    for (qsizetype r = 0; r < m_count; ++r)
        std::copy_n(m_data.constData() + slot(r), m_stride, data.data() + r * m_stride);
    m_data.swap(data);
    m_capacity = capacity;
    m_head = 0;
}

void TraceWindow::dropOldest()
{
    for (int c = 0; c < m_channels; ++c) {
        const double v = countAt(0, c);
        if (!std::isfinite(v)) {
            m_hasLogCarry[c] = false;
        } else if (v >= 1) {
            m_logCarry[c] = {timeAt(0), v};
            m_hasLogCarry[c] = true;
        }
    }
    m_head = (m_head + 1) & (m_capacity - 1);
    --m_count;
}

void TraceWindow::append(double timeMs, const QList<double> &counts)
{
    if (m_count == kMaxRows)
        dropOldest();
    if (m_count == m_capacity)
        grow();
    double *row = m_data.data() + slot(m_count);
    row[0] = timeMs;
    for (int c = 0; c < m_channels; ++c)
        row[1 + c] = c < counts.size() ? counts.at(c) : 0.0;
    ++m_count;
    ++m_appended;

    const double oldest = timeMs - m_spanMs;
    while (m_count >= 2 && timeAt(1) < oldest)
        dropOldest();
    // A row before the edge that the log line passes through, or breaks at,
    // takes the carried point's place.
    if (m_count >= 1 && timeAt(0) < oldest) {
        for (int c = 0; c < m_channels; ++c) {
            const double v = countAt(0, c);
            if (!std::isfinite(v) || v >= 1)
                m_hasLogCarry[c] = false;
        }
    }
}

void TraceWindow::clear()
{
    m_count = 0;
    m_head = 0;
    m_appended = 0;
    m_hasLogCarry.fill(false);
}

TraceWindow::Extent TraceWindow::extent(const QList<bool> &shown, bool log) const
{
    Extent e;
    const auto take = [&e](double v) {
        const double d = chartscale::drawValue(v);
        e.lo = std::min(e.lo, d);
        e.hi = std::max(e.hi, d);
    };
    for (int c = 0; c < m_channels; ++c) {
        if (c < shown.size() && !shown.at(c))
            continue;
        if (log && m_hasLogCarry.at(c))
            take(m_logCarry.at(c).v);
        for (qsizetype r = 0; r < m_count; ++r) {
            const double v = countAt(r, c);
            if (onLine(v, log))
                take(v);
        }
    }
    return e;
}

double TraceWindow::valueAt(int channel, bool log, double t) const
{
    if (channel < 0 || channel >= m_channels || !std::isfinite(t))
        return qQNaN();
    // Runs of points between gaps; a run of one point has a value only at
    // its own time, a longer run on its first segment that holds t.
    bool havePrev = false;
    bool single = false;
    Point prev;
    const auto visit = [&](bool gap, const Point &p, double *out) {
        if (gap) {
            if (havePrev && single && prev.t == t)
                *out = prev.v;
            havePrev = false;
            return;
        }
        if (havePrev) {
            single = false;
            if (prev.t <= t && t <= p.t) {
                if (prev.t == p.t) {
                    *out = p.v;
                } else {
                    const double f = (t - prev.t) / (p.t - prev.t);
                    *out = (1 - f) * prev.v + f * p.v; // no overflow between finite counts
                }
                return;
            }
        } else {
            single = true;
        }
        prev = p;
        havePrev = true;
    };
    double out = qQNaN();
    if (log && m_hasLogCarry.at(channel))
        visit(false, m_logCarry.at(channel), &out);
    for (qsizetype r = 0; r < m_count && std::isnan(out); ++r) {
        const double v = countAt(r, channel);
        if (!std::isfinite(v))
            visit(true, {}, &out);
        else if (onLine(v, log))
            visit(false, {timeAt(r), v}, &out);
    }
    if (std::isnan(out))
        visit(true, {}, &out);
    return out;
}

qsizetype TraceWindow::firstRowAtOrAfter(double t) const
{
    qsizetype lo = 0;
    qsizetype hi = m_count;
    while (lo < hi) {
        const qsizetype mid = lo + (hi - lo) / 2;
        if (timeAt(mid) < t)
            lo = mid + 1;
        else
            hi = mid;
    }
    return lo;
}
