#pragma once

// Recordings made for the tests, written the way the recorder writes them.

#include "ReadingRow.h"
#include "Reading.h"

// The row the recorder writes for `r`, elapsed_s from monotonicNs.
inline QByteArray csvLine(const Reading &r)
{
    return readingrow::csvRow(r, double(r.monotonicNs) / 1e9);
}

// Reading `i` of a plausible recording at the 50 ms gate (levels known from row 10 on, sweeps now and then).
inline Reading sampleReading(qint64 i)
{
    Reading r;
    r.utcMs = 1796618299123 + i * 50 + (i % 3);
    r.monotonicNs = i * 50000000;
    r.periodMs = i < 100 ? 50 : 100;
    for (int ch = 0; ch < Reading::kChannels; ++ch) {
        r.counts[size_t(ch)] = double((i * 7919 + ch * 104729) % 5000 + ch * 100);
        r.thresholdsMv[size_t(ch)] = i < 10 ? 0.0 : 100.5 + ch * 12.25;
    }
    r.levelsKnown = i >= 10;
    r.sweep = i % 97 == 5;
    return r;
}

inline QByteArray sampleRecording(qint64 rows)
{
    QByteArray out = readingrow::csvHeader();
    for (qint64 i = 0; i < rows; ++i)
        out += csvLine(sampleReading(i));
    return out;
}
