#include "ReadingHistory.h"

#include <algorithm>
#include <cstring>
#include <limits>

namespace {

constexpr qsizetype kLeaf = ReadingHistory::kLeafReadings;
constexpr qsizetype kChunk = ReadingHistory::kChunkReadings;
constexpr qsizetype kLeavesPerChunk = kChunk / kLeaf;

// Granularity a walk may use: whole chunks, whole leaves, or rows only.
enum Level { Rows = 0, Leaves = 1, Chunks = 2 };

bool sameBits(const std::array<double, Reading::kChannels> &a, const std::array<double, Reading::kChannels> &b)
{
    return std::memcmp(a.data(), b.data(), sizeof(double) * a.size()) == 0;
}

} // namespace

// One channel over a leaf or a chunk: its lines and its moments (the count
// of finite values is line[0].points).
struct ChannelNode {
    LineSummary line[2]; // linear, log
    double shift = 0; // of the moments, see RunningMoments
    double offset = 0;
    double m2 = 0;
    double rateMean = 0;
    quint32 rateCount = 0;

    RunningMoments moments() const
    {
        RunningMoments m;
        m.n = qint64(line[0].points);
        m.shift = shift;
        m.offset = offset;
        m.m2 = m2;
        return m;
    }
    void setMoments(const RunningMoments &m)
    {
        shift = m.shift;
        offset = m.offset;
        m2 = m.m2;
    }

    ChannelAccumulator accumulator(qsizetype readings) const
    {
        ChannelAccumulator a;
        a.counts = moments();
        a.rates = {qint64(rateCount), rateMean};
        if (line[0].points > 0) {
            a.min = line[0].all.lo;
            a.max = line[0].all.hi;
        }
        a.nonFinite = readings - qint64(line[0].points);
        return a;
    }
};

struct ReadingHistory::Node {
    ChannelNode channel[kChannels];
};

struct ReadingHistory::SettingsRun {
    quint64 from = 0; // serial of the first reading it holds for
    int periodMs = 0;
    bool levelsKnown = false;
    bool sweep = false;
    std::array<double, kChannels> thresholdsMv{};
};

// Left uninitialised but for the pyramid: rows are written as they come.
struct ReadingHistory::Chunk {
    double counts[kChannels][kChunk];
    qint64 utc[kChunk];
    qint64 mono[kChunk];
    Node leaves[kLeavesPerChunk];
    Node whole;
    // Keys, once one of them differs from its utcMs (the clock went back).
    std::unique_ptr<qint64[]> keys;

    qint64 key(qsizetype row) const { return keys ? keys[row] : utc[row]; }
};

ReadingHistory::ReadingHistory(qint64 budgetBytes)
    : m_budget(std::max(budgetBytes, 2 * chunkBytes()))
{
}

ReadingHistory::~ReadingHistory() = default;

qint64 ReadingHistory::chunkBytes()
{
    return qint64(sizeof(Chunk));
}

qint64 ReadingHistory::bytes() const
{
    return qint64(sizeof(*this)) + qint64(m_chunks.size()) * (chunkBytes() + qint64(sizeof(void *)))
           + qint64(m_keyArrays) * kChunk * qint64(sizeof(qint64)) + qint64(m_runs.size()) * qint64(sizeof(SettingsRun));
}

void ReadingHistory::clear()
{
    m_chunks.clear();
    m_runs.clear();
    m_size = 0;
    m_evicted = 0;
    m_keyArrays = 0;
    m_lastKey = 0;
    ++m_generation;
}

void ReadingHistory::evictOldest()
{
    if (m_chunks.front()->keys)
        --m_keyArrays;
    m_chunks.pop_front();
    m_size -= kChunk;
    m_evicted += quint64(kChunk);
    while (m_runs.size() >= 2 && m_runs[1].from <= m_evicted)
        m_runs.pop_front();
}

void ReadingHistory::enforceBudget()
{
    while (m_chunks.size() > 1 && bytes() > m_budget)
        evictOldest();
}

void ReadingHistory::startChunk()
{
    // Every chunk held is full: make room before the new one counts.
    while (!m_chunks.empty() && bytes() + chunkBytes() > m_budget)
        evictOldest();
    m_chunks.emplace_back(new Chunk);
}

void ReadingHistory::append(const Reading &reading)
{
    appendOne(reading);
}

void ReadingHistory::append(const Reading *readings, qsizetype count)
{
    for (qsizetype i = 0; i < count; ++i)
        appendOne(readings[i]);
}

void ReadingHistory::appendOne(const Reading &r)
{
    if (m_size % kChunk == 0)
        startChunk();
    Chunk &chunk = *m_chunks.back();
    const qsizetype row = m_size % kChunk;
    const quint64 serial = appended();

    const qint64 key = (m_size == 0 && m_evicted == 0) ? r.utcMs : std::max(m_lastKey, r.utcMs);
    m_lastKey = key;
    bool grew = false;
    if (!chunk.keys && key != r.utcMs) {
        chunk.keys.reset(new qint64[kChunk]);
        std::copy_n(chunk.utc, row, chunk.keys.get());
        ++m_keyArrays;
        grew = true;
    }
    if (chunk.keys)
        chunk.keys[row] = key;
    chunk.utc[row] = r.utcMs;
    chunk.mono[row] = r.monotonicNs;
    for (int c = 0; c < kChannels; ++c)
        chunk.counts[c][row] = r.counts[c];

    if (m_runs.empty() || m_runs.back().periodMs != r.periodMs || m_runs.back().levelsKnown != r.levelsKnown
        || m_runs.back().sweep != r.sweep || !sameBits(m_runs.back().thresholdsMv, r.thresholdsMv)) {
        m_runs.push_back({serial, r.periodMs, r.levelsKnown, r.sweep, r.thresholdsMv});
        grew = true;
    }
    ++m_size;

    if ((row + 1) % kLeaf == 0)
        buildLeaf(chunk, row / kLeaf);
    if (row + 1 == kChunk)
        buildWhole(chunk);
    if (grew)
        enforceBudget();
}

qsizetype ReadingHistory::runIndexAt(quint64 serial) const
{
    const auto it = std::upper_bound(m_runs.begin(), m_runs.end(), serial,
                                     [](quint64 s, const SettingsRun &run) { return s < run.from; });
    return std::max<qsizetype>(0, qsizetype(it - m_runs.begin()) - 1);
}

const ReadingHistory::SettingsRun &ReadingHistory::runAt(quint64 serial) const
{
    return m_runs[size_t(runIndexAt(serial))];
}

void ReadingHistory::buildLeaf(Chunk &chunk, qsizetype leaf)
{
    const qsizetype from = leaf * kLeaf;
    const qsizetype index = qsizetype(m_chunks.size() - 1) * kChunk + from;
    // The gate period of every row, from the runs that cover the leaf.
    int period[kLeaf];
    {
        quint64 serial = m_evicted + quint64(index);
        qsizetype run = runIndexAt(serial);
        for (qsizetype i = 0; i < kLeaf; ++i, ++serial) {
            while (size_t(run + 1) < m_runs.size() && m_runs[size_t(run + 1)].from <= serial)
                ++run;
            period[i] = m_runs[size_t(run)].periodMs;
        }
    }
    Node &node = chunk.leaves[leaf];
    for (int c = 0; c < kChannels; ++c) {
        ChannelNode &n = node.channel[c];
        n = ChannelNode();
        RunningMoments moments;
        RunningMean rates;
        const double *v = chunk.counts[c] + from;
        for (qsizetype i = 0; i < kLeaf; ++i) {
            const double x = v[i];
            n.line[0].add(x, false);
            n.line[1].add(x, true);
            if (std::isfinite(x)) {
                moments.add(x);
                const double rate = ChannelAccumulator::rateOf(x, period[i]);
                if (std::isfinite(rate))
                    rates.add(rate);
            }
        }
        n.setMoments(moments);
        n.rateMean = rates.mean;
        n.rateCount = quint32(rates.n);
    }
}

void ReadingHistory::buildWhole(Chunk &chunk)
{
    for (int c = 0; c < kChannels; ++c) {
        ChannelNode whole;
        RunningMoments moments;
        RunningMean rates;
        for (const Node &leaf : chunk.leaves) {
            const ChannelNode &n = leaf.channel[c];
            whole.line[0].merge(n.line[0]);
            whole.line[1].merge(n.line[1]);
            moments.merge(n.moments());
            rates.merge({qint64(n.rateCount), n.rateMean});
        }
        whole.setMoments(moments);
        whole.rateMean = rates.mean;
        whole.rateCount = quint32(rates.n);
        chunk.whole.channel[c] = whole;
    }
}

// ---- reading back -----------------------------------------------------------

Reading ReadingHistory::reading(qsizetype i) const
{
    Reading r;
    if (i < 0 || i >= m_size)
        return r;
    const Chunk &chunk = *m_chunks[size_t(i / kChunk)];
    const qsizetype row = i % kChunk;
    for (int c = 0; c < kChannels; ++c)
        r.counts[c] = chunk.counts[c][row];
    r.utcMs = chunk.utc[row];
    r.monotonicNs = chunk.mono[row];
    const SettingsRun &run = runAt(m_evicted + quint64(i));
    r.periodMs = run.periodMs;
    r.thresholdsMv = run.thresholdsMv;
    r.levelsKnown = run.levelsKnown;
    r.sweep = run.sweep;
    return r;
}

double ReadingHistory::count(qsizetype i, int channel) const
{
    if (i < 0 || i >= m_size || channel < 0 || channel >= kChannels)
        return qQNaN();
    return m_chunks[size_t(i / kChunk)]->counts[channel][i % kChunk];
}

qint64 ReadingHistory::timeKey(qsizetype i) const
{
    if (i < 0 || i >= m_size)
        return 0;
    return m_chunks[size_t(i / kChunk)]->key(i % kChunk);
}

qsizetype ReadingHistory::lowerBound(double timeMs) const
{
    // The chunk first, on its first key, then the row.
    qsizetype lo = 0;
    qsizetype hi = qsizetype(m_chunks.size());
    while (lo < hi) {
        const qsizetype mid = lo + (hi - lo) / 2;
        if (double(m_chunks[size_t(mid)]->key(0)) < timeMs)
            lo = mid + 1;
        else
            hi = mid;
    }
    if (lo == 0)
        return 0;
    const Chunk &chunk = *m_chunks[size_t(lo - 1)];
    qsizetype a = 0;
    qsizetype b = std::min(kChunk, m_size - (lo - 1) * kChunk);
    while (a < b) {
        const qsizetype mid = a + (b - a) / 2;
        if (double(chunk.key(mid)) < timeMs)
            a = mid + 1;
        else
            b = mid;
    }
    return (lo - 1) * kChunk + a;
}

qsizetype ReadingHistory::upperBound(double timeMs) const
{
    // The first key above timeMs is the first at or above the next double.
    if (std::isnan(timeMs))
        return 0;
    return lowerBound(std::nextafter(timeMs, std::numeric_limits<double>::infinity()));
}

// ---- walks over rows, leaves and chunks ----------------------------------

// Visits [from, to) in order, in the largest aligned pieces up to `level`:
// onNode(node, first, end) for a whole leaf or chunk, onRows(chunk, rowFrom,
// rowTo, first) for rows within one leaf. Either returns false to stop.
template<typename OnNode, typename OnRows>
void ReadingHistory::walkForward(qsizetype from, qsizetype to, int level, OnNode onNode, OnRows onRows) const
{
    qsizetype i = std::max<qsizetype>(0, from);
    to = std::min(to, m_size);
    while (i < to) {
        const Chunk &chunk = *m_chunks[size_t(i / kChunk)];
        const qsizetype row = i % kChunk;
        if (level >= Chunks && row == 0 && i + kChunk <= to) {
            if (!onNode(chunk.whole, i, i + kChunk))
                return;
            i += kChunk;
        } else if (level >= Leaves && row % kLeaf == 0 && i + kLeaf <= to) {
            if (!onNode(chunk.leaves[row / kLeaf], i, i + kLeaf))
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
void ReadingHistory::walkBackward(qsizetype from, qsizetype to, int level, OnNode onNode, OnRows onRows) const
{
    qsizetype i = std::min(to, m_size); // end of what is left
    from = std::max<qsizetype>(0, from);
    while (i > from) {
        const qsizetype last = i - 1;
        const Chunk &chunk = *m_chunks[size_t(last / kChunk)];
        const qsizetype rowEnd = (last % kChunk) + 1; // row after the last, within the chunk
        if (level >= Chunks && rowEnd == kChunk && i - kChunk >= from) {
            if (!onNode(chunk.whole, i - kChunk, i))
                return;
            i -= kChunk;
        } else if (level >= Leaves && rowEnd % kLeaf == 0 && i - kLeaf >= from) {
            if (!onNode(chunk.leaves[rowEnd / kLeaf - 1], i - kLeaf, i))
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
    LineSummary s;
    if (channel < 0 || channel >= kChannels)
        return s;
    const int mode = log ? 1 : 0;
    walkForward(
        from, to, Chunks,
        [&](const Node &node, qsizetype, qsizetype) {
            s.merge(node.channel[channel].line[mode]);
            return true;
        },
        [&](const Chunk &chunk, qsizetype a, qsizetype b, qsizetype) {
            const double *v = chunk.counts[channel];
            for (qsizetype r = a; r < b; ++r)
                s.add(v[r], log);
            return true;
        });
    return s;
}

// The first (or, backwards, the last) row in [from, to) for which rowIs(v)
// holds, skipping the stretches whose node does not have one (nodeHas), and
// looking into the first that has: -1 if none.
template<typename NodeHas, typename RowIs>
qsizetype ReadingHistory::find(qsizetype from, qsizetype to, bool forward, NodeHas nodeHas, RowIs rowIs) const
{
    for (int level = Chunks; level >= Rows; --level) {
        qsizetype nodeFrom = -1;
        qsizetype nodeTo = -1;
        qsizetype found = -1;
        const auto onNode = [&](const Node &node, qsizetype a, qsizetype b) {
            if (!nodeHas(node))
                return true;
            nodeFrom = a;
            nodeTo = b;
            return false;
        };
        const auto onRows = [&](const Chunk &chunk, qsizetype a, qsizetype b, qsizetype first) {
            for (qsizetype k = 0; k < b - a; ++k) {
                const qsizetype r = forward ? a + k : b - 1 - k;
                if (rowIs(chunk, r)) {
                    found = first + (r - a);
                    return false;
                }
            }
            return true;
        };
        if (forward)
            walkForward(from, to, level, onNode, onRows);
        else
            walkBackward(from, to, level, onNode, onRows);
        if (found >= 0 || nodeFrom < 0)
            return found;
        from = nodeFrom;
        to = nodeTo;
    }
    return -1;
}

ReadingHistory::LinePoint ReadingHistory::firstPoint(int channel, bool log, qsizetype from, qsizetype to) const
{
    if (channel < 0 || channel >= kChannels)
        return {};
    const int mode = log ? 1 : 0;
    const qsizetype i = find(
        from, to, true, [&](const Node &n) { return n.channel[channel].line[mode].points > 0; },
        [&](const Chunk &chunk, qsizetype r) { return LineSummary::onLine(chunk.counts[channel][r], log); });
    return i >= 0 ? point(channel, i) : LinePoint();
}

ReadingHistory::LinePoint ReadingHistory::lastPoint(int channel, bool log, qsizetype from, qsizetype to) const
{
    if (channel < 0 || channel >= kChannels)
        return {};
    const int mode = log ? 1 : 0;
    const qsizetype i = find(
        from, to, false, [&](const Node &n) { return n.channel[channel].line[mode].points > 0; },
        [&](const Chunk &chunk, qsizetype r) { return LineSummary::onLine(chunk.counts[channel][r], log); });
    return i >= 0 ? point(channel, i) : LinePoint();
}

ReadingHistory::LinePoint ReadingHistory::pointBefore(int channel, bool log, qsizetype index) const
{
    if (channel < 0 || channel >= kChannels)
        return {};
    const int mode = log ? 1 : 0;
    // Back to the nearest stretch with a point or a break.
    qsizetype nodeFrom = -1;
    qsizetype nodeTo = -1;
    bool broken = false;
    LinePoint found;
    walkBackward(
        0, index, Chunks,
        [&](const Node &node, qsizetype a, qsizetype b) {
            const LineSummary &s = node.channel[channel].line[mode];
            if (s.breakAfter) {
                broken = true;
                return false;
            }
            if (s.points == 0)
                return true;
            nodeFrom = a;
            nodeTo = b;
            return false;
        },
        [&](const Chunk &chunk, qsizetype a, qsizetype b, qsizetype first) {
            for (qsizetype r = b - 1; r >= a; --r) {
                const double v = chunk.counts[channel][r];
                if (!std::isfinite(v)) {
                    broken = true;
                    return false;
                }
                if (LineSummary::onLine(v, log)) {
                    found = point(channel, first + (r - a));
                    return false;
                }
            }
            return true;
        });
    if (broken || found.isValid() || nodeFrom < 0)
        return found;
    return lastPoint(channel, log, nodeFrom, nodeTo);
}

ReadingHistory::LinePoint ReadingHistory::pointAfter(int channel, bool log, qsizetype index) const
{
    if (channel < 0 || channel >= kChannels)
        return {};
    const int mode = log ? 1 : 0;
    qsizetype nodeFrom = -1;
    qsizetype nodeTo = -1;
    bool broken = false;
    LinePoint found;
    walkForward(
        index, m_size, Chunks,
        [&](const Node &node, qsizetype a, qsizetype b) {
            const LineSummary &s = node.channel[channel].line[mode];
            if (s.breakBefore) {
                broken = true;
                return false;
            }
            if (s.points == 0)
                return true;
            nodeFrom = a;
            nodeTo = b;
            return false;
        },
        [&](const Chunk &chunk, qsizetype a, qsizetype b, qsizetype first) {
            for (qsizetype r = a; r < b; ++r) {
                const double v = chunk.counts[channel][r];
                if (!std::isfinite(v)) {
                    broken = true;
                    return false;
                }
                if (LineSummary::onLine(v, log)) {
                    found = point(channel, first + (r - a));
                    return false;
                }
            }
            return true;
        });
    if (broken || found.isValid() || nodeFrom < 0)
        return found;
    return firstPoint(channel, log, nodeFrom, nodeTo);
}

void ReadingHistory::columns(int channel, bool log, const qsizetype *bounds, int count, Column *out) const
{
    if (channel < 0 || channel >= kChannels)
        return;
    const int mode = log ? 1 : 0;
    // Where each of the column's six points lies: a row, or the first
    // stretch (node) that holds it, looked into afterwards.
    struct Where {
        qsizetype row = -1;
        qsizetype nodeFrom = -1;
        qsizetype nodeTo = -1;
        void set(qsizetype r)
        {
            row = r;
            nodeFrom = -1;
        }
        void set(qsizetype a, qsizetype b)
        {
            row = -1;
            nodeFrom = a;
            nodeTo = b;
        }
    };
    for (int k = 0; k < count; ++k) {
        Column &col = out[k];
        LineSummary &s = col.line;
        s = LineSummary();
        Where first, last, low, lowLast, high, highLast;
        walkForward(
            bounds[k], bounds[k + 1], Chunks,
            [&](const Node &node, qsizetype a, qsizetype b) {
                const LineSummary &n = node.channel[channel].line[mode];
                if (n.points > 0) {
                    if (s.points == 0)
                        first.set(a, b);
                    last.set(a, b);
                    if (n.all.lo < s.all.lo)
                        low.set(a, b);
                    if (n.all.lo <= s.all.lo)
                        lowLast.set(a, b);
                    if (n.all.hi > s.all.hi)
                        high.set(a, b);
                    if (n.all.hi >= s.all.hi)
                        highLast.set(a, b);
                }
                s.merge(n);
                return true;
            },
            [&](const Chunk &chunk, qsizetype a, qsizetype b, qsizetype start) {
                const double *v = chunk.counts[channel];
                for (qsizetype r = a; r < b; ++r) {
                    const double x = v[r];
                    if (LineSummary::onLine(x, log)) {
                        const qsizetype i = start + (r - a);
                        if (s.points == 0)
                            first.set(i);
                        last.set(i);
                        if (x < s.all.lo)
                            low.set(i);
                        if (x <= s.all.lo)
                            lowLast.set(i);
                        if (x > s.all.hi)
                            high.set(i);
                        if (x >= s.all.hi)
                            highLast.set(i);
                    }
                    s.add(x, log);
                }
                return true;
            });
        if (s.points == 0) {
            col.first = col.last = col.low = col.lowLast = col.high = col.highLast = LinePoint();
            continue;
        }
        const auto onLine = [&](const Chunk &chunk, qsizetype r) {
            return LineSummary::onLine(chunk.counts[channel][r], log);
        };
        const auto hasPoints = [&](const Node &n) { return n.channel[channel].line[mode].points > 0; };
        const double lo = s.all.lo;
        const double hi = s.all.hi;
        const auto resolve = [&](const Where &w, bool forward, auto nodeHas, auto rowIs) {
            return point(channel, w.row >= 0 ? w.row : find(w.nodeFrom, w.nodeTo, forward, nodeHas, rowIs));
        };
        col.first = resolve(first, true, hasPoints, onLine);
        col.last = resolve(last, false, hasPoints, onLine);
        const auto lowNode = [&](const Node &n) { return n.channel[channel].line[mode].all.lo == lo; };
        const auto lowRow = [&](const Chunk &chunk, qsizetype r) { return chunk.counts[channel][r] == lo; };
        const auto highNode = [&](const Node &n) { return n.channel[channel].line[mode].all.hi == hi; };
        const auto highRow = [&](const Chunk &chunk, qsizetype r) { return chunk.counts[channel][r] == hi; };
        col.low = resolve(low, true, lowNode, lowRow);
        col.lowLast = resolve(lowLast, false, lowNode, lowRow);
        col.high = resolve(high, true, highNode, highRow);
        col.highLast = resolve(highLast, false, highNode, highRow);
    }
}

// ---- statistics -------------------------------------------------------------

ChannelAccumulator ReadingHistory::accumulate(int channel, qsizetype from, qsizetype to) const
{
    ChannelAccumulator acc;
    walkForward(
        from, to, Chunks,
        [&](const Node &node, qsizetype a, qsizetype b) {
            acc.merge(node.channel[channel].accumulator(b - a));
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
