#pragma once

// A reading source the tests push readings into, in place of the session.

#include "ReadingSource.h"

#include <QDateTime>
#include <QVariantList>

#include <cmath>

class TestReadingSource : public ReadingSource
{
    Q_OBJECT
public:
    using ReadingSource::ReadingSource;

    // A reading of these counts (missing ones 0) taken at timeMs (NaN: now),
    // with the given period and levels in mV (empty: unknown).
    Q_INVOKABLE void push(const QVariantList &counts, double timeMs = std::nan(""), int periodMs = 1000,
                          const QVariantList &levelsMv = {}, bool sweep = false)
    {
        Reading r;
        for (int ch = 0; ch < Reading::kChannels && ch < counts.size(); ++ch)
            r.counts[ch] = counts.at(ch).toDouble();
        r.utcMs = std::isnan(timeMs) ? QDateTime::currentMSecsSinceEpoch() : qint64(timeMs);
        // Steady time follows the given time, so elapsed seconds are predictable.
        r.monotonicNs = r.utcMs * 1000000;
        r.periodMs = periodMs;
        r.levelsKnown = levelsMv.size() == Reading::kChannels;
        for (int ch = 0; r.levelsKnown && ch < Reading::kChannels; ++ch)
            r.thresholdsMv[ch] = levelsMv.at(ch).toDouble();
        r.sweep = sweep;
        emit readingTaken(r);
    }
    Q_INVOKABLE void pushSweepPoint(int channel, double thresholdMv, double count)
    {
        emit sweepPointTaken(SweepPoint{channel, thresholdMv, count, QDateTime::currentMSecsSinceEpoch()});
    }
    // The link ends (by the operator, or lost with a message).
    Q_INVOKABLE void end(const QString &lostBecause = QString())
    {
        emit linkClosed(lostBecause.isEmpty() ? Outcome() : Outcome(DeviceError::LinkLost, lostBecause));
    }
};
