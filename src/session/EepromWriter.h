#pragma once

#include "SessionHost.h"

#include <QObject>
#include <QTimer>

#include <memory>

class CalibrationSweep;
class LevelModel;

// Stores the operator's levels in the instrument's EEPROM: every accepted
// level, but a burst (a key held down) writes at most once per hold-off,
// counted from the last write's reply, and once more after its last level.
// Never while a sweep's level may be live: a mute must not reach the EEPROM.
class EepromWriter : public QObject
{
    Q_OBJECT
public:
    // Shortest time between two EEPROM writes of operator levels.
    static constexpr int kHoldOffMs = 500;

    EepromWriter(SessionHost &host, const CalibrationSweep &sweep, const LevelModel &levels,
                 QObject *parent = nullptr);

    // Levels taken for these operations: stored, and the operations over once they are.
    void request(const QList<quint64> &ops);
    // A write is due or on its way.
    bool owed() const { return m_due || m_write; }
    // A level taken and not stored yet, with no write queued: written now.
    void writeIfDue()
    {
        if (m_due && !m_write)
            write();
    }
    // The link ended: the callers of levels not stored; nothing is owed any more.
    QList<quint64> unstored() const;
    void reset();

private:
    void onHoldOff();
    void write();

    SessionHost &m_host;
    const CalibrationSweep &m_sweep;
    const LevelModel &m_levels;
    QTimer m_holdOff; // holds further writes back after one
    // The write queued (with the operations it completes) and whether it is
    // on the wire yet, and one due after it or after the hold-off.
    std::shared_ptr<QList<quint64>> m_write;
    bool m_sent = false;
    bool m_due = false;
    QList<quint64> m_dueOps;
};
