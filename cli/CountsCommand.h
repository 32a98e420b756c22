#pragma once

#include "DeviceCommand.h"

#include <QElapsedTimer>
#include <QTimer>

// `counts`: one line per count reading, the columns of the client's
// recording, until --count readings, --duration seconds, Ctrl-C or a closed
// output. With --period the gate period is set first (as the settings page
// does) and readings start once the instrument has reported it back.
class CountsCommand : public DeviceCommand
{
    Q_OBJECT
public:
    struct Options {
        int periodMs = 0;     // 0: keep the instrument's period
        qint64 count = 0;     // 0: no limit
        qint64 durationMs = 0; // 0: no limit
        RowFormat format = RowFormat::Csv;
    };

    CountsCommand(DeviceSession &session, const Options &options, QObject *parent = nullptr);

protected:
    void ready(bool ok, const QByteArray &payload) override;
    void replied(unsigned char command, bool ok, const QByteArray &payload) override;
    void timedOut(unsigned char command) override;
    void deviceError(const QString &message) override;
    // Stopping is how an open-ended run ends: not a failure.
    int stoppedCode() const override { return exitcode::kOk; }

private:
    void begin();
    void onReading(const QList<double> &values, bool duringSweep);
    void onDurationOver();

    Options m_options;
    bool m_settingPeriod = false;
    bool m_recording = false;
    bool m_lastReading = false; // time is up: only the reading asked for is still taken
    qint64 m_rows = 0;
    QElapsedTimer m_clock;
    QTimer m_duration;
};
