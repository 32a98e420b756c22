#pragma once

#include <QMetaType>
#include <QtGlobal>

#include <array>
#include <chrono>
#include <cmath>
#include <cstring>

// One count reading as the session took it: stamped once when it arrived,
// with the gate period and levels in force then. Every consumer (scene,
// recorder, plot, history, tool, Python, metrics) takes this value as it is.
struct Reading {
    static constexpr int kChannels = 8;

    std::array<double, kChannels> counts{};       // as the instrument sent them
    qint64 utcMs = 0;                             // arrival, ms since the epoch (UTC)
    qint64 monotonicNs = 0;                       // arrival on the steady clock (steadyNowNs)
    int periodMs = 0;                             // gate period in force
    std::array<double, kChannels> thresholdsMv{}; // levels in force, to the microvolt
    bool levelsKnown = false;                     // thresholdsMv were read on this link
    bool sweep = false;                           // taken during a calibration sweep

    // A level in volts as mV, kept to the microvolt so that 0.123 V reads
    // 123 and not 123.00000000000001.
    static double levelMv(double volts) { return std::round(volts * 1e6) / 1e3; }

    // The process-wide steady clock in ns: elapsed times are differences of it,
    // never of wall-clock times (which jump with the system's clock).
    static qint64 steadyNowNs()
    {
        return std::chrono::duration_cast<std::chrono::nanoseconds>(
                   std::chrono::steady_clock::now().time_since_epoch())
            .count();
    }

    friend bool operator==(const Reading &a, const Reading &b)
    {
        // Counts compare bit for bit, so NaN equals NaN and -0 differs from 0.
        const auto same = [](const std::array<double, kChannels> &x, const std::array<double, kChannels> &y) {
            for (int i = 0; i < kChannels; ++i) {
                quint64 bx = 0;
                quint64 by = 0;
                std::memcpy(&bx, &x[i], sizeof bx);
                std::memcpy(&by, &y[i], sizeof by);
                if (bx != by)
                    return false;
            }
            return true;
        };
        return same(a.counts, b.counts) && a.utcMs == b.utcMs && a.monotonicNs == b.monotonicNs
            && a.periodMs == b.periodMs && same(a.thresholdsMv, b.thresholdsMv)
            && a.levelsKnown == b.levelsKnown && a.sweep == b.sweep;
    }
    friend bool operator!=(const Reading &a, const Reading &b) { return !(a == b); }
};

// One point of a calibration sweep: the level stepped to and the swept
// channel's count read one gate period later.
struct SweepPoint {
    int channel = 0;
    double thresholdMv = 0;
    double count = 0;
    qint64 utcMs = 0;
};

Q_DECLARE_METATYPE(Reading)
Q_DECLARE_METATYPE(SweepPoint)
