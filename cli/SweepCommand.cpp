#include "SweepCommand.h"

#include "DeviceSession.h"
#include "Output.h"
#include "ReadingRow.h"

#include <QDateTime>
#include <QMetaObject>

SweepCommand::SweepCommand(DeviceSession &session, const Options &options, QObject *parent)
    : DeviceCommand(session, parent), m_options(options)
{
}

void SweepCommand::ready(bool, const QByteArray &)
{
    // The sweep saves the levels it will put back: wait for the real ones.
    if (m_session.dacLevelsKnown())
        startSweep();
    else
        connect(&m_session, &DeviceSession::dacLevelsKnownChanged, this, &SweepCommand::startSweep);
}

void SweepCommand::startSweep()
{
    if (m_started || !m_session.dacLevelsKnown())
        return;
    m_started = true;
    if (m_options.format == RowFormat::Csv && !writeResult(readingrow::sweepCsvHeader()))
        return;
    connect(&m_session, &DeviceSession::calibrationPoint, this, &SweepCommand::onPoint);
    connect(&m_session, &DeviceSession::calibrationSucceeded, this, [this] {
        m_complete = true;
        m_session.stopCalibration(); // closes the sweep, as the calibration view does
    });
    connect(&m_session, &DeviceSession::calibrationFinished, this, &SweepCommand::onSweepEnded);
    connect(&m_session, &DeviceSession::calibrationProgressChanged, this, [this] {
        output::progress(QStringLiteral("sweep CH %1: %2 %")
                             .arg(m_options.channel)
                             .arg(m_session.calibrationProgress(), 0, 'f', 0));
    });
    m_session.startCalibration(m_options.channel, m_options.fromMv, m_options.toMv, m_options.stepMv);
    if (!m_session.calibrationRunning())
        fail(QStringLiteral("the sweep did not start"));
}

void SweepCommand::onPoint(double thresholdMv, double count)
{
    const QDateTime now = QDateTime::currentDateTimeUtc();
    writeResult(m_options.format == RowFormat::Csv
                    ? readingrow::sweepCsvRow(m_options.channel, thresholdMv, count, now)
                    : readingrow::sweepJsonLine(m_options.channel, thresholdMv, count, now));
}

void SweepCommand::stop()
{
    // Puts the saved levels back; the level read behind them follows at once.
    if (m_started && m_session.calibrationRunning())
        m_session.stopCalibration();
    DeviceCommand::stop(); // leaves now unless that restore is under way
}

void SweepCommand::onSweepEnded()
{
    if (m_fenced)
        return;
    m_fenced = true;
    beginWrite();
    // The session has queued the saved levels; a level read queued behind
    // them is answered (or given up) only after every one of them. Queued
    // from the event loop rather than from inside a reply's handler, the
    // queue's length is exactly what stands before the read.
    QMetaObject::invokeMethod(
        this,
        [this] {
            if (done())
                return;
            m_ahead = m_session.queueLength() + 1;
            m_session.refreshDacVolts();
        },
        Qt::QueuedConnection);
}

void SweepCommand::replied(unsigned char, bool, const QByteArray &)
{
    requestLeft();
}

void SweepCommand::timedOut(unsigned char)
{
    requestLeft();
}

void SweepCommand::requestLeft()
{
    if (m_ahead > 0 && --m_ahead == 0 && endWrite())
        conclude(exitcode::kOk);
}
