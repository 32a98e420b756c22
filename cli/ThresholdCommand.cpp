#include "ThresholdCommand.h"

#include "DeviceSession.h"
#include "Limits.h"
#include "ReadingRow.h"

ThresholdCommand::ThresholdCommand(DeviceSession &session, int channel, double setMv, QObject *parent)
    : DeviceCommand(session, parent), m_channel(channel), m_setMv(setMv)
{
}

void ThresholdCommand::run()
{
    if (m_setMv < 0) {
        if (m_session.dacLevelsKnown()) {
            printLevels();
            return;
        }
        // The opening's reads all failed: one more, whose outcome is ours.
        m_session.refreshDacVolts([this](const Outcome &read) {
            if (read.ok())
                printLevels();
            else
                fail(read.message);
        });
        return;
    }
    beginWrite();
    const auto stored = [this](const Outcome &set) {
        if (!set.ok())
            fail(set.message);
        else if (endWrite())
            conclude(exitcode::kOk);
    };
    const double volts = limits::voltsOfMv(m_setMv);
    if (m_channel == kAll)
        m_session.setAllDacVoltage(volts, stored);
    else
        m_session.setDacVoltage(m_channel, volts, stored);
}

void ThresholdCommand::printLevels()
{
    const QList<double> mv = knownLevelsMv(m_session);
    QByteArray text;
    for (int ch = 0; ch < mv.size(); ++ch) {
        if (m_channel == kAll || m_channel == ch)
            text += readingrow::formatDouble(mv.at(ch)) + '\n';
    }
    if (writeResult(text))
        conclude(exitcode::kOk);
}
