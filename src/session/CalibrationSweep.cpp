// Threshold calibration sweep: mute the other channels, step one channel's
// level through a range, read the counts at every step, put the operator's
// levels back (also on the next opening of a link that a sweep lost).
#include "CalibrationSweep.h"

#include "EepromWriter.h"
#include "LevelModel.h"

#include <QtMath>

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdlib>

namespace {

constexpr int kMaxMv = limits::kMaxWholeLevelMv;

QString countText(double value)
{
    const double n = std::round(value); // half away from zero
    if (std::isfinite(value) && std::fabs(n) <= double(INT_MAX) && std::fabs(value - n) < 0.05)
        return QString::number(static_cast<int>(n));
    return QString::number(value, 'g', 6);
}

} // namespace

CalibrationSweep::CalibrationSweep(SessionHost &host, LevelModel &levels, EepromWriter &eeprom, QObject *parent)
    : QObject(parent), m_host(host), m_levels(levels), m_eeprom(eeprom)
{
    m_wait.setSingleShot(true);
    m_wait.setTimerType(Qt::PreciseTimer);
    connect(&m_wait, &QTimer::timeout, this, &CalibrationSweep::onWait);
}

bool CalibrationSweep::takes(const QList<int> &channels, int stepMv)
{
    bool valid = !channels.isEmpty() && channels.size() <= kChannels && stepMv != 0;
    for (qsizetype i = 0; valid && i < channels.size(); ++i)
        valid = channels[i] >= 0 && channels[i] < kChannels && !channels.mid(0, i).contains(channels[i]);
    return valid;
}

void CalibrationSweep::start(const QList<int> &channels, int fromMv, int toMv, int stepMv, Done done)
{
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
    const quint64 op = m_host.operations().begin(std::move(done));

    auto arm = [this, channels, startMv, endMv, step, pointCount, op] {
        m_channels = channels;
        m_channelIndex = 0;
        m_channel = channels.first();
        m_startMv = startMv;
        m_currentMv = startMv;
        m_endMv = endMv;
        m_stepMv = step;
        m_pointCount = pointCount * int(channels.size());
        begin(op);
    };

    if (m_levels.known()) {
        arm();
        return;
    }
    // The placeholder zeros are nobody's thresholds: read the real levels
    // first, so the ending puts back what the instrument had.
    m_starting = true;
    SessionHost::Request read = SessionHost::request(zrf::kSdacQuery, {}, [this, arm, op](bool ok, const QByteArray &payload) {
        m_starting = false;
        if (!m_levels.takeReading(ok, payload)) {
            m_host.operations().finish(op, Outcome(DeviceError::BadDacReply));
            return;
        }
        if (!m_host.linkReady()) {
            m_host.operations().finish(op, Outcome(DeviceError::LinkLost));
            return;
        }
        arm();
    });
    read.expired = [this, op] {
        m_starting = false;
        m_host.operations().finish(op, Outcome(DeviceError::NoReply));
    };
    m_host.requests().push(std::move(read));
}

void CalibrationSweep::begin(quint64 op)
{
    // The caller of an earlier sweep whose levels were still on their way
    // back hears now that they are not back: this sweep takes them over.
    if (m_restoreInFlight) {
        m_end = DeviceError::LevelsNotRestored;
        m_host.operations().finish(std::exchange(m_restoreWaiters, {}), Outcome(DeviceError::LevelsNotRestored));
    }
    finishOperation();
    m_op = op;
    m_end = DeviceError::None;
    m_completed = false;
    ++m_sweepId;
    m_pointsDone = 0;
    // A level taken but not stored yet is stored now, before any mute.
    m_eeprom.writeIfDue();
    // Levels of an earlier sweep still on their way back are the operator's:
    // this sweep's ending puts those back, not its predecessor's mutes.
    if (m_saved.size() != kChannels) {
        m_saved = m_levels.shown();
        m_sweptRanges.clear();
    }
    noteSweptRange(m_channel);
    ++m_restoreId;
    m_restoreInFlight = false;
    m_restoreAfterInterruption = false;
    m_running = true;
    m_host.pollingMayChange();
    setProgress(0.0);
    emit runningChanged();
    muteOtherChannelsThenSweep();
}

std::function<void(DeviceError)> CalibrationSweep::endOnFailure(quint32 sweep)
{
    return [this, sweep](DeviceError error) {
        if (!m_running || sweep != m_sweepId)
            return;
        fail(error == DeviceError::NoReply ? DeviceError::CalibrationNoReply : error);
    };
}

void CalibrationSweep::fail(DeviceError error)
{
    if (!m_running)
        return;
    if (error != DeviceError::DacRejected)
        m_host.report(Outcome(error));
    if (m_end == DeviceError::None)
        m_end = error;
    stop();
}

SessionHost::Request CalibrationSweep::mute(int channel, quint32 sweep, const std::function<void()> &then)
{
    SessionHost::Request r = m_levels.request(channel, LevelModel::kMaxVolts, LevelModel::Kind::Sweep,
                                              [this, channel, sweep, then] {
                                                  // A mute of an ended sweep: the restore queued behind it wins.
                                                  if (!m_running || sweep != m_sweepId)
                                                      return;
                                                  m_levels.putShown(channel, LevelModel::kMaxVolts);
                                                  m_levels.announceShown();
                                                  if (then)
                                                      then();
                                              },
                                              endOnFailure(sweep));
    r.kind = RequestQueue::Kind::Sweep;
    r.sweep = sweep;
    return r;
}

void CalibrationSweep::muteOtherChannelsThenSweep()
{
    m_pendingMutes = 0;
    const quint32 sweep = m_sweepId;
    for (int ch = 0; ch < kChannels; ++ch) {
        if (ch == m_channel)
            continue;
        ++m_pendingMutes;
        m_host.requests().push(mute(ch, sweep, [this] {
            if (m_pendingMutes > 0 && --m_pendingMutes == 0)
                applyStep();
        }));
    }
}

// From one channel to the next only those two change: the one done is
// muted, the next takes its first step (queued behind the mute, so its
// reading waits for both).
void CalibrationSweep::sweepNextChannel()
{
    const int done = m_channel;
    m_channel = m_channels.at(++m_channelIndex);
    m_currentMv = m_startMv;
    // Only channels stepped so far, and not muted again, may hold a level of
    // the range: a unit found with levels anywhere else is not this sweep's.
    noteSweptRange(m_channel);
    m_host.requests().push(mute(done, m_sweepId, [this, done] {
        m_sweptRanges.removeIf([done](const SweptRange &r) { return r.channel == done; });
    }));
    applyStep();
}

void CalibrationSweep::noteSweptRange(int channel)
{
    m_sweptRanges.append({channel, std::min(m_startMv, m_endMv), std::max(m_startMv, m_endMv)});
}

void CalibrationSweep::applyStep()
{
    if (!m_running || !m_host.linkReady())
        return;
    const bool over = m_stepMv > 0 ? m_currentMv > m_endMv : m_currentMv < m_endMv;
    if (over) {
        if (m_channelIndex + 1 < m_channels.size())
            sweepNextChannel();
        else
            complete();
        return;
    }
    if (m_currentMv == m_startMv)
        m_host.showStatus(QStringLiteral("Calibration \u00B7 CH %1 \u00B7 %2 mV").arg(m_channel).arg(m_currentMv));
    const double volts = LevelModel::clamp(limits::voltsOfMv(m_currentMv));
    const quint32 sweep = m_sweepId;
    SessionHost::Request step = m_levels.request(m_channel, volts, LevelModel::Kind::Sweep, [this, sweep] {
        if (m_running && sweep == m_sweepId)
            m_wait.start(m_host.pollIntervalMs());
    }, endOnFailure(sweep));
    step.kind = RequestQueue::Kind::Sweep;
    step.sweep = sweep;
    m_host.requests().push(std::move(step));
    m_levels.putShown(m_channel, volts);
    m_levels.announceShown();
}

void CalibrationSweep::onWait()
{
    if (!m_running || !m_host.linkReady())
        return;
    const quint32 sweep = m_sweepId;
    auto onReading = [this, sweep](bool ok, const QByteArray &payload) {
        if (!m_running || sweep != m_sweepId)
            return; // stopped meanwhile: the reading belongs to nobody
        QList<double> values;
        if (!ok || !zrf::unpackDoubles(payload, &values) || values.size() != kChannels) {
            fail(DeviceError::CalibrationBadCounts);
            return;
        }
        const Reading reading = m_host.publishCounts(values);

        const double value = values.at(m_channel);
        m_host.showStatus(QStringLiteral("Calibration \u00B7 CH %1 \u00B7 %2 mV \u00B7 %3 counts")
                              .arg(m_channel)
                              .arg(m_currentMv)
                              .arg(countText(value)));
        emit point(double(m_currentMv), value);
        emit pointTaken(SweepPoint{m_channel, double(m_currentMv), value, reading.utcMs});
        ++m_pointsDone;
        setProgress(m_pointsDone * 100.0 / m_pointCount);
        m_currentMv += m_stepMv;
        applyStep();
    };
    SessionHost::Request read = SessionHost::request(zrf::kCountQuery, {}, std::move(onReading), RequestQueue::Kind::Sweep);
    const auto failed = endOnFailure(sweep);
    read.expired = [failed] { failed(DeviceError::NoReply); };
    read.sweep = sweep;
    m_host.requests().push(std::move(read));
}

void CalibrationSweep::complete()
{
    m_wait.stop();
    m_completed = true;
    setProgress(100.0);
    restore();
    emit succeeded();
    // A caller of the operation closes the sweep at once, as the view does
    // after its animation.
    if (m_op && m_running)
        stop();
}

void CalibrationSweep::stop()
{
    if (!m_running)
        return;
    if (!m_completed && m_end == DeviceError::None)
        m_end = DeviceError::CalibrationStopped;
    m_wait.stop();
    m_running = false;
    // Mutes and steps not sent yet would only be undone: the levels go back at once.
    const quint32 sweep = m_sweepId;
    m_host.requests().dropWaiting(
        [sweep](const SessionHost::Request &r) { return r.kind == RequestQueue::Kind::Sweep && r.sweep == sweep; });
    restore();
    emit runningChanged();
    emit finished();
    if (m_host.linkOpen()) {
        m_host.showStatus(QStringLiteral("Connected \u00B7 ") + m_host.linkLabel());
        m_host.gateMayChange();
        m_host.pollingMayChange();
        // A level held back during the sweep, with the levels already back.
        if (!m_restoreInFlight)
            m_eeprom.writeIfDue();
    }
}

void CalibrationSweep::finishOperation()
{
    if (!m_op)
        return;
    const DeviceError end = m_end;
    m_host.operations().finish(std::exchange(m_op, 0), end == DeviceError::None ? Outcome() : Outcome(end));
}

void CalibrationSweep::setProgress(double progress)
{
    const double p = std::clamp(progress, 0.0, 100.0);
    if (qFuzzyCompare(1.0 + m_progress, 1.0 + p))
        return;
    m_progress = p;
    emit progressChanged();
}

bool CalibrationSweep::holdsLevels() const
{
    return m_running || (m_host.linkOpen() && m_savedLink == m_host.linkKey() && !m_host.linkKey().isEmpty())
        || (m_restoreAfterInterruption && !m_restoreInFlight);
}

void CalibrationSweep::restore()
{
    if (m_saved.size() != kChannels) {
        m_saved.clear();
        finishOperation();
        return;
    }
    // Without a link they wait for this link to open again; once sent they
    // stay until the instrument took all eight. A closing link still puts
    // them back before it goes.
    if (!m_host.linkOpen() || m_restoreInFlight)
        return;
    m_restoreInFlight = true;
    m_restoreAcks = 0;
    const quint32 restore = ++m_restoreId;
    bool changed = false;
    for (int ch = 0; ch < kChannels; ++ch) {
        const double v = LevelModel::clamp(m_saved.at(ch).toDouble());
        SessionHost::Request back = m_levels.request(
            ch, v, LevelModel::Kind::Operator,
            [this, restore] {
                if (restore == m_restoreId && ++m_restoreAcks == kChannels)
                    endRestore(restore, true);
            },
            [this, restore](DeviceError) { endRestore(restore, false); });
        back.kind = RequestQueue::Kind::Kept;
        back.channel = ch;
        m_host.requests().push(std::move(back));
        changed = m_levels.putShown(ch, v) || changed;
    }
    if (changed)
        m_levels.announceShown();
}

void CalibrationSweep::supersedeRestore(int channel)
{
    if (!m_restoreInFlight)
        return;
    const int dropped = m_host.requests().dropWaiting([channel](const SessionHost::Request &r) {
        return r.command == zrf::kSdac && r.kind == RequestQueue::Kind::Kept
            && (r.channel == channel || channel == LevelModel::kAllChannels);
    });
    m_restoreAcks += dropped;
    if (dropped > 0 && m_restoreAcks == kChannels)
        endRestore(m_restoreId, true);
}

void CalibrationSweep::endRestore(quint32 restore, bool completed)
{
    // A sweep started meanwhile owns the saved levels now.
    if (restore != m_restoreId || !m_restoreInFlight)
        return;
    // A level not taken back may have been the operator's all along (its
    // mute refused too): the levels read once the restore is through tell.
    if (!completed && m_host.linkReady()) {
        if (!std::exchange(m_restoreChecked, true))
            m_levels.read(m_host.operations().begin([this, restore](const Outcome &read) {
                              m_restoreChecked = false;
                              if (restore == m_restoreId && m_restoreInFlight)
                                  finishRestore(read.ok() && !m_levels.sweepLevelsLive());
                          }),
                          1);
        return;
    }
    finishRestore(completed);
}

void CalibrationSweep::finishRestore(bool back)
{
    m_restoreInFlight = false;
    if (back && m_restoreAfterInterruption && !m_running)
        m_host.showStatus(QStringLiteral("Connected \u00B7 %1 \u00B7 thresholds restored after an interrupted sweep")
                              .arg(m_host.linkLabel()));
    m_restoreAfterInterruption = false;
    if (!back)
        m_end = DeviceError::LevelsNotRestored;
    // A channel the instrument did not take back keeps its saved level: the
    // next sweep's ending, or the operator's own level there, settles it.
    settle();
    // Reads that set the restore off hear what the instrument holds after it.
    const QList<quint64> waiters = std::exchange(m_restoreWaiters, {});
    if (back && !waiters.isEmpty() && m_host.linkReady()) {
        m_levels.read(m_host.operations().begin([this, waiters](const Outcome &read) {
                          m_host.operations().finish(waiters, read);
                      }),
                      1);
    } else {
        m_host.operations().finish(waiters, Outcome(DeviceError::LevelsNotRestored));
        m_levels.readBack();
    }
    // A level taken just before the sweep and not stored yet: stored now,
    // with the operator's levels back in place (never over a mute left live).
    if (!m_running)
        m_eeprom.writeIfDue();
    finishOperation();
}

void CalibrationSweep::settle()
{
    // A sweep done with its points sends no more levels, though still open.
    const bool sweeping = m_running && !m_completed;
    if (!sweeping && !m_starting && !m_restoreInFlight && !m_restoreAfterInterruption && !m_levels.sweepLevelsLive())
        m_saved.clear();
}

void CalibrationSweep::levelsRead()
{
    if (!m_restoreAfterInterruption || m_restoreInFlight || m_saved.size() != kChannels)
        return;
    // The mutes of the interrupted sweep are still there: put the levels
    // back. Anything else is another unit, or this one set anew since.
    if (showsSweepPattern()) {
        restore();
        return;
    }
    m_restoreAfterInterruption = false;
    m_saved.clear();
    m_levels.forgetSweepLevels();
    m_host.showStatus(QStringLiteral("Connected \u00B7 %1 \u00B7 thresholds of the interrupted sweep not restored: "
                                     "the instrument's levels have changed since")
                          .arg(m_host.linkLabel()));
}

// Each channel as a sweep left it (muted, or a swept one within its range)
// or already back at its saved level (a restore cut off half way).
bool CalibrationSweep::showsSweepPattern() const
{
    constexpr double kToleranceMv = 1.0;
    const auto near = [](double mv, double targetMv) { return std::fabs(mv - targetMv) <= kToleranceMv; };
    const QVariantList &shown = m_levels.shown();
    for (int ch = 0; ch < kChannels; ++ch) {
        const double mv = shown.value(ch).toDouble() * 1000.0;
        bool asSwept = near(mv, m_saved.value(ch).toDouble() * 1000.0) || near(mv, LevelModel::kMaxVolts * 1000.0);
        for (const SweptRange &r : m_sweptRanges)
            asSwept = asSwept || (ch == r.channel && mv >= r.lowMv - kToleranceMv && mv <= r.highMv + kToleranceMv);
        if (!asSwept)
            return false;
    }
    return true;
}

bool CalibrationSweep::linkOpened()
{
    if (!m_savedLink.isEmpty() && m_savedLink != m_host.linkKey()) {
        m_saved.clear();
        m_savedLink.clear();
    }
    return !m_savedLink.isEmpty();
}

bool CalibrationSweep::resumeAfterInterruption()
{
    m_restoreAfterInterruption = !m_savedLink.isEmpty();
    m_savedLink.clear();
    return m_restoreAfterInterruption;
}

void CalibrationSweep::endWithLink()
{
    m_wait.stop();
    if (m_running) {
        m_running = false;
        emit runningChanged();
        emit finished();
    }
    m_starting = false;
}

void CalibrationSweep::keepForNextOpening()
{
    if (m_saved.size() == kChannels)
        m_savedLink = m_host.linkKey();
    m_restoreInFlight = false;
    m_restoreAfterInterruption = false;
    m_restoreChecked = false;
    m_restoreWaiters.clear();
}
