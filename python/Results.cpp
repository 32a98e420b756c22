#include "Results.h"

#include "ThresholdAnalysis.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

namespace py = pybind11;

namespace {

constexpr py::ssize_t kChannels = Reading::kChannels;

py::array datetimes(py::ssize_t n)
{
    return py::array(py::dtype("datetime64[ms]"), std::vector<py::ssize_t>{n});
}

std::string text(const py::handle &object)
{
    return py::str(object).cast<std::string>();
}

std::string quoted(const std::string &s)
{
    return py::repr(py::str(s)).cast<std::string>();
}

} // namespace

Readings Readings::from(const std::vector<Reading> &readings, qint64 originNs)
{
    const auto n = static_cast<py::ssize_t>(readings.size());
    Readings r;
    py::array_t<double> counts({n, kChannels});
    py::array time = datetimes(n);
    py::array_t<double> elapsed(n);
    py::array_t<std::int64_t> period(n);
    py::array_t<double> levels({n, kChannels});
    py::array_t<bool> sweep(n);
    double *c = counts.mutable_data();
    auto *t = static_cast<std::int64_t *>(time.mutable_data());
    double *e = elapsed.mutable_data();
    std::int64_t *p = period.mutable_data();
    double *l = levels.mutable_data();
    bool *s = sweep.mutable_data();
    constexpr double nan = std::numeric_limits<double>::quiet_NaN();
    for (const Reading &reading : readings) {
        std::memcpy(c, reading.counts.data(), sizeof(double) * kChannels);
        c += kChannels;
        *t++ = reading.utcMs;
        *e++ = double(reading.monotonicNs - originNs) / 1e9;
        *p++ = reading.periodMs;
        if (reading.levelsKnown)
            std::memcpy(l, reading.thresholdsMv.data(), sizeof(double) * kChannels);
        else
            std::fill(l, l + kChannels, nan);
        l += kChannels;
        *s++ = reading.sweep;
    }
    r.counts = std::move(counts);
    r.time = std::move(time);
    r.elapsedS = std::move(elapsed);
    r.periodMs = std::move(period);
    r.thresholdsMv = std::move(levels);
    r.sweep = std::move(sweep);
    return r;
}

py::ssize_t Readings::size() const
{
    return counts.shape(0);
}

OneReading Readings::at(py::ssize_t index) const
{
    const py::ssize_t n = size();
    if (index < 0)
        index += n;
    if (index < 0 || index >= n)
        throw py::index_error("reading index out of range");
    const py::int_ i(index);
    OneReading one;
    one.counts = counts[i];
    one.time = time[i];
    one.elapsedS = py::float_(elapsedS[i]);
    one.periodMs = py::int_(periodMs[i]);
    one.thresholdsMv = thresholdsMv[i];
    one.sweep = py::bool_(sweep[i]);
    return one;
}

Readings Readings::slice(const py::slice &range) const
{
    Readings r;
    r.counts = counts[range];
    r.time = time[range];
    r.elapsedS = elapsedS[range];
    r.periodMs = periodMs[range];
    r.thresholdsMv = thresholdsMv[range];
    r.sweep = sweep[range];
    return r;
}

py::dict Readings::asDict() const
{
    py::dict d;
    d["counts"] = counts;
    d["time"] = time;
    d["elapsed_s"] = elapsedS;
    d["period_ms"] = periodMs;
    d["thresholds_mv"] = thresholdsMv;
    d["sweep"] = sweep;
    return d;
}

std::string Readings::repr() const
{
    const py::ssize_t n = size();
    if (n == 0)
        return "<tachyra.Readings: none>";
    return "<tachyra.Readings: " + std::to_string(n) + " from " + text(time[py::int_(0)]) + " to "
        + text(time[py::int_(n - 1)]) + ">";
}

std::string OneReading::repr() const
{
    return "<tachyra.Reading " + text(time) + " counts=" + text(counts) + ">";
}

SweepPoints SweepPoints::from(int channel, const std::vector<SweepPoint> &points)
{
    const auto n = static_cast<py::ssize_t>(points.size());
    SweepPoints r;
    r.channel = channel;
    py::array_t<double> levels(n);
    py::array_t<double> counts(n);
    py::array time = datetimes(n);
    double *l = levels.mutable_data();
    double *c = counts.mutable_data();
    auto *t = static_cast<std::int64_t *>(time.mutable_data());
    for (const SweepPoint &p : points) {
        *l++ = p.thresholdMv;
        *c++ = p.count;
        *t++ = p.utcMs;
    }
    r.thresholdMv = std::move(levels);
    r.counts = std::move(counts);
    r.time = std::move(time);
    return r;
}

py::ssize_t SweepPoints::size() const
{
    return counts.shape(0);
}

std::string SweepPoints::repr() const
{
    return "<tachyra.SweepPoints: channel " + std::to_string(channel) + ", " + std::to_string(size()) + " points>";
}

Calibration Calibration::from(const QList<int> &channels, const std::vector<SweepPoint> &points)
{
    const double nan = std::numeric_limits<double>::quiet_NaN();
    Calibration r;
    py::array_t<double> suggested(kChannels), low(kChannels), high(kChannels), uncertainty(kChannels), quality(kChannels);
    for (py::array_t<double> *a : {&suggested, &low, &high, &uncertainty, &quality})
        std::fill_n(a->mutable_data(), kChannels, nan);
    for (py::ssize_t ch = 0; ch < kChannels; ++ch) {
        r.reasons.append(std::string());
        r.reasonKeys.append(std::string());
    }
    for (int ch : channels) {
        std::vector<SweepPoint> own;
        std::vector<calibration::SweepPoint> levels;
        for (const SweepPoint &p : points) {
            if (p.channel == ch) {
                own.push_back(p);
                levels.push_back({p.thresholdMv, p.count});
            }
        }
        const calibration::ChannelAnalysis a = calibration::analyseSweep(levels);
        suggested.mutable_data()[ch] = a.suggestedMv;
        low.mutable_data()[ch] = a.bandLowMv;
        high.mutable_data()[ch] = a.bandHighMv;
        uncertainty.mutable_data()[ch] = a.uncertaintyMv;
        quality.mutable_data()[ch] = a.significance;
        r.reasons[std::size_t(ch)] = calibration::reasonText(a);
        r.reasonKeys[std::size_t(ch)] = std::string(calibration::reasonKey(a.reason));
        r.points[py::int_(ch)] = SweepPoints::from(ch, own);
        const auto m = static_cast<py::ssize_t>(a.spectrum.size());
        py::array_t<double> at(m), perMv(m), error(m);
        for (py::ssize_t i = 0; i < m; ++i) {
            const calibration::SpectrumPoint &sp = a.spectrum[std::size_t(i)];
            at.mutable_data()[i] = sp.thresholdMv;
            perMv.mutable_data()[i] = sp.perMv;
            error.mutable_data()[i] = sp.errorPerMv;
        }
        py::dict spectrum;
        spectrum["threshold_mv"] = at;
        spectrum["per_mv"] = perMv;
        spectrum["error_per_mv"] = error;
        r.spectrum[py::int_(ch)] = spectrum;
    }
    r.suggestedMv = std::move(suggested);
    r.valleyLowMv = std::move(low);
    r.valleyHighMv = std::move(high);
    r.uncertaintyMv = std::move(uncertainty);
    r.quality = std::move(quality);
    return r;
}

double Calibration::suggestedAt(int channel) const
{
    return static_cast<const double *>(suggestedMv.data())[channel];
}

std::string Calibration::repr() const
{
    return "<tachyra.Calibration: suggested_mv=" + text(suggestedMv) + ">";
}

std::string PortInfo::repr() const
{
    return "tachyra.Port(name=" + quoted(name) + ", description=" + quoted(description)
        + ", preferred=" + (preferred ? "True" : "False") + ")";
}

std::string NetworkSettings::repr() const
{
    return "tachyra.Network(mode=" + quoted(mode) + ", ip=" + quoted(ip) + ", netmask=" + quoted(netmask)
        + ", gateway=" + quoted(gateway) + ")";
}
