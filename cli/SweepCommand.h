#pragma once

#include "DeviceCommand.h"

struct SweepPoint;

// `sweep`: the client's calibration sweep of one channel, one line per
// point. However it ends (done, Ctrl-C, a closed terminal, a closed output,
// a failure) the session puts the levels back, and the command leaves once
// the instrument has taken them. A link lost meanwhile, or a second Ctrl-C,
// leaves the other channels muted: the command says so and names the levels
// to set back.
class SweepCommand : public DeviceCommand
{
    Q_OBJECT
public:
    struct Options {
        int channel = 0;
        int fromMv = 0;
        int toMv = 0;
        int stepMv = 1;
        RowFormat format = RowFormat::Csv;
        QString linkArgument; // "--tcp HOST" or "--serial PORT", shell-quoted, for those commands
    };

    SweepCommand(DeviceSession &session, const Options &options, QObject *parent = nullptr);

    // After a lost link (or a second Ctrl-C) with a sweep's mutes maybe
    // still live: says so, with the commands that set `levelsMv` back
    // (`channel` the one swept; -1: several).
    static void tellHowToSetLevelsBack(const QList<double> &levelsMv, const QString &linkArgument, bool leftAtOnce,
                                       int channel);

protected:
    void run() override;
    void stop() override;
    int stoppedCode() const override
    {
        return m_complete || outputClosed() ? exitcode::kOk : exitcode::kStopped;
    }

private:
    void sweep();
    void onPoint(const SweepPoint &point);
    void onSweepOver(const Outcome &outcome);

    Options m_options;
    QList<double> m_levelsBefore; // mV, to name when the restore could not be sent
    bool m_started = false;
    bool m_complete = false;
};
