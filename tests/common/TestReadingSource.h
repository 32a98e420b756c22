#pragma once

// A reading source the tests push readings into, in place of the session.

#include "ReadingSource.h"

#include <QDateTime>
#include <QVariantList>

#include <cmath>
#include <random>

class TestReadingSource : public ReadingSource
{
    Q_OBJECT
public:
    using ReadingSource::ReadingSource;

    // A reading (missing counts 0) at timeMs (NaN: now), with this period and levels in mV (empty: unknown).
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
    // Reading i: channel c a noisy wave around c + 1 thousand; 2 breaks (NaN) now and then, 5 has zeros.
    static QVariantList wave(qsizetype i, std::mt19937_64 &rng)
    {
        QVariantList out;
        for (int c = 0; c < Reading::kChannels; ++c) {
            double v = 1000 * (c + 1) + 200 * std::sin(double(i) / 40 + c) + double(rng() % 50);
            if ((c == 2 && i % 97 == 5) || (c == 5 && i % 13 == 0))
                v = c == 2 ? std::nan("") : 0;
            out.append(v);
        }
        return out;
    }
    // n such readings from t0 on, gateMs apart.
    void pushWave(qsizetype n, double t0, int gateMs, int periodMs, quint64 seed = 1)
    {
        std::mt19937_64 rng(seed);
        for (qsizetype i = 0; i < n; ++i)
            push(wave(i, rng), t0 + double(i) * gateMs, periodMs);
    }
    // The link ends (by the operator, or lost with a message).
    Q_INVOKABLE void end(const QString &lostBecause = QString())
    {
        emit linkClosed(lostBecause.isEmpty() ? Outcome() : Outcome(DeviceError::LinkLost, lostBecause));
    }
};
