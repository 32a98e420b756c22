// Threshold calibration sweep: mute the other channels, step one channel's
// level through a range, read the counts at every step, put the levels back.
#include "DeviceSession.h"

#include <QDateTime>
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
    startCalibration(channel, fromMv, toMv, stepMv, Done());
}

void DeviceSession::startCalibration(int channel, int fromMv, int toMv, int stepMv, Done done)
{
    if (m_calibrationRunning || !linkReady() || channel < 0 || channel >= kChannelCount || stepMv == 0) {
        refuse(done, m_calibrationRunning ? DeviceError::Busy
                     : !linkReady()       ? DeviceError::NotConnected
                                          : DeviceError::InvalidArgument);
        return;
    }

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
    const quint64 op = beginOperation(std::move(done));

    auto arm = [this, channel, startMv, endMv, step, pointCount, op] {
        m_calChannel = channel;
        m_calStartMv = startMv;
        m_calCurrentMv = startMv;
        m_calEndMv = endMv;
        m_calStepMv = step;
        m_calPointCount = pointCount;
        beginCalibrationSweep(op);
    };

    if (m_dacLevelsKnown) {
        arm();
        return;
    }
    // The placeholder zeros are nobody's thresholds: read the real levels
    // first, so the ending puts back what the instrument had.
    Pending read{zrf::kSdacQuery, zrf::encodeFrame(zrf::kSdacQuery, {}),
                 [this, arm, op](bool ok, const QByteArray &payload) {
                     if (!takeDacReading(ok, payload)) {
                         finishOperation(op, Outcome(DeviceError::BadDacReply));
                         return;
                     }
                     if (m_calibrationRunning || !linkReady()) {
                         // another start got there first
                         finishOperation(op, Outcome(DeviceError::Busy));
                         return;
                     }
                     arm();
                 }};
    read.expired = [this, op] { finishOperation(op, Outcome(DeviceError::NoReply)); };
    enqueuePending(std::move(read));
}

void DeviceSession::beginCalibrationSweep(quint64 op)
{
    // The caller of an earlier sweep whose levels were still on their way
    // back hears now: this sweep takes them over.
    finishSweepOperation();
    m_sweepOp = op;
    m_sweepEnd = DeviceError::None;
    m_calCompleted = false;
    ++m_calSweepId;
    m_calPointsDone = 0;
    // A level taken but not stored yet is stored now, before any mute.
    if (m_eepromWriteDue && !m_eepromInFlight)
        writeEeprom();
    // Levels of an earlier sweep still on their way back are the operator's:
    // this sweep's ending puts those back, not its predecessor's mutes.
    if (m_savedDacLevels.size() != kChannelCount)
        m_savedDacLevels = m_dacVolts;
    m_savedSweepChannel = m_calChannel;
    m_savedSweepLowMv = std::min(m_calStartMv, m_calEndMv);
    m_savedSweepHighMv = std::max(m_calStartMv, m_calEndMv);
    ++m_restoreId;
    m_restoreInFlight = false;
    m_restoreAfterInterruption = false;
    m_pollTimer.stop();
    m_calibrationRunning = true;
    setCalibrationProgress(0.0);
    emit calibrationRunningChanged();
    muteOtherChannelsThenSweep();
}

// A sweep command refused or left unanswered ends the sweep.
std::function<void(DeviceError)> DeviceSession::endSweepOnFailure(quint32 sweep)
{
    return [this, sweep](DeviceError error) {
        if (!m_calibrationRunning || sweep != m_calSweepId)
            return;
        failSweep(error == DeviceError::NoReply ? DeviceError::CalibrationNoReply : error);
    };
}

void DeviceSession::failSweep(DeviceError error)
{
    if (!m_calibrationRunning)
        return;
    // A refusal has its own message already.
    if (error != DeviceError::DacRejected)
        reportError(error);
    if (m_sweepEnd == DeviceError::None)
        m_sweepEnd = error;
    stopCalibration();
}

void DeviceSession::muteOtherChannelsThenSweep()
{
    m_pendingMutes = 0;
    const quint32 sweep = m_calSweepId;
    for (int ch = 0; ch < kChannelCount; ++ch) {
        if (ch == m_calChannel)
            continue;
        ++m_pendingMutes;
        Pending mute = dacRequest(ch, kDacMaxVolts, [this, ch, sweep] {
            // A mute of an ended sweep: the restore queued behind it wins.
            if (!m_calibrationRunning || sweep != m_calSweepId)
                return;
            if (ch < m_dacVolts.size()) {
                m_dacVolts[ch] = kDacMaxVolts;
                emit dacVoltsChanged();
            }
            if (m_pendingMutes > 0 && --m_pendingMutes == 0)
                applyCalibrationStep();
        }, endSweepOnFailure(sweep));
        mute.sweep = sweep;
        enqueuePending(std::move(mute));
    }
}

void DeviceSession::applyCalibrationStep()
{
    if (!m_calibrationRunning || !linkReady())
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
    Pending step = dacRequest(m_calChannel, volts, [this, sweep] {
        if (m_calibrationRunning && sweep == m_calSweepId)
            m_calibrationWaitTimer.start(std::max(m_periodMs, int(kMinPollMs)));
    }, endSweepOnFailure(sweep));
    step.sweep = sweep;
    enqueuePending(std::move(step));
    if (m_calChannel < m_dacVolts.size()) {
        m_dacVolts[m_calChannel] = volts;
        emit dacVoltsChanged();
    }
}

void DeviceSession::onCalibrationWait()
{
    if (!m_calibrationRunning || !linkReady())
        return;
    const quint32 sweep = m_calSweepId;
    auto onReading = [this, sweep](bool ok, const QByteArray &payload) {
        if (!m_calibrationRunning || sweep != m_calSweepId)
            return; // stopped meanwhile: the reading belongs to nobody
        QList<double> values;
        if (!ok || !zrf::unpackDoubles(payload, &values) || values.size() != kChannelCount) {
            failSweep(DeviceError::CalibrationBadCounts);
            return;
        }
        const Reading reading = takeCounts(values);

        const double value = values.at(m_calChannel);
        setStatusText(QStringLiteral("Calibration \u00B7 CH %1 \u00B7 %2 mV \u00B7 %3 counts")
                          .arg(m_calChannel)
                          .arg(m_calCurrentMv)
                          .arg(countText(value)));
        emit calibrationPoint(double(m_calCurrentMv), value);
        emit sweepPointTaken(SweepPoint{m_calChannel, double(m_calCurrentMv), value, reading.utcMs});
        ++m_calPointsDone;
        setCalibrationProgress(m_calPointsDone * 100.0 / m_calPointCount);
        m_calCurrentMv += m_calStepMv;
        applyCalibrationStep();
    };
    Pending read{zrf::kCountQuery, zrf::encodeFrame(zrf::kCountQuery, {}), std::move(onReading)};
    const auto failed = endSweepOnFailure(sweep);
    read.expired = [failed] { failed(DeviceError::NoReply); };
    read.sweep = sweep;
    enqueuePending(std::move(read));
}

void DeviceSession::completeCalibration()
{
    m_calibrationWaitTimer.stop();
    m_calCompleted = true;
    setCalibrationProgress(100.0);
    restoreSavedDacLevels();
    emit calibrationSucceeded();
    // A caller of the operation closes the sweep at once, as the view does
    // after its animation.
    if (m_sweepOp && m_calibrationRunning)
        stopCalibration();
}

void DeviceSession::stopCalibration()
{
    if (!m_calibrationRunning)
        return;
    if (!m_calCompleted && m_sweepEnd == DeviceError::None)
        m_sweepEnd = DeviceError::CalibrationStopped;
    m_calibrationWaitTimer.stop();
    m_calibrationRunning = false;
    // Mutes and steps not sent yet would only be undone: the levels go back at once.
    for (qsizetype i = m_queue.size() - 1; i >= (m_busy ? 1 : 0); --i) {
        if (m_queue.at(i).sweep == m_calSweepId)
            m_queue.removeAt(i);
    }
    restoreSavedDacLevels();
    emit calibrationRunningChanged();
    emit calibrationFinished();
    if (m_connected) {
        setStatusText(QStringLiteral("Connected \u00B7 ") + linkLabel());
        updatePollInterval();
        // A network change in progress keeps holding the poll.
        if (!m_networkApplying && !m_closing)
            m_pollTimer.start();
        // A level held back during the sweep, with the levels already back.
        if (m_eepromWriteDue && !m_eepromInFlight && !m_restoreInFlight)
            writeEeprom();
    }
}

void DeviceSession::finishSweepOperation()
{
    if (!m_sweepOp)
        return;
    const DeviceError end = m_sweepEnd;
    finishOperation(std::exchange(m_sweepOp, 0), end == DeviceError::None ? Outcome() : Outcome(end));
}

void DeviceSession::setCalibrationProgress(double progress)
{
    const double p = std::clamp(progress, 0.0, 100.0);
    if (qFuzzyCompare(1.0 + m_calibrationProgress, 1.0 + p))
        return;
    m_calibrationProgress = p;
    emit calibrationProgressChanged();
}
