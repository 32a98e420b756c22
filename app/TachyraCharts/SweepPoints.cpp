#include "SweepPoints.h"

#include "ChartScale.h"
#include "ReadingRow.h"

#include <QtCharts/QXYSeries>

#include <cmath>

SweepPoints::SweepPoints(QObject *parent)
    : QObject(parent)
{
    clear(0);
}

void SweepPoints::setSource(ReadingSource *source)
{
    if (m_source == source)
        return;
    disconnect(m_connection);
    m_source = source;
    if (source)
        m_connection = connect(source, &ReadingSource::sweepPointTaken, this, &SweepPoints::add);
    emit sourceChanged();
}

void SweepPoints::setLinearSeries(QObject *series)
{
    if (m_linearSeries == series)
        return;
    m_linearSeries = series;
    emit seriesChanged();
}

void SweepPoints::setLogSeries(QObject *series)
{
    if (m_logSeries == series)
        return;
    m_logSeries = series;
    emit seriesChanged();
}

void SweepPoints::clear(int channel)
{
    m_channel = channel;
    m_points.clear();
    m_linearCounts.clear();
    m_logCounts.clear();
    for (QObject *s : {m_linearSeries.data(), m_logSeries.data()}) {
        if (auto *series = qobject_cast<QXYSeries *>(s))
            series->clear();
    }
    m_seen[0] = m_seen[1] = m_logSeen[0] = m_logSeen[1] = std::nan("");
    m_linear[0] = 0;
    m_linear[1] = 1;
    m_log[0] = 1;
    m_log[1] = 10;
    emit pointsChanged();
    emit rangeChanged();
}

void SweepPoints::add(const SweepPoint &point)
{
    m_points.append(point);
    // A count that is not a finite number is exported but not drawn.
    const double y = chartscale::drawValue(point.count);
    if (!std::isnan(y)) {
        if (auto *series = qobject_cast<QXYSeries *>(m_linearSeries.data()))
            series->append(point.thresholdMv, y);
        m_linearCounts.append(point.count);
        if (y >= 1) {
            if (auto *series = qobject_cast<QXYSeries *>(m_logSeries.data()))
                series->append(point.thresholdMv, y);
            m_logCounts.append(point.count);
        }
        widenRanges(y);
    }
    emit pointsChanged();
}

void SweepPoints::widenRanges(double y)
{
    if (!(y >= 0))
        return;
    m_seen[0] = std::isnan(m_seen[0]) ? y : std::min(m_seen[0], y);
    m_seen[1] = std::isnan(m_seen[1]) ? y : std::max(m_seen[1], y);
    const chartscale::Range lin = chartscale::paddedLinearRange(m_seen[0], m_seen[1]);
    m_linear[0] = lin.min;
    m_linear[1] = lin.max;
    if (y >= 1) {
        m_logSeen[0] = std::isnan(m_logSeen[0]) ? y : std::min(m_logSeen[0], y);
        m_logSeen[1] = std::isnan(m_logSeen[1]) ? y : std::max(m_logSeen[1], y);
        const chartscale::Range log = chartscale::paddedLogRange(m_logSeen[0], m_logSeen[1]);
        m_log[0] = log.min;
        m_log[1] = log.max;
    }
    emit rangeChanged();
}

double SweepPoints::countAt(int index, bool log) const
{
    const QList<double> &counts = log ? m_logCounts : m_linearCounts;
    return index >= 0 && index < counts.size() ? counts.at(index) : std::nan("");
}

QByteArray SweepPoints::csvTable() const
{
    QByteArray text = readingrow::sweepCsvHeader();
    for (const SweepPoint &p : m_points)
        text += readingrow::sweepCsvRow(p);
    return text;
}
