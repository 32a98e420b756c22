#include "EepromWriter.h"

#include "CalibrationSweep.h"
#include "LevelModel.h"

EepromWriter::EepromWriter(SessionHost &host, const CalibrationSweep &sweep, const LevelModel &levels,
                           QObject *parent)
    : QObject(parent), m_host(host), m_sweep(sweep), m_levels(levels)
{
    // Precise: the hold-off is a promise to the EEPROM, not a hint.
    m_holdOff.setTimerType(Qt::PreciseTimer);
    m_holdOff.setSingleShot(true);
    m_holdOff.setInterval(kHoldOffMs);
    connect(&m_holdOff, &QTimer::timeout, this, &EepromWriter::onHoldOff);
}

// A write still waiting unsent stores a level taken meanwhile too.
void EepromWriter::request(const QList<quint64> &ops)
{
    QList<quint64> callers;
    for (quint64 op : ops) {
        if (op)
            callers.append(op);
    }
    if (m_write && !m_sent) {
        *m_write += callers;
        return;
    }
    m_dueOps += callers;
    if (m_write || (m_holdOff.isActive() && !m_host.linkClosing())) {
        m_due = true;
        return;
    }
    write();
}

QList<quint64> EepromWriter::unstored() const
{
    QList<quint64> ops = m_dueOps;
    if (m_write)
        ops += *m_write;
    return ops;
}

void EepromWriter::reset()
{
    m_dueOps.clear();
    m_holdOff.stop();
    m_due = false;
    m_write.reset();
}

void EepromWriter::onHoldOff()
{
    if (!m_due || m_sweep.running() || m_write)
        return;
    write();
}

void EepromWriter::write()
{
    m_due = false;
    const auto ops = std::make_shared<QList<quint64>>(std::exchange(m_dueOps, {}));
    if (!m_host.linkOpen()) {
        m_host.operations().finish(*ops, Outcome(DeviceError::NotConnected));
        return;
    }
    m_write = ops;
    m_sent = false;
    m_holdOff.stop();
    const auto answered = [this, ops](const Outcome &outcome) {
        m_write.reset();
        m_holdOff.start();
        // Levels taken while this write was out: a closing link stores them at once.
        if (m_due && m_host.linkClosing())
            write();
        m_host.operations().finish(*ops, outcome);
    };
    SessionHost::Request w = SessionHost::request(zrf::kWeep, {}, [this, answered](bool ok, const QByteArray &) {
        if (!ok)
            m_host.report(Outcome(DeviceError::EepromRejected));
        answered(ok ? Outcome() : Outcome(DeviceError::EepromRejected));
    }, RequestQueue::Kind::Kept);
    w.expired = [answered] { answered(Outcome(DeviceError::NoReply)); };
    // The EEPROM stores every live level: never while a sweep's may be live
    // (a mute never reaches it). The level stays, unstored, and says so.
    w.ready = [this] {
        m_sent = !m_levels.sweepLevelsLive();
        return m_sent;
    };
    w.withheld = [this, answered] {
        m_host.report(Outcome(DeviceError::ThresholdNotStored));
        answered(Outcome(DeviceError::ThresholdNotStored));
    };
    // A level taken while a sweep has its mutes queued: written before them.
    if (m_sweep.running())
        m_host.requests().pushNext(std::move(w));
    else
        m_host.requests().push(std::move(w));
}
