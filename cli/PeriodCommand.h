#pragma once

#include "DeviceCommand.h"

// `period [MS]`: prints the gate period the instrument reports, or sets it
// the way the settings page does (PERD, then PERD? read back).
class PeriodCommand : public DeviceCommand
{
    Q_OBJECT
public:
    PeriodCommand(DeviceSession &session, int setMs, QObject *parent = nullptr);

protected:
    void ready(bool ok, const QByteArray &payload) override;
    void replied(unsigned char command, bool ok, const QByteArray &payload) override;
    void timedOut(unsigned char command) override;

private:
    int m_setMs; // 0: read only
};
