#include "ReadingRow.h"

#include <QLocale>
#include <QTimeZone>

#include <cmath>

namespace readingrow {

namespace {

QByteArray isoTime(qint64 utcMs)
{
    // toUTC() keeps the "Z" ending on every Qt (a UTC time zone object writes "+00:00" on 6.4)
    return QDateTime::fromMSecsSinceEpoch(utcMs, QTimeZone::utc()).toUTC().toString(Qt::ISODateWithMs).toLatin1();
}

QByteArray elapsedText(double seconds)
{
    return QByteArray::number(seconds, 'f', 3);
}

// Empty where there is no number.
QByteArray csvNumber(double v)
{
    return std::isfinite(v) ? formatDouble(v) : QByteArray();
}

QByteArray jsonNumber(double v)
{
    return std::isfinite(v) ? formatDouble(v) : '"' + formatDouble(v) + '"';
}

} // namespace

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

QByteArray csvRow(const Reading &r, double elapsedS)
{
    QByteArray line;
    line.reserve(320);
    line += isoTime(r.utcMs);
    line += ',';
    line += elapsedText(elapsedS);
    line += ',';
    line += QByteArray::number(r.periodMs);
    for (int ch = 0; ch < kChannels; ++ch) {
        line += ',';
        line += formatDouble(r.counts[ch]);
    }
    for (int ch = 0; ch < kChannels; ++ch) {
        line += ',';
        if (r.levelsKnown)
            line += formatDouble(r.thresholdsMv[ch]);
    }
    line += r.sweep ? ",1\n" : ",0\n";
    return line;
}

QByteArray jsonLine(const Reading &r, double elapsedS)
{
    QByteArray line;
    line.reserve(400);
    line += "{\"time_utc\":\"" + isoTime(r.utcMs) + "\",\"elapsed_s\":" + elapsedText(elapsedS)
        + ",\"period_ms\":" + QByteArray::number(r.periodMs) + ",\"counts\":[";
    for (int ch = 0; ch < kChannels; ++ch) {
        if (ch > 0)
            line += ',';
        line += jsonNumber(r.counts[ch]);
    }
    line += "],\"thresholds_mv\":[";
    for (int ch = 0; ch < kChannels; ++ch) {
        if (ch > 0)
            line += ',';
        line += r.levelsKnown ? jsonNumber(r.thresholdsMv[ch]) : QByteArrayLiteral("null");
    }
    line += r.sweep ? "],\"sweep\":true}\n" : "],\"sweep\":false}\n";
    return line;
}

QByteArray sweepCsvHeader()
{
    return QByteArrayLiteral("channel,threshold_mv,count,time_utc\n");
}

QByteArray sweepCsvRow(const SweepPoint &p)
{
    return QByteArray::number(p.channel) + ',' + formatDouble(p.thresholdMv) + ',' + formatDouble(p.count) + ','
        + isoTime(p.utcMs) + '\n';
}

QByteArray sweepJsonLine(const SweepPoint &p)
{
    return "{\"channel\":" + QByteArray::number(p.channel) + ",\"threshold_mv\":" + jsonNumber(p.thresholdMv)
        + ",\"count\":" + jsonNumber(p.count) + ",\"time_utc\":\"" + isoTime(p.utcMs) + "\"}\n";
}

QByteArray spectrumCsvHeader()
{
    return QByteArrayLiteral("channel,threshold_mv,counts_per_mv,error_per_mv\n");
}

QByteArray spectrumCsvRow(int channel, const calibration::SpectrumPoint &p)
{
    return QByteArray::number(channel) + ',' + formatDouble(p.thresholdMv) + ',' + formatDouble(p.perMv) + ','
        + formatDouble(p.errorPerMv) + '\n';
}

QByteArray calibrationCsvHeader()
{
    return QByteArrayLiteral("channel,suggested_mv,valley_low_mv,valley_high_mv,uncertainty_mv,quality,reason,"
                             "reason_text\n");
}

QByteArray calibrationCsvRow(int channel, const calibration::ChannelAnalysis &a)
{
    // The reason texts are fixed and hold neither quotes nor commas.
    return QByteArray::number(channel) + ',' + csvNumber(a.suggestedMv) + ',' + csvNumber(a.bandLowMv) + ','
        + csvNumber(a.bandHighMv) + ',' + csvNumber(a.uncertaintyMv) + ',' + csvNumber(a.significance) + ','
        + calibration::reasonKey(a.reason) + ",\"" + QByteArray::fromStdString(calibration::reasonText(a)) + "\"\n";
}

} // namespace readingrow
