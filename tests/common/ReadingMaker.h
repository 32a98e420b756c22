#pragma once

// Readings for the history, time view and plot tests: each channel its own kind of trouble.

#include "ReadingHistory.h"

#include <QList>

#include <cmath>
#include <cstring>
#include <limits>
#include <random>

namespace readingmaker {

constexpr qint64 kT0 = 1700000000000; // ms since the epoch
const double kNan = std::numeric_limits<double>::quiet_NaN();
const double kInf = std::numeric_limits<double>::infinity();

enum class Counts {
    // 0 noise around 1000; 1 values 0 to 1.5 (the log line skips some); 2 rare
    // NaN; 3 frequent NaN and Inf, so lone points between breaks; 4 long
    // stretches of NaN; 5 ±1e100 and -0; 6 zeros (no log line); 7 rare zeros.
    Mixed,
    Huge,     // around 1e15, differing by 1
    Specials, // NaN with payloads, ±Inf, -0, 1e308, denormals
    // Waves with noise, to be drawn: 2 breaks for a tenth, 3 lone points
    // between NaNs, 5 single NaNs now and then, 6 zeros (off the log line).
    Waves,
};

// Channel c's count at reading i of n.
inline double count(Counts kind, int c, qsizetype i, qsizetype n, std::mt19937_64 &rng)
{
    std::uniform_real_distribution<double> u(0, 1);
    if (kind == Counts::Huge)
        return 1e15 + double(rng() % 2);
    if (kind == Counts::Specials) {
        static const double specials[] = {kNan, -kNan, kInf, -kInf, -0.0, 0.0, 1e308, -1e308,
                                          std::numeric_limits<double>::denorm_min(), 1.5, 12345678901234567.0};
        double v = specials[rng() % std::size(specials)];
        if (std::isnan(v) && rng() % 2) { // a NaN with a payload of its own
            quint64 bits;
            std::memcpy(&bits, &v, sizeof bits);
            bits |= (rng() & 0xffff);
            std::memcpy(&v, &bits, sizeof bits);
        }
        return v;
    }
    if (kind == Counts::Waves) {
        std::normal_distribution<double> noise(0, 1);
        const double wave = 1500 + 1000 * c + 300 * std::sin(3 * 6.283 * double(i) / double(n) + c);
        switch (c) {
        case 2: return (i * 10 / n) == 4 ? kNan : wave + 20 * noise(rng);
        case 3: return (i / 40) % 9 == 5 ? (i % 2 ? kNan : wave) : wave + 40 * noise(rng);
        case 5: return rng() % 500 == 0 ? kNan : wave + 5 * noise(rng);
        case 6: return rng() % 300 == 0 ? 0 : wave + 100 * noise(rng);
        default: return wave + 60 * noise(rng);
        }
    }
    switch (c) {
    case 0: return std::round(1000 + 30 * (u(rng) - 0.5));
    case 1: return double(rng() % 4) / 2;
    case 2: return u(rng) < 0.01 ? kNan : 200 + double(rng() % 50);
    case 3: return u(rng) < 0.3 ? (rng() % 2 ? kNan : kInf) : double(rng() % 10);
    case 4: return (i / 700) % 3 == 1 ? kNan : double(rng() % 1000);
    case 5: return rng() % 3 == 0 ? -0.0 : (rng() % 2 ? 1e100 : -1e100) * u(rng);
    case 6: return 0;
    default: return u(rng) < 0.05 ? 0 : double(rng() % 100000);
    }
}

struct Setup {
    Counts kind = Counts::Mixed;
    int gateMs = 50;
    int settingsEvery = 0;  // readings between changes of period (gate, 4 gates, unknown) and levels
    int clockBackEvery = 0; // readings between clocks set back by 10 s
    bool uneven = false;    // each time up to 2 ms late
};

// n readings from firstMs on; levels known but for the first few of every 5000.
inline QList<Reading> make(qsizetype n, const Setup &s, quint64 seed = 1, qint64 firstMs = kT0)
{
    std::mt19937_64 rng(seed);
    QList<Reading> out;
    qint64 utc = firstMs;
    int period = s.gateMs;
    double level = 120;
    for (qsizetype i = 0; i < n; ++i) {
        if (s.settingsEvery && i % s.settingsEvery == 0 && i > 0) {
            period = period == s.gateMs ? 4 * s.gateMs : (period ? 0 : s.gateMs); // 0: not known
            level += 0.001;
        }
        if (s.clockBackEvery && i % s.clockBackEvery == 0 && i > 0)
            utc -= 10000;
        Reading r;
        for (int c = 0; c < Reading::kChannels; ++c)
            r.counts[c] = count(s.kind, c, i, n, rng);
        r.utcMs = utc + (s.uneven ? qint64(rng() % 3) : 0);
        r.monotonicNs = qint64(i) * 50000000 + i % 1000;
        r.periodMs = period;
        utc += period ? period : s.gateMs;
        r.thresholdsMv.fill(level);
        r.levelsKnown = i % 5000 > 10;
        r.sweep = s.settingsEvery && (i / s.settingsEvery) % 2 == 1;
        out.append(r);
    }
    return out;
}

// n readings a gate apart appended to h, the newest at kT0; returns them.
inline QList<Reading> fill(ReadingHistory &h, qsizetype n, const Setup &s = {}, quint64 seed = 1)
{
    const QList<Reading> in = make(n, s, seed, kT0 - (n - 1) * s.gateMs);
    h.append(in.constData(), in.size());
    return in;
}

// Readings at the given times (ms from kT0), channel 0 taking the given counts.
inline void feed(ReadingHistory &h, const QList<double> &times, const QList<double> &counts)
{
    for (qsizetype i = 0; i < times.size(); ++i) {
        Reading r;
        r.counts[0] = counts.at(i);
        r.utcMs = kT0 + qint64(times.at(i));
        h.append(r);
    }
}

} // namespace readingmaker
