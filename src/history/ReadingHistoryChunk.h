#pragma once

// The inside of ReadingHistory, shared by its two source files: the
// chunks and their pyramid, and how a line's summary is taken over rows and
// nodes. Nothing else includes it.

#include "ReadingHistory.h"

#include <algorithm>
#include <limits>

namespace historychunk {

constexpr qsizetype kLeaf = ReadingHistory::kLeafReadings;
constexpr qsizetype kChunk = ReadingHistory::kChunkReadings;
constexpr qsizetype kLeavesPerChunk = kChunk / kLeaf;

// Asks for the memory of [p, p + bytes) ahead of its use: a column's rows at
// its edges are short runs that start anywhere, too short for the
// hardware's own prefetching to catch up.
inline void prefetch(const void *p, qsizetype bytes)
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

} // namespace historychunk

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
    static constexpr int kLeaves = int(kChunkReadings / kLeafReadings);
    static constexpr int kWhole = kLeaves; // the slot of the whole chunk
    // Keys, once one of them differs from its utcMs (the clock went back).
    std::unique_ptr<qint64[]> keys;
    double counts[kChannels][kChunkReadings];
    qint64 utc[kChunkReadings];
    qint64 mono[kChunkReadings];
    historychunk::LineNode lines[kChannels][2][kLeaves + 1]; // linear, log; leaves, then the whole
    historychunk::StatsNode stats[kChannels][kLeaves + 1];

    qint64 key(qsizetype row) const { return keys ? keys[row] : utc[row]; }
};

// A leaf or a whole chunk, as a walk comes to it.
struct ReadingHistory::Node {
    const Chunk *chunk;
    int slot;

    const historychunk::LineNode &line(int channel, int mode) const { return chunk->lines[channel][mode][slot]; }
    ChannelAccumulator accumulator(int channel, qsizetype readings) const
    {
        return chunk->stats[channel][slot].accumulator(line(channel, 0), readings);
    }
};
