// Count polling and the gate period.
#include "DeviceSession.h"

#include <QDateTime>

#include <cmath>
#include <limits>

void DeviceSession::updatePollInterval()
{
    m_pollTimer.setInterval(qMax(m_periodMs, kMinPollMs));
}

void DeviceSession::onPoll()
{
    if (m_calibrationRunning || !linkReady())
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
    refreshCounts(Done());
}

void DeviceSession::refreshCounts(Done done)
{
    if (!linkReady()) {
        refuse(done, DeviceError::NotConnected);
        return;
    }
    enqueueCountQuery(false, beginOperation(std::move(done)));
}

void DeviceSession::enqueueCountQuery(bool fromPoll, quint64 op)
{
    Pending read{zrf::kCountQuery, zrf::encodeFrame(zrf::kCountQuery, {}),
                 [this, op](bool ok, const QByteArray &payload) {
                     QList<double> values;
                     if (!ok || !zrf::unpackDoubles(payload, &values) || values.size() != kChannelCount) {
                         reportError(DeviceError::BadCountReply);
                         finishOperation(op, Outcome(DeviceError::BadCountReply));
                         return;
                     }
                     takeCounts(values);
                     finishOperation(op, Outcome());
                 },
                 fromPoll};
    if (op)
        read.expired = [this, op] { finishOperation(op, Outcome(DeviceError::NoReply)); };
    enqueuePending(std::move(read));
}

// The one place a count reading is made: polled and swept alike.
Reading DeviceSession::takeCounts(const QList<double> &values)
{
    QVariantList next;
    next.reserve(kChannelCount);
    for (double v : values)
        next.append(v);
    m_counts = next;
    noteFreshCounts();
    emit countsChanged();
    const Reading reading = makeReading(values);
    emit readingTaken(reading);
    return reading;
}

Reading DeviceSession::makeReading(const QList<double> &values) const
{
    Reading r;
    for (int ch = 0; ch < Reading::kChannels && ch < values.size(); ++ch)
        r.counts[ch] = values.at(ch);
    r.utcMs = QDateTime::currentMSecsSinceEpoch();
    r.monotonicNs = Reading::steadyNowNs();
    r.periodMs = m_periodMs;
    r.levelsKnown = m_dacLevelsKnown;
    if (r.levelsKnown) {
        for (int ch = 0; ch < Reading::kChannels && ch < m_dacVolts.size(); ++ch)
            r.thresholdsMv[ch] = Reading::levelMv(m_dacVolts.at(ch).toDouble());
    }
    r.sweep = m_calibrationRunning;
    return r;
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
    applyPeriod(periodMs, Done());
}

void DeviceSession::applyPeriod(int periodMs, Done done)
{
    if (!linkReady() || periodMs < 1) {
        refuse(done, linkReady() ? DeviceError::InvalidArgument : DeviceError::NotConnected);
        return;
    }
    const quint64 op = beginOperation(std::move(done));
    Pending set{zrf::kPeriodSet, zrf::encodeFrame(zrf::kPeriodSet, zrf::packDouble(double(periodMs))),
                [this, op](bool ok, const QByteArray &) {
                    if (!ok) {
                        reportError(DeviceError::PeriodRejected);
                        finishOperation(op, Outcome(DeviceError::PeriodRejected));
                        return;
                    }
                    Pending readBack{zrf::kPeriodQuery, zrf::encodeFrame(zrf::kPeriodQuery, {}),
                                     [this, op](bool ok, const QByteArray &payload) {
                                         if (takePeriodReply(ok, payload)) {
                                             finishOperation(op, Outcome());
                                             return;
                                         }
                                         reportError(DeviceError::BadPeriodReply);
                                         finishOperation(op, Outcome(DeviceError::BadPeriodReply));
                                     }};
                    readBack.expired = [this, op] { finishOperation(op, Outcome(DeviceError::NoReply)); };
                    enqueuePending(std::move(readBack));
                }};
    set.expired = [this, op] { finishOperation(op, Outcome(DeviceError::NoReply)); };
    enqueuePending(std::move(set));
}

void DeviceSession::refreshPeriod(Done done)
{
    if (!linkReady()) {
        refuse(done, DeviceError::NotConnected);
        return;
    }
    const quint64 op = beginOperation(std::move(done));
    Pending read{zrf::kPeriodQuery, zrf::encodeFrame(zrf::kPeriodQuery, {}),
                 [this, op](bool ok, const QByteArray &payload) {
                     if (takePeriodReply(ok, payload)) {
                         finishOperation(op, Outcome());
                         return;
                     }
                     reportError(DeviceError::BadPeriodReply);
                     finishOperation(op, Outcome(DeviceError::BadPeriodReply));
                 }};
    read.expired = [this, op] { finishOperation(op, Outcome(DeviceError::NoReply)); };
    enqueuePending(std::move(read));
}

// A period the instrument reports is taken when usable; either way the poll
// follows the period in force.
bool DeviceSession::takePeriodReply(bool ok, const QByteArray &payload)
{
    QList<double> values;
    bool usable = ok && zrf::unpackDoubles(payload, &values) && !values.isEmpty();
    if (usable) {
        const double first = values.constFirst();
        // Truncate toward zero; NaN and values beyond int are not periods.
        usable = std::isfinite(first) && first >= 1.0 && first < 2147483648.0;
        if (usable && int(first) != m_periodMs) {
            m_periodMs = int(first);
            emit periodMsChanged();
        }
    }
    updatePollInterval();
    return usable;
}
