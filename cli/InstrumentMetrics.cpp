#include "InstrumentMetrics.h"

#include "Limits.h"
#include "Reading.h"
#include "Version.h"

#include <prometheus/counter.h>
#include <prometheus/family.h>
#include <prometheus/gauge.h>
#include <prometheus/registry.h>
#include <prometheus/text_serializer.h>

#include <cmath>

using prometheus::Gauge;
using prometheus::Labels;

namespace {

Labels channel(int ch)
{
    return {{"channel", std::to_string(ch)}};
}

} // namespace

InstrumentMetrics::InstrumentMetrics(const QString &instrument)
    : m_registry(std::make_shared<prometheus::Registry>())
{
    const Labels id{{"instrument", instrument.toStdString()}};
    prometheus::Registry &r = *m_registry;

    m_gateCountsFamily = &prometheus::BuildGauge()
                              .Name("tachyra_gate_counts")
                              .Help("Counts of the last reading (one gate period) per channel, as the instrument sent "
                                    "them; absent while the link is down.")
                              .Labels(id)
                              .Register(r);
    auto &countsTotal = prometheus::BuildCounter()
                            .Name("tachyra_counts_total")
                            .Help("Counts summed over all readings per channel; rate() gives counts per second. "
                                  "Counts that are not finite numbers >= 0 are left out.")
                            .Labels(id)
                            .Register(r);
    auto &invalid = prometheus::BuildCounter()
                        .Name("tachyra_invalid_counts_total")
                        .Help("Readings whose count on the channel was NaN, infinite or negative (or would "
                              "overflow the sum), and so was left out of tachyra_counts_total.")
                        .Labels(id)
                        .Register(r);
    for (int ch = 0; ch < kChannels; ++ch) {
        m_countsTotal[ch] = &countsTotal.Add(channel(ch));
        m_invalidCounts[ch] = &invalid.Add(channel(ch));
    }
    m_readings = &prometheus::BuildCounter()
                      .Name("tachyra_readings_total")
                      .Help("Count readings taken from the instrument.")
                      .Labels(id)
                      .Register(r)
                      .Add({});
    m_periodFamily = &prometheus::BuildGauge()
                          .Name("tachyra_gate_period_seconds")
                          .Help("The instrument's gate period; absent while the link is down.")
                          .Labels(id)
                          .Register(r);
    m_levelsFamily = &prometheus::BuildGauge()
                          .Name("tachyra_threshold_volts")
                          .Help("Comparator level per channel as read from the instrument; absent while unknown.")
                          .Labels(id)
                          .Register(r);
    m_linkUp = &prometheus::BuildGauge()
                    .Name("tachyra_link_up")
                    .Help("1 while the link to the instrument is open and it answers, else 0.")
                    .Labels(id)
                    .Register(r)
                    .Add({});
    m_timeouts = &prometheus::BuildCounter()
                      .Name("tachyra_reply_timeouts_total")
                      .Help("Requests the instrument did not answer in time.")
                      .Labels(id)
                      .Register(r)
                      .Add({});
    m_losses = &prometheus::BuildCounter()
                    .Name("tachyra_link_losses_total")
                    .Help("Times an open link ended or went silent and was opened again.")
                    .Labels(id)
                    .Register(r)
                    .Add({});
    m_connectFailures = &prometheus::BuildCounter()
                             .Name("tachyra_connect_failures_total")
                             .Help("Attempts to open the link that failed or got no reading.")
                             .Labels(id)
                             .Register(r)
                             .Add({});
    m_lastReadingTime = &prometheus::BuildGauge()
                             .Name("tachyra_last_reading_timestamp_seconds")
                             .Help("When the last count reading arrived, in seconds since the epoch.")
                             .Labels(id)
                             .Register(r)
                             .Add({});
    prometheus::BuildGauge()
        .Name("tachyra_build_info")
        .Help("The exporter's version; always 1.")
        .Labels(id)
        .Register(r)
        .Add({{"version", tachyra::kVersion}})
        .Set(1);
}

InstrumentMetrics::~InstrumentMetrics() = default;

std::shared_ptr<prometheus::Collectable> InstrumentMetrics::collectable() const
{
    return m_registry;
}

void InstrumentMetrics::takeReading(const Reading &reading)
{
    for (int ch = 0; ch < kChannels; ++ch) {
        const double v = reading.counts[ch];
        if (!m_gateCounts[ch])
            m_gateCounts[ch] = &m_gateCountsFamily->Add(channel(ch));
        m_gateCounts[ch]->Set(v);
        // -0 joins too (it adds nothing); the counter ignores a negative
        // increment by itself, but NaN and infinities would stick.
        if (std::isfinite(v) && v >= 0.0 && std::isfinite(m_countsTotal[ch]->Value() + v))
            m_countsTotal[ch]->Increment(v);
        else
            m_invalidCounts[ch]->Increment();
    }
    m_readings->Increment();
    m_lastReadingTime->Set(limits::secondsOfMs(double(reading.utcMs)));
}

void InstrumentMetrics::setLinkUp(bool up)
{
    m_linkUp->Set(up ? 1 : 0);
    if (!up)
        dropInstrumentState();
}

void InstrumentMetrics::setPeriodMs(int periodMs)
{
    if (!m_period)
        m_period = &m_periodFamily->Add({});
    m_period->Set(limits::secondsOfMs(periodMs));
}

void InstrumentMetrics::setLevels(const std::optional<std::array<double, kChannels>> &volts)
{
    for (int ch = 0; ch < kChannels; ++ch) {
        if (!volts) {
            if (m_levels[ch])
                m_levelsFamily->Remove(m_levels[ch]);
            m_levels[ch] = nullptr;
            continue;
        }
        if (!m_levels[ch])
            m_levels[ch] = &m_levelsFamily->Add(channel(ch));
        m_levels[ch]->Set((*volts)[ch]);
    }
}

void InstrumentMetrics::countReplyTimeout()
{
    m_timeouts->Increment();
}

void InstrumentMetrics::countLinkLoss()
{
    m_losses->Increment();
}

void InstrumentMetrics::countConnectFailure()
{
    m_connectFailures->Increment();
}

void InstrumentMetrics::dropInstrumentState()
{
    for (Gauge *&g : m_gateCounts) {
        if (g)
            m_gateCountsFamily->Remove(g);
        g = nullptr;
    }
    if (m_period)
        m_periodFamily->Remove(m_period);
    m_period = nullptr;
    setLevels(std::nullopt);
}

std::string InstrumentMetrics::exposition() const
{
    return prometheus::TextSerializer().Serialize(m_registry->Collect());
}
