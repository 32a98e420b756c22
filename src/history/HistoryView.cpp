#include "HistoryView.h"

#include "ChartScale.h"
#include "PerSecond.h"

#include <algorithm>
#include <cmath>

namespace {

// The smallest of 1, 1.25, 1.5, 2, 2.5, 3, 4, 5, 6, 8 times a power of ten
// that is at least x.
double roundUp(double x)
{
    if (!(x > 0) || !std::isfinite(x))
        return x;
    static constexpr double kSteps[] = {1, 1.25, 1.5, 2, 2.5, 3, 4, 5, 6, 8, 10};
    const double power = std::pow(10.0, std::floor(std::log10(x)));
    for (double step : kSteps) {
        if (step * power >= x)
            return step * power;
    }
    return 10 * power;
}

double valueOf(const ReadingHistory &h, const ReadingHistory::LinePoint &p, bool perSecond)
{
    return perSecond ? persecond::rate(p.v, h.periodAt(p.index)) : p.v;
}

} // namespace

// ---- where the view stands ---------------------------------------------------

void HistoryView::setSpan(const ReadingHistory &h, double spanMs)
{
    const double span = spanMs > 0 ? std::clamp(spanMs, kMinSpanMs, kMaxSpanMs) : 0.0;
    if (m_held)
        m_heldRight = rightEdge(h);
    m_span = span;
}

void HistoryView::hold(const ReadingHistory &h)
{
    if (m_held)
        return;
    m_heldRight = rightEdge(h);
    m_heldEnd = h.appended();
    m_held = true;
}

void HistoryView::follow()
{
    m_held = false;
}

void HistoryView::pan(const ReadingHistory &h, double ms)
{
    hold(h);
    if (m_span == 0) { // all of it, as a span of its own from now on
        m_heldRight = rightEdge(h);
        m_span = allSpan(h);
    }
    if (std::isfinite(ms))
        m_heldRight += ms;
    keepOver(h);
}

void HistoryView::zoom(const ReadingHistory &h, double anchorMs, double factor)
{
    if (!(factor > 0) || !std::isfinite(factor))
        return;
    const double old = span(h);
    const double next = std::clamp(old * factor, kMinSpanMs, std::max(kMaxSpanMs, allSpan(h)));
    if (!m_held) {
        m_span = next;
        return;
    }
    const double right = rightEdge(h);
    if (!std::isfinite(anchorMs))
        anchorMs = right;
    m_heldRight = anchorMs + (right - anchorMs) * (next / old);
    m_span = next;
    keepOver(h);
}

void HistoryView::keepOver(const ReadingHistory &h)
{
    const qsizetype rows = endRow(h);
    if (rows == 0 || !std::isfinite(m_heldRight))
        return;
    const double lo = double(h.timeKey(0)) + m_span;
    const double hi = double(h.timeKey(rows - 1));
    m_heldRight = std::clamp(m_heldRight, std::min(lo, hi), std::max(lo, hi));
}

// ---- what it shows -------------------------------------------------------------

qsizetype HistoryView::endRow(const ReadingHistory &h) const
{
    if (!m_held)
        return h.size();
    const qint64 rows = qint64(m_heldEnd) - qint64(h.evicted());
    return qsizetype(std::clamp<qint64>(rows, 0, h.size()));
}

double HistoryView::newestShown(const ReadingHistory &h) const
{
    const qsizetype rows = endRow(h);
    return rows > 0 ? double(h.timeKey(rows - 1)) : m_emptyRight;
}

double HistoryView::allSpan(const ReadingHistory &h) const
{
    const qsizetype rows = endRow(h);
    if (rows == 0)
        return kAllMinSpanMs;
    return std::max(kAllMinSpanMs, roundUp(double(h.timeKey(rows - 1) - h.timeKey(0))));
}

double HistoryView::rightEdge(const ReadingHistory &h) const
{
    if (m_held && m_span > 0)
        return m_heldRight;
    const qsizetype rows = endRow(h);
    if (rows == 0)
        return m_held ? m_heldRight : m_emptyRight;
    if (m_span == 0)
        return double(h.timeKey(0)) + allSpan(h);
    return newestShown(h);
}

double HistoryView::span(const ReadingHistory &h) const
{
    return m_span > 0 ? m_span : allSpan(h);
}

qsizetype HistoryView::firstRow(const ReadingHistory &h) const
{
    return std::min(endRow(h), h.lowerBound(leftEdge(h)));
}

qsizetype HistoryView::lastRow(const ReadingHistory &h) const
{
    return std::min(endRow(h), h.upperBound(rightEdge(h)));
}

// ---- what there is in rows -----------------------------------------------------

namespace {

void take(ValueSpan &out, double v)
{
    const double d = chartscale::drawValue(v);
    if (!std::isnan(d))
        out.add(d);
}

} // namespace

ValueSpan HistoryView::pointsIn(const ReadingHistory &h, int channel, bool log, bool perSecond, qsizetype from,
                                qsizetype to)
{
    ValueSpan out;
    if (!perSecond) {
        const LineSummary s = h.summary(channel, log, from, to);
        if (s.points > 0) {
            take(out, s.all.lo);
            take(out, s.all.hi);
        }
        return out;
    }
    std::vector<ReadingHistory::PeriodRun> periods;
    h.periodRuns(from, to, &periods);
    for (size_t r = 0; r < periods.size(); ++r) {
        const double factor = persecond::factor(periods[r].periodMs);
        if (std::isnan(factor))
            continue;
        const qsizetype b = r + 1 < periods.size() ? periods[r + 1].from : to;
        const LineSummary s = h.summary(channel, log, periods[r].from, b);
        if (s.points > 0) {
            take(out, persecond::scaled(s.all.lo, factor));
            take(out, persecond::scaled(s.all.hi, factor));
        }
    }
    return out;
}

ValueSpan HistoryView::neighbours(const ReadingHistory &h, int channel, bool log, bool perSecond, qsizetype from,
                                  qsizetype to, qsizetype end)
{
    // The line comes in from its point before the rows and goes on to its
    // point after them (none at the newest reading, held or live).
    ValueSpan out;
    for (const ReadingHistory::LinePoint &p : {h.pointBefore(channel, log, from), h.pointAfter(channel, log, to, end)}) {
        if (p.isValid())
            take(out, valueOf(h, p, perSecond));
    }
    return out;
}

ValueSpan HistoryView::extent(const ReadingHistory &h, qsizetype from, qsizetype to, qsizetype end,
                              const QList<bool> &shown, bool log, bool perSecond)
{
    ValueSpan out;
    for (int c = 0; c < ReadingHistory::kChannels; ++c) {
        if (c < shown.size() && !shown.at(c))
            continue;
        out.add(pointsIn(h, c, log, perSecond, from, to));
        out.add(neighbours(h, c, log, perSecond, from, to, end));
    }
    return out;
}

double HistoryView::valueAt(const ReadingHistory &h, int channel, bool log, bool perSecond, double t, qsizetype end)
{
    if (channel < 0 || channel >= ReadingHistory::kChannels || !std::isfinite(t))
        return qQNaN();
    end = std::clamp<qsizetype>(end, 0, h.size());
    const qsizetype at = std::min(end, h.lowerBound(t));
    const ReadingHistory::LinePoint exact = h.firstPoint(channel, log, at, std::min(end, h.upperBound(t)));
    if (exact.isValid())
        return valueOf(h, exact, perSecond);
    const ReadingHistory::LinePoint a = h.pointBefore(channel, log, at);
    const ReadingHistory::LinePoint b = h.pointAfter(channel, log, at, end);
    if (!a.isValid() || !b.isValid())
        return qQNaN();
    const double f = (t - a.t) / (b.t - a.t);
    return (1 - f) * valueOf(h, a, perSecond) + f * valueOf(h, b, perSecond); // no overflow between finite values
}

double HistoryView::rateFloor(const ReadingHistory &h, qsizetype from, qsizetype end)
{
    std::vector<ReadingHistory::PeriodRun> periods;
    h.periodRuns(from, end, &periods);
    int longest = 0;
    for (const ReadingHistory::PeriodRun &p : periods)
        longest = std::max(longest, p.periodMs);
    return persecond::floor(longest);
}
