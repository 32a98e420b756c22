#pragma once

#include "DeviceCommand.h"

// `threshold [CH|all] [MV]`: prints the comparator levels in mV, or sets one
// channel or all of them exactly as the settings page does, and waits until
// the session has stored the level in the instrument's EEPROM.
class ThresholdCommand : public DeviceCommand
{
    Q_OBJECT
public:
    // channel: 0 to 7, or DeviceSession::kAllChannels; setMv < 0: read only.
    ThresholdCommand(DeviceSession &session, int channel, double setMv, QObject *parent = nullptr);

protected:
    void run() override;

private:
    void printLevels(const QList<double> &levelsMv);

    int m_channel;
    double m_setMv;
};
