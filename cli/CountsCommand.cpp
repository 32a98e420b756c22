#include "CountsCommand.h"

#include "DeviceSession.h"
#include "Limits.h"
#include "Output.h"
#include "ReadingRow.h"
#include "StatsRow.h"

#include <algorithm>
#include <limits>

CountsCommand::CountsCommand(DeviceSession &session, const Options &options, QObject *parent)
    : DeviceCommand(session, parent), m_options(options)
{
    m_duration.setSingleShot(true);
    m_duration.setTimerType(Qt::PreciseTimer);
    // The reading asked for by then is still written: the close waits for it.
    connect(&m_duration, &QTimer::timeout, this, [this] { conclude(exitcode::kOk); });
    m_silence.setSingleShot(true);
    connect(&m_silence, &QTimer::timeout, this, [this] {
        fail(QStringLiteral("no reading for %1 s").arg(limits::secondsOfMs(m_silence.interval())));
    });
}

int CountsCommand::silenceMs() const
{
    // The instrument may report a period of up to INT_MAX ms: clamped.
    const qint64 poll = qMax(m_session.periodMs(), DeviceSession::kMinPollMs);
    return int(std::clamp<qint64>(kSilencePolls * poll, kMinSilenceMs, std::numeric_limits<int>::max()));
}

void CountsCommand::run()
{
    if (m_options.periodMs <= 0) {
        begin();
        return;
    }
    beginWrite();
    m_session.applyPeriod(m_options.periodMs, [this](const Outcome &set) {
        if (!set.ok()) {
            fail(set.message);
            return;
        }
        if (m_session.periodMs() != m_options.periodMs)
            output::message(QStringLiteral("the instrument keeps a gate period of %1 ms").arg(m_session.periodMs()));
        if (endWrite())
            begin();
    });
}

void CountsCommand::begin()
{
    connect(&m_session, &DeviceSession::readingTaken, this, &CountsCommand::onReading);
    connect(&m_session, &DeviceSession::errorOccurred, this, &CountsCommand::onError);
    m_startNs = Reading::steadyNowNs();
    m_began = true;
    m_silence.start(silenceMs());
    if (!m_options.stats && m_options.format == RowFormat::Csv && !writeResult(readingrow::csvHeader()))
        return;
    if (m_options.durationMs > 0)
        m_duration.start(std::chrono::milliseconds(m_options.durationMs));
}

void CountsCommand::onReading(const Reading &reading)
{
    if (m_options.count > 0 && m_rows >= m_options.count)
        return;
    m_timeOuts = 0;
    m_silence.start(silenceMs());
    if (m_options.stats) {
        m_stats.add(reading);
        if (++m_rows == m_options.count)
            conclude(exitcode::kOk);
        return;
    }
    const double elapsed = readingrow::elapsedSeconds(reading, m_startNs);
    const QByteArray line = m_options.format == RowFormat::Csv ? readingrow::csvRow(reading, elapsed)
                                                               : readingrow::jsonLine(reading, elapsed);
    if (!writeResult(line))
        return;
    ++m_rows;
    if (m_options.count > 0 && m_rows >= m_options.count)
        conclude(exitcode::kOk);
}

void CountsCommand::onError(const Outcome &error)
{
    // One lost or spoilt reply is worth a word only; silence ends the run.
    if (error.timedOut() && ++m_timeOuts >= kTimeOutsInARow)
        fail(QStringLiteral("no reply from the instrument: %1 requests in a row").arg(m_timeOuts));
    else
        output::message(error.message);
}

void CountsCommand::finishing()
{
    m_silence.stop();
    // Not before the readings began: a run that never started has no figures.
    if (!m_options.stats || !m_began)
        return;
    writeResult(statsrow::table(m_stats, m_options.format == RowFormat::Csv));
}
