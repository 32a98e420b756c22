#include "RunningStats.h"

#include <algorithm>
#include <limits>

void RunningMean::add(double x)
{
    ++n;
    const double delta = x - mean;
    if (std::isfinite(delta))
        mean += delta / double(n);
    else // values of opposite sign near the largest double
        mean = mean - mean / double(n) + x / double(n);
}

void RunningMean::merge(const RunningMean &o)
{
    if (o.n == 0)
        return;
    if (n == 0) {
        *this = o;
        return;
    }
    const qint64 total = n + o.n;
    const double delta = o.mean - mean;
    if (std::isfinite(delta))
        mean += delta * (double(o.n) / double(total));
    else
        mean = mean * (double(n) / double(total)) + o.mean * (double(o.n) / double(total));
    n = total;
}

void RunningMoments::unshift()
{
    offset = shift + offset;
    shift = 0;
}

void RunningMoments::add(double x)
{
    if (n == 0)
        shift = x;
    double d = x - shift;
    if (!std::isfinite(d)) { // values of opposite sign near the largest double
        unshift();
        d = x;
    }
    ++n;
    const double delta = d - offset;
    if (std::isfinite(delta)) {
        offset += delta / double(n);
        m2 += delta * (d - offset);
    } else {
        offset = offset - offset / double(n) + d / double(n);
        m2 = std::numeric_limits<double>::infinity();
    }
}

void RunningMoments::merge(const RunningMoments &o)
{
    if (o.n == 0)
        return;
    if (n == 0) {
        *this = o;
        return;
    }
    RunningMoments other = o;
    double apart = other.shift - shift; // exact for nearby shifts
    if (!std::isfinite(apart)) {
        unshift();
        other.unshift();
        apart = 0;
    }
    const double otherOffset = other.offset + apart;
    const qint64 total = n + other.n;
    const double delta = otherOffset - offset;
    if (std::isfinite(delta)) {
        offset += delta * (double(other.n) / double(total));
        m2 += other.m2 + delta * delta * (double(n) * double(other.n) / double(total));
    } else {
        offset = offset * (double(n) / double(total)) + otherOffset * (double(other.n) / double(total));
        m2 = std::numeric_limits<double>::infinity();
    }
    n = total;
}

double ChannelAccumulator::rateOf(double count, int periodMs)
{
    if (periodMs <= 0 || !std::isfinite(count))
        return qQNaN();
    return count / (periodMs / 1000.0);
}

void ChannelAccumulator::add(double count, int periodMs)
{
    if (!std::isfinite(count)) {
        ++nonFinite;
        return;
    }
    counts.add(count);
    min = std::min(min, count);
    max = std::max(max, count);
    const double rate = rateOf(count, periodMs);
    if (std::isfinite(rate))
        rates.add(rate);
}

void ChannelAccumulator::merge(const ChannelAccumulator &o)
{
    counts.merge(o.counts);
    rates.merge(o.rates);
    min = std::min(min, o.min);
    max = std::max(max, o.max);
    nonFinite += o.nonFinite;
}

ChannelStats ChannelAccumulator::result() const
{
    ChannelStats s;
    s.count = counts.n;
    s.nonFinite = nonFinite;
    if (counts.n > 0) {
        s.mean = counts.mean();
        s.min = min;
        s.max = max;
    }
    if (counts.n > 1)
        s.stddev = std::sqrt(std::max(0.0, counts.m2) / double(counts.n - 1));
    s.rateCount = rates.n;
    if (rates.n > 0)
        s.rate = rates.mean;
    return s;
}

void RunningStats::add(const Reading &reading)
{
    for (int c = 0; c < Reading::kChannels; ++c)
        m_channels[c].add(reading.counts[c], reading.periodMs);
    ++m_readings;
}

void RunningStats::clear()
{
    *this = RunningStats();
}

ChannelStats RunningStats::channel(int c) const
{
    if (c < 0 || c >= Reading::kChannels)
        return {};
    return m_channels[c].result();
}

SpanStats RunningStats::all() const
{
    SpanStats out;
    for (int c = 0; c < Reading::kChannels; ++c)
        out[c] = m_channels[c].result();
    return out;
}
