#pragma once

// The statistics of a channel's counts as a line of text: the tool's table
// for a run (`counts --stats`) and for a recording, the same figures as the
// time view's statistics strip.

#include "RunningStats.h"

#include <QByteArray>

namespace statsrow {

// "channel,count,not_finite,mean,stddev,min,max,rate_per_s" and a newline:
// finite counts taken, counts left out (NaN, ±Inf), their mean, sample
// standard deviation, minimum and maximum, and the mean of each count over
// its own gate period in counts per second. Numbers as a recording writes
// them ("nan" where there is none).
QByteArray csvHeader();
QByteArray csvRow(int channel, const ChannelStats &stats);
// One JSON object on one line, the same keys; "nan" as a string.
QByteArray jsonLine(int channel, const ChannelStats &stats);
// Every channel's line, after the header for CSV: the tool's whole table.
QByteArray table(const RunningStats &stats, bool csv);

} // namespace statsrow
