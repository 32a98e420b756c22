// Count polling and the gate period.
#include "DeviceSession.h"

#include <cmath>
#include <limits>

void DeviceSession::updatePollInterval()
{
    m_pollTimer.setInterval(qMax(m_periodMs, kMinPollMs));
}

void DeviceSession::onPoll()
{
    if (m_calibrationRunning || !m_connected)
        return;
    // An instrument slower than the tick (or silent) would otherwise let the
    // queue grow without end: add no poll query while one still waits unsent.
    for (qsizetype i = m_busy ? 1 : 0; i < m_queue.size(); ++i) {
        if (m_queue.at(i).poll)
            return;
    }
    enqueueCountQuery(true);
}

void DeviceSession::refreshCounts()
{
    if (!m_connected)
        return;
    enqueueCountQuery(false);
}

void DeviceSession::enqueueCountQuery(bool fromPoll)
{
    m_queue.append(Pending{zrf::kCountQuery, zrf::encodeFrame(zrf::kCountQuery, {}),
                           [this](bool ok, const QByteArray &payload) {
                               handleCountReply(ok, payload);
                           },
                           fromPoll});
    pumpQueue();
}

void DeviceSession::handleCountReply(bool ok, const QByteArray &payload)
{
    QList<double> values;
    if (!ok || !zrf::unpackDoubles(payload, &values) || values.size() != kChannelCount) {
        setLastError(QStringLiteral("Bad COUN? reply"));
        return;
    }
    QVariantList next;
    next.reserve(kChannelCount);
    for (double v : values)
        next.append(v);
    m_counts = next;
    noteFreshCounts();
    emit countsChanged();
    emit countsRead(values, m_calibrationRunning);
}

void DeviceSession::noteFreshCounts()
{
    // Three poll intervals; a period near INT_MAX ms must not overflow it.
    const qint64 ms = 3 * qint64(qMax(m_periodMs, kMinPollMs));
    m_countsFreshTimer.start(int(qMin<qint64>(ms, std::numeric_limits<int>::max())));
    setCountsLive(m_connected);
}

void DeviceSession::applyPeriod(int periodMs)
{
    if (!m_connected || periodMs < 1)
        return;
    enqueue(zrf::kPeriodSet, zrf::packDouble(double(periodMs)), [this](bool ok, const QByteArray &) {
        if (!ok) {
            setLastError(QStringLiteral("PERD rejected"));
            return;
        }
        enqueue(zrf::kPeriodQuery, {}, [this](bool ok, const QByteArray &payload) {
            handlePeriodReadBack(ok, payload, true);
        });
    });
}

void DeviceSession::handlePeriodReadBack(bool ok, const QByteArray &payload, bool reportFailure)
{
    QList<double> values;
    if (!ok || !zrf::unpackDoubles(payload, &values) || values.isEmpty()) {
        if (reportFailure) {
            setLastError(QStringLiteral("Bad PERD? reply"));
            return;
        }
        // The opening exchange goes on with the current period.
        updatePollInterval();
        return;
    }
    const double first = values.constFirst();
    // Truncate toward zero; NaN and values beyond int are not periods.
    if (std::isfinite(first) && first >= 1.0 && first < 2147483648.0) {
        const int period = int(first);
        if (period != m_periodMs) {
            m_periodMs = period;
            emit periodMsChanged();
        }
    }
    updatePollInterval();
}
