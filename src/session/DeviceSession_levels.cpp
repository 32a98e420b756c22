// Comparator threshold DACs: read, set one or all channels, store in the
// EEPROM, and the levels in force that readings are labelled with.
#include "DeviceSession.h"

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

void DeviceSession::setDacVoltage(int channel, double volts, Done done)
{
    if (!linkReady() || channel < 0 || channel >= kChannelCount || levelsHeld()) {
        refuse(done, !linkReady() ? DeviceError::NotConnected
                     : levelsHeld() ? DeviceError::Busy
                                    : DeviceError::InvalidArgument);
        return;
    }
    const double v = clampDacVolts(volts);
    const OpList ops = opList(beginOperation(std::move(done)));
    Request request = dacRequest(
        channel, v, LevelKind::Operator, [this, channel, v, ops] { takeOperatorLevel(channel, v, *ops); },
        [this, ops](DeviceError error) {
            for (quint64 op : std::as_const(*ops))
                finishOperation(op, Outcome(error));
        });
    request.kind = RequestQueue::Kind::OperatorLevel;
    request.channel = channel;
    request.callers = ops;
    // A key held down on a slow instrument: the newest level replaces one for
    // the same channel still waiting unsent, unless another level follows it.
    if (!m_queue.replaceWaitingLevel(channel, request))
        m_queue.push(std::move(request));
}

void DeviceSession::setAllDacVoltage(double volts, Done done)
{
    if (!linkReady() || levelsHeld()) {
        refuse(done, linkReady() ? DeviceError::Busy : DeviceError::NotConnected);
        return;
    }
    const double v = clampDacVolts(volts);
    const OpList ops = opList(beginOperation(std::move(done)));
    const quint64 op = ops->value(0);
    Request request = dacRequest(
        kAllChannels, v, LevelKind::Operator,
        [this, v, op] {
            bool changed = false;
            for (int ch = 0; ch < kChannelCount; ++ch) {
                if (m_dacVolts.at(ch).toDouble() != v) {
                    m_dacVolts[ch] = v;
                    changed = true;
                }
                if (!m_savedDacLevels.isEmpty())
                    m_savedDacLevels[ch] = v;
            }
            if (changed)
                emit dacVoltsChanged();
            supersedeRestore(kAllChannels);
            // Levels unknown so far: what the instrument holds now is read back.
            if (!m_dacLevelsKnown)
                readBackDacLevels();
            requestEepromWrite({op});
        },
        [this, op](DeviceError error) { finishOperation(op, Outcome(error)); });
    // An operator's level like any other, but never replaced by one.
    request.kind = RequestQueue::Kind::OperatorLevel;
    request.callers = ops;
    m_queue.push(std::move(request));
}

// Shown once the instrument has taken it, kept for the ending of a sweep
// that began meanwhile, and stored in the EEPROM.
void DeviceSession::takeOperatorLevel(int channel, double volts, const QList<quint64> &ops)
{
    if (m_dacVolts.at(channel).toDouble() != volts) {
        m_dacVolts[channel] = volts;
        emit dacVoltsChanged();
    }
    // Levels of a sweep may still be live: its ending puts this one back.
    if (!m_savedDacLevels.isEmpty())
        m_savedDacLevels[channel] = volts;
    supersedeRestore(channel);
    requestEepromWrite(ops);
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
// one bad reply at opening must not leave the thresholds locked. A read that
// sets off the putting back of an interrupted sweep's levels is over once
// they are back.
void DeviceSession::readDacLevels(quint64 op, int attemptsLeft, RequestQueue::Kind kind)
{
    m_levelReadQueued = true;
    const auto retryOr = [this, op, attemptsLeft, kind](DeviceError error) {
        if (attemptsLeft > 1 && !m_dacLevelsKnown && linkReady()) {
            readDacLevels(op, attemptsLeft - 1, kind);
            return;
        }
        finishOperation(op, Outcome(error));
    };
    Request read = request(zrf::kSdacQuery, {}, [this, op, retryOr](bool ok, const QByteArray &payload) {
        m_levelReadQueued = false;
        const bool restoring = m_restoreInFlight;
        if (!takeDacReading(ok, payload))
            retryOr(DeviceError::BadDacReply);
        else if (!restoring && m_restoreInFlight)
            m_restoreWaiters.append(op);
        else
            finishOperation(op, Outcome());
    }, kind);
    read.expired = [this, retryOr] {
        m_levelReadQueued = false;
        retryOr(DeviceError::NoReply);
    };
    m_queue.push(std::move(read));
}

// After a refusal, a lost answer or a restore the screen must show what the
// instrument really holds, not what was asked of it. A read already waiting
// in the queue comes after them and will do.
void DeviceSession::readBackDacLevels()
{
    if (!m_levelReadQueued && linkReady())
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
    // What the instrument runs now. A channel that may run a sweep's level
    // does unless it shows the operator's.
    for (int ch = 0; ch < kChannelCount; ++ch) {
        const double v = next.at(ch).toDouble();
        // An operator's level whose answer was lost, found in place: it is
        // the operator's now, also for a sweep's ending.
        if (!m_inForce.known[ch] && v == m_inForce.asked[ch]) {
            m_inForce.swept[ch] = false;
            if (!m_savedDacLevels.isEmpty())
                m_savedDacLevels[ch] = v;
        }
        m_inForce.volts[ch] = v;
        m_inForce.known[ch] = true;
        m_inForce.asked[ch] = -1.0;
        m_inForce.swept[ch] = m_inForce.swept[ch] && !m_savedDacLevels.isEmpty() && v != m_savedDacLevels.at(ch).toDouble();
    }
    settleSavedLevels();
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
            m_inForce.swept.fill(false);
            setStatusText(QStringLiteral("Connected \u00B7 %1 \u00B7 thresholds of the interrupted sweep not restored: "
                                         "the instrument's levels have changed since")
                              .arg(linkLabel()));
        }
    }
    return true;
}

DeviceSession::Request DeviceSession::dacRequest(int channel, double volts, LevelKind level,
                                                 std::function<void()> done, std::function<void(DeviceError)> failed)
{
    const QByteArray payload = zrf::packDoubles({double(channel), volts});
    Request r = request(zrf::kSdac, payload,
                        [this, channel, volts, level, done = std::move(done), failed](bool ok, const QByteArray &) {
                            if (ok) {
                                noteLevel(channel, volts, level, true);
                                if (done)
                                    done();
                                return;
                            }
                            // Refused, or answered with nothing readable: read again to know.
                            noteLevel(channel, volts, level, false);
                            reportError(DeviceError::DacRejected);
                            if (m_calibrationRunning)
                                failSweep(DeviceError::DacRejected);
                            if (failed)
                                failed(DeviceError::DacRejected);
                            readBackDacLevels();
                        });
    r.expired = [this, channel, volts, level, failed = std::move(failed)] {
        // Taken or not, nobody can tell: the level is read again.
        noteLevel(channel, volts, level, false);
        readBackDacLevels();
        if (failed)
            failed(DeviceError::NoReply);
    };
    return r;
}

// An SDAC the instrument took, or one whose answer never came or could not
// be read: taken or not, nobody can tell until the levels are read again.
void DeviceSession::noteLevel(int channel, double volts, LevelKind level, bool taken)
{
    for (int ch = 0; ch < kChannelCount; ++ch) {
        if (ch != channel && channel != kAllChannels)
            continue;
        m_inForce.known[ch] = taken;
        m_inForce.volts[ch] = volts;
        // An operator's level the read may find there after all.
        m_inForce.asked[ch] = !taken && level == LevelKind::Operator ? volts : -1.0;
        if (level == LevelKind::Sweep)
            m_inForce.swept[ch] = true;
        else if (taken)
            m_inForce.swept[ch] = false;
    }
    settleSavedLevels();
}

// The saved levels are the operator's while a sweep's may still be live;
// once none can be, they have done their work.
void DeviceSession::settleSavedLevels()
{
    // A sweep done with its points sends no more levels, though still open.
    const bool sweeping = m_calibrationRunning && !m_calCompleted;
    if (!sweeping && !m_sweepStarting && !m_restoreInFlight && !m_restoreAfterInterruption && !sweepLevelsLive())
        m_savedDacLevels.clear();
}

// A sweep runs, or the opening of a link a sweep lost has yet to tell
// whether its mutes are still there: an operator's level now could be
// taken for the sweep's and undone by the levels put back.
bool DeviceSession::levelsHeld() const
{
    return m_calibrationRunning || (m_connected && m_savedLevelsLink == m_linkId && !m_linkId.isEmpty())
        || (m_restoreAfterInterruption && !m_restoreInFlight);
}

bool DeviceSession::sweepLevelsLive() const
{
    for (bool swept : m_inForce.swept) {
        if (swept)
            return true;
    }
    return false;
}

double DeviceSession::clampDacVolts(double volts)
{
    // NaN fails both tests; a level nobody can read is sent as 0 V.
    if (!(volts >= 0.0))
        return 0.0;
    return volts > kDacMaxVolts ? kDacMaxVolts : volts;
}

// Every accepted level is stored, but a burst (a key held down) writes the
// EEPROM at most once per hold-off, counted from the last write's reply, and
// once more after its last level. A write still waiting unsent stores a
// level taken meanwhile too.
void DeviceSession::requestEepromWrite(const QList<quint64> &ops)
{
    QList<quint64> callers;
    for (quint64 op : ops) {
        if (op)
            callers.append(op);
    }
    if (m_eepromWrite && !m_eepromSent) {
        *m_eepromWrite += callers;
        return;
    }
    m_eepromDueOps += callers;
    if (m_eepromWrite || (m_eepromTimer.isActive() && !m_closing)) {
        m_eepromWriteDue = true;
        return;
    }
    writeEeprom();
}

void DeviceSession::onEepromHoldOff()
{
    if (!m_eepromWriteDue || m_calibrationRunning || m_eepromWrite)
        return;
    writeEeprom();
}

void DeviceSession::writeEeprom()
{
    m_eepromWriteDue = false;
    const auto ops = std::make_shared<QList<quint64>>(std::exchange(m_eepromDueOps, {}));
    if (!m_connected) {
        for (quint64 op : std::as_const(*ops))
            finishOperation(op, Outcome(DeviceError::NotConnected));
        return;
    }
    m_eepromWrite = ops;
    m_eepromSent = false;
    m_eepromTimer.stop();
    const auto answered = [this, ops](const Outcome &outcome) {
        m_eepromWrite.reset();
        m_eepromTimer.start();
        // Levels taken while this write was out: a closing link stores them at once.
        if (m_eepromWriteDue && m_closing)
            writeEeprom();
        for (quint64 op : std::as_const(*ops))
            finishOperation(op, outcome);
    };
    Request write = request(zrf::kWeep, {}, [this, answered](bool ok, const QByteArray &) {
        if (!ok)
            reportError(DeviceError::EepromRejected);
        answered(ok ? Outcome() : Outcome(DeviceError::EepromRejected));
    }, RequestQueue::Kind::Kept);
    write.expired = [answered] { answered(Outcome(DeviceError::NoReply)); };
    // The EEPROM stores every live level: never while a sweep's may be live
    // (a mute never reaches it). The level stays, unstored, and says so.
    write.ready = [this] {
        m_eepromSent = !sweepLevelsLive();
        return m_eepromSent;
    };
    write.withheld = [this, answered] {
        reportError(DeviceError::ThresholdNotStored);
        answered(Outcome(DeviceError::ThresholdNotStored));
    };
    // A level taken while a sweep has its mutes queued: written before them.
    if (m_calibrationRunning)
        m_queue.pushNext(std::move(write));
    else
        m_queue.push(std::move(write));
}
