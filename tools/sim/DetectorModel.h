#pragma once

// A photomultiplier-like detector behind each simulated channel: electronic
// noise around the baseline, a single-photoelectron peak with its multiples
// and a falling tail of small pulses. Each channel has its own gain and
// noise, so each channel's valley lies elsewhere. Plain C++: the simulator
// counts with it and the tests know its true spectrum and valley from it.

namespace detector {

struct Channel {
    double noiseRatePerSecond = 0; // baseline crossings, heights Gaussian around 0 mV
    double noiseSigmaMv = 1;
    double signalRatePerSecond = 0; // pulses of at least one photoelectron
    double gainMv = 100;            // height of one photoelectron
    double resolution = 0.3;        // spread of one photoelectron's height over the gain
    double meanPhotoelectrons = 0.3; // Poisson mean; a pulse holds at least one
    double tailShare = 0.2;         // share of the pulses falling exponentially from 0 mV
    double tailScaleMv = 30;
};

constexpr int kChannels = 8;

// The simulator's eight channels; any other index gives channel 0.
Channel channel(int index);

// Pulses per second taller than the level.
double rateAbove(const Channel &c, double mv);
// The true pulse-height spectrum −dN/dV: pulses per second per mV at the level.
double spectrum(const Channel &c, double mv);

// Where the true spectrum is at most 1.5 times its minimum between the noise
// peak and the first signal peak (the valley band), widened by one sweep step
// on either side.
struct ValleyBand {
    double valleyMv = 0;
    double lowMv = 0;
    double highMv = 0;
    double firstPeakMv = 0;
};
ValleyBand trueValleyBand(const Channel &c, double stepMv);

} // namespace detector
