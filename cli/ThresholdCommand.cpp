#include "ThresholdCommand.h"

#include "DeviceSession.h"
#include "ReadingRow.h"

namespace {
// Far beyond any EEPROM write the session delays or queues behind polls.
constexpr int kEepromGuardMs = 10000;
} // namespace

ThresholdCommand::ThresholdCommand(DeviceSession &session, int channel, double setMv, QObject *parent)
    : DeviceCommand(session, parent), m_channel(channel), m_setMv(setMv)
{
    m_eepromGuard.setSingleShot(true);
    m_eepromGuard.setInterval(kEepromGuardMs);
    connect(&m_eepromGuard, &QTimer::timeout, this,
            [this] { fail(QStringLiteral("no EEPROM write followed the new level")); });
}

void ThresholdCommand::ready(bool, const QByteArray &)
{
    if (m_setMv < 0) {
        if (m_session.dacLevelsKnown())
            printLevels();
        else
            connect(&m_session, &DeviceSession::dacLevelsKnownChanged, this, &ThresholdCommand::printLevels);
        return;
    }
    beginWrite();
    m_levelSent = true;
    const double volts = m_setMv / 1000.0;
    if (m_channel == kAll)
        m_session.setAllDacVoltage(volts);
    else
        m_session.setDacVoltage(m_channel, volts);
}

void ThresholdCommand::printLevels()
{
    const QList<double> mv = knownLevelsMv(m_session);
    if (mv.isEmpty())
        return;
    QByteArray text;
    for (int ch = 0; ch < mv.size(); ++ch) {
        if (m_channel == kAll || m_channel == ch)
            text += readingrow::formatDouble(mv.at(ch)) + '\n';
    }
    if (writeResult(text))
        conclude(exitcode::kOk);
}

void ThresholdCommand::replied(unsigned char command, bool ok, const QByteArray &)
{
    if (!m_levelSent)
        return;
    if (command == zrf::kSdac && !m_levelTaken) {
        if (!ok) {
            fail(QStringLiteral("SDAC rejected"));
            return;
        }
        m_levelTaken = true;
        m_eepromGuard.start();
    } else if (command == zrf::kWeep && m_levelTaken) {
        m_eepromGuard.stop();
        if (!ok)
            fail(QStringLiteral("WEEP rejected"));
        else if (endWrite())
            conclude(exitcode::kOk);
    }
}

void ThresholdCommand::timedOut(unsigned char command)
{
    if (m_levelSent && (command == zrf::kSdac || command == zrf::kWeep))
        fail(QStringLiteral("No reply from device"));
}
