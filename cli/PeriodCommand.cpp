#include "PeriodCommand.h"

#include "DeviceSession.h"
#include "Output.h"

PeriodCommand::PeriodCommand(DeviceSession &session, int setMs, QObject *parent)
    : DeviceCommand(session, parent), m_setMs(setMs)
{
}

void PeriodCommand::ready(bool ok, const QByteArray &payload)
{
    if (m_setMs <= 0) {
        if (!periodReply(ok, payload))
            fail(QStringLiteral("Bad PERD? reply"));
        else if (writeResult(QByteArray::number(m_session.periodMs()) + '\n'))
            conclude(exitcode::kOk);
        return;
    }
    beginWrite();
    m_session.applyPeriod(m_setMs);
}

void PeriodCommand::replied(unsigned char command, bool ok, const QByteArray &payload)
{
    if (!writing())
        return;
    if (command == zrf::kPeriodSet && !ok) {
        fail(QStringLiteral("PERD rejected"));
    } else if (command == zrf::kPeriodQuery) {
        if (!periodReply(ok, payload)) {
            fail(QStringLiteral("Bad PERD? reply"));
            return;
        }
        // The instrument may round or clamp; its own value is what counts.
        if (m_session.periodMs() != m_setMs)
            output::message(QStringLiteral("the instrument keeps a gate period of %1 ms").arg(m_session.periodMs()));
        if (endWrite())
            conclude(exitcode::kOk);
    }
}

void PeriodCommand::timedOut(unsigned char command)
{
    if (writing() && (command == zrf::kPeriodSet || command == zrf::kPeriodQuery))
        fail(QStringLiteral("No reply from device"));
}
