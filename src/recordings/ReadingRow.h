#pragma once

// One count reading as a line of text: the CSV row of a recording and the
// output of the command-line tool, one format for both.

#include "Reading.h"
#include "ThresholdAnalysis.h"

#include <QByteArray>
#include <QDateTime>

namespace readingrow {

constexpr int kChannels = Reading::kChannels;

// Shortest text that reads back to the same double: "nan", "inf", "-inf"
// and "-0" included.
QByteArray formatDouble(double value);

// "time_utc,elapsed_s,period_ms,count_ch0..7,threshold_mv_ch0..7,sweep" and a newline.
QByteArray csvHeader();
// One complete CSV line, newline included; `elapsedS` is the reading's
// steady-clock time less the file's own start, in seconds.
QByteArray csvRow(const Reading &reading, double elapsedS);
// One JSON object on one line, newline included. Numbers that JSON cannot
// carry (nan, inf, -inf) are written as those strings; unknown levels as null.
QByteArray jsonLine(const Reading &reading, double elapsedS);
// Seconds from a file's start to a reading, both on the steady clock.
inline double elapsedSeconds(const Reading &reading, qint64 startNs)
{
    return double(reading.monotonicNs - startNs) / 1e9;
}

// One point of a calibration sweep: "channel,threshold_mv,count,time_utc".
QByteArray sweepCsvHeader();
QByteArray sweepCsvRow(const SweepPoint &point);
QByteArray sweepJsonLine(const SweepPoint &point);

// One point of a sweep's spectrum: "channel,threshold_mv,counts_per_mv,error_per_mv".
QByteArray spectrumCsvHeader();
QByteArray spectrumCsvRow(int channel, const calibration::SpectrumPoint &point);
// A channel's suggested threshold: "channel,suggested_mv,valley_low_mv,
// valley_high_mv,uncertainty_mv,quality,reason,reason_text", the numbers
// empty where there are none, the English reason text quoted.
QByteArray calibrationCsvHeader();
QByteArray calibrationCsvRow(int channel, const calibration::ChannelAnalysis &analysis);

} // namespace readingrow
