#include "ReadingRow.h"

#include <QLocale>

#include <cmath>

namespace readingrow {

namespace {

QByteArray isoTime(const QDateTime &utc)
{
    return utc.toUTC().toString(Qt::ISODateWithMs).toLatin1();
}

QByteArray elapsedText(double seconds)
{
    return QByteArray::number(seconds, 'f', 3);
}

} // namespace

QList<double> levelsMv(const QVariantList &volts)
{
    QList<double> out;
    out.reserve(volts.size());
    for (const QVariant &v : volts)
        out.append(std::round(v.toDouble() * 1e6) / 1e3);
    return out;
}

QByteArray formatDouble(double value)
{
    if (value == 0.0 && std::signbit(value))
        return QByteArrayLiteral("-0");
    return QByteArray::number(value, 'g', QLocale::FloatingPointShortest);
}

QByteArray csvHeader()
{
    QByteArray line("time_utc,elapsed_s,period_ms");
    for (int ch = 0; ch < kChannels; ++ch)
        line += ",count_ch" + QByteArray::number(ch);
    for (int ch = 0; ch < kChannels; ++ch)
        line += ",threshold_mv_ch" + QByteArray::number(ch);
    line += ",sweep\n";
    return line;
}

QByteArray csvRow(const Reading &r)
{
    QByteArray line;
    line.reserve(320);
    line += isoTime(r.utc);
    line += ',';
    line += elapsedText(r.elapsedS);
    line += ',';
    line += QByteArray::number(r.periodMs);
    for (int ch = 0; ch < kChannels; ++ch) {
        line += ',';
        if (ch < r.counts.size())
            line += formatDouble(r.counts.at(ch));
    }
    for (int ch = 0; ch < kChannels; ++ch) {
        line += ',';
        if (ch < r.thresholdsMv.size())
            line += formatDouble(r.thresholdsMv.at(ch));
    }
    line += r.sweep ? ",1\n" : ",0\n";
    return line;
}

static QByteArray jsonNumber(double v)
{
    return std::isfinite(v) ? formatDouble(v) : '"' + formatDouble(v) + '"';
}

QByteArray jsonLine(const Reading &r)
{
    const auto number = jsonNumber;
    QByteArray line;
    line.reserve(400);
    line += "{\"time_utc\":\"" + isoTime(r.utc) + "\",\"elapsed_s\":" + elapsedText(r.elapsedS)
        + ",\"period_ms\":" + QByteArray::number(r.periodMs) + ",\"counts\":[";
    for (int ch = 0; ch < kChannels; ++ch) {
        if (ch > 0)
            line += ',';
        line += ch < r.counts.size() ? number(r.counts.at(ch)) : QByteArrayLiteral("null");
    }
    line += "],\"thresholds_mv\":[";
    for (int ch = 0; ch < kChannels; ++ch) {
        if (ch > 0)
            line += ',';
        line += ch < r.thresholdsMv.size() ? number(r.thresholdsMv.at(ch)) : QByteArrayLiteral("null");
    }
    line += r.sweep ? "],\"sweep\":true}\n" : "],\"sweep\":false}\n";
    return line;
}

QByteArray sweepCsvHeader()
{
    return QByteArrayLiteral("channel,threshold_mv,count,time_utc\n");
}

QByteArray sweepCsvRow(int channel, double thresholdMv, double count, const QDateTime &utc)
{
    return QByteArray::number(channel) + ',' + formatDouble(thresholdMv) + ',' + formatDouble(count)
        + ',' + isoTime(utc) + '\n';
}

QByteArray sweepJsonLine(int channel, double thresholdMv, double count, const QDateTime &utc)
{
    return "{\"channel\":" + QByteArray::number(channel) + ",\"threshold_mv\":" + jsonNumber(thresholdMv)
        + ",\"count\":" + jsonNumber(count) + ",\"time_utc\":\"" + isoTime(utc) + "\"}\n";
}

} // namespace readingrow
