#include "SweepCommand.h"

#include "DeviceSession.h"
#include "LimitsText.h"
#include "Output.h"
#include "ReadingRow.h"

#include <algorithm>

SweepCommand::SweepCommand(DeviceSession &session, const Options &options, QObject *parent)
    : DeviceCommand(session, parent), m_options(options)
{
}

void SweepCommand::run()
{
    // The sweep saves the levels it will put back: the real ones are needed.
    withLevelsMv([this](const QList<double> &levelsMv) {
        m_levelsBefore = levelsMv;
        sweep();
    });
}

void SweepCommand::sweep()
{
    if (m_options.format == RowFormat::Csv && !writeResult(readingrow::sweepCsvHeader()))
        return;
    connect(&m_session, &DeviceSession::sweepPointTaken, this, &SweepCommand::onPoint);
    connect(&m_session, &DeviceSession::calibrationProgressChanged, this, [this] {
        output::progress(QStringLiteral("sweep CH %1: %2 %")
                             .arg(m_options.channel)
                             .arg(m_session.calibrationProgress(), 0, 'f', 0));
    });
    m_started = true;
    // Until the levels are back, nothing may leave the instrument muted.
    beginWrite();
    m_session.startCalibration(m_options.channel, m_options.fromMv, m_options.toMv, m_options.stepMv,
                               [this](const Outcome &outcome) { onSweepOver(outcome); });
}

void SweepCommand::onPoint(const SweepPoint &point)
{
    writeResult(m_options.format == RowFormat::Csv ? readingrow::sweepCsvRow(point) : readingrow::sweepJsonLine(point));
}

void SweepCommand::stop()
{
    // Puts the saved levels back; the command leaves once they are.
    if (m_started && m_session.calibrationRunning())
        m_session.stopCalibration();
    DeviceCommand::stop();
}

void SweepCommand::onSweepOver(const Outcome &outcome)
{
    m_complete = outcome.ok();
    if (!outcome.ok() && outcome.error != DeviceError::CalibrationStopped) {
        fail(outcome.message);
        if (outcome.error == DeviceError::LinkLost || outcome.error == DeviceError::LevelsNotRestored)
            tellHowToSetLevelsBack(m_levelsBefore, m_options.linkArgument, leftAtOnce(), m_options.channel);
        return;
    }
    if (endWrite())
        conclude(exitcode::kOk);
}

void SweepCommand::tellHowToSetLevelsBack(const QList<double> &levelsMv, const QString &linkArgument, bool leftAtOnce,
                                          int channel)
{
    if (levelsMv.size() != DeviceSession::kChannelCount)
        return;
    // Left at once, the link is closed by us, not lost.
    // A calibration of several channels leaves any of them muted, or stepped.
    const QString levels = channel >= 0
        ? limits::filled("every channel but CH %1 muted at {max_mv} mV").arg(channel)
        : limits::filled("channels muted at {max_mv} mV or stepped");
    output::message((leftAtOnce ? QStringLiteral("stopped before the levels were back: the instrument may still "
                                                   "run the sweep's levels (%1). Set them back with:")
                                  : QStringLiteral("the link was lost during the sweep: the instrument may still run "
                                                   "the sweep's levels (%1). "
                                                   "Once it answers again, set the levels back with:"))
                        .arg(levels));
    const QString link = linkArgument.isEmpty() ? QString() : QLatin1Char(' ') + linkArgument;
    QStringList commands;
    if (std::all_of(levelsMv.cbegin(), levelsMv.cend(),
                    [&levelsMv](double mv) { return mv == levelsMv.constFirst(); })) {
        commands.append(QStringLiteral("  tachyra-cli threshold all %1%2")
                            .arg(QString::fromLatin1(readingrow::formatDouble(levelsMv.constFirst())), link));
    } else {
        for (int ch = 0; ch < levelsMv.size(); ++ch) {
            commands.append(QStringLiteral("  tachyra-cli threshold %1 %2%3")
                                .arg(ch)
                                .arg(QString::fromLatin1(readingrow::formatDouble(levelsMv.at(ch))), link));
        }
    }
    output::detail(commands);
}
