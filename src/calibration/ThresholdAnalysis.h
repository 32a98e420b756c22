#pragma once

// The pulse-height spectrum of one channel's threshold sweep, its valley
// between the noise and the first signal peak, and a suggested threshold in
// that valley. Plain C++17, no Qt: the session, the scene, tachyra-cli and
// the Python module only map its result.
//
// Counts are per gate (Poisson: variance ≈ count), never per second: the
// statistics depend on how many pulses were counted. Any input is accepted;
// every number in the result is finite (NaN where it says so), and a
// suggestion only ever comes with a significant valley inside the swept
// range. Work is O(n log n) in the number of points (the sort; the rest is
// linear with bounded windows), n capped at kMaxPoints.

#include <cmath>
#include <cstddef>
#include <limits>
#include <string>
#include <vector>

namespace calibration {

// One measured level of a sweep: the threshold in mV and the count of one gate.
struct SweepPoint {
    double thresholdMv = 0;
    double count = 0;
};

// One point of the smoothed spectrum −dN/dV: counts per gate per mV at a
// threshold, with its standard error from the Poisson scatter.
struct SpectrumPoint {
    double thresholdMv = 0;
    double perMv = 0;
    double errorPerMv = 0;
};

enum class Reason {
    Valley,         // a suggestion: "valley at %1 mV between the noise and the first peak"
    NoSecondPeak,   // counts enough, but the spectrum only falls
    TooFewCounts,   // the counts cannot tell a valley from the scatter
    TooFewLevels,   // fewer than kMinLevels distinct levels
    Flat,           // the count does not fall over the sweep
    Rising,         // the count rises with the threshold somewhere
    UnusablePoints, // a level or count is NaN, infinite, negative or too large
    TooManyPoints,  // more than kMaxPoints points
};

constexpr std::size_t kMaxPoints = 4096;
constexpr std::size_t kMinLevels = 6;
// Levels are taken from 0 to kMaxLevelMv (the DAC spans 0 to 1000 mV) and
// merged when closer than kLevelResolutionMv; counts from 0 to kMaxCount.
constexpr double kMaxLevelMv = 1e5;
constexpr double kLevelResolutionMv = 1e-3;
constexpr double kMaxCount = 1e15;
// A valley is taken when the spectrum rises on both sides by this many
// standard errors and by at least kMinPeakToValley times the valley's level.
constexpr double kSignificance = 5;
constexpr double kMinPeakToValley = 1.25;
// The band: where the spectrum stays within this factor of its minimum.
constexpr double kBandFactor = 1.5;

struct ChannelAnalysis {
    Reason reason = Reason::TooFewLevels;
    // Ascending thresholds; empty when the points could not be used.
    std::vector<SpectrumPoint> spectrum;
    // Sweep range of the usable points (NaN when none).
    double fromMv = std::numeric_limits<double>::quiet_NaN();
    double toMv = std::numeric_limits<double>::quiet_NaN();
    // Where the noise wall has fallen to 1 % of its peak, or the valley band
    // starts if that comes first (NaN when neither is seen).
    double noiseEdgeMv = std::numeric_limits<double>::quiet_NaN();
    // The valley (the spectrum's minimum), its band and the first signal
    // peak: NaN unless reason is Valley.
    double valleyMv = std::numeric_limits<double>::quiet_NaN();
    double bandLowMv = std::numeric_limits<double>::quiet_NaN();
    double bandHighMv = std::numeric_limits<double>::quiet_NaN();
    double firstPeakMv = std::numeric_limits<double>::quiet_NaN();
    // The middle of the band; NaN: no suggestion.
    double suggestedMv = std::numeric_limits<double>::quiet_NaN();
    // Half the span around the minimum over which the spectrum is within
    // its scatter of the minimum: how well the valley's position is known.
    double uncertaintyMv = std::numeric_limits<double>::quiet_NaN();
    // Depth of the valley in standard errors, the smaller of its two sides:
    // at least kSignificance with a suggestion; without one, the depth of the
    // best candidate, always below kSignificance (0: none at all).
    double significance = 0;

    bool hasSuggestion() const { return std::isfinite(suggestedMv); }
};

ChannelAnalysis analyseSweep(const SweepPoint *points, std::size_t count);
ChannelAnalysis analyseSweep(const std::vector<SweepPoint> &points);

// The English reason with "%1" where the suggested level goes (only the
// Valley text has one). The texts are marked for lupdate in the context
// "ThresholdAnalysis": a front end translates this text there and fills in
// the level as a whole number of mV.
const char *reasonTemplate(Reason reason);
// The reason as shown, with the level filled in.
std::string reasonText(const ChannelAnalysis &analysis);
// A fixed name for the reason in machine-readable output (JSON, Python):
// "valley", "no-second-peak", "too-few-counts", "too-few-levels", "flat",
// "rising", "unusable-points", "too-many-points".
const char *reasonKey(Reason reason);

} // namespace calibration
