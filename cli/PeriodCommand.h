#pragma once

#include "DeviceCommand.h"

// `period [MS]`: prints the gate period the instrument reports, or sets it
// the way the settings page does (the session reads it back).
class PeriodCommand : public DeviceCommand
{
    Q_OBJECT
public:
    PeriodCommand(DeviceSession &session, int setMs, QObject *parent = nullptr);

protected:
    void run() override;

private:
    int m_setMs; // 0: read only
};
