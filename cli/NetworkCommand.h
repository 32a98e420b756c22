#pragma once

#include "DeviceCommand.h"

// `network`: prints the instrument's network settings as the session read
// them, or applies DHCP or a static address through the session's change
// chain (which ends with the EEPROM write).
class NetworkCommand : public DeviceCommand
{
    Q_OBJECT
public:
    struct Change {
        bool apply = false; // false: read only
        bool dhcp = false;
        QString ip, netmask, gateway;
    };

    NetworkCommand(DeviceSession &session, const Change &change, QObject *parent = nullptr);

protected:
    void run() override;

private:
    Change m_change;
};
