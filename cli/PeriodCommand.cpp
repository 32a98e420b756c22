#include "PeriodCommand.h"

#include "DeviceSession.h"
#include "Output.h"

PeriodCommand::PeriodCommand(DeviceSession &session, int setMs, QObject *parent)
    : DeviceCommand(session, parent), m_setMs(setMs)
{
}

void PeriodCommand::run()
{
    if (m_setMs <= 0) {
        m_session.refreshPeriod([this](const Outcome &read) {
            if (!read.ok())
                fail(read.message);
            else if (writeResult(QByteArray::number(m_session.periodMs()) + '\n'))
                conclude(exitcode::kOk);
        });
        return;
    }
    beginWrite();
    m_session.applyPeriod(m_setMs, [this](const Outcome &set) {
        if (!set.ok()) {
            fail(set.message);
            return;
        }
        // The instrument may round or clamp; its own value is what counts.
        if (m_session.periodMs() != m_setMs)
            output::message(QStringLiteral("the instrument keeps a gate period of %1 ms").arg(m_session.periodMs()));
        if (endWrite())
            conclude(exitcode::kOk);
    });
}
