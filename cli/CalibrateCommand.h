#pragma once

#include "DeviceCommand.h"
#include "ThresholdAnalysis.h"

#include <QFile>

#include <array>
#include <vector>

struct SweepPoint;

// `calibrate`: the client's calibration of several channels one after
// another, then one line per channel with its suggested threshold. The
// levels from before are put back as `sweep` does (at the end, on Ctrl-C, on
// a closed pipe; the commands to set them back after a lost link); with
// --apply the suggested levels, and only those, are set afterwards.
class CalibrateCommand : public DeviceCommand
{
    Q_OBJECT
public:
    struct Options {
        QList<int> channels{0, 1, 2, 3, 4, 5, 6, 7};
        int fromMv = 0;
        int toMv = 0;
        int stepMv = 1;
        bool apply = false;
        QString pointsPath; // every sweep point, in --format; empty: none
        RowFormat format = RowFormat::Csv;
        QString linkArgument;
    };

    CalibrateCommand(DeviceSession &session, const Options &options, QObject *parent = nullptr);

    // One channel's result line, in `format` (the header too for CSV).
    static QByteArray csvHeader();
    static QByteArray resultLine(int channel, const calibration::ChannelAnalysis &a, RowFormat format);

protected:
    void run() override;
    void stop() override;
    int stoppedCode() const override
    {
        return m_complete || outputClosed() ? exitcode::kOk : exitcode::kStopped;
    }
    void finishing() override;

private:
    void calibrate();
    void onPoint(const SweepPoint &point);
    void onCalibrationOver(const Outcome &outcome);
    void applySuggestions(const QList<std::pair<int, double>> &levels);

    Options m_options;
    QList<double> m_levelsBefore;
    std::array<std::vector<calibration::SweepPoint>, 8> m_points;
    QFile m_pointsFile;
    bool m_started = false;
    bool m_complete = false;
};
