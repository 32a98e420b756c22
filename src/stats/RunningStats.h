#pragma once

#include "Reading.h"

#include <QtGlobal>

#include <array>
#include <cmath>

// The mean of a stream of values, kept as it goes (no running sum that
// loses the low digits of large counts), and mergeable with another's.
struct RunningMean {
    qint64 n = 0;
    double mean = 0;

    void add(double x);
    void merge(const RunningMean &o);
};

// Mean and sum of squared deviations of a stream (Welford's update), and of
// two streams together (Chan's formula). Both are kept relative to a shift,
// the stream's first value, so that counts around 1e15 that differ by 1 keep
// their deviation exactly. A deviation beyond about 1e154 has no finite
// square and reads as infinite.
struct RunningMoments {
    qint64 n = 0;
    double shift = 0;
    double offset = 0; // mean − shift
    double m2 = 0;

    double mean() const { return shift + offset; }
    void add(double x);
    void merge(const RunningMoments &o);

private:
    void unshift();
};

// One channel's statistics over a span of readings.
struct ChannelStats {
    qint64 count = 0;         // finite counts taken
    qint64 nonFinite = 0;     // counts left out: NaN or infinite
    double mean = qQNaN();
    double stddev = qQNaN();  // sample standard deviation (n − 1); NaN below two counts
    double min = qQNaN();
    double max = qQNaN();
    double rate = qQNaN();    // mean of each count over its own gate period, counts per second
    qint64 rateCount = 0;     // counts the rate is taken over: finite, with a known period
};

using SpanStats = std::array<ChannelStats, Reading::kChannels>;

// One channel's statistics as they accumulate.
struct ChannelAccumulator {
    RunningMoments counts;
    RunningMean rates;
    double min = qInf();
    double max = -qInf();
    qint64 nonFinite = 0;

    // A count taken over a gate of periodMs (0 or less: period unknown, no rate).
    void add(double count, int periodMs);
    void merge(const ChannelAccumulator &o);
    ChannelStats result() const;

    // Counts per second of a count over a gate period; NaN when there is none.
    static double rateOf(double count, int periodMs);
};

// Statistics fed one reading at a time, for a tool that sees a run go by;
// the history gives the same figures for a span of the same readings.
class RunningStats
{
public:
    void add(const Reading &reading);
    void clear();

    qint64 readings() const { return m_readings; }
    ChannelStats channel(int c) const;
    SpanStats all() const;

private:
    std::array<ChannelAccumulator, Reading::kChannels> m_channels;
    qint64 m_readings = 0;
};
