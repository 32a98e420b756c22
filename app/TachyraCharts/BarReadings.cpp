#include "BarReadings.h"

#include "ChartScale.h"

BarReadings::BarReadings(QObject *parent)
    : QObject(parent), m_values(m_channelCount, 0.0)
{
}

void BarReadings::setSource(ReadingSource *source)
{
    if (m_source == source)
        return;
    for (const QMetaObject::Connection &c : std::as_const(m_connections))
        disconnect(c);
    m_connections.clear();
    m_source = source;
    if (source) {
        m_connections.append(connect(source, &ReadingSource::readingTaken, this, &BarReadings::take));
        m_connections.append(connect(source, &ReadingSource::linkClosed, this, &BarReadings::reset));
    }
    emit sourceChanged();
}

void BarReadings::setChannelCount(int count)
{
    count = qBound(1, count, Reading::kChannels);
    if (count == m_channelCount)
        return;
    m_channelCount = count;
    emit channelCountChanged();
    reset();
}

void BarReadings::setActive(bool active)
{
    if (active == m_active)
        return;
    m_active = active;
    emit activeChanged();
    if (m_active && m_pending)
        show(m_pendingCounts);
}

void BarReadings::take(const Reading &reading)
{
    // A sweep's counts are the calibration plot's.
    if (reading.sweep)
        return;
    const QList<double> counts(reading.counts.begin(), reading.counts.end());
    // An axis change redraws the whole chart even off screen: the latest
    // reading waits until the chart is shown.
    if (!m_active) {
        m_pending = true;
        m_pendingCounts = counts;
        return;
    }
    show(counts);
}

void BarReadings::show(const QList<double> &counts)
{
    m_pending = false;
    const chartscale::Bars b = chartscale::bars(counts, m_channelCount);
    m_values = b.values;
    m_linear[0] = b.linear.min;
    m_linear[1] = b.linear.max;
    m_log[0] = b.log.min;
    m_log[1] = b.log.max;
    emit updated();
}

void BarReadings::reset()
{
    m_pending = false;
    m_values = QList<double>(m_channelCount, 0.0);
    m_linear[0] = 0;
    m_linear[1] = 1;
    m_log[0] = 1;
    m_log[1] = 10;
    emit updated();
}
