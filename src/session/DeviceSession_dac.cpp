// Comparator threshold DACs: read, set one or all channels, store in EEPROM,
// put back the levels saved before a calibration sweep.
#include "DeviceSession.h"

#include <cmath>
#include <memory>

namespace {

// Callers of one level request, shared with a newer level that replaces it unsent.
using OpList = std::shared_ptr<QList<quint64>>;

OpList opList(quint64 op)
{
    auto ops = std::make_shared<QList<quint64>>();
    if (op)
        ops->append(op);
    return ops;
}

} // namespace

void DeviceSession::setDacVoltage(int channel, double volts)
{
    setDacVoltage(channel, volts, Done());
}

void DeviceSession::setDacVoltage(int channel, double volts, Done done)
{
    if (!linkReady() || channel < 0 || channel >= kChannelCount || m_calibrationRunning) {
        refuse(done, !linkReady() ? DeviceError::NotConnected
                                  : m_calibrationRunning ? DeviceError::Busy : DeviceError::InvalidArgument);
        return;
    }
    const double v = clampDacVolts(volts);
    const OpList ops = opList(beginOperation(std::move(done)));
    Pending request = dacRequest(
        channel, v, [this, channel, v, ops] { takeOperatorLevel(channel, v, *ops); },
        [this, ops](DeviceError error) {
            for (quint64 op : std::as_const(*ops))
                finishOperation(op, Outcome(error));
        });
    request.dacChannel = channel;
    request.keepOnClose = true;
    // A key held down on a slow instrument: the newest level replaces one for
    // the same channel still waiting unsent, unless another level follows it.
    for (qsizetype i = m_queue.size() - 1; i >= (m_busy ? 1 : 0); --i) {
        if (m_queue.at(i).command != zrf::kSdac)
            continue;
        if (m_queue.at(i).dacChannel == channel) {
            // Its callers now wait for the newer level.
            for (quint64 op : std::as_const(m_queue.at(i).dacOps))
                ops->prepend(op);
            request.dacOps = *ops;
            m_queue[i] = std::move(request);
            return;
        }
        break;
    }
    request.dacOps = *ops;
    enqueuePending(std::move(request));
}

void DeviceSession::setAllDacVoltage(double volts)
{
    setAllDacVoltage(volts, Done());
}

void DeviceSession::setAllDacVoltage(double volts, Done done)
{
    if (!linkReady() || m_calibrationRunning) {
        refuse(done, linkReady() ? DeviceError::Busy : DeviceError::NotConnected);
        return;
    }
    const double v = clampDacVolts(volts);
    const quint64 op = beginOperation(std::move(done));
    sendDacVoltage(
        kAllChannels, v,
        [this, v, op] {
            bool changed = false;
            const qsizetype n = qMin<qsizetype>(m_dacVolts.size(), kChannelCount);
            for (qsizetype ch = 0; ch < n; ++ch) {
                if (m_dacVolts.at(ch).toDouble() != v) {
                    m_dacVolts[ch] = v;
                    changed = true;
                }
            }
            if (changed)
                emit dacVoltsChanged();
            if (m_calibrationRunning && m_savedDacLevels.size() == kChannelCount)
                m_savedDacLevels = QVariantList(kChannelCount, v);
            // Levels unknown so far: what the instrument holds now is read back.
            if (!m_dacLevelsKnown)
                readBackDacLevels();
            requestEepromWrite({op});
        },
        [this, op](DeviceError error) { finishOperation(op, Outcome(error)); }, true);
}

// Shown once the instrument has taken it, kept for the ending of a sweep
// that began meanwhile, and stored in the EEPROM.
void DeviceSession::takeOperatorLevel(int channel, double volts, const QList<quint64> &ops)
{
    if (channel < m_dacVolts.size() && m_dacVolts.at(channel).toDouble() != volts) {
        m_dacVolts[channel] = volts;
        emit dacVoltsChanged();
    }
    // Sent before a sweep began: the sweep's ending must put this level back.
    if (m_calibrationRunning && channel < m_savedDacLevels.size())
        m_savedDacLevels[channel] = volts;
    requestEepromWrite(ops);
}

void DeviceSession::refreshDacVolts()
{
    refreshDacVolts(Done());
}

void DeviceSession::refreshDacVolts(Done done)
{
    if (!linkReady()) {
        refuse(done, DeviceError::NotConnected);
        return;
    }
    readDacLevels(beginOperation(std::move(done)), 1);
}

// A read lost or spoilt while the levels are still unknown is tried again:
// one bad reply at opening must not leave the thresholds locked.
void DeviceSession::readDacLevels(quint64 op, int attemptsLeft)
{
    m_levelReadQueued = true;
    const auto retryOr = [this, op, attemptsLeft](DeviceError error) {
        if (attemptsLeft > 1 && !m_dacLevelsKnown && linkReady()) {
            readDacLevels(op, attemptsLeft - 1);
            return;
        }
        finishOperation(op, Outcome(error));
    };
    Pending read{zrf::kSdacQuery, zrf::encodeFrame(zrf::kSdacQuery, {}),
                 [this, op, retryOr](bool ok, const QByteArray &payload) {
                     m_levelReadQueued = false;
                     if (takeDacReading(ok, payload))
                         finishOperation(op, Outcome());
                     else
                         retryOr(DeviceError::BadDacReply);
                 }};
    read.expired = [this, retryOr] {
        m_levelReadQueued = false;
        retryOr(DeviceError::NoReply);
    };
    enqueuePending(std::move(read));
}

// After a refusal or a restore the screen must show what the instrument
// really holds, not what was asked of it. A read already waiting in the
// queue comes after them and will do.
void DeviceSession::readBackDacLevels()
{
    if (!m_levelReadQueued)
        readDacLevels(0, 1);
}

bool DeviceSession::takeDacReading(bool ok, const QByteArray &payload)
{
    QList<double> values;
    if (!ok || !zrf::unpackDoubles(payload, &values) || values.size() != kChannelCount) {
        reportError(DeviceError::BadDacReply);
        return false;
    }
    QVariantList next;
    next.reserve(kChannelCount);
    for (double v : std::as_const(values))
        next.append(clampDacVolts(v));
    if (next != m_dacVolts) {
        m_dacVolts = next;
        emit dacVoltsChanged();
    }
    // Last, so whoever hears that the levels are known reads them already.
    setDacLevelsKnown(true);
    if (m_restoreAfterInterruption && !m_restoreInFlight && m_savedDacLevels.size() == kChannelCount) {
        // The mutes of the interrupted sweep are still there: put the levels
        // back. Anything else is another unit, or this one set anew since.
        if (showsSweepPattern()) {
            restoreSavedDacLevels();
        } else {
            m_restoreAfterInterruption = false;
            m_savedDacLevels.clear();
            setStatusText(QStringLiteral("Connected \u00B7 %1 \u00B7 thresholds of the interrupted sweep not restored: "
                                         "the instrument's levels have changed since")
                              .arg(linkLabel()));
        }
    }
    return true;
}

// Each channel as the sweep left it (muted, the swept one within its range)
// or already back at its saved level (a restore cut off half way).
bool DeviceSession::showsSweepPattern() const
{
    constexpr double kToleranceMv = 1.0;
    const auto near = [](double mv, double targetMv) { return std::fabs(mv - targetMv) <= kToleranceMv; };
    for (int ch = 0; ch < kChannelCount; ++ch) {
        const double mv = m_dacVolts.value(ch).toDouble() * 1000.0;
        if (near(mv, m_savedDacLevels.value(ch).toDouble() * 1000.0))
            continue;
        const bool asSwept = ch == m_savedSweepChannel
            ? mv >= m_savedSweepLowMv - kToleranceMv && mv <= m_savedSweepHighMv + kToleranceMv
            : near(mv, kDacMaxVolts * 1000.0);
        if (!asSwept)
            return false;
    }
    return true;
}

DeviceSession::Pending DeviceSession::dacRequest(int channel, double volts, std::function<void()> done,
                                                 std::function<void(DeviceError)> failed)
{
    const QByteArray payload = zrf::packDoubles({double(channel), volts});
    Pending request{zrf::kSdac, zrf::encodeFrame(zrf::kSdac, payload),
                    [this, done = std::move(done), failed](bool ok, const QByteArray &) {
                        if (ok) {
                            if (done)
                                done();
                            return;
                        }
                        reportError(DeviceError::DacRejected);
                        if (m_calibrationRunning)
                            failSweep(DeviceError::DacRejected);
                        if (failed)
                            failed(DeviceError::DacRejected);
                        readBackDacLevels();
                    }};
    if (failed)
        request.expired = [failed = std::move(failed)] { failed(DeviceError::NoReply); };
    return request;
}

void DeviceSession::sendDacVoltage(int channel, double volts, std::function<void()> done,
                                   std::function<void(DeviceError)> failed, bool keepOnClose)
{
    Pending request = dacRequest(channel, volts, std::move(done), std::move(failed));
    request.keepOnClose = keepOnClose;
    enqueuePending(std::move(request));
}

double DeviceSession::clampDacVolts(double volts)
{
    // NaN fails both tests; a level nobody can read is sent as 0 V.
    if (!(volts >= 0.0))
        return 0.0;
    return volts > kDacMaxVolts ? kDacMaxVolts : volts;
}

void DeviceSession::restoreSavedDacLevels()
{
    if (m_savedDacLevels.size() != kChannelCount) {
        m_savedDacLevels.clear();
        finishSweepOperation();
        return;
    }
    // Without a link they wait for this link to open again; once sent they
    // stay until the instrument took all eight.
    if (!linkReady() || m_restoreInFlight)
        return;
    m_restoreInFlight = true;
    m_restoreAcks = 0;
    const quint32 restore = ++m_restoreId;
    bool changed = false;
    for (int ch = 0; ch < kChannelCount; ++ch) {
        const double v = clampDacVolts(m_savedDacLevels.at(ch).toDouble());
        sendDacVoltage(
            ch, v,
            [this, restore] {
                if (restore == m_restoreId && ++m_restoreAcks == kChannelCount)
                    endRestore(restore, true);
            },
            [this, restore](DeviceError error) {
                if (restore == m_restoreId && m_sweepEnd == DeviceError::None)
                    m_sweepEnd = error;
                endRestore(restore, false);
            },
            true);
        if (ch < m_dacVolts.size() && m_dacVolts.at(ch).toDouble() != v) {
            m_dacVolts[ch] = v;
            changed = true;
        }
    }
    if (changed)
        emit dacVoltsChanged();
}

void DeviceSession::endRestore(quint32 restore, bool completed)
{
    // A sweep started meanwhile owns the saved levels now.
    if (restore != m_restoreId || !m_restoreInFlight)
        return;
    m_restoreInFlight = false;
    m_savedDacLevels.clear();
    if (completed && m_restoreAfterInterruption && !m_calibrationRunning)
        setStatusText(QStringLiteral("Connected \u00B7 %1 \u00B7 thresholds restored after an interrupted sweep")
                          .arg(linkLabel()));
    m_restoreAfterInterruption = false;
    readBackDacLevels();
    // A level taken just before the sweep and not stored yet: stored now,
    // with the operator's levels back in place.
    if (m_eepromWriteDue && !m_eepromInFlight && !m_calibrationRunning)
        writeEeprom();
    finishSweepOperation();
}

// Every accepted level is stored, but a burst (a key held down) writes the
// EEPROM at most once per hold-off, counted from the last write's reply, and
// once more after its last level. A sweep's mutes are never stored: no write
// goes out from the hold-off while one runs.
void DeviceSession::requestEepromWrite(const QList<quint64> &ops)
{
    for (quint64 op : ops) {
        if (op)
            m_eepromDueOps.append(op);
    }
    if (m_eepromInFlight || (m_eepromTimer.isActive() && !m_closing)) {
        m_eepromWriteDue = true;
        return;
    }
    writeEeprom();
}

void DeviceSession::onEepromHoldOff()
{
    if (!m_eepromWriteDue || m_calibrationRunning || m_eepromInFlight)
        return;
    writeEeprom();
}

void DeviceSession::writeEeprom()
{
    m_eepromWriteDue = false;
    const QList<quint64> ops = std::exchange(m_eepromDueOps, {});
    if (!m_connected) {
        for (quint64 op : ops)
            finishOperation(op, Outcome(DeviceError::NotConnected));
        return;
    }
    m_eepromInFlight = true;
    m_eepromTimer.stop();
    const auto answered = [this, ops](const Outcome &outcome) {
        m_eepromInFlight = false;
        m_eepromTimer.start();
        // Levels taken while this write was out: a closing link stores them at once.
        if (m_eepromWriteDue && m_closing)
            writeEeprom();
        for (quint64 op : ops)
            finishOperation(op, outcome);
    };
    Pending write{zrf::kWeep, zrf::encodeFrame(zrf::kWeep, {}), [this, answered](bool ok, const QByteArray &) {
                      if (!ok)
                          reportError(DeviceError::EepromRejected);
                      answered(ok ? Outcome() : Outcome(DeviceError::EepromRejected));
                  }};
    write.keepOnClose = true;
    write.expired = [answered] { answered(Outcome(DeviceError::NoReply)); };
    // A level taken while a sweep has its mutes queued: written before them.
    if (m_calibrationRunning)
        enqueueNext(std::move(write));
    else
        enqueuePending(std::move(write));
}
