#include "ReadingHistory.h"

#include <algorithm>
#include <cstring>
#include <limits>

namespace {

constexpr qsizetype kLeaf = ReadingHistory::kLeafReadings;
constexpr qsizetype kChunk = ReadingHistory::kChunkReadings;
constexpr qsizetype kLeavesPerChunk = kChunk / kLeaf;

// Asks for the memory of [p, p + bytes) ahead of its use: a column's rows at
// its edges are short runs that start anywhere, too short for the
// hardware's own prefetching to catch up.
void prefetch(const void *p, qsizetype bytes)
{
#if defined(__GNUC__)
    const char *c = static_cast<const char *>(p);
    for (qsizetype k = 0; k < bytes; k += 64)
        __builtin_prefetch(c + k);
#else
    Q_UNUSED(p);
    Q_UNUSED(bytes);
#endif
}

bool sameBits(const std::array<double, Reading::kChannels> &a, const std::array<double, Reading::kChannels> &b)
{
    return std::memcmp(a.data(), b.data(), sizeof(double) * a.size()) == 0;
}

} // namespace

// Where a line's M4 points lie in a leaf or a chunk, from its start: its
// first and last point, and the first and last at its lowest and highest.
struct Marks {
    quint16 first = 0;
    quint16 last = 0;
    quint16 low = 0;
    quint16 lowLast = 0;
    quint16 high = 0;
    quint16 highLast = 0;
};

// One channel's line over a leaf or a chunk, and where its M4 points lie
// (in the summary's tail padding).
struct LineNode : LineSummary {
    Marks marks;
};

// A line's summary over rows and nodes in order, with the rows of its M4
// points (-1 before the first point).
struct Tracked {
    LineSummary line;
    qsizetype first = -1;
    qsizetype last = -1;
    qsizetype low = -1;
    qsizetype lowLast = -1;
    qsizetype high = -1;
    qsizetype highLast = -1;

    void addNode(const LineNode &n, qsizetype start)
    {
        const Marks &m = n.marks;
        if (n.points > 0) {
            if (line.points == 0)
                first = start + m.first;
            last = start + m.last;
            if (n.all.lo < line.all.lo)
                low = start + m.low;
            if (n.all.lo <= line.all.lo)
                lowLast = start + m.lowLast;
            if (n.all.hi > line.all.hi)
                high = start + m.high;
            if (n.all.hi >= line.all.hi)
                highLast = start + m.highLast;
        }
        line.merge(n);
    }

    // Rows v[0, n), the first of them row `start`. Runs of points on the
    // line go through a tight loop and join the summary as one run.
    void addRows(const double *v, qsizetype n, bool log, qsizetype start)
    {
        prefetch(v, n * qsizetype(sizeof(double)));
        qsizetype r = 0;
        while (r < n) {
            double lo = line.all.lo; // over everything so far
            double hi = line.all.hi;
            double runLo = std::numeric_limits<double>::infinity(); // over this run
            double runHi = -std::numeric_limits<double>::infinity();
            const qsizetype from = r;
            for (; r < n; ++r) {
                const double x = v[r];
                if (!LineSummary::onLine(x, log))
                    break;
                if (x < lo)
                    low = start + r;
                if (x <= lo) {
                    lowLast = start + r;
                    lo = x;
                }
                if (x > hi)
                    high = start + r;
                if (x >= hi) {
                    highLast = start + r;
                    hi = x;
                }
                runLo = std::min(runLo, x);
                runHi = std::max(runHi, x);
            }
            if (r > from) {
                if (line.points == 0)
                    first = start + from;
                last = start + r - 1;
                LineSummary run;
                run.all = {runLo, runHi};
                run.points = quint32(r - from);
                run.head = run.tail = run.all;
                run.headPoints = run.tailPoints = run.points >= 2 ? 2 : 1;
                line.merge(run);
            }
            if (r < n)
                line.add(v[r++], log); // off the line: skipped, or a break
        }
    }

    Marks marks(qsizetype start) const
    {
        const auto at = [start](qsizetype row) { return quint16(row < 0 ? 0 : row - start); };
        return {at(first), at(last), at(low), at(lowLast), at(high), at(highLast)};
    }
};

// One channel's moments over a leaf or a chunk (the count of finite values
// is the linear line's points).
struct StatsNode {
    double shift = 0; // see RunningMoments
    double offset = 0;
    double m2 = 0;
    double rateMean = 0;
    quint32 rateCount = 0;

    RunningMoments moments(const LineSummary &linear) const
    {
        RunningMoments m;
        m.n = qint64(linear.points);
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
    ChannelAccumulator accumulator(const LineSummary &linear, qsizetype readings) const
    {
        ChannelAccumulator a;
        a.counts = moments(linear);
        a.rates = {qint64(rateCount), rateMean};
        if (linear.points > 0) {
            a.min = linear.all.lo;
            a.max = linear.all.hi;
        }
        a.nonFinite = readings - qint64(linear.points);
        return a;
    }
};

struct ReadingHistory::SettingsRun {
    quint64 from = 0; // serial of the first reading it holds for
    int periodMs = 0;
    bool levelsKnown = false;
    bool sweep = false;
    std::array<double, kChannels> thresholdsMv{};
};

// Left uninitialised but for the pyramid: rows are written as they come.
// The pyramid is laid out by channel and mode, so that the leaves a column
// takes lie side by side.
// NOLINTNEXTLINE(cppcoreguidelines-pro-type-member-init): rows are written before they are read
struct ReadingHistory::Chunk {
    static constexpr int kWhole = int(kLeavesPerChunk); // the slot of the whole chunk
    // Keys, once one of them differs from its utcMs (the clock went back).
    std::unique_ptr<qint64[]> keys;
    double counts[kChannels][kChunk];
    qint64 utc[kChunk];
    qint64 mono[kChunk];
    LineNode lines[kChannels][2][kLeavesPerChunk + 1]; // linear, log; leaves, then the whole
    StatsNode stats[kChannels][kLeavesPerChunk + 1];

    qint64 key(qsizetype row) const { return keys ? keys[row] : utc[row]; }
};

// A leaf or a whole chunk, as a walk comes to it.
struct ReadingHistory::Node {
    const Chunk *chunk;
    int slot;

    const LineNode &line(int channel, int mode) const { return chunk->lines[channel][mode][slot]; }
    ChannelAccumulator accumulator(int channel, qsizetype readings) const
    {
        return chunk->stats[channel][slot].accumulator(line(channel, 0), readings);
    }
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
           + qint64(m_keyArrays) * kChunk * qint64(sizeof(qint64)) + qint64(m_runs.size()) * qint64(sizeof(SettingsRun))
           + qint64(m_chunkKeys.size()) * qint64(sizeof(qint64));
}

void ReadingHistory::clear()
{
    m_chunks.clear();
    m_chunkKeys.clear();
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
    m_chunkKeys.pop_front();
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
    // Rows are left uninitialised until written (make_shared would zero them).
    m_chunks.emplace_back(std::shared_ptr<Chunk>(new Chunk));
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
    if (row == 0)
        m_chunkKeys.push_back(key);
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
    for (int c = 0; c < kChannels; ++c) {
        const double *v = chunk.counts[c] + from;
        for (int mode = 0; mode < 2; ++mode) {
            Tracked t;
            t.addRows(v, kLeaf, mode == 1, 0);
            LineNode &n = chunk.lines[c][mode][leaf];
            static_cast<LineSummary &>(n) = t.line;
            n.marks = t.marks(0);
        }
        RunningMoments moments;
        RunningMean rates;
        for (qsizetype i = 0; i < kLeaf; ++i) {
            const double x = v[i];
            if (std::isfinite(x)) {
                moments.add(x);
                const double rate = ChannelAccumulator::rateOf(x, period[i]);
                if (std::isfinite(rate))
                    rates.add(rate);
            }
        }
        StatsNode &n = chunk.stats[c][leaf];
        n.setMoments(moments);
        n.rateMean = rates.mean;
        n.rateCount = quint32(rates.n);
    }
}

void ReadingHistory::buildWhole(Chunk &chunk)
{
    for (int c = 0; c < kChannels; ++c) {
        for (int mode = 0; mode < 2; ++mode) {
            Tracked t;
            for (qsizetype l = 0; l < kLeavesPerChunk; ++l)
                t.addNode(chunk.lines[c][mode][l], l * kLeaf);
            LineNode &n = chunk.lines[c][mode][Chunk::kWhole];
            static_cast<LineSummary &>(n) = t.line;
            n.marks = t.marks(0);
        }
        RunningMoments moments;
        RunningMean rates;
        for (qsizetype l = 0; l < kLeavesPerChunk; ++l) {
            const StatsNode &n = chunk.stats[c][l];
            moments.merge(n.moments(chunk.lines[c][0][l]));
            rates.merge({qint64(n.rateCount), n.rateMean});
        }
        StatsNode &whole = chunk.stats[c][Chunk::kWhole];
        whole.setMoments(moments);
        whole.rateMean = rates.mean;
        whole.rateCount = quint32(rates.n);
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
    qsizetype hi = qsizetype(m_chunkKeys.size());
    while (lo < hi) {
        const qsizetype mid = lo + (hi - lo) / 2;
        if (double(m_chunkKeys[size_t(mid)]) < timeMs)
            lo = mid + 1;
        else
            hi = mid;
    }
    if (lo == 0)
        return 0;
    const qsizetype c = lo - 1;
    const Chunk &chunk = *m_chunks[size_t(c)];
    const qsizetype n = std::min(kChunk, m_size - c * kChunk);
    const auto before = [&](qsizetype row) { return double(chunk.key(row)) < timeMs; };
    // Readings come about a gate period apart: a guess between this chunk's
    // first key and the next one's, then steps doubling away from it.
    const double k0 = double(m_chunkKeys[size_t(c)]);
    const double k1 = size_t(lo) < m_chunkKeys.size() ? double(m_chunkKeys[size_t(lo)]) : double(chunk.key(n - 1));
    qsizetype guess = 0;
    if (k1 > k0)
        guess = qsizetype(std::clamp((timeMs - k0) / (k1 - k0) * double(n), 0.0, double(n - 1)));
    qsizetype a = 0;
    qsizetype b = n;
    if (before(guess)) {
        a = guess + 1;
        for (qsizetype step = 1; a + step - 1 < n && before(a + step - 1); step *= 2) {
            a += step;
            b = std::min(n, a + 2 * step - 1);
        }
        b = std::min(b, n);
    } else {
        b = guess;
        for (qsizetype step = 1; b - step >= 0 && !before(b - step); step *= 2) {
            b -= step;
            a = std::max<qsizetype>(0, b - 2 * step);
        }
    }
    while (a < b) {
        const qsizetype mid = a + (b - a) / 2;
        if (before(mid))
            a = mid + 1;
        else
            b = mid;
    }
    return c * kChunk + a;
}

qsizetype ReadingHistory::upperBound(double timeMs) const
{
    // The first key above timeMs is the first at or above the next double.
    if (std::isnan(timeMs))
        return 0;
    return lowerBound(std::nextafter(timeMs, std::numeric_limits<double>::infinity()));
}

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

ReadingHistory::LinePoint ReadingHistory::firstPoint(int channel, bool log, qsizetype from, qsizetype to) const
{
    if (channel < 0 || channel >= kChannels)
        return {};
    const int mode = log ? 1 : 0;
    qsizetype found = -1;
    walkForward(from, to,
        [&](const Node &node, qsizetype a, qsizetype) {
            const LineNode &n = node.line(channel, mode);
            if (n.points == 0)
                return true;
            found = a + n.marks.first;
            return false;
        },
        [&](const Chunk &chunk, qsizetype a, qsizetype b, qsizetype start) {
            for (qsizetype r = a; r < b; ++r) {
                if (LineSummary::onLine(chunk.counts[channel][r], log)) {
                    found = start + (r - a);
                    return false;
                }
            }
            return true;
        });
    return found >= 0 ? point(channel, found) : LinePoint();
}

ReadingHistory::LinePoint ReadingHistory::lastPoint(int channel, bool log, qsizetype from, qsizetype to) const
{
    if (channel < 0 || channel >= kChannels)
        return {};
    const int mode = log ? 1 : 0;
    qsizetype found = -1;
    walkBackward(from, to,
        [&](const Node &node, qsizetype a, qsizetype) {
            const LineNode &n = node.line(channel, mode);
            if (n.points == 0)
                return true;
            found = a + n.marks.last;
            return false;
        },
        [&](const Chunk &chunk, qsizetype a, qsizetype b, qsizetype start) {
            for (qsizetype r = b - 1; r >= a; --r) {
                if (LineSummary::onLine(chunk.counts[channel][r], log)) {
                    found = start + (r - a);
                    return false;
                }
            }
            return true;
        });
    return found >= 0 ? point(channel, found) : LinePoint();
}

ReadingHistory::LinePoint ReadingHistory::pointBefore(int channel, bool log, qsizetype index) const
{
    if (channel < 0 || channel >= kChannels)
        return {};
    const int mode = log ? 1 : 0;
    // Back to the nearest stretch with a point or a break.
    qsizetype found = -1;
    walkBackward(0, index,
        [&](const Node &node, qsizetype a, qsizetype) {
            const LineNode &n = node.line(channel, mode);
            if (!n.breakAfter && n.points > 0)
                found = a + n.marks.last;
            return !n.breakAfter && n.points == 0;
        },
        [&](const Chunk &chunk, qsizetype a, qsizetype b, qsizetype start) {
            for (qsizetype r = b - 1; r >= a; --r) {
                const double v = chunk.counts[channel][r];
                if (LineSummary::onLine(v, log))
                    found = start + (r - a);
                if (!std::isfinite(v) || found >= 0)
                    return false;
            }
            return true;
        });
    return found >= 0 ? point(channel, found) : LinePoint();
}

ReadingHistory::LinePoint ReadingHistory::pointAfter(int channel, bool log, qsizetype index, qsizetype end) const
{
    if (channel < 0 || channel >= kChannels)
        return {};
    const int mode = log ? 1 : 0;
    qsizetype found = -1;
    walkForward(index, end < 0 ? m_size : std::min(end, m_size),
        [&](const Node &node, qsizetype a, qsizetype) {
            const LineNode &n = node.line(channel, mode);
            if (!n.breakBefore && n.points > 0)
                found = a + n.marks.first;
            return !n.breakBefore && n.points == 0;
        },
        [&](const Chunk &chunk, qsizetype a, qsizetype b, qsizetype start) {
            for (qsizetype r = a; r < b; ++r) {
                const double v = chunk.counts[channel][r];
                if (LineSummary::onLine(v, log))
                    found = start + (r - a);
                if (!std::isfinite(v) || found >= 0)
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

// ---- gate periods -------------------------------------------------------------

int ReadingHistory::periodAt(qsizetype i) const
{
    if (i < 0 || i >= m_size)
        return 0;
    return runAt(m_evicted + quint64(i)).periodMs;
}

void ReadingHistory::periodRuns(qsizetype from, qsizetype to, std::vector<PeriodRun> *out) const
{
    out->clear();
    from = std::max<qsizetype>(0, from);
    to = std::min(to, m_size);
    if (from >= to)
        return;
    const quint64 end = m_evicted + quint64(to);
    qsizetype run = runIndexAt(m_evicted + quint64(from));
    out->push_back({from, m_runs[size_t(run)].periodMs});
    // Levels change more often than the period: only period changes cut.
    for (++run; size_t(run) < m_runs.size() && m_runs[size_t(run)].from < end; ++run) {
        if (m_runs[size_t(run)].periodMs != out->back().periodMs)
            out->push_back({qsizetype(m_runs[size_t(run)].from - m_evicted), m_runs[size_t(run)].periodMs});
    }
}

// ---- slices -------------------------------------------------------------------

struct ReadingHistory::Slice::Data {
    std::vector<std::shared_ptr<const Chunk>> chunks;
    qsizetype offset = 0; // row of the first reading in chunks[0]
    qsizetype size = 0;
    quint64 firstSerial = 0;
    std::vector<SettingsRun> runs; // the first in force at the first reading
};

qsizetype ReadingHistory::Slice::size() const
{
    return m_data ? m_data->size : 0;
}

Reading ReadingHistory::Slice::reading(qsizetype i) const
{
    Reading r;
    if (i < 0 || i >= size())
        return r;
    const Data &d = *m_data;
    const qsizetype at = d.offset + i;
    const Chunk &chunk = *d.chunks[size_t(at / kChunk)];
    const qsizetype row = at % kChunk;
    for (int c = 0; c < kChannels; ++c)
        r.counts[c] = chunk.counts[c][row];
    r.utcMs = chunk.utc[row];
    r.monotonicNs = chunk.mono[row];
    const quint64 serial = d.firstSerial + quint64(i);
    const auto it = std::upper_bound(d.runs.begin(), d.runs.end(), serial,
                                     [](quint64 s, const SettingsRun &run) { return s < run.from; });
    const SettingsRun &run = it == d.runs.begin() ? d.runs.front() : *(it - 1);
    r.periodMs = run.periodMs;
    r.thresholdsMv = run.thresholdsMv;
    r.levelsKnown = run.levelsKnown;
    r.sweep = run.sweep;
    return r;
}

ReadingHistory::Slice ReadingHistory::slice(qsizetype from, qsizetype to) const
{
    Slice out;
    from = std::max<qsizetype>(0, from);
    to = std::min(to, m_size);
    if (from >= to)
        return out;
    auto d = std::make_shared<Slice::Data>();
    d->offset = from % kChunk;
    d->size = to - from;
    d->firstSerial = m_evicted + quint64(from);
    for (qsizetype c = from / kChunk; c <= (to - 1) / kChunk; ++c) {
        const std::shared_ptr<Chunk> &chunk = m_chunks[size_t(c)];
        const qsizetype rows = std::min(kChunk, m_size - c * kChunk);
        if (rows == kChunk) {
            d->chunks.push_back(chunk);
            continue;
        }
        // The last chunk is still written to: its rows so far are copied.
        std::shared_ptr<Chunk> copy(new Chunk);
        for (int ch = 0; ch < kChannels; ++ch)
            std::copy_n(chunk->counts[ch], rows, copy->counts[ch]);
        std::copy_n(chunk->utc, rows, copy->utc);
        std::copy_n(chunk->mono, rows, copy->mono);
        d->chunks.push_back(std::move(copy));
    }
    const qsizetype first = runIndexAt(d->firstSerial);
    const quint64 end = m_evicted + quint64(to);
    for (qsizetype r = first; size_t(r) < m_runs.size() && (r == first || m_runs[size_t(r)].from < end); ++r)
        d->runs.push_back(m_runs[size_t(r)]);
    out.m_data = std::move(d);
    return out;
}
