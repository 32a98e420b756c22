#pragma once

#include "DeviceCommand.h"

#include <QSet>

// `network`: prints the instrument's network settings as the session read
// them while opening the link, or applies DHCP or a static address through
// the session's change chain (which ends with the EEPROM write).
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
    void ready(bool ok, const QByteArray &payload) override;
    void replied(unsigned char command, bool ok, const QByteArray &payload) override;
    void timedOut(unsigned char command) override;

private:
    void readDone(unsigned char command);
    void onApplyingChanged();

    Change m_change;
    bool m_reading = false;
    QSet<unsigned char> m_readsLeft;
};
