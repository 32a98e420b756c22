#pragma once

// One count reading as a line of text: the CSV row of a recording and the
// output of the command-line tool, one format for both.

#include <QByteArray>
#include <QDateTime>
#include <QList>
#include <QVariantList>

namespace readingrow {

constexpr int kChannels = 8;

struct Reading {
    QDateTime utc;              // when the reading arrived
    double elapsedS = 0;        // seconds since the recording started
    int periodMs = 0;           // gate period at that time
    QList<double> counts;       // eight counts as the instrument sent them
    QList<double> thresholdsMv; // eight levels in mV; empty while unknown
    bool sweep = false;         // taken during a calibration sweep
};

// Threshold levels in mV from levels in volts, kept to the microvolt so that
// 0.123 V reads 123 and not 123.00000000000001.
QList<double> levelsMv(const QVariantList &volts);

// Shortest text that reads back to the same double: "nan", "inf", "-inf"
// and "-0" included.
QByteArray formatDouble(double value);

// "time_utc,elapsed_s,period_ms,count_ch0..7,threshold_mv_ch0..7,sweep" and a newline.
QByteArray csvHeader();
// One complete CSV line, newline included.
QByteArray csvRow(const Reading &reading);
// One JSON object on one line, newline included. Numbers that JSON cannot
// carry (nan, inf, -inf) are written as those strings; unknown levels as null.
QByteArray jsonLine(const Reading &reading);

// One point of a calibration sweep: "channel,threshold_mv,count,time_utc".
QByteArray sweepCsvHeader();
QByteArray sweepCsvRow(int channel, double thresholdMv, double count, const QDateTime &utc);
QByteArray sweepJsonLine(int channel, double thresholdMv, double count, const QDateTime &utc);

} // namespace readingrow
