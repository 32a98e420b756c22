#pragma once

#include "LineSummary.h"
#include "ReadingHistory.h"

#include <QList>

#include <array>

// The Y extent of the span a live view shows (HistoryView::extent), kept
// from one reading to the next instead of worked out over the whole span
// each time: a day at 50 ms is 1.7 million readings, and the summary of all
// their chunks costs a trip to memory for each. Rows that come on the right
// are added; rows that leave on the left are taken out unless they held the
// lowest or highest value of their channel, which is then looked for again
// over the span (ties are common: counts of 0). Anything else (other rows,
// channels, mode, an eviction or a clear) works it out anew. Working it out
// takes the whole chunks inside the span from the last time while they are
// the same, so it reads two chunks' edges, not every chunk. The result is
// HistoryView::extent's, exactly.
class SpanExtent
{
public:
    ValueSpan update(const ReadingHistory &h, qsizetype from, qsizetype to, qsizetype end, const QList<bool> &shown,
                     bool log, bool perSecond);
    void invalidate()
    {
        m_valid = false;
        m_inside.fill(Inside());
    }

private:
    ValueSpan pointsIn(const ReadingHistory &h, int channel, qsizetype from, qsizetype to);

    bool m_valid = false;
    quint64 m_generation = 0;
    quint64 m_evicted = 0;
    QList<bool> m_shown;
    bool m_log = false;
    bool m_perSecond = false;
    qsizetype m_from = 0;
    qsizetype m_to = 0;
    std::array<ValueSpan, ReadingHistory::kChannels> m_channels;
    // Per channel: the points of the whole chunks [start, end) of rows, and
    // what they were taken for (start > end: none).
    struct Inside {
        qsizetype start = 1;
        qsizetype end = 0;
        ValueSpan span;
    };
    std::array<Inside, ReadingHistory::kChannels> m_inside;
};
