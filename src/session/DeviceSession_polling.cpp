// Count polling and the gate period.
#include "DeviceSession.h"

#include <QDateTime>

#include <algorithm>
#include <cmath>
#include <limits>

void DeviceSession::gateMayChange()
{
    m_pollTimer.setInterval(pollIntervalMs());
}

void DeviceSession::pollingMayChange()
{
    const bool poll = m_polling && linkReady() && !m_sweep.running() && !m_network.applying();
    if (!poll)
        m_pollTimer.stop();
    else if (!m_pollTimer.isActive())
        m_pollTimer.start();
}

void DeviceSession::onPoll()
{
    if (m_sweep.running() || !linkReady())
        return;
    // An instrument slower than the tick (or silent) would otherwise let the
    // queue grow without end: add no poll query while one still waits unsent.
    if (!m_queue.hasWaiting(RequestQueue::Kind::Poll))
        enqueueCountQuery(true);
}

void DeviceSession::refreshCounts(Done done)
{
    if (!linkReady()) {
        OperationBook::refuse(done, DeviceError::NotConnected);
        return;
    }
    enqueueCountQuery(false, m_operations.begin(std::move(done)));
}

void DeviceSession::enqueueCountQuery(bool fromPoll, quint64 op, const std::function<void()> &then)
{
    RequestQueue::Request read = request(zrf::kCountQuery, {}, [this, op, then](bool ok, const QByteArray &payload) {
        QList<double> values;
        if (!ok || !zrf::unpackDoubles(payload, &values) || values.size() != kChannelCount) {
            report(Outcome(DeviceError::BadCountReply));
            m_operations.finish(op, Outcome(DeviceError::BadCountReply));
        } else {
            publishCounts(values);
            m_operations.finish(op, Outcome());
        }
        if (then)
            then();
    }, fromPoll ? RequestQueue::Kind::Poll : RequestQueue::Kind::Plain);
    if (op || then)
        read.expired = [this, op, then] {
            m_operations.finish(op, Outcome(DeviceError::NoReply));
            if (then)
                then();
        };
    m_queue.push(std::move(read));
}

// The one place a count reading is made: polled and swept alike.
Reading DeviceSession::publishCounts(const QList<double> &values)
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
    // Labelled with what the instrument counted under, as far as its answers
    // tell: answered in order, every request before this one is settled.
    r.periodMs = m_periodInForce;
    m_levels.label(r);
    return r;
}

void DeviceSession::noteFreshCounts()
{
    // Three poll intervals; a period near INT_MAX ms must not overflow it.
    const qint64 ms = 3 * qint64(qMax(m_periodMs, kMinPollMs));
    m_countsFreshTimer.start(int(qMin<qint64>(ms, std::numeric_limits<int>::max())));
    setCountsLive(m_connected);
}

void DeviceSession::applyPeriod(int periodMs, Done done)
{
    // One sweep's curve is counted with one gate.
    if (!linkReady() || periodMs < 1 || m_sweep.running() || m_sweep.starting()) {
        OperationBook::refuse(done, !linkReady() ? DeviceError::NotConnected
                     : periodMs < 1 ? DeviceError::InvalidArgument
                                    : DeviceError::Busy);
        return;
    }
    const quint64 op = m_operations.begin(std::move(done));
    RequestQueue::Request set = request(zrf::kPeriodSet, zrf::packDouble(double(periodMs)), [this, op](bool ok, const QByteArray &) {
        // The instrument counts with a period of its choosing until read back,
        // which goes next: no reading comes between. Refused, or answered
        // with nothing readable, it is read back all the same.
        m_periodInForce = 0;
        if (!ok) {
            report(Outcome(DeviceError::PeriodRejected));
            m_operations.finish(op, Outcome(DeviceError::PeriodRejected));
        }
        readPeriod(ok ? op : 0, true);
    });
    set.expired = [this, op] {
        m_periodInForce = 0;
        m_operations.finish(op, Outcome(DeviceError::NoReply));
    };
    m_queue.push(std::move(set));
}

void DeviceSession::refreshPeriod(Done done)
{
    if (!linkReady()) {
        OperationBook::refuse(done, DeviceError::NotConnected);
        return;
    }
    readPeriod(m_operations.begin(std::move(done)));
}

void DeviceSession::readPeriod(quint64 op, bool next)
{
    RequestQueue::Request read = request(zrf::kPeriodQuery, {}, [this, op](bool ok, const QByteArray &payload) {
        if (takePeriodReply(ok, payload)) {
            m_operations.finish(op, Outcome());
            return;
        }
        report(Outcome(DeviceError::BadPeriodReply));
        m_operations.finish(op, Outcome(DeviceError::BadPeriodReply));
    });
    read.expired = [this, op] { m_operations.finish(op, Outcome(DeviceError::NoReply)); };
    if (next)
        m_queue.pushNext(std::move(read));
    else
        m_queue.push(std::move(read));
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
        if (usable)
            m_periodInForce = int(first);
        if (usable && int(first) != m_periodMs) {
            m_periodMs = int(first);
            emit periodMsChanged();
        }
    }
    gateMayChange();
    return usable;
}
