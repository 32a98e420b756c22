#include "DetectorModel.h"

#include <cmath>
#include <vector>

namespace detector {

namespace {

constexpr double kPi = 3.14159265358979323846;
// Photoelectron numbers beyond this are too rare to matter at the means used.
constexpr int kMaxPhotoelectrons = 16;

double above(double x)
{
    return 0.5 * std::erfc(x / std::sqrt(2.0));
}

double gauss(double x, double sigma)
{
    return std::exp(-0.5 * x * x / (sigma * sigma)) / (sigma * std::sqrt(2 * kPi));
}

// Share of the pulses holding n photoelectrons (Poisson, none excluded).
double photoelectronShare(const Channel &c, int n)
{
    const double mu = c.meanPhotoelectrons;
    return std::exp(n * std::log(mu) - mu - std::lgamma(n + 1.0)) / (1 - std::exp(-mu));
}

// The spread of an n-photoelectron pulse: the gain's spread grows with n,
// the baseline noise rides on every pulse.
double peakSigma(const Channel &c, int n)
{
    const double one = c.resolution * c.gainMv;
    return std::sqrt(n * one * one + c.noiseSigmaMv * c.noiseSigmaMv);
}

} // namespace

Channel channel(int index)
{
    // Gains from 120 to 260 mV per photoelectron and noise from 4 to 14 mV,
    // so every valley sits elsewhere and some are shallow; channel 6 is a
    // silicon photomultiplier's narrow peaks with much crosstalk.
    static const Channel channels[kChannels] = {
        {3.0e6, 5, 2.5e4, 120, 0.30, 0.20, 0.20, 36},
        {2.0e6, 9, 4.0e4, 150, 0.35, 0.30, 0.25, 45},
        {4.0e6, 12, 3.0e4, 185, 0.40, 0.25, 0.15, 55.5},
        {1.5e6, 6, 2.0e4, 220, 0.25, 0.15, 0.20, 66},
        {2.5e6, 14, 5.0e4, 135, 0.32, 0.35, 0.30, 40.5},
        {3.5e6, 8, 3.5e4, 260, 0.38, 0.30, 0.20, 78},
        {2.0e6, 10, 6.0e4, 170, 0.15, 0.80, 0.05, 51},
        {1.0e6, 4, 2.8e4, 205, 0.28, 0.20, 0.10, 61.5},
    };
    return channels[index >= 0 && index < kChannels ? index : 0];
}

double rateAbove(const Channel &c, double mv)
{
    double peaks = 0;
    for (int n = 1; n <= kMaxPhotoelectrons; ++n)
        peaks += photoelectronShare(c, n) * above((mv - n * c.gainMv) / peakSigma(c, n));
    const double tail = mv > 0 ? std::exp(-mv / c.tailScaleMv) : 1.0;
    return c.noiseRatePerSecond * above(mv / c.noiseSigmaMv)
        + c.signalRatePerSecond * ((1 - c.tailShare) * peaks + c.tailShare * tail);
}

double spectrum(const Channel &c, double mv)
{
    double peaks = 0;
    for (int n = 1; n <= kMaxPhotoelectrons; ++n)
        peaks += photoelectronShare(c, n) * gauss(mv - n * c.gainMv, peakSigma(c, n));
    const double tail = mv > 0 ? std::exp(-mv / c.tailScaleMv) / c.tailScaleMv : 0.0;
    return c.noiseRatePerSecond * gauss(mv, c.noiseSigmaMv)
        + c.signalRatePerSecond * ((1 - c.tailShare) * peaks + c.tailShare * tail);
}

ValleyBand trueValleyBand(const Channel &c, double stepMv)
{
    constexpr double kGrid = 0.1;
    std::vector<double> s;
    for (int k = 0; k * kGrid <= 3 * c.gainMv; ++k)
        s.push_back(spectrum(c, k * kGrid));
    const std::size_t m = s.size();
    std::size_t i = 1;
    while (i + 1 < m && !(s[i] < s[i - 1] && s[i] <= s[i + 1]))
        ++i;
    std::size_t peak = i;
    while (peak + 1 < m && !(s[peak] > s[peak - 1] && s[peak] >= s[peak + 1]))
        ++peak;
    std::size_t low = 0;
    for (std::size_t j = 0; j <= peak; ++j) {
        if (s[j] < s[low])
            low = j;
    }
    std::size_t lo = low, hi = low;
    while (lo > 0 && s[lo - 1] <= 1.5 * s[low])
        --lo;
    while (hi < peak && s[hi + 1] <= 1.5 * s[low])
        ++hi;
    return {low * kGrid, lo * kGrid - stepMv, hi * kGrid + stepMv, peak * kGrid};
}

} // namespace detector
