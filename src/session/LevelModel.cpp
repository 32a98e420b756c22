// Comparator threshold DACs: read, set one or all channels, and the levels
// in force that readings are labelled with.
#include "LevelModel.h"

#include "CalibrationSweep.h"
#include "EepromWriter.h"

#include <algorithm>
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

LevelModel::LevelModel(SessionHost &host, CalibrationSweep &sweep, EepromWriter &eeprom, QObject *parent)
    : QObject(parent), m_host(host), m_sweep(sweep), m_eeprom(eeprom)
{
    m_shown.reserve(kChannels);
    for (int i = 0; i < kChannels; ++i)
        m_shown.append(0.0);
}

std::optional<std::array<double, LevelModel::kChannels>> LevelModel::knownVolts() const
{
    if (!m_known)
        return std::nullopt;
    std::array<double, kChannels> volts{};
    for (int ch = 0; ch < kChannels; ++ch)
        volts[ch] = m_shown.value(ch).toDouble();
    return volts;
}

std::optional<std::array<double, LevelModel::kChannels>> LevelModel::knownMv() const
{
    if (!m_known)
        return std::nullopt;
    return shownMv();
}

std::array<double, LevelModel::kChannels> LevelModel::shownMv() const
{
    std::array<double, kChannels> mv{};
    for (int ch = 0; ch < kChannels; ++ch)
        mv[ch] = Reading::levelMv(m_shown.value(ch).toDouble());
    return mv;
}

void LevelModel::setLevel(int channel, double volts, Done done)
{
    const double v = clamp(volts);
    const OpList ops = opList(m_host.operations().begin(std::move(done)));
    SessionHost::Request r = request(
        channel, v, Kind::Operator, [this, channel, v, ops] { takeOperatorLevel(channel, v, *ops); },
        [this, ops](DeviceError error) { m_host.operations().finish(*ops, Outcome(error)); });
    r.kind = RequestQueue::Kind::OperatorLevel;
    r.channel = channel;
    r.callers = ops;
    // A key held down on a slow instrument: the newest level replaces one for
    // the same channel still waiting unsent, unless another level follows it.
    if (!m_host.requests().replaceWaitingLevel(channel, r))
        m_host.requests().push(std::move(r));
}

void LevelModel::setAll(double volts, Done done)
{
    const double v = clamp(volts);
    const OpList ops = opList(m_host.operations().begin(std::move(done)));
    const quint64 op = ops->value(0);
    SessionHost::Request r = request(
        kAllChannels, v, Kind::Operator,
        [this, v, op] {
            bool changed = false;
            for (int ch = 0; ch < kChannels; ++ch) {
                changed = putShown(ch, v) || changed;
                m_sweep.keepOperatorLevel(ch, v);
            }
            if (changed)
                emit shownChanged();
            m_sweep.supersedeRestore(kAllChannels);
            // Levels unknown so far: what the instrument holds now is read back.
            if (!m_known)
                readBack();
            m_eeprom.request({op});
        },
        [this, op](DeviceError error) { m_host.operations().finish(op, Outcome(error)); });
    // An operator's level like any other, but never replaced by one.
    r.kind = RequestQueue::Kind::OperatorLevel;
    r.callers = ops;
    m_host.requests().push(std::move(r));
}

// Shown once the instrument has taken it, kept for the ending of a sweep
// that began meanwhile, and stored in the EEPROM.
void LevelModel::takeOperatorLevel(int channel, double volts, const QList<quint64> &ops)
{
    if (putShown(channel, volts))
        emit shownChanged();
    m_sweep.keepOperatorLevel(channel, volts);
    m_sweep.supersedeRestore(channel);
    m_eeprom.request(ops);
}

// A read lost or spoilt while the levels are still unknown is tried again:
// one bad reply at opening must not leave the thresholds locked. A read that
// sets off the putting back of an interrupted sweep's levels is over once
// they are back.
void LevelModel::read(quint64 op, int attemptsLeft, RequestQueue::Kind kind)
{
    m_readQueued = true;
    const auto retryOr = [this, op, attemptsLeft, kind](DeviceError error) {
        if (attemptsLeft > 1 && !m_known && m_host.linkReady()) {
            read(op, attemptsLeft - 1, kind);
            return;
        }
        m_host.operations().finish(op, Outcome(error));
    };
    SessionHost::Request r = SessionHost::request(zrf::kSdacQuery, {}, [this, op, retryOr](bool ok, const QByteArray &payload) {
        m_readQueued = false;
        const bool restoring = m_sweep.restoring();
        if (!takeReading(ok, payload))
            retryOr(DeviceError::BadDacReply);
        else if (!restoring && m_sweep.restoring())
            m_sweep.waitForRestore(op);
        else
            m_host.operations().finish(op, Outcome());
    }, kind);
    r.expired = [this, retryOr] {
        m_readQueued = false;
        retryOr(DeviceError::NoReply);
    };
    m_host.requests().push(std::move(r));
}

// After a refusal, a lost answer or a restore the screen must show what the
// instrument really holds, not what was asked of it. A read already waiting
// in the queue comes after them and will do.
void LevelModel::readBack()
{
    if (!m_readQueued && m_host.linkReady())
        read(0, 1);
}

bool LevelModel::takeReading(bool ok, const QByteArray &payload)
{
    QList<double> values;
    if (!ok || !zrf::unpackDoubles(payload, &values) || values.size() != kChannels) {
        m_host.report(Outcome(DeviceError::BadDacReply));
        return false;
    }
    QVariantList next;
    next.reserve(kChannels);
    for (double v : std::as_const(values))
        next.append(clamp(v));
    if (next != m_shown) {
        m_shown = next;
        emit shownChanged();
    }
    // What the instrument runs now. A channel that may run a sweep's level
    // does unless it shows the operator's.
    for (int ch = 0; ch < kChannels; ++ch) {
        const double v = next.at(ch).toDouble();
        // An operator's level whose answer was lost, found in place: it is
        // the operator's now, also for a sweep's ending.
        if (!m_inForce.known[ch] && v == m_inForce.asked[ch]) {
            m_inForce.swept[ch] = false;
            m_sweep.keepOperatorLevel(ch, v);
        }
        m_inForce.volts[ch] = v;
        m_inForce.known[ch] = true;
        m_inForce.asked[ch] = -1.0;
        m_inForce.swept[ch] = m_inForce.swept[ch] && m_sweep.differsFromSaved(ch, v);
    }
    m_sweep.settle();
    // Last, so whoever hears that the levels are known reads them already.
    setKnown(true);
    m_sweep.levelsRead();
    return true;
}

SessionHost::Request LevelModel::request(int channel, double volts, Kind level, std::function<void()> done,
                                         std::function<void(DeviceError)> failed)
{
    const QByteArray payload = zrf::packDoubles({double(channel), volts});
    SessionHost::Request r = SessionHost::request(
        zrf::kSdac, payload, [this, channel, volts, level, done = std::move(done), failed](bool ok, const QByteArray &) {
            if (ok) {
                note(channel, volts, level, true);
                if (done)
                    done();
                return;
            }
            // Refused, or answered with nothing readable: read again to know.
            note(channel, volts, level, false);
            m_host.report(Outcome(DeviceError::DacRejected));
            m_sweep.fail(DeviceError::DacRejected);
            if (failed)
                failed(DeviceError::DacRejected);
            readBack();
        });
    r.expired = [this, channel, volts, level, failed = std::move(failed)] {
        // Taken or not, nobody can tell: the level is read again.
        note(channel, volts, level, false);
        readBack();
        if (failed)
            failed(DeviceError::NoReply);
    };
    return r;
}

void LevelModel::note(int channel, double volts, Kind level, bool taken)
{
    for (int ch = 0; ch < kChannels; ++ch) {
        if (ch != channel && channel != kAllChannels)
            continue;
        m_inForce.known[ch] = taken;
        m_inForce.volts[ch] = volts;
        // An operator's level the read may find there after all.
        m_inForce.asked[ch] = !taken && level == Kind::Operator ? volts : -1.0;
        if (level == Kind::Sweep)
            m_inForce.swept[ch] = true;
        else if (taken)
            m_inForce.swept[ch] = false;
    }
    m_sweep.settle();
}

bool LevelModel::sweepLevelsLive() const
{
    for (bool swept : m_inForce.swept) {
        if (swept)
            return true;
    }
    return false;
}

double LevelModel::clamp(double volts)
{
    // NaN fails both tests; a level nobody can read is sent as 0 V.
    if (!(volts >= 0.0))
        return 0.0;
    return volts > kMaxVolts ? kMaxVolts : volts;
}

bool LevelModel::putShown(int channel, double volts)
{
    if (channel < 0 || channel >= m_shown.size() || m_shown.at(channel).toDouble() == volts)
        return false;
    m_shown[channel] = volts;
    return true;
}

void LevelModel::linkOpened(bool sweptHere)
{
    const auto asked = m_inForce.asked;
    m_inForce = InForce();
    m_inForce.swept.fill(sweptHere);
    if (sweptHere)
        m_inForce.asked = asked;
}

void LevelModel::label(Reading &reading) const
{
    reading.levelsKnown = std::all_of(m_inForce.known.cbegin(), m_inForce.known.cend(), [](bool k) { return k; });
    if (reading.levelsKnown) {
        for (int ch = 0; ch < Reading::kChannels; ++ch)
            reading.thresholdsMv[ch] = Reading::levelMv(m_inForce.volts[ch]);
    }
    reading.sweep = sweepLevelsLive();
}

void LevelModel::setKnown(bool known)
{
    if (m_known == known)
        return;
    m_known = known;
    emit knownChanged();
}
