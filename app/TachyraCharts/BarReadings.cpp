#include "BarReadings.h"

#include "ChartScale.h"
#include "PerSecond.h"

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
        show(m_latest);
}

void BarReadings::setPerSecond(bool perSecond)
{
    if (perSecond == m_perSecond)
        return;
    m_perSecond = perSecond;
    emit perSecondChanged();
    if (!m_shown)
        return;
    if (m_active)
        show(m_latest);
    else
        m_pending = true;
}

void BarReadings::take(const Reading &reading)
{
    // A sweep's counts are the calibration plot's.
    if (reading.sweep)
        return;
    // An axis change redraws the whole chart even off screen: the latest
    // reading waits until the chart is shown.
    m_latest = reading;
    m_shown = true;
    if (!m_active) {
        m_pending = true;
        return;
    }
    show(reading);
}

void BarReadings::show(const Reading &reading)
{
    m_pending = false;
    QList<double> counts(reading.counts.begin(), reading.counts.end());
    if (m_perSecond) {
        for (double &v : counts)
            v = persecond::rate(v, reading.periodMs);
    }
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
    m_shown = false;
    m_values = QList<double>(m_channelCount, 0.0);
    m_linear[0] = 0;
    m_linear[1] = 1;
    m_log[0] = 1;
    m_log[1] = 10;
    emit updated();
}
