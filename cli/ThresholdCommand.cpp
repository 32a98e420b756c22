#include "ThresholdCommand.h"

#include "DeviceSession.h"
#include "ReadingRow.h"

ThresholdCommand::ThresholdCommand(DeviceSession &session, int channel, double setMv, QObject *parent)
    : DeviceCommand(session, parent), m_channel(channel), m_setMv(setMv)
{
}

void ThresholdCommand::run()
{
    if (m_setMv < 0) {
        // Known since the opening, or (its reads all failed) read once more,
        // with an outcome of ours.
        m_session.readLevelsMv([this](const Outcome &read, const DeviceSession::Levels &mv) {
            if (read.ok())
                printLevels(QList<double>(mv.cbegin(), mv.cend()));
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
    m_session.setLevelMv(m_channel, m_setMv, stored);
}

void ThresholdCommand::printLevels(const QList<double> &mv)
{
    QByteArray text;
    for (int ch = 0; ch < mv.size(); ++ch) {
        if (m_channel == DeviceSession::kAllChannels || m_channel == ch)
            text += readingrow::formatDouble(mv.at(ch)) + '\n';
    }
    if (writeResult(text))
        conclude(exitcode::kOk);
}
