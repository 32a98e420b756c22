#pragma once

#include "Limits.h"
#include "SessionHost.h"

#include <QObject>
#include <QTimer>
#include <QVariantList>

class EepromWriter;
class LevelModel;

// The threshold calibration: one channel or several one after another, the
// other channels muted, the swept one stepped through a range with the
// counts read one gate later at every step; then the operator's levels put
// back (also on the next opening of a link that a sweep lost, if its mutes
// are still there). Holds the levels it saved until the instrument took all
// eight back.
class CalibrationSweep : public QObject
{
    Q_OBJECT
public:
    static constexpr int kChannels = limits::kChannels;

    CalibrationSweep(SessionHost &host, LevelModel &levels, EepromWriter &eeprom, QObject *parent = nullptr);

    bool running() const { return m_running; }
    double progress() const { return m_progress; }
    // Reads the levels it will save, before its first mute.
    bool starting() const { return m_starting; }
    // Channels (distinct, in range) and a step the sweep takes.
    static bool takes(const QList<int> &channels, int stepMv);
    // The caller has checked that the link takes it and nothing holds the instrument.
    void start(const QList<int> &channels, int fromMv, int toMv, int stepMv, Done done);
    // Ends it and puts the levels back.
    void stop();
    // A sweep command refused or left unanswered ends the sweep (a refusal
    // has its own message already).
    void fail(DeviceError error);

    // A sweep runs, or the opening of a link a sweep lost has yet to tell
    // whether its mutes are still there: an operator's level now could be
    // taken for the sweep's and undone by the levels put back.
    bool holdsLevels() const;
    // Levels saved to be put back.
    bool hasSavedLevels() const { return !m_saved.isEmpty(); }
    bool differsFromSaved(int channel, double volts) const
    {
        return !m_saved.isEmpty() && volts != m_saved.at(channel).toDouble();
    }
    // An operator's level the instrument took (or was found to run): the
    // sweep's ending puts this one back.
    void keepOperatorLevel(int channel, double volts)
    {
        if (!m_saved.isEmpty())
            m_saved[channel] = volts;
    }
    // An operator's level taken ahead of the restore's own for that channel
    // (or all): the older one waiting must not undo it.
    void supersedeRestore(int channel);
    // The saved levels are on their way back; a read that set that off is
    // over once they are.
    bool restoring() const { return m_restoreInFlight; }
    void waitForRestore(quint64 op) { m_restoreWaiters.append(op); }
    // Once no sweep's level can be live any more, the saved levels have done their work.
    void settle();
    // The levels were read: on a link a sweep lost, they tell whether its mutes are still there.
    void levelsRead();

    // The link opened: levels saved on another one are not this one's to put
    // back. True when a sweep was cut off on this very link.
    bool linkOpened();
    // Its opening goes on: whether the levels read next may put a lost sweep's levels back.
    bool resumeAfterInterruption();
    // The link ends: the sweep with it, then (once what was on the wire is
    // noted) the saved levels wait for this link to open again.
    void endWithLink();
    void keepForNextOpening();

signals:
    void runningChanged();
    void progressChanged();
    void point(double thresholdMv, double counts);
    void pointTaken(const SweepPoint &point);
    void succeeded();
    void finished();

private:
    void begin(quint64 op);
    std::function<void(DeviceError)> endOnFailure(quint32 sweep);
    SessionHost::Request mute(int channel, quint32 sweep, const std::function<void()> &then);
    void muteOtherChannelsThenSweep();
    void sweepNextChannel();
    void noteSweptRange(int channel);
    void applyStep();
    void onWait();
    void complete();
    void setProgress(double progress);
    void finishOperation();
    void restore();
    void endRestore(quint32 restore, bool completed);
    void finishRestore(bool back);
    bool showsSweepPattern() const;

    SessionHost &m_host;
    LevelModel &m_levels;
    EepromWriter &m_eeprom;
    QTimer m_wait; // one gate after a step, its reading

    bool m_running = false;
    bool m_starting = false;
    QList<int> m_channels; // in sweep order
    int m_channelIndex = 0; // the one being swept
    int m_channel = 0;
    int m_startMv = 0;
    int m_currentMv = 0;
    int m_endMv = 0;
    int m_stepMv = 1;
    int m_pointCount = 1; // over all channels
    int m_pointsDone = 0;
    bool m_completed = false; // every point taken
    double m_progress = 0.0;
    int m_pendingMutes = 0;
    quint64 m_op = 0;                        // the caller waiting for the sweep and its restore
    DeviceError m_end = DeviceError::None; // how the sweep ended, for that caller
    // Bumped per sweep so late replies of an ended sweep cannot drive a new one.
    quint32 m_sweepId = 0;

    QVariantList m_saved; // the operator's levels, to put back
    // A link lost before the instrument took all eight back names itself
    // here: opening it again reads the levels and puts them back only if the
    // mutes are still there.
    QString m_savedLink;
    // Each sweep since the levels were saved: its channel and the range it
    // stepped through (lowest, highest mV).
    struct SweptRange {
        int channel, lowMv, highMv;
    };
    QList<SweptRange> m_sweptRanges;
    quint32 m_restoreId = 0;
    bool m_restoreInFlight = false;
    bool m_restoreAfterInterruption = false;
    bool m_restoreChecked = false; // a restore not taken in full: the levels are read to tell
    int m_restoreAcks = 0;
    QList<quint64> m_restoreWaiters; // reads that set a restore off, over with it
};
