#pragma once

#include "Limits.h"
#include "SessionHost.h"

#include <QObject>
#include <QVariantList>

#include <array>
#include <functional>
#include <optional>

class CalibrationSweep;
class EepromWriter;

// The comparator levels: those shown (`dacVolts`), what the instrument runs
// as far as its answers tell (readings are labelled with it), and the level
// requests that change them. An operator's level the instrument took is
// stored through the EEPROM writer; a sweep keeps the levels it will put back.
class LevelModel : public QObject
{
    Q_OBJECT
public:
    static constexpr int kChannels = limits::kChannels;
    static constexpr int kAllChannels = 15;
    static constexpr double kMaxVolts = 1.0;
    // A level is the operator's (also one put back) or a sweep's (a mute or a step).
    enum class Kind { Operator, Sweep };

    LevelModel(SessionHost &host, CalibrationSweep &sweep, EepromWriter &eeprom, QObject *parent = nullptr);

    const QVariantList &shown() const { return m_shown; }
    // Read by a valid SDAC? on the current link: a sweep must not save the
    // placeholder zeros as the operator's levels.
    bool known() const { return m_known; }
    // The shown levels while known, in volts or in mV to the microvolt.
    std::optional<std::array<double, kChannels>> knownVolts() const;
    std::optional<std::array<double, kChannels>> knownMv() const;
    // The shown levels in mV, known or not.
    std::array<double, kChannels> shownMv() const;

    // An operator's level for one channel or all; the caller has checked that
    // the link takes it. Over once the instrument took and stored it.
    void setLevel(int channel, double volts, Done done);
    void setAll(double volts, Done done);
    // Reads the levels for `op`; a read lost or spoilt while they are still
    // unknown is tried again, up to `attemptsLeft` in all.
    void read(quint64 op, int attemptsLeft, RequestQueue::Kind kind = RequestQueue::Kind::Plain);
    // Reads them again to show what the instrument holds, unless a read waits already.
    void readBack();
    bool takeReading(bool ok, const QByteArray &payload);

    // A level request. `done` runs once the instrument took the level;
    // `failed` after a refusal or a time-out (a refusal is reported; either
    // is read back).
    SessionHost::Request request(int channel, double volts, Kind level, std::function<void()> done = {},
                                 std::function<void(DeviceError)> failed = {});
    // A level sent whose answer never came or could not be read: taken or
    // not, nobody can tell until the levels are read again.
    void note(int channel, double volts, Kind level, bool taken);
    // Some channel may run a sweep's level: nothing may be stored now.
    bool sweepLevelsLive() const;
    // A channel running a sweep's level shows the operator's again (the
    // interrupted sweep's levels are not this unit's any more).
    void forgetSweepLevels() { m_inForce.swept.fill(false); }
    static double clamp(double volts);

    // The shown level of a channel, without telling anyone; true if it changed.
    bool putShown(int channel, double volts);
    void announceShown() { emit shownChanged(); }

    // A link opens: nothing is known of what the instrument runs. Where a
    // sweep was cut off, any channel may still run its level, and levels
    // asked for whose answers the loss took stay candidates.
    void linkOpened(bool sweptHere);
    // The link opened or ended: unknown until read.
    void forget() { setKnown(false); }
    // The queue was emptied: no read of the levels waits in it.
    void queueCleared() { m_readQueued = false; }
    // What a reading is labelled with: the levels in force and whether a
    // sweep's may be among them.
    void label(Reading &reading) const;

signals:
    void shownChanged();
    void knownChanged();

private:
    void takeOperatorLevel(int channel, double volts, const QList<quint64> &ops);
    void setKnown(bool known);

    SessionHost &m_host;
    CalibrationSweep &m_sweep;
    EepromWriter &m_eeprom;
    QVariantList m_shown;
    bool m_known = false;
    bool m_readQueued = false; // a read-back of the levels waits in the queue
    // Each level with whether it is known and whether it may be a sweep's.
    struct InForce {
        std::array<double, kChannels> volts{};
        std::array<bool, kChannels> known{};
        std::array<bool, kChannels> swept{};
        std::array<double, kChannels> asked{-1, -1, -1, -1, -1, -1, -1, -1}; // an operator's, its answer lost
    } m_inForce;
};
