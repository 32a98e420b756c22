#include "CalibrateCommand.h"

#include "DeviceSession.h"
#include "Output.h"
#include "ReadingRow.h"
#include "SweepCommand.h"

#include <memory>

namespace {

// Null in JSON when there is none.
QByteArray number(double v)
{
    return std::isfinite(v) ? readingrow::formatDouble(v) : QByteArrayLiteral("null");
}

} // namespace

CalibrateCommand::CalibrateCommand(DeviceSession &session, const Options &options, QObject *parent)
    : DeviceCommand(session, parent), m_options(options)
{
}

QByteArray CalibrateCommand::csvHeader()
{
    return readingrow::calibrationCsvHeader();
}

QByteArray CalibrateCommand::resultLine(int channel, const calibration::ChannelAnalysis &a, RowFormat format)
{
    if (format == RowFormat::Csv)
        return readingrow::calibrationCsvRow(channel, a);
    // The reason texts are fixed and hold neither quotes nor backslashes.
    return "{\"channel\":" + QByteArray::number(channel) + ",\"suggested_mv\":" + number(a.suggestedMv)
        + ",\"valley_low_mv\":" + number(a.bandLowMv) + ",\"valley_high_mv\":" + number(a.bandHighMv)
        + ",\"uncertainty_mv\":" + number(a.uncertaintyMv) + ",\"quality\":" + number(a.significance)
        + ",\"reason\":\"" + calibration::reasonKey(a.reason) + "\",\"reason_text\":\""
        + QByteArray::fromStdString(calibration::reasonText(a)) + "\"}\n";
}

void CalibrateCommand::run()
{
    // The calibration saves the levels it will put back: the real ones are needed.
    withLevelsMv([this](const QList<double> &levelsMv) {
        m_levelsBefore = levelsMv;
        calibrate();
    });
}

void CalibrateCommand::calibrate()
{
    if (!m_options.pointsPath.isEmpty()) {
        m_pointsFile.setFileName(m_options.pointsPath);
        if (!m_pointsFile.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
            fail(QStringLiteral("cannot write %1: %2").arg(m_options.pointsPath, m_pointsFile.errorString()));
            return;
        }
        if (m_options.format == RowFormat::Csv)
            m_pointsFile.write(readingrow::sweepCsvHeader());
    }
    connect(&m_session, &DeviceSession::sweepPointTaken, this, &CalibrateCommand::onPoint);
    connect(&m_session, &DeviceSession::calibrationProgressChanged, this, [this] {
        output::progress(QStringLiteral("calibrate: %1 %").arg(m_session.calibrationProgress(), 0, 'f', 0));
    });
    m_started = true;
    // Until the levels are back, nothing may leave the instrument muted.
    beginWrite();
    m_session.startCalibrationOf(m_options.channels, m_options.fromMv, m_options.toMv, m_options.stepMv,
                                 [this](const Outcome &outcome) { onCalibrationOver(outcome); });
}

void CalibrateCommand::onPoint(const SweepPoint &point)
{
    if (point.channel < 0 || point.channel >= int(m_points.size()))
        return;
    m_points[std::size_t(point.channel)].push_back({point.thresholdMv, point.count});
    if (m_pointsFile.isOpen()) {
        const QByteArray line = m_options.format == RowFormat::Csv ? readingrow::sweepCsvRow(point)
                                                                    : readingrow::sweepJsonLine(point);
        if (m_pointsFile.write(line) != line.size())
            fail(QStringLiteral("cannot write %1: %2").arg(m_options.pointsPath, m_pointsFile.errorString()));
    }
}

void CalibrateCommand::stop()
{
    // Puts the saved levels back; the command leaves once they are.
    if (m_started && m_session.calibrationRunning())
        m_session.stopCalibration();
    DeviceCommand::stop();
}

void CalibrateCommand::finishing()
{
    if (m_pointsFile.isOpen())
        m_pointsFile.close();
}

void CalibrateCommand::onCalibrationOver(const Outcome &outcome)
{
    if (!outcome.ok() && outcome.error != DeviceError::CalibrationStopped) {
        fail(outcome.message);
        if (outcome.error == DeviceError::LinkLost || outcome.error == DeviceError::LevelsNotRestored)
            SweepCommand::tellHowToSetLevelsBack(m_levelsBefore, m_options.linkArgument, leftAtOnce(), -1);
        return;
    }
    if (!outcome.ok() || stopping()) {
        endWrite();
        return;
    }
    output::endProgress();
    if (m_options.format == RowFormat::Csv && !writeResult(csvHeader())) {
        endWrite();
        return;
    }
    QList<std::pair<int, double>> suggested;
    for (int ch : std::as_const(m_options.channels)) {
        const calibration::ChannelAnalysis a = calibration::analyseSweep(m_points[std::size_t(ch)]);
        if (!writeResult(resultLine(ch, a, m_options.format))) {
            endWrite();
            return;
        }
        if (a.hasSuggestion())
            suggested.append({ch, a.suggestedMv});
    }
    if (m_options.apply && !suggested.isEmpty()) {
        applySuggestions(suggested);
        return;
    }
    m_complete = true;
    if (endWrite())
        conclude(exitcode::kOk);
}

void CalibrateCommand::applySuggestions(const QList<std::pair<int, double>> &levels)
{
    // All asked at once: the session stores them in the EEPROM by its own
    // rules; the command leaves once every one is stored (or one failed).
    auto left = std::make_shared<qsizetype>(levels.size());
    for (const auto &[ch, mv] : levels) {
        m_session.setLevelMv(ch, mv, [this, left](const Outcome &set) {
            if (done())
                return;
            if (!set.ok()) {
                fail(set.message);
                return;
            }
            if (--*left > 0)
                return;
            m_complete = true;
            if (endWrite())
                conclude(exitcode::kOk);
        });
    }
}
