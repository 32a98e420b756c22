// Threshold calibration sweep: mute the other channels, step one channel's
// level through a range, read the counts at every step, put the operator's
// levels back (also on the next opening of a link that a sweep lost).
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

void DeviceSession::startCalibration(int channel, int fromMv, int toMv, int stepMv, Done done)
{
    startCalibrationOf(QList<int>{channel}, fromMv, toMv, stepMv, std::move(done));
}

void DeviceSession::startCalibrationOf(const QVariantList &channels, int fromMv, int toMv, int stepMv)
{
    QList<int> list;
    for (const QVariant &v : channels) {
        bool ok = false;
        const int ch = v.toInt(&ok);
        list.append(ok ? ch : -1); // refused below, as any channel out of range
    }
    startCalibrationOf(list, fromMv, toMv, stepMv, {});
}

void DeviceSession::startCalibrationOf(const QList<int> &channels, int fromMv, int toMv, int stepMv, Done done)
{
    // A network change ends with an EEPROM write: a sweep's mutes must not be live then.
    const bool busy = m_calibrationRunning || m_sweepStarting || m_networkApplying;
    bool valid = !channels.isEmpty() && channels.size() <= kChannelCount && stepMv != 0;
    for (qsizetype i = 0; valid && i < channels.size(); ++i)
        valid = channels[i] >= 0 && channels[i] < kChannelCount && !channels.mid(0, i).contains(channels[i]);
    if (busy || !linkReady() || !valid) {
        refuse(done, !linkReady() ? DeviceError::NotConnected
                     : busy       ? DeviceError::Busy
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

    auto arm = [this, channels, startMv, endMv, step, pointCount, op] {
        m_calChannels = channels;
        m_calChannelIndex = 0;
        m_calChannel = channels.first();
        m_calStartMv = startMv;
        m_calCurrentMv = startMv;
        m_calEndMv = endMv;
        m_calStepMv = step;
        m_calPointCount = pointCount * int(channels.size());
        beginCalibrationSweep(op);
    };

    if (m_dacLevelsKnown) {
        arm();
        return;
    }
    // The placeholder zeros are nobody's thresholds: read the real levels
    // first, so the ending puts back what the instrument had.
    m_sweepStarting = true;
    Request read = request(zrf::kSdacQuery, {}, [this, arm, op](bool ok, const QByteArray &payload) {
        m_sweepStarting = false;
        if (!takeDacReading(ok, payload)) {
            finishOperation(op, Outcome(DeviceError::BadDacReply));
            return;
        }
        if (!linkReady()) {
            finishOperation(op, Outcome(DeviceError::LinkLost));
            return;
        }
        arm();
    });
    read.expired = [this, op] {
        m_sweepStarting = false;
        finishOperation(op, Outcome(DeviceError::NoReply));
    };
    m_queue.push(std::move(read));
}

void DeviceSession::beginCalibrationSweep(quint64 op)
{
    // The caller of an earlier sweep whose levels were still on their way
    // back hears now that they are not back: this sweep takes them over.
    if (m_restoreInFlight) {
        m_sweepEnd = DeviceError::LevelsNotRestored;
        for (quint64 waiting : std::exchange(m_restoreWaiters, {}))
            finishOperation(waiting, Outcome(DeviceError::LevelsNotRestored));
    }
    finishSweepOperation();
    m_sweepOp = op;
    m_sweepEnd = DeviceError::None;
    m_calCompleted = false;
    ++m_calSweepId;
    m_calPointsDone = 0;
    // A level taken but not stored yet is stored now, before any mute.
    if (m_eepromWriteDue && !m_eepromWrite)
        writeEeprom();
    // Levels of an earlier sweep still on their way back are the operator's:
    // this sweep's ending puts those back, not its predecessor's mutes.
    if (m_savedDacLevels.size() != kChannelCount) {
        m_savedDacLevels = m_dacVolts;
        m_sweptRanges.clear();
    }
    noteSweptRange(m_calChannel);
    ++m_restoreId;
    m_restoreInFlight = false;
    m_restoreAfterInterruption = false;
    m_calibrationRunning = true;
    updatePolling();
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

DeviceSession::Request DeviceSession::sweepMute(int channel, quint32 sweep, const std::function<void()> &then)
{
    Request mute = dacRequest(channel, kDacMaxVolts, LevelKind::Sweep, [this, channel, sweep, then] {
        // A mute of an ended sweep: the restore queued behind it wins.
        if (!m_calibrationRunning || sweep != m_calSweepId)
            return;
        if (channel < m_dacVolts.size()) {
            m_dacVolts[channel] = kDacMaxVolts;
            emit dacVoltsChanged();
        }
        if (then)
            then();
    }, endSweepOnFailure(sweep));
    mute.kind = RequestQueue::Kind::Sweep;
    mute.sweep = sweep;
    return mute;
}

void DeviceSession::muteOtherChannelsThenSweep()
{
    m_pendingMutes = 0;
    const quint32 sweep = m_calSweepId;
    for (int ch = 0; ch < kChannelCount; ++ch) {
        if (ch == m_calChannel)
            continue;
        ++m_pendingMutes;
        m_queue.push(sweepMute(ch, sweep, [this] {
            if (m_pendingMutes > 0 && --m_pendingMutes == 0)
                applyCalibrationStep();
        }));
    }
}

// From one channel to the next only those two change: the one done is
// muted, the next takes its first step (queued behind the mute, so its
// reading waits for both).
void DeviceSession::sweepNextChannel()
{
    const int done = m_calChannel;
    m_calChannel = m_calChannels.at(++m_calChannelIndex);
    m_calCurrentMv = m_calStartMv;
    // Only channels stepped so far, and not muted again, may hold a level of
    // the range: a unit found with levels anywhere else is not this sweep's.
    noteSweptRange(m_calChannel);
    m_queue.push(sweepMute(done, m_calSweepId, [this, done] {
        m_sweptRanges.removeIf([done](const SweptRange &r) { return r.channel == done; });
    }));
    applyCalibrationStep();
}

void DeviceSession::noteSweptRange(int channel)
{
    m_sweptRanges.append({channel, std::min(m_calStartMv, m_calEndMv), std::max(m_calStartMv, m_calEndMv)});
}

void DeviceSession::applyCalibrationStep()
{
    if (!m_calibrationRunning || !linkReady())
        return;
    const bool complete = m_calStepMv > 0 ? m_calCurrentMv > m_calEndMv
                                          : m_calCurrentMv < m_calEndMv;
    if (complete) {
        if (m_calChannelIndex + 1 < m_calChannels.size())
            sweepNextChannel();
        else
            completeCalibration();
        return;
    }
    if (m_calCurrentMv == m_calStartMv) {
        setStatusText(QStringLiteral("Calibration \u00B7 CH %1 \u00B7 %2 mV")
                          .arg(m_calChannel)
                          .arg(m_calCurrentMv));
    }
    const double volts = clampDacVolts(m_calCurrentMv / 1000.0);
    const quint32 sweep = m_calSweepId;
    Request step = dacRequest(m_calChannel, volts, LevelKind::Sweep, [this, sweep] {
        if (m_calibrationRunning && sweep == m_calSweepId)
            m_calibrationWaitTimer.start(std::max(m_periodMs, int(kMinPollMs)));
    }, endSweepOnFailure(sweep));
    step.kind = RequestQueue::Kind::Sweep;
    step.sweep = sweep;
    m_queue.push(std::move(step));
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
    Request read = request(zrf::kCountQuery, {}, std::move(onReading), RequestQueue::Kind::Sweep);
    const auto failed = endSweepOnFailure(sweep);
    read.expired = [failed] { failed(DeviceError::NoReply); };
    read.sweep = sweep;
    m_queue.push(std::move(read));
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
    const quint32 sweep = m_calSweepId;
    m_queue.dropWaiting([sweep](const Request &r) { return r.kind == RequestQueue::Kind::Sweep && r.sweep == sweep; });
    restoreSavedDacLevels();
    emit calibrationRunningChanged();
    emit calibrationFinished();
    if (m_connected) {
        setStatusText(QStringLiteral("Connected \u00B7 ") + linkLabel());
        updatePollInterval();
        updatePolling();
        // A level held back during the sweep, with the levels already back.
        if (m_eepromWriteDue && !m_eepromWrite && !m_restoreInFlight)
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

void DeviceSession::restoreSavedDacLevels()
{
    if (m_savedDacLevels.size() != kChannelCount) {
        m_savedDacLevels.clear();
        finishSweepOperation();
        return;
    }
    // Without a link they wait for this link to open again; once sent they
    // stay until the instrument took all eight. A closing link still puts
    // them back before it goes.
    if (!m_connected || m_restoreInFlight)
        return;
    m_restoreInFlight = true;
    m_restoreAcks = 0;
    const quint32 restore = ++m_restoreId;
    bool changed = false;
    for (int ch = 0; ch < kChannelCount; ++ch) {
        const double v = clampDacVolts(m_savedDacLevels.at(ch).toDouble());
        Request back = dacRequest(
            ch, v, LevelKind::Operator,
            [this, restore] {
                if (restore == m_restoreId && ++m_restoreAcks == kChannelCount)
                    endRestore(restore, true);
            },
            [this, restore](DeviceError) { endRestore(restore, false); });
        back.kind = RequestQueue::Kind::Kept;
        back.channel = ch;
        m_queue.push(std::move(back));
        if (m_dacVolts.at(ch).toDouble() != v) {
            m_dacVolts[ch] = v;
            changed = true;
        }
    }
    if (changed)
        emit dacVoltsChanged();
}

// An operator's level taken ahead of the restore's own for that channel: it
// is the operator's newest, so the older one waiting must not undo it.
void DeviceSession::supersedeRestore(int channel)
{
    if (!m_restoreInFlight)
        return;
    const int dropped = m_queue.dropWaiting([channel](const Request &r) {
        return r.command == zrf::kSdac && r.kind == RequestQueue::Kind::Kept
            && (r.channel == channel || channel == kAllChannels);
    });
    m_restoreAcks += dropped;
    if (dropped > 0 && m_restoreAcks == kChannelCount)
        endRestore(m_restoreId, true);
}

void DeviceSession::endRestore(quint32 restore, bool completed)
{
    // A sweep started meanwhile owns the saved levels now.
    if (restore != m_restoreId || !m_restoreInFlight)
        return;
    // A level not taken back may have been the operator's all along (its
    // mute refused too): the levels read once the restore is through tell.
    if (!completed && linkReady()) {
        if (!std::exchange(m_restoreChecked, true))
            readDacLevels(beginOperation([this, restore](const Outcome &read) {
                              m_restoreChecked = false;
                              if (restore == m_restoreId && m_restoreInFlight)
                                  finishRestore(read.ok() && !sweepLevelsLive());
                          }),
                          1);
        return;
    }
    finishRestore(completed);
}

void DeviceSession::finishRestore(bool back)
{
    m_restoreInFlight = false;
    if (back && m_restoreAfterInterruption && !m_calibrationRunning)
        setStatusText(QStringLiteral("Connected \u00B7 %1 \u00B7 thresholds restored after an interrupted sweep")
                          .arg(linkLabel()));
    m_restoreAfterInterruption = false;
    if (!back)
        m_sweepEnd = DeviceError::LevelsNotRestored;
    // A channel the instrument did not take back keeps its saved level: the
    // next sweep's ending, or the operator's own level there, settles it.
    settleSavedLevels();
    // Reads that set the restore off hear what the instrument holds after it.
    const QList<quint64> waiters = std::exchange(m_restoreWaiters, {});
    if (back && !waiters.isEmpty() && linkReady()) {
        readDacLevels(beginOperation([this, waiters](const Outcome &read) {
                          for (quint64 op : waiters)
                              finishOperation(op, read);
                      }),
                      1);
    } else {
        for (quint64 op : waiters)
            finishOperation(op, Outcome(DeviceError::LevelsNotRestored));
        readBackDacLevels();
    }
    // A level taken just before the sweep and not stored yet: stored now,
    // with the operator's levels back in place (never over a mute left live).
    if (m_eepromWriteDue && !m_eepromWrite && !m_calibrationRunning)
        writeEeprom();
    finishSweepOperation();
}

// Each channel as a sweep left it (muted, or a swept one within its range)
// or already back at its saved level (a restore cut off half way).
bool DeviceSession::showsSweepPattern() const
{
    constexpr double kToleranceMv = 1.0;
    const auto near = [](double mv, double targetMv) { return std::fabs(mv - targetMv) <= kToleranceMv; };
    for (int ch = 0; ch < kChannelCount; ++ch) {
        const double mv = m_dacVolts.value(ch).toDouble() * 1000.0;
        bool asSwept = near(mv, m_savedDacLevels.value(ch).toDouble() * 1000.0) || near(mv, kDacMaxVolts * 1000.0);
        for (const SweptRange &r : m_sweptRanges)
            asSwept = asSwept || (ch == r.channel && mv >= r.lowMv - kToleranceMv && mv <= r.highMv + kToleranceMv);
        if (!asSwept)
            return false;
    }
    return true;
}
