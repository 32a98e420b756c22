#include "StatsRow.h"

#include "ReadingRow.h"

#include <cmath>

namespace statsrow {

namespace {

QByteArray jsonNumber(double v)
{
    const QByteArray text = readingrow::formatDouble(v);
    return std::isfinite(v) ? text : '"' + text + '"';
}

} // namespace

QByteArray csvHeader()
{
    return QByteArrayLiteral("channel,count,not_finite,mean,stddev,min,max,rate_per_s\n");
}

QByteArray csvRow(int channel, const ChannelStats &s)
{
    return QByteArray::number(channel) + ',' + QByteArray::number(s.count) + ',' + QByteArray::number(s.nonFinite)
        + ',' + readingrow::formatDouble(s.mean) + ',' + readingrow::formatDouble(s.stddev) + ','
        + readingrow::formatDouble(s.min) + ',' + readingrow::formatDouble(s.max) + ','
        + readingrow::formatDouble(s.rate) + '\n';
}

QByteArray jsonLine(int channel, const ChannelStats &s)
{
    return "{\"channel\":" + QByteArray::number(channel) + ",\"count\":" + QByteArray::number(s.count)
        + ",\"not_finite\":" + QByteArray::number(s.nonFinite) + ",\"mean\":" + jsonNumber(s.mean)
        + ",\"stddev\":" + jsonNumber(s.stddev) + ",\"min\":" + jsonNumber(s.min) + ",\"max\":" + jsonNumber(s.max)
        + ",\"rate_per_s\":" + jsonNumber(s.rate) + "}\n";
}

QByteArray table(const RunningStats &stats, bool csv)
{
    QByteArray out = csv ? csvHeader() : QByteArray();
    for (int c = 0; c < Reading::kChannels; ++c)
        out += csv ? csvRow(c, stats.channel(c)) : jsonLine(c, stats.channel(c));
    return out;
}

} // namespace statsrow
