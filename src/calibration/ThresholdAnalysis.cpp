#include "ThresholdAnalysis.h"

#include <algorithm>
#include <cstdint>
#include <utility>

// Marks the reason texts for lupdate without making this code depend on Qt.
#ifndef QT_TRANSLATE_NOOP
#define QT_TRANSLATE_NOOP(scope, x) x
#endif

namespace calibration {

namespace {

// Smoothing: each spectrum point is the count lost between two levels over
// their distance, the pair widened until that loss stands this many standard
// errors clear of the scatter. Coarse for finding a valley (more points),
// fine for placing it (less scatter).
constexpr double kFindPrecision = 4;
constexpr double kPlacePrecision = 10;
// A smoothing window spans at most this share of the sweep and this many
// levels either side; a test region at most this many spectrum points
// either side. Both keep the work linear.
constexpr double kMaxWindowShare = 0.1;
constexpr std::size_t kMaxHalfWindow = 64;
constexpr std::size_t kMaxRegion = 16;
// Below this many counts at the top of a sweep nothing can be told at all;
// below kMinSignalCounts above the noise edge a missing valley may just be
// hidden in the scatter, as it may be when a candidate reaches kHintSignificance.
constexpr double kMinCounts = 20;
constexpr double kMinSignalCounts = 5000;
constexpr double kHintSignificance = 3;
// The noise edge: where the noise wall has fallen to this share of its peak.
constexpr double kNoiseEdgeShare = 0.01;

// A distinct level: the mean count of its gates and that mean's variance.
struct Level {
    double mv = 0;
    double count = 0;
    double variance = 1;
};

// A pair of levels by index, a < b: the secant between them.
struct Window {
    std::size_t a = 0;
    std::size_t b = 1;
};

double secant(const std::vector<Level> &levels, Window w)
{
    return (levels[w.a].count - levels[w.b].count) / (levels[w.b].mv - levels[w.a].mv);
}

// Variance of secant(high) − secant(low): the counts at different levels are
// independent, so only shared endpoints need adding up first.
double differenceVariance(const std::vector<Level> &levels, Window low, Window high)
{
    const double wl = levels[low.b].mv - levels[low.a].mv;
    const double wh = levels[high.b].mv - levels[high.a].mv;
    const std::pair<std::size_t, double> terms[4] = {
        {high.a, 1 / wh}, {high.b, -1 / wh}, {low.a, -1 / wl}, {low.b, 1 / wl}};
    double sum = 0;
    for (int i = 0; i < 4; ++i) {
        bool seen = false;
        double c = 0;
        for (int j = 0; j < 4; ++j) {
            if (terms[j].first == terms[i].first) {
                seen = seen || j < i;
                c += terms[j].second;
            }
        }
        if (!seen)
            sum += c * c * levels[terms[i].first].variance;
    }
    return sum;
}

using Spectrum = std::vector<SpectrumPoint>;

// Point j lies between levels j and j + 1.
Spectrum smooth(const std::vector<Level> &levels, double precision)
{
    const std::size_t n = levels.size();
    const double maxWidth = kMaxWindowShare * (levels.back().mv - levels.front().mv);
    Spectrum s;
    s.reserve(n - 1);
    auto window = [n](std::size_t j, std::size_t k) {
        return Window{j >= k ? j - k : 0, std::min(n - 1, j + 1 + k)};
    };
    auto enough = [&](Window w) {
        return levels[w.a].count - levels[w.b].count
                   >= precision * std::sqrt(levels[w.a].variance + levels[w.b].variance)
            || levels[w.b].mv - levels[w.a].mv >= maxWidth || (w.a == 0 && w.b == n - 1);
    };
    for (std::size_t j = 0; j + 1 < n; ++j) {
        // Widen by doubling, then halve back to where the window first does.
        std::size_t narrow = 0;
        std::size_t wide = 0;
        while (!enough(window(j, wide)) && wide < kMaxHalfWindow) {
            narrow = wide;
            wide = std::min(kMaxHalfWindow, wide == 0 ? 1 : 2 * wide);
        }
        while (wide - narrow > 1) {
            const std::size_t half = narrow + (wide - narrow) / 2;
            (enough(window(j, half)) ? wide : narrow) = half;
        }
        const Window w = window(j, wide);
        const double width = levels[w.b].mv - levels[w.a].mv;
        s.push_back({0.5 * (levels[j].mv + levels[j + 1].mv), secant(levels, w),
                     std::sqrt(levels[w.a].variance + levels[w.b].variance) / width});
    }
    return s;
}

struct Contrast {
    double z = 0;    // (high − low) in standard errors
    double low = 0;  // mean counts per mV over the low region
    double high = 0; // and over the high one
};

// Compares the region around spectrum point `low` with the region around
// `high` (on either side), both within points first to last: each region is
// as wide as the spectrum stays below (above) halfway between them, within
// its scatter. Wide regions give the comparison the counts of the whole
// structure, not of one point.
Contrast contrast(const std::vector<Level> &levels, const Spectrum &s, std::size_t low, std::size_t high,
                  std::size_t first, std::size_t last)
{
    const bool rightwards = high > low;
    auto beyond = [&](std::size_t k, std::size_t from) { return rightwards ? k >= from : k <= from; };
    auto grow = [&](std::size_t centre, auto &&fits, std::size_t &lo, std::size_t &hi) {
        lo = hi = centre;
        while (lo > first && centre - lo < kMaxRegion && fits(lo - 1))
            --lo;
        while (hi < last && hi - centre < kMaxRegion && fits(hi + 1))
            ++hi;
    };
    double mid = 0.5 * (s[low].perMv + s[high].perMv);
    Contrast c;
    for (int pass = 0; pass < 2; ++pass) {
        std::size_t vl = 0, vh = 0, pl = 0, ph = 0;
        grow(low, [&](std::size_t k) { return !beyond(k, high) && s[k].perMv <= mid + s[k].errorPerMv; }, vl, vh);
        grow(high, [&](std::size_t k) {
            return !beyond(low, k) && (k < vl || k > vh) && s[k].perMv >= mid - s[k].errorPerMv;
        }, pl, ph);
        const Window wl{vl, vh + 1};
        const Window wh{pl, ph + 1};
        c.low = secant(levels, wl);
        c.high = secant(levels, wh);
        c.z = (c.high - c.low) / std::sqrt(differenceVariance(levels, wl, wh));
        mid = 0.5 * (c.low + c.high);
    }
    return c;
}

bool clears(const Contrast &c)
{
    return c.z >= kSignificance && c.high >= kMinPeakToValley * c.low;
}

// Index of the first point after `peak` where the spectrum has fallen
// to kNoiseEdgeShare of its value at `peak`; m when it never does.
std::size_t noiseEdge(const Spectrum &s, std::size_t peak)
{
    const double limit = kNoiseEdgeShare * s[peak].perMv;
    if (!(limit > 0))
        return s.size();
    for (std::size_t k = peak + 1; k < s.size(); ++k) {
        if (s[k].perMv <= limit)
            return k;
    }
    return s.size();
}

// Index of the highest point in [from, to).
std::size_t highestIn(const Spectrum &s, std::size_t from, std::size_t to)
{
    std::size_t best = from;
    for (std::size_t j = from + 1; j < to; ++j) {
        if (s[j].perMv > s[best].perMv)
            best = j;
    }
    return best;
}

bool usable(const SweepPoint &p)
{
    return p.thresholdMv >= 0 && p.thresholdMv <= kMaxLevelMv && p.count >= 0 && p.count <= kMaxCount;
}

// Sorted distinct levels. Duplicates are summed in a fixed order (by count),
// so the result never depends on the order the points came in.
std::vector<Level> levelsOf(const SweepPoint *points, std::size_t count)
{
    std::vector<std::pair<std::int64_t, double>> keyed;
    keyed.reserve(count);
    for (std::size_t i = 0; i < count; ++i)
        keyed.emplace_back(std::llround(points[i].thresholdMv / kLevelResolutionMv), points[i].count);
    std::sort(keyed.begin(), keyed.end());
    std::vector<Level> levels;
    levels.reserve(count);
    for (std::size_t i = 0; i < keyed.size();) {
        std::size_t j = i;
        double sum = 0;
        for (; j < keyed.size() && keyed[j].first == keyed[i].first; ++j)
            sum += keyed[j].second;
        const double gates = double(j - i);
        const double mean = sum / gates;
        levels.push_back({double(keyed[i].first) * kLevelResolutionMv, mean, std::max(mean, 1.0) / gates});
        i = j;
    }
    return levels;
}

} // namespace

ChannelAnalysis analyseSweep(const std::vector<SweepPoint> &points)
{
    return analyseSweep(points.data(), points.size());
}

ChannelAnalysis analyseSweep(const SweepPoint *points, std::size_t count)
{
    ChannelAnalysis out;
    if (count > kMaxPoints) {
        out.reason = Reason::TooManyPoints;
        return out;
    }
    if (!std::all_of(points, points + count, usable)) {
        out.reason = Reason::UnusablePoints;
        return out;
    }
    const std::vector<Level> levels = levelsOf(points, count);
    if (levels.empty())
        return out;
    out.fromMv = levels.front().mv;
    out.toMv = levels.back().mv;
    if (levels.size() < 2)
        return out;

    const Spectrum find = smooth(levels, kFindPrecision);
    out.spectrum = smooth(levels, kPlacePrecision);
    const Spectrum &place = out.spectrum;
    const std::size_t m = place.size();
    if (levels.size() < kMinLevels)
        return out;

    const double mostCounts = std::max_element(levels.begin(), levels.end(), [](const Level &x, const Level &y) {
                                  return x.count < y.count;
                              })->count;
    const std::size_t wholeEdge = noiseEdge(place, highestIn(place, 0, m));
    if (wholeEdge < m)
        out.noiseEdgeMv = place[wholeEdge].thresholdMv;
    out.reason = Reason::TooFewCounts;
    if (mostCounts < kMinCounts)
        return out;
    for (std::size_t j = 0; j < m; ++j) {
        if (find[j].perMv < -kSignificance * find[j].errorPerMv) {
            out.reason = Reason::Rising;
            return out;
        }
    }
    const double fall = levels.front().count - levels.back().count;
    if (fall < kSignificance * std::sqrt(levels.front().variance + levels.back().variance)) {
        out.reason = Reason::Flat;
        return out;
    }

    // Walk up the thresholds keeping the lowest point so far; the first one
    // with a significant rise after it and a significant fall before it is
    // the valley between the noise and the first peak. The fall into a low
    // point is measured once.
    std::size_t highest = 0; // the highest point up to i
    std::size_t lowLeft = 0; // and up to low
    std::size_t low = 0;
    double hint = 0;
    bool found = false;
    bool fallKnown = false;
    std::size_t rise = 0;
    std::size_t left = 0;
    Contrast right;
    Contrast fallIn;
    for (std::size_t i = 1; i < m && !found; ++i) {
        if (find[i].perMv > find[highest].perMv)
            highest = i;
        if (find[i].perMv < find[low].perMv) {
            low = i;
            lowLeft = highest;
            fallKnown = false;
            continue;
        }
        // A rise is tried at its local tops only.
        if (!(find[i].perMv >= kMinPeakToValley * find[low].perMv) || lowLeft == low
            || (i + 1 < m && find[i + 1].perMv > find[i].perMv))
            continue;
        right = contrast(levels, find, low, i, lowLeft, m - 1);
        if (!(right.high >= kMinPeakToValley * right.low) || right.z <= hint)
            continue;
        if (!fallKnown) {
            fallIn = contrast(levels, find, low, lowLeft, 0, m - 1);
            fallKnown = true;
        }
        if (!(fallIn.high >= kMinPeakToValley * fallIn.low))
            continue;
        hint = std::max(hint, std::min(right.z, fallIn.z));
        if (clears(right) && clears(fallIn)) {
            found = true;
            rise = i;
            left = lowLeft;
        }
    }
    if (!found) {
        out.significance = hint;
        const bool enoughCounts = wholeEdge < m && levels[wholeEdge].count >= kMinSignalCounts;
        out.reason = enoughCounts && hint < kHintSignificance ? Reason::NoSecondPeak : Reason::TooFewCounts;
        return out;
    }

    // Climb over the first peak: it ends where the spectrum has fallen from
    // the highest point so far as clearly as it rose out of the valley (only
    // a new low since that top is tried). The peak itself is placed on the
    // finer spectrum.
    std::size_t top = rise;
    std::size_t dip = rise;
    std::size_t end = rise + 1;
    for (; end < m; ++end) {
        if (find[end].perMv > find[top].perMv) {
            top = dip = end;
        } else if (find[end].perMv < find[dip].perMv) {
            dip = end;
            if (find[end].perMv * kMinPeakToValley < find[top].perMv
                && clears(contrast(levels, find, end, top, low + 1, m - 1)))
                break;
        }
    }
    const std::size_t peak = highestIn(place, rise, end);

    // Place the valley on the finer spectrum, between the fall and the peak.
    // Where that spectrum does not rise out of it to the peak at all, the two
    // smoothings disagree: only scattered counts do that. A shallow valley's
    // band ends before the peak.
    std::size_t k = left;
    for (std::size_t j = left; j < peak; ++j) {
        if (place[j].perMv < place[k].perMv)
            k = j;
    }
    if (!(place[peak].perMv > place[k].perMv)) {
        out.reason = Reason::TooFewCounts;
        return out;
    }
    const double bandLimit = kBandFactor * std::max(place[k].perMv, 0.0) + place[k].errorPerMv;
    std::size_t lo = k, hi = k;
    while (lo > left && place[lo - 1].perMv <= bandLimit)
        --lo;
    while (hi + 1 < peak && place[hi + 1].perMv <= bandLimit)
        ++hi;
    auto withinScatter = [&](std::size_t j) {
        return place[j].perMv - place[k].perMv <= std::hypot(place[j].errorPerMv, place[k].errorPerMv);
    };
    std::size_t ul = k, uh = k;
    while (ul > lo && withinScatter(ul - 1))
        --ul;
    while (uh < hi && withinScatter(uh + 1))
        ++uh;

    out.reason = Reason::Valley;
    out.significance = std::min(std::max(right.z, contrast(levels, find, low, peak, left, m - 1).z), fallIn.z);
    out.valleyMv = place[k].thresholdMv;
    out.bandLowMv = place[lo].thresholdMv;
    out.bandHighMv = place[hi].thresholdMv;
    out.firstPeakMv = place[peak].thresholdMv;
    out.suggestedMv = std::clamp(0.5 * (place[lo].thresholdMv + place[hi].thresholdMv), out.fromMv, out.toMv);
    out.uncertaintyMv =
        std::max(0.5 * (place[uh].thresholdMv - place[ul].thresholdMv), 0.5 * (levels[k + 1].mv - levels[k].mv));
    out.noiseEdgeMv = place[std::min(noiseEdge(place, highestIn(place, 0, k + 1)), lo)].thresholdMv;
    return out;
}

const char *reasonTemplate(Reason reason)
{
    switch (reason) {
    case Reason::Valley:
        return QT_TRANSLATE_NOOP("ThresholdAnalysis", "valley at %1 mV between the noise and the first peak");
    case Reason::NoSecondPeak:
        return QT_TRANSLATE_NOOP("ThresholdAnalysis", "no valley: the count falls without a second peak");
    case Reason::TooFewCounts:
        return QT_TRANSLATE_NOOP("ThresholdAnalysis", "too few counts to tell: use a longer gate period");
    case Reason::TooFewLevels:
        return QT_TRANSLATE_NOOP("ThresholdAnalysis", "too few levels to tell: use a smaller step");
    case Reason::Flat:
        return QT_TRANSLATE_NOOP("ThresholdAnalysis", "no valley: the count does not fall as the threshold rises");
    case Reason::Rising:
        return QT_TRANSLATE_NOOP("ThresholdAnalysis", "no valley: the count rises with the threshold");
    case Reason::UnusablePoints:
        return QT_TRANSLATE_NOOP("ThresholdAnalysis",
                                 "unusable points: a level or count is NaN, infinite, negative or too large");
    case Reason::TooManyPoints:
        return QT_TRANSLATE_NOOP("ThresholdAnalysis", "too many points: at most 4096 in one sweep");
    }
    return "";
}

const char *reasonKey(Reason reason)
{
    switch (reason) {
    case Reason::Valley:
        return "valley";
    case Reason::NoSecondPeak:
        return "no-second-peak";
    case Reason::TooFewCounts:
        return "too-few-counts";
    case Reason::TooFewLevels:
        return "too-few-levels";
    case Reason::Flat:
        return "flat";
    case Reason::Rising:
        return "rising";
    case Reason::UnusablePoints:
        return "unusable-points";
    case Reason::TooManyPoints:
        return "too-many-points";
    }
    return "";
}

std::string reasonText(const ChannelAnalysis &analysis)
{
    std::string text = reasonTemplate(analysis.reason);
    const std::size_t at = text.find("%1");
    if (at != std::string::npos) {
        const double mv = analysis.hasSuggestion() ? analysis.suggestedMv : 0.0;
        text.replace(at, 2, std::to_string(std::llround(mv)));
    }
    return text;
}

} // namespace calibration
