// Comparator threshold DACs: read, set one or all channels, store in EEPROM,
// put back the levels saved before a calibration sweep.
#include "DeviceSession.h"

void DeviceSession::setDacVoltage(int channel, double volts)
{
    if (!m_connected || channel < 0 || channel >= kChannelCount)
        return;
    const double v = clampDacVolts(volts);
    sendDacVoltage(channel, v, [this, channel, v] {
        // Published only once the instrument has taken the level.
        if (channel < m_dacVolts.size() && m_dacVolts.at(channel).toDouble() != v) {
            m_dacVolts[channel] = v;
            emit dacVoltsChanged();
        }
        writeEeprom();
    });
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
        writeEeprom();
    });
}

void DeviceSession::refreshDacVolts()
{
    if (!m_connected)
        return;
    enqueue(zrf::kSdacQuery, {}, [this](bool ok, const QByteArray &payload) {
        takeDacReading(ok, payload);
    });
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

void DeviceSession::sendDacVoltage(int channel, double volts, std::function<void()> done)
{
    const QByteArray payload = zrf::packDoubles({double(channel), volts});
    enqueue(zrf::kSdac, payload, [this, done = std::move(done)](bool ok, const QByteArray &) {
        if (ok) {
            if (done)
                done();
            return;
        }
        setLastError(QStringLiteral("SDAC rejected"));
        if (m_calibrationRunning)
            stopCalibration();
    });
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
    if (!m_connected || m_savedDacLevels.size() != kChannelCount) {
        m_savedDacLevels.clear();
        return;
    }
    bool changed = false;
    for (int ch = 0; ch < kChannelCount; ++ch) {
        const double v = clampDacVolts(m_savedDacLevels.at(ch).toDouble());
        sendDacVoltage(ch, v);
        if (ch < m_dacVolts.size() && m_dacVolts.at(ch).toDouble() != v) {
            m_dacVolts[ch] = v;
            changed = true;
        }
    }
    if (changed)
        emit dacVoltsChanged();
    m_savedDacLevels.clear();
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
