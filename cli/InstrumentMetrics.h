#pragma once

// The metrics of one instrument, as `serve` exposes them to Prometheus.
// Written from the Qt thread only; the registry is prometheus-cpp's, whose
// metrics are atomics and whose families lock, so the HTTP threads collect
// it while the session goes on.
//
// While the link is down the gauges of the instrument's state (last counts,
// gate period, levels) are absent rather than stale; counters, link up, the
// last reading's time and build info stay.

#include <QString>

#include <array>
#include <memory>
#include <optional>
#include <string>

namespace prometheus {
class Collectable;
class Counter;
class Gauge;
template <typename T>
class Family;
class Registry;
} // namespace prometheus

struct Reading;

class InstrumentMetrics
{
public:
    static constexpr int kChannels = 8;

    // `instrument`: the value of the `instrument` label on every series.
    explicit InstrumentMetrics(const QString &instrument);
    ~InstrumentMetrics();

    InstrumentMetrics(const InstrumentMetrics &) = delete;
    InstrumentMetrics &operator=(const InstrumentMetrics &) = delete;

    // What the HTTP side collects at each scrape.
    std::shared_ptr<prometheus::Collectable> collectable() const;

    // One count reading. A count joins the summed counter only when it is a
    // finite number >= 0 that keeps the sum finite: NaN, infinities,
    // negative counts (and a sum that would overflow) would leave the counter
    // useless for good, so those are counted as invalid instead. The gauge
    // shows the count as the instrument sent it, NaN included.
    void takeReading(const Reading &reading);
    void setLinkUp(bool up);
    void setPeriodMs(int periodMs);
    // Levels in volts per channel; nullopt while unknown.
    void setLevels(const std::optional<std::array<double, kChannels>> &volts);
    void countReplyTimeout();
    void countLinkLoss();
    void countConnectFailure();

    // The text exposition, as a scrape gets it.
    std::string exposition() const;

private:
    void dropInstrumentState();

    std::shared_ptr<prometheus::Registry> m_registry;
    prometheus::Family<prometheus::Gauge> *m_gateCountsFamily = nullptr;
    prometheus::Family<prometheus::Gauge> *m_periodFamily = nullptr;
    prometheus::Family<prometheus::Gauge> *m_levelsFamily = nullptr;
    std::array<prometheus::Gauge *, kChannels> m_gateCounts{};
    std::array<prometheus::Gauge *, kChannels> m_levels{};
    std::array<prometheus::Counter *, kChannels> m_countsTotal{};
    std::array<prometheus::Counter *, kChannels> m_invalidCounts{};
    prometheus::Gauge *m_period = nullptr;
    prometheus::Counter *m_readings = nullptr;
    prometheus::Gauge *m_linkUp = nullptr;
    prometheus::Counter *m_timeouts = nullptr;
    prometheus::Counter *m_losses = nullptr;
    prometheus::Counter *m_connectFailures = nullptr;
    prometheus::Gauge *m_lastReadingTime = nullptr;
};
