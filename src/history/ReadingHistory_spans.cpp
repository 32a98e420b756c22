#include "ReadingHistoryChunk.h"

// What a span of the history holds, from its pyramid: lines, M4 columns,
// points and statistics. Whole chunks and leaves are taken from their
// nodes, rows only at a span's ends.

using namespace historychunk;

// ---- walks over rows, leaves and chunks ----------------------------------

// Visits [from, to) in order, in the largest aligned pieces:
// onNode(node, first, end) for a whole leaf or chunk, onRows(chunk, rowFrom,
// rowTo, first) for rows within one leaf. Either returns false to stop.
template<typename OnNode, typename OnRows>
void ReadingHistory::walkForward(qsizetype from, qsizetype to, OnNode onNode, OnRows onRows) const
{
    qsizetype i = std::max<qsizetype>(0, from);
    to = std::min(to, m_size);
    while (i < to) {
        const Chunk &chunk = *m_chunks[size_t(i / kChunk)];
        const qsizetype row = i % kChunk;
        if (row == 0 && i + kChunk <= to) {
            if (!onNode(Node{&chunk, Chunk::kWhole}, i, i + kChunk))
                return;
            i += kChunk;
        } else if (row % kLeaf == 0 && i + kLeaf <= to) {
            if (!onNode(Node{&chunk, int(row / kLeaf)}, i, i + kLeaf))
                return;
            i += kLeaf;
        } else {
            const qsizetype end = std::min(to, i - row % kLeaf + kLeaf);
            if (!onRows(chunk, row, row + (end - i), i))
                return;
            i = end;
        }
    }
}

// As walkForward, from the end back to the start; onRows still gets its
// rows in increasing order.
template<typename OnNode, typename OnRows>
void ReadingHistory::walkBackward(qsizetype from, qsizetype to, OnNode onNode, OnRows onRows) const
{
    qsizetype i = std::min(to, m_size); // end of what is left
    from = std::max<qsizetype>(0, from);
    while (i > from) {
        const qsizetype last = i - 1;
        const Chunk &chunk = *m_chunks[size_t(last / kChunk)];
        const qsizetype rowEnd = (last % kChunk) + 1; // row after the last, within the chunk
        if (rowEnd == kChunk && i - kChunk >= from) {
            if (!onNode(Node{&chunk, Chunk::kWhole}, i - kChunk, i))
                return;
            i -= kChunk;
        } else if (rowEnd % kLeaf == 0 && i - kLeaf >= from) {
            if (!onNode(Node{&chunk, int(rowEnd / kLeaf - 1)}, i - kLeaf, i))
                return;
            i -= kLeaf;
        } else {
            const qsizetype start = std::max(from, i - ((rowEnd - 1) % kLeaf + 1));
            if (!onRows(chunk, rowEnd - (i - start), rowEnd, start))
                return;
            i = start;
        }
    }
}

ReadingHistory::LinePoint ReadingHistory::point(int channel, qsizetype i) const
{
    const Chunk &chunk = *m_chunks[size_t(i / kChunk)];
    return {i, double(chunk.key(i % kChunk)), chunk.counts[channel][i % kChunk]};
}

LineSummary ReadingHistory::summary(int channel, bool log, qsizetype from, qsizetype to) const
{
    Tracked t;
    if (channel < 0 || channel >= kChannels)
        return t.line;
    const int mode = log ? 1 : 0;
    walkForward(from, to,
        [&](const Node &node, qsizetype a, qsizetype) {
            t.addNode(node.line(channel, mode), a);
            return true;
        },
        [&](const Chunk &chunk, qsizetype a, qsizetype b, qsizetype first) {
            t.addRows(chunk.counts[channel] + a, b - a, log, first);
            return true;
        });
    return t.line;
}

ReadingHistory::LinePoint ReadingHistory::firstPoint(int channel, bool log, qsizetype from, qsizetype to,
                                                     bool unbroken) const
{
    if (channel < 0 || channel >= kChannels)
        return {};
    const int mode = log ? 1 : 0;
    qsizetype found = -1;
    walkForward(from, to,
        [&](const Node &node, qsizetype a, qsizetype) {
            const LineNode &n = node.line(channel, mode);
            if (unbroken && n.breakBefore)
                return false;
            if (n.points > 0)
                found = a + n.marks.first;
            return n.points == 0;
        },
        [&](const Chunk &chunk, qsizetype a, qsizetype b, qsizetype start) {
            for (qsizetype r = a; r < b; ++r) {
                const double v = chunk.counts[channel][r];
                if (LineSummary::onLine(v, log)) {
                    found = start + (r - a);
                    return false;
                }
                if (unbroken && !std::isfinite(v))
                    return false;
            }
            return true;
        });
    return found >= 0 ? point(channel, found) : LinePoint();
}

ReadingHistory::LinePoint ReadingHistory::lastPoint(int channel, bool log, qsizetype from, qsizetype to,
                                                    bool unbroken) const
{
    if (channel < 0 || channel >= kChannels)
        return {};
    const int mode = log ? 1 : 0;
    qsizetype found = -1;
    walkBackward(from, to,
        [&](const Node &node, qsizetype a, qsizetype) {
            const LineNode &n = node.line(channel, mode);
            if (unbroken && n.breakAfter)
                return false;
            if (n.points > 0)
                found = a + n.marks.last;
            return n.points == 0;
        },
        [&](const Chunk &chunk, qsizetype a, qsizetype b, qsizetype start) {
            for (qsizetype r = b - 1; r >= a; --r) {
                const double v = chunk.counts[channel][r];
                if (LineSummary::onLine(v, log)) {
                    found = start + (r - a);
                    return false;
                }
                if (unbroken && !std::isfinite(v))
                    return false;
            }
            return true;
        });
    return found >= 0 ? point(channel, found) : LinePoint();
}

void ReadingHistory::columns(int channel, bool log, const qsizetype *bounds, int count, Column *out) const
{
    if (channel < 0 || channel >= kChannels)
        return;
    const int mode = log ? 1 : 0;
    // What a column reads: rows at its edges that are not whole leaves,
    // and the nodes of the leaves between.
    const auto fetch = [&](qsizetype from, qsizetype to) {
        from = std::max<qsizetype>(0, from);
        to = std::min(to, m_size);
        const auto rows = [&](qsizetype a, qsizetype b) {
            if (a < b)
                prefetch(m_chunks[size_t(a / kChunk)]->counts[channel] + a % kChunk, (b - a) * qsizetype(sizeof(double)));
        };
        const qsizetype leavesFrom = (from + kLeaf - 1) / kLeaf * kLeaf;
        const qsizetype leavesTo = to / kLeaf * kLeaf;
        if (leavesFrom >= leavesTo) {
            rows(from, to);
            return;
        }
        rows(from, leavesFrom);
        rows(leavesTo, to);
        for (qsizetype l = leavesFrom / kLeaf; l < leavesTo / kLeaf;) {
            const qsizetype inChunk = l % kLeavesPerChunk;
            const qsizetype n = std::min(kLeavesPerChunk - inChunk, leavesTo / kLeaf - l);
            const Chunk &chunk = *m_chunks[size_t(l / kLeavesPerChunk)];
            prefetch(&chunk.lines[channel][mode][inChunk], n * qsizetype(sizeof(LineNode)));
            l += n;
        }
    };
    // First the summaries and the rows of the M4 points, the next column's
    // memory asked for while one is summed up; then the points' times.
    constexpr int kAhead = 4; // columns; one is summed up in less than a trip to memory
    for (int k = 0; k < std::min(kAhead, count); ++k)
        fetch(bounds[k], bounds[k + 1]);
    for (int k = 0; k < count; ++k) {
        if (k + kAhead < count)
            fetch(bounds[k + kAhead], bounds[k + kAhead + 1]);
        Tracked t;
        walkForward(bounds[k], bounds[k + 1],
            [&](const Node &node, qsizetype a, qsizetype) {
                t.addNode(node.line(channel, mode), a);
                return true;
            },
            [&](const Chunk &chunk, qsizetype a, qsizetype b, qsizetype first) {
                t.addRows(chunk.counts[channel] + a, b - a, log, first);
                return true;
            });
        Column &col = out[k];
        col.line = t.line;
        col.first.index = t.first;
        col.last.index = t.last;
        col.low.index = t.low;
        col.lowLast.index = t.lowLast;
        col.high.index = t.high;
        col.highLast.index = t.highLast;
        for (qsizetype r : {t.first, t.last}) {
            if (r >= 0) {
                const Chunk &chunk = *m_chunks[size_t(r / kChunk)];
                prefetch(chunk.keys ? &chunk.keys[r % kChunk] : &chunk.utc[r % kChunk], 1);
                prefetch(&chunk.counts[channel][r % kChunk], 1);
            }
        }
    }
    for (int k = 0; k < count; ++k) {
        Column &col = out[k];
        if (col.line.points == 0) {
            col.first = col.last = col.low = col.lowLast = col.high = col.highLast = LinePoint();
            continue;
        }
        col.first = point(channel, col.first.index);
        col.last = point(channel, col.last.index);
        // The times of the lowest and highest points lie between the first's
        // and the last's; by row, as the readings come a gate period apart.
        const double rows = double(col.last.index - col.first.index);
        const double perRow = rows > 0 ? (col.last.t - col.first.t) / rows : 0;
        const auto at = [&](qsizetype row, double v) {
            return LinePoint{row, col.first.t + double(row - col.first.index) * perRow, v};
        };
        col.low = at(col.low.index, col.line.all.lo);
        col.lowLast = at(col.lowLast.index, col.line.all.lo);
        col.high = at(col.high.index, col.line.all.hi);
        col.highLast = at(col.highLast.index, col.line.all.hi);
    }
}

// ---- statistics -------------------------------------------------------------

ChannelAccumulator ReadingHistory::accumulate(int channel, qsizetype from, qsizetype to) const
{
    ChannelAccumulator acc;
    walkForward(from, to,
        [&](const Node &node, qsizetype a, qsizetype b) {
            acc.merge(node.accumulator(channel, b - a));
            return true;
        },
        [&](const Chunk &chunk, qsizetype a, qsizetype b, qsizetype first) {
            quint64 serial = m_evicted + quint64(first);
            qsizetype run = runIndexAt(serial);
            for (qsizetype r = a; r < b; ++r, ++serial) {
                while (size_t(run + 1) < m_runs.size() && m_runs[size_t(run + 1)].from <= serial)
                    ++run;
                acc.add(chunk.counts[channel][r], m_runs[size_t(run)].periodMs);
            }
            return true;
        });
    return acc;
}

ChannelStats ReadingHistory::stats(int channel, qsizetype from, qsizetype to) const
{
    if (channel < 0 || channel >= kChannels)
        return {};
    return accumulate(channel, from, to).result();
}

SpanStats ReadingHistory::stats(qsizetype from, qsizetype to) const
{
    SpanStats out;
    for (int c = 0; c < kChannels; ++c)
        out[c] = stats(c, from, to);
    return out;
}
