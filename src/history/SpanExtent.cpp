#include "SpanExtent.h"

#include "HistoryView.h"

#include <algorithm>

ValueSpan SpanExtent::pointsIn(const ReadingHistory &h, int c, qsizetype from, qsizetype to)
{
    constexpr qsizetype kChunk = ReadingHistory::kChunkReadings;
    const qsizetype start = (from + kChunk - 1) / kChunk * kChunk;
    const qsizetype end = to / kChunk * kChunk;
    if (m_perSecond || end - start < 2 * kChunk)
        return HistoryView::pointsIn(h, c, m_log, m_perSecond, from, to);
    Inside &inside = m_inside[size_t(c)];
    if (inside.start != start || inside.end != end)
        inside = {start, end, HistoryView::pointsIn(h, c, m_log, false, start, end)};
    ValueSpan out = inside.span;
    out.add(HistoryView::pointsIn(h, c, m_log, false, from, start));
    out.add(HistoryView::pointsIn(h, c, m_log, false, end, to));
    return out;
}

ValueSpan SpanExtent::update(const ReadingHistory &h, qsizetype from, qsizetype to, qsizetype end,
                             const QList<bool> &shown, bool log, bool perSecond)
{
    from = std::clamp<qsizetype>(from, 0, h.size());
    to = std::clamp<qsizetype>(to, from, h.size());
    const bool same = m_valid && h.generation() == m_generation && h.evicted() == m_evicted && shown == m_shown
                      && log == m_log && perSecond == m_perSecond && from >= m_from && to >= m_to && from <= m_to;
    const auto channelShown = [&shown](int c) { return c >= shown.size() || shown.at(c); };
    // The whole chunks inside stay what they were while the rows do.
    if (h.generation() != m_generation || h.evicted() != m_evicted || log != m_log || perSecond != m_perSecond)
        m_inside.fill(Inside());
    m_generation = h.generation();
    m_evicted = h.evicted();
    m_log = log;
    m_perSecond = perSecond;
    for (int c = 0; c < ReadingHistory::kChannels; ++c) {
        if (!channelShown(c))
            continue;
        ValueSpan &span = m_channels[size_t(c)];
        if (same) {
            const ValueSpan leaving = HistoryView::pointsIn(h, c, log, perSecond, m_from, from);
            // The rows that left held an end of the extent: looked for again.
            if (!leaving.isEmpty() && (leaving.lo <= span.lo || leaving.hi >= span.hi)) {
                span = pointsIn(h, c, from, to);
                continue;
            }
            span.add(HistoryView::pointsIn(h, c, log, perSecond, m_to, to));
        } else {
            span = pointsIn(h, c, from, to);
        }
    }
    m_valid = true;
    m_shown = shown;
    m_from = from;
    m_to = to;
    ValueSpan out;
    for (int c = 0; c < ReadingHistory::kChannels; ++c) {
        if (!channelShown(c))
            continue;
        out.add(m_channels[size_t(c)]);
        out.add(HistoryView::neighbours(h, c, log, perSecond, from, to, end));
    }
    return out;
}
