// The sweep analysis takes any points: every number it gives is finite or
// NaN where allowed, the spectrum lies inside the swept range in order, a
// suggestion comes only with a significant valley and lies in its band
// inside the swept range, and the order of the points changes nothing.
//
// The first byte picks how the rest becomes points: raw doubles; compact
// levels and counts (with NaN, infinities and negatives among them); a
// noise wall and a photoelectron peak shaped by the input, so the valley
// paths are reached; or one point repeated up to just past the cap.
#include "FuzzCheck.h"
#include "ThresholdAnalysis.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <vector>

using namespace calibration;

namespace {

struct Reader {
    const uint8_t *data;
    size_t size;
    size_t at = 0;
    size_t left() const { return size - at; }
    uint8_t byte() { return at < size ? data[at++] : 0; }
    uint16_t word() { return uint16_t(byte() | (byte() << 8)); }
    double real()
    {
        double v = 0;
        if (left() >= sizeof v)
            std::memcpy(&v, data + at, sizeof v);
        at += std::min(left(), sizeof v);
        return v;
    }
};

double specialOr(uint16_t bits, double value)
{
    static const double specials[] = {std::numeric_limits<double>::quiet_NaN(), std::numeric_limits<double>::infinity(),
                                      -1, 1e300, kMaxCount, 5e-324, -0.0, kMaxLevelMv};
    return bits >= 0xFFF8 ? specials[bits - 0xFFF8] : value;
}

std::vector<SweepPoint> pointsOf(Reader &in)
{
    std::vector<SweepPoint> points;
    switch (in.byte() % 4) {
    case 0:
        while (in.left() >= 16)
            points.push_back({in.real(), in.real()});
        break;
    case 1:
        while (in.left() >= 4) {
            const uint16_t level = in.word();
            const uint16_t count = in.word();
            points.push_back({specialOr(level, level / 16.0),
                              specialOr(count, std::floor(std::exp2(count / 2048.0)) - 1)});
        }
        break;
    case 2: {
        // Noise around 0 mV and a peak above it, each count scattered by two bytes.
        const double noise = std::exp2(in.byte() / 8.0);
        const double noiseSigma = 1 + in.byte() / 8.0;
        const double signal = std::exp2(in.byte() / 12.0);
        const double gain = 1 + in.byte() * 2.0;
        const double spread = gain * (0.05 + in.byte() / 256.0);
        const double step = 0.5 + in.byte() / 8.0;
        const bool descending = in.byte() & 1;
        const double top = double(in.left() / 2) * step;
        for (int i = 0; in.left() >= 2; ++i) {
            const double mv = descending ? top - i * step : i * step;
            const double mean = noise * std::erfc(mv / (noiseSigma * std::sqrt(2.0)))
                + signal * std::erfc((mv - gain) / (spread * std::sqrt(2.0)));
            const double scatter = (in.word() - 32768) / 16384.0 * std::sqrt(mean);
            points.push_back({mv, std::max(0.0, std::round(mean + scatter))});
        }
        break;
    }
    default: {
        const size_t repeats = in.word() % (kMaxPoints + 8);
        const double level = in.word() / 16.0;
        points.assign(repeats, SweepPoint{level, double(in.word())});
        break;
    }
    }
    return points;
}

bool finiteOrNaN(double v)
{
    return std::isfinite(v) || std::isnan(v);
}

bool same(double a, double b)
{
    return a == b || (std::isnan(a) && std::isnan(b));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    Reader in{data, size};
    std::vector<SweepPoint> points = pointsOf(in);
    const ChannelAnalysis a = analyseSweep(points);

    for (double v : {a.fromMv, a.toMv, a.noiseEdgeMv, a.valleyMv, a.bandLowMv, a.bandHighMv, a.firstPeakMv,
                     a.suggestedMv, a.uncertaintyMv})
        FUZZ_CHECK(finiteOrNaN(v));
    FUZZ_CHECK(std::isfinite(a.significance) && a.significance >= 0);
    FUZZ_CHECK(a.spectrum.size() <= points.size());
    for (size_t i = 0; i < a.spectrum.size(); ++i) {
        const SpectrumPoint &p = a.spectrum[i];
        FUZZ_CHECK(std::isfinite(p.perMv) && std::isfinite(p.errorPerMv) && p.errorPerMv >= 0);
        FUZZ_CHECK(p.thresholdMv >= a.fromMv && p.thresholdMv <= a.toMv);
        FUZZ_CHECK(i == 0 || a.spectrum[i - 1].thresholdMv < p.thresholdMv);
    }
    const std::string text = reasonText(a);
    FUZZ_CHECK(!text.empty() && text.find("%1") == std::string::npos && *reasonKey(a.reason) != '\0');

    FUZZ_CHECK(a.hasSuggestion() == (a.reason == Reason::Valley));
    if (a.hasSuggestion()) {
        double lowest = kMaxLevelMv, highest = 0;
        for (const SweepPoint &p : points) {
            lowest = std::min(lowest, p.thresholdMv);
            highest = std::max(highest, p.thresholdMv);
        }
        FUZZ_CHECK(lowest <= a.suggestedMv && a.suggestedMv <= highest);
        FUZZ_CHECK(a.fromMv <= a.noiseEdgeMv && a.noiseEdgeMv <= a.bandLowMv);
        FUZZ_CHECK(a.bandLowMv <= a.valleyMv && a.valleyMv <= a.bandHighMv);
        FUZZ_CHECK(a.bandLowMv <= a.suggestedMv && a.suggestedMv <= a.bandHighMv);
        FUZZ_CHECK(a.bandHighMv < a.firstPeakMv && a.firstPeakMv <= a.toMv);
        FUZZ_CHECK(a.significance >= kSignificance && std::isfinite(a.uncertaintyMv) && a.uncertaintyMv > 0);
    } else {
        FUZZ_CHECK(std::isnan(a.valleyMv) && std::isnan(a.bandLowMv) && std::isnan(a.bandHighMv));
        FUZZ_CHECK(std::isnan(a.firstPeakMv) && std::isnan(a.uncertaintyMv));
    }

    std::reverse(points.begin(), points.end());
    const ChannelAnalysis b = analyseSweep(points);
    FUZZ_CHECK(b.reason == a.reason && same(b.suggestedMv, a.suggestedMv) && same(b.noiseEdgeMv, a.noiseEdgeMv));
    FUZZ_CHECK(b.spectrum.size() == a.spectrum.size() && b.significance == a.significance);
    return 0;
}
