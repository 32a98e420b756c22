#pragma once

#include "DeviceCommand.h"
#include "RunningStats.h"

#include <QTimer>

struct Reading;

// `counts`: one line per count reading, the columns of the client's
// recording, until --count readings, --duration seconds, Ctrl-C or a closed
// output. With --period the gate period is set first (as the settings page
// does) and readings start once the instrument has reported it back. A lost
// reply is named and the run goes on; silence ends it as a failure:
// kTimeOutsInARow time-outs with no reading between, or no reading for
// silenceMs(). With --stats the readings are not written: at the end of the
// run, however it ends, the statistics of each channel over them are
// (StatsRow), the figures of the time view's statistics strip.
class CountsCommand : public DeviceCommand
{
    Q_OBJECT
public:
    struct Options {
        int periodMs = 0;     // 0: keep the instrument's period
        qint64 count = 0;     // 0: no limit
        qint64 durationMs = 0; // 0: no limit
        RowFormat format = RowFormat::Csv;
        bool stats = false;   // the statistics at the end instead of the rows
    };

    static constexpr int kTimeOutsInARow = 3;
    static constexpr int kMinSilenceMs = 10000;
    static constexpr int kSilencePolls = 5;

    CountsCommand(DeviceSession &session, const Options &options, QObject *parent = nullptr);

protected:
    void run() override;
    // Stopping is how an open-ended run ends: not a failure.
    int stoppedCode() const override { return exitcode::kOk; }
    void finishing() override;

private:
    void begin();
    void onReading(const Reading &reading);
    void onError(const Outcome &error);
    // No reading for this long is silence: kSilencePolls poll intervals, at
    // least kMinSilenceMs.
    int silenceMs() const;

    Options m_options;
    qint64 m_rows = 0;
    qint64 m_startNs = 0; // steady clock at the start: elapsed_s counts from here
    QTimer m_duration;
    QTimer m_silence;
    int m_timeOuts = 0; // in a row, since the last reading
    RunningStats m_stats;
    bool m_began = false;
};
