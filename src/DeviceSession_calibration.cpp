// Threshold calibration sweep: mute the other channels, step one channel's
// level through a range, read the counts at every step, put the levels back.
#include "DeviceSession.h"

#include <QtMath>

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdlib>

namespace {

constexpr int kMaxMv = 1000;

QString countText(double value)
{
    const double n = std::round(value); // half away from zero
    if (std::isfinite(value) && std::fabs(n) <= double(INT_MAX) && std::fabs(value - n) < 0.05)
        return QString::number(static_cast<int>(n));
    return QString::number(value, 'g', 6);
}

} // namespace

void DeviceSession::startCalibration(int channel, int fromMv, int toMv, int stepMv)
{
    if (m_calibrationRunning || !m_connected || channel < 0 || channel >= kChannelCount
        || stepMv == 0)
        return;

    const int startMv = std::clamp(fromMv, 0, kMaxMv);
    // Any step longer than the whole range measures one point; capping it keeps
    // the level arithmetic far from overflow.
    const int magnitude = stepMv == INT_MIN ? kMaxMv + 1 : std::min(std::abs(stepMv), kMaxMv + 1);
    int endMv = kMaxMv;
    int step = magnitude;
    if (toMv <= kMaxMv) {
        endMv = std::max(toMv, 0);
        if (startMv > endMv)
            step = -magnitude;
    }
    const int pointCount = std::abs(endMv - startMv) / magnitude + 1;

    auto arm = [this, channel, startMv, endMv, step, pointCount] {
        m_calChannel = channel;
        m_calCurrentMv = startMv;
        m_calEndMv = endMv;
        m_calStepMv = step;
        m_calPointCount = pointCount;
        beginCalibrationSweep();
    };

    if (m_dacLevelsKnown) {
        arm();
        return;
    }
    // The placeholder zeros are nobody's thresholds: read the real levels
    // first, so the ending puts back what the instrument had.
    enqueue(zrf::kSdacQuery, {}, [this, arm](bool ok, const QByteArray &payload) {
        if (!takeDacReading(ok, payload))
            return;
        if (m_calibrationRunning || !m_connected)
            return; // another start got there first
        arm();
    });
}

void DeviceSession::beginCalibrationSweep()
{
    ++m_calSweepId;
    m_calPointsDone = 0;
    // Levels of an earlier sweep still on their way back are the operator's:
    // this sweep's ending puts those back, not its predecessor's mutes.
    if (m_savedDacLevels.size() != kChannelCount)
        m_savedDacLevels = m_dacVolts;
    ++m_restoreId;
    m_restoreInFlight = false;
    m_restoreAfterInterruption = false;
    m_pollTimer.stop();
    m_calibrationRunning = true;
    setCalibrationProgress(0.0);
    emit calibrationRunningChanged();
    muteOtherChannelsThenSweep();
}

// A sweep command left unanswered ends the sweep like a refused one.
std::function<void()> DeviceSession::endSweepOnSilence(quint32 sweep)
{
    return [this, sweep] {
        if (!m_calibrationRunning || sweep != m_calSweepId)
            return;
        setLastError(QStringLiteral("Calibration: no reply from device"));
        stopCalibration();
    };
}

void DeviceSession::muteOtherChannelsThenSweep()
{
    m_pendingMutes = 0;
    const quint32 sweep = m_calSweepId;
    for (int ch = 0; ch < kChannelCount; ++ch) {
        if (ch == m_calChannel)
            continue;
        ++m_pendingMutes;
        sendDacVoltage(ch, kDacMaxVolts, [this, ch, sweep] {
            // A mute of an ended sweep: the restore queued behind it wins.
            if (!m_calibrationRunning || sweep != m_calSweepId)
                return;
            if (ch < m_dacVolts.size()) {
                m_dacVolts[ch] = kDacMaxVolts;
                emit dacVoltsChanged();
            }
            if (m_pendingMutes > 0 && --m_pendingMutes == 0)
                applyCalibrationStep();
        }, endSweepOnSilence(sweep));
    }
}

void DeviceSession::applyCalibrationStep()
{
    if (!m_calibrationRunning || !m_connected)
        return;
    const bool complete = m_calStepMv > 0 ? m_calCurrentMv > m_calEndMv
                                          : m_calCurrentMv < m_calEndMv;
    if (complete) {
        completeCalibration();
        return;
    }
    if (m_calPointsDone == 0) {
        setStatusText(QStringLiteral("Calibration \u00B7 CH %1 \u00B7 %2 mV")
                          .arg(m_calChannel)
                          .arg(m_calCurrentMv));
    }
    const double volts = clampDacVolts(m_calCurrentMv / 1000.0);
    const quint32 sweep = m_calSweepId;
    sendDacVoltage(m_calChannel, volts, [this, sweep] {
        if (m_calibrationRunning && sweep == m_calSweepId)
            m_calibrationWaitTimer.start(std::max(m_periodMs, int(kMinPollMs)));
    }, endSweepOnSilence(sweep));
    if (m_calChannel < m_dacVolts.size()) {
        m_dacVolts[m_calChannel] = volts;
        emit dacVoltsChanged();
    }
}

void DeviceSession::onCalibrationWait()
{
    if (!m_calibrationRunning || !m_connected)
        return;
    const quint32 sweep = m_calSweepId;
    auto onReading = [this, sweep](bool ok, const QByteArray &payload) {
        if (!m_calibrationRunning || sweep != m_calSweepId)
            return; // stopped meanwhile: the reading belongs to nobody
        QList<double> values;
        if (!ok || !zrf::unpackDoubles(payload, &values) || values.size() != kChannelCount) {
            setLastError(QStringLiteral("Calibration: bad COUN?"));
            stopCalibration();
            return;
        }
        bool differs = values.size() != m_counts.size();
        for (qsizetype i = 0; !differs && i < values.size(); ++i)
            differs = m_counts.at(i).toDouble() != values.at(i);
        if (differs) {
            QVariantList next;
            next.reserve(values.size());
            for (double v : std::as_const(values))
                next.append(v);
            m_counts = next;
        }
        noteFreshCounts();
        if (differs)
            emit countsChanged();
        emit countsRead(values, true);

        const double value = values.at(m_calChannel);
        setStatusText(QStringLiteral("Calibration \u00B7 CH %1 \u00B7 %2 mV \u00B7 %3 counts")
                          .arg(m_calChannel)
                          .arg(m_calCurrentMv)
                          .arg(countText(value)));
        emit calibrationPoint(double(m_calCurrentMv), value);
        ++m_calPointsDone;
        setCalibrationProgress(m_calPointsDone * 100.0 / m_calPointCount);
        m_calCurrentMv += m_calStepMv;
        applyCalibrationStep();
    };
    Pending read{zrf::kCountQuery, zrf::encodeFrame(zrf::kCountQuery, {}), std::move(onReading)};
    read.expired = endSweepOnSilence(sweep);
    enqueuePending(std::move(read));
}

void DeviceSession::completeCalibration()
{
    m_calibrationWaitTimer.stop();
    setCalibrationProgress(100.0);
    restoreSavedDacLevels();
    emit calibrationSucceeded();
}

void DeviceSession::stopCalibration()
{
    if (!m_calibrationRunning)
        return;
    m_calibrationWaitTimer.stop();
    m_calibrationRunning = false;
    restoreSavedDacLevels();
    emit calibrationRunningChanged();
    emit calibrationFinished();
    if (m_connected) {
        setStatusText(QStringLiteral("Connected \u00B7 ") + linkLabel());
        updatePollInterval();
        // A network change in progress keeps holding the poll timer.
        if (!m_networkApplying)
            m_pollTimer.start();
    }
}

void DeviceSession::setCalibrationProgress(double progress)
{
    const double p = std::clamp(progress, 0.0, 100.0);
    if (qFuzzyCompare(1.0 + m_calibrationProgress, 1.0 + p))
        return;
    m_calibrationProgress = p;
    emit calibrationProgressChanged();
}
