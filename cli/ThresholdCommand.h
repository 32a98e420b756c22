#pragma once

#include "DeviceCommand.h"

#include <QTimer>

// `threshold [CH|all] [MV]`: prints the comparator levels in mV, or sets one
// channel or all of them exactly as the settings page does: SDAC, then the
// session's own EEPROM write, which the command waits for.
class ThresholdCommand : public DeviceCommand
{
    Q_OBJECT
public:
    static constexpr int kAll = -1;

    // setMv < 0: read only.
    ThresholdCommand(DeviceSession &session, int channel, double setMv, QObject *parent = nullptr);

protected:
    void ready(bool ok, const QByteArray &payload) override;
    void replied(unsigned char command, bool ok, const QByteArray &payload) override;
    void timedOut(unsigned char command) override;

private:
    void printLevels();

    int m_channel;
    double m_setMv;
    bool m_levelSent = false;
    bool m_levelTaken = false;
    // Guard only: the session writes the EEPROM after every accepted level.
    QTimer m_eepromGuard;
};
