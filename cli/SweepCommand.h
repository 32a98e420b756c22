#pragma once

#include "DeviceCommand.h"

// `sweep`: the client's calibration sweep of one channel, one line per
// point. However it ends (done, Ctrl-C, a closed output, a failure) the
// session puts the levels back, and the command leaves only once the
// instrument has answered a level read queued behind that restore.
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
    };

    SweepCommand(DeviceSession &session, const Options &options, QObject *parent = nullptr);

protected:
    void ready(bool ok, const QByteArray &payload) override;
    void replied(unsigned char command, bool ok, const QByteArray &payload) override;
    void timedOut(unsigned char command) override;
    void stop() override;
    int stoppedCode() const override { return m_complete ? exitcode::kOk : exitcode::kStopped; }

private:
    void startSweep();
    void onPoint(double thresholdMv, double count);
    void onSweepEnded();
    void requestLeft();

    Options m_options;
    bool m_started = false;
    bool m_complete = false;
    bool m_fenced = false; // the restore is under way
    qsizetype m_ahead = 0; // requests to leave the queue until the read behind it has
};
