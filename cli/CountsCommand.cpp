#include "CountsCommand.h"

#include "DeviceSession.h"
#include "Output.h"
#include "ReadingRow.h"

#include <QDateTime>

CountsCommand::CountsCommand(DeviceSession &session, const Options &options, QObject *parent)
    : DeviceCommand(session, parent), m_options(options)
{
    m_duration.setSingleShot(true);
    m_duration.setTimerType(Qt::PreciseTimer);
    connect(&m_duration, &QTimer::timeout, this, &CountsCommand::onDurationOver);
}

void CountsCommand::ready(bool, const QByteArray &)
{
    if (m_options.periodMs <= 0) {
        begin();
        return;
    }
    m_settingPeriod = true;
    beginWrite();
    m_session.applyPeriod(m_options.periodMs);
}

void CountsCommand::replied(unsigned char command, bool ok, const QByteArray &payload)
{
    if (m_settingPeriod && command == zrf::kPeriodSet && !ok) {
        fail(QStringLiteral("PERD rejected"));
    } else if (m_settingPeriod && command == zrf::kPeriodQuery) {
        m_settingPeriod = false;
        if (!periodReply(ok, payload)) {
            fail(QStringLiteral("Bad PERD? reply"));
            return;
        }
        if (m_session.periodMs() != m_options.periodMs)
            output::message(QStringLiteral("the instrument keeps a gate period of %1 ms").arg(m_session.periodMs()));
        if (endWrite())
            begin();
    } else if (m_lastReading) {
        conclude(exitcode::kOk); // the last query did not bring a reading
    }
}

void CountsCommand::timedOut(unsigned char command)
{
    if (m_settingPeriod && (command == zrf::kPeriodSet || command == zrf::kPeriodQuery))
        fail(QStringLiteral("No reply from device"));
    else if (m_lastReading)
        conclude(exitcode::kOk);
}

void CountsCommand::deviceError(const QString &message)
{
    // Once readings flow, a lost or bad reply is worth a word, not the run.
    if (m_rows > 0) {
        output::message(message);
        return;
    }
    DeviceCommand::deviceError(message);
}

void CountsCommand::begin()
{
    connect(&m_session, &DeviceSession::countsRead, this, &CountsCommand::onReading);
    m_recording = true;
    m_clock.start();
    if (m_options.format == RowFormat::Csv && !writeResult(readingrow::csvHeader()))
        return;
    if (m_options.durationMs > 0)
        m_duration.start(std::chrono::milliseconds(m_options.durationMs));
}

void CountsCommand::onReading(const QList<double> &values, bool duringSweep)
{
    readingrow::Reading r;
    r.utc = QDateTime::currentDateTimeUtc();
    r.elapsedS = double(m_clock.nsecsElapsed()) / 1e9;
    r.periodMs = m_session.periodMs();
    r.counts = values;
    r.thresholdsMv = knownLevelsMv(m_session);
    r.sweep = duringSweep;
    const QByteArray line =
        m_options.format == RowFormat::Csv ? readingrow::csvRow(r) : readingrow::jsonLine(r);
    if (!writeResult(line))
        return;
    ++m_rows;
    if (m_lastReading || (m_options.count > 0 && m_rows >= m_options.count))
        conclude(exitcode::kOk);
}

void CountsCommand::onDurationOver()
{
    // A reading asked for within the time still belongs to the run.
    if (m_session.busy())
        m_lastReading = true;
    else
        conclude(exitcode::kOk);
}
