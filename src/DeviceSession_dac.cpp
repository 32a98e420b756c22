// Comparator threshold DACs: read, set one or all channels, store in EEPROM,
// put back the levels saved before a calibration sweep.
#include "DeviceSession.h"

void DeviceSession::setDacVoltage(int channel, double volts)
{
    if (!m_connected || channel < 0 || channel >= kChannelCount)
        return;
    const double v = clampDacVolts(volts);
    Pending request = dacRequest(channel, v, [this, channel, v] {
        // Published only once the instrument has taken the level.
        if (channel < m_dacVolts.size() && m_dacVolts.at(channel).toDouble() != v) {
            m_dacVolts[channel] = v;
            emit dacVoltsChanged();
        }
        requestEepromWrite();
    });
    request.dacChannel = channel;
    // A key held down on a slow instrument: the newest level replaces one for
    // the same channel still waiting unsent, unless another level follows it.
    for (qsizetype i = m_queue.size() - 1; i >= (m_busy ? 1 : 0); --i) {
        if (m_queue.at(i).command != zrf::kSdac)
            continue;
        if (m_queue.at(i).dacChannel == channel) {
            m_queue[i] = std::move(request);
            return;
        }
        break;
    }
    enqueuePending(std::move(request));
}

void DeviceSession::setAllDacVoltage(double volts)
{
    if (!m_connected)
        return;
    const double v = clampDacVolts(volts);
    sendDacVoltage(kAllChannels, v, [this, v] {
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
        requestEepromWrite();
    });
}

void DeviceSession::refreshDacVolts()
{
    if (!m_connected)
        return;
    m_levelReadQueued = true;
    Pending read{zrf::kSdacQuery, zrf::encodeFrame(zrf::kSdacQuery, {}),
                 [this](bool ok, const QByteArray &payload) {
                     m_levelReadQueued = false;
                     takeDacReading(ok, payload);
                 }};
    read.expired = [this] { m_levelReadQueued = false; };
    enqueuePending(std::move(read));
}

// After a refusal or a restore the screen must show what the instrument
// really holds, not what was asked of it. A read already waiting in the
// queue comes after them and will do.
void DeviceSession::readBackDacLevels()
{
    if (!m_levelReadQueued)
        refreshDacVolts();
}

bool DeviceSession::takeDacReading(bool ok, const QByteArray &payload)
{
    QList<double> values;
    if (!ok || !zrf::unpackDoubles(payload, &values) || values.size() != kChannelCount) {
        setLastError(QStringLiteral("Bad SDAC? reply"));
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
    return true;
}

DeviceSession::Pending DeviceSession::dacRequest(int channel, double volts, std::function<void()> done,
                                                 std::function<void()> failed)
{
    const QByteArray payload = zrf::packDoubles({double(channel), volts});
    Pending request{zrf::kSdac, zrf::encodeFrame(zrf::kSdac, payload),
                    [this, done = std::move(done), failed](bool ok, const QByteArray &) {
                        if (ok) {
                            if (done)
                                done();
                            return;
                        }
                        setLastError(QStringLiteral("SDAC rejected"));
                        if (m_calibrationRunning)
                            stopCalibration();
                        if (failed)
                            failed();
                        readBackDacLevels();
                    }};
    request.expired = std::move(failed);
    return request;
}

void DeviceSession::sendDacVoltage(int channel, double volts, std::function<void()> done,
                                   std::function<void()> failed)
{
    enqueuePending(dacRequest(channel, volts, std::move(done), std::move(failed)));
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
        return;
    }
    // Without a link they wait for this link to open again; once sent they
    // stay until the instrument took all eight.
    if (!m_connected || m_restoreInFlight)
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
            [this, restore] { endRestore(restore, false); });
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
}

// Every accepted level is stored, but a burst (a key held down) writes the
// EEPROM at most once per hold-off, and once more after its last level.
void DeviceSession::requestEepromWrite()
{
    if (m_eepromTimer.isActive()) {
        m_eepromWriteDue = true;
        return;
    }
    writeEeprom();
    m_eepromTimer.start();
}

void DeviceSession::onEepromHoldOff()
{
    if (!m_eepromWriteDue)
        return;
    m_eepromWriteDue = false;
    writeEeprom();
    m_eepromTimer.start();
}

void DeviceSession::writeEeprom()
{
    if (!m_connected)
        return;
    enqueue(zrf::kWeep, {}, [this](bool ok, const QByteArray &) {
        if (!ok)
            setLastError(QStringLiteral("WEEP rejected"));
    });
}
