#pragma once

#include "SessionHost.h"

#include <QObject>
#include <QString>

// The instrument's own network settings: read as four fields, and changed
// through a fixed chain (mode, then address, netmask and gateway, then
// apply and store in the EEPROM) where each step runs only when the one
// before was accepted.
class NetworkConfig : public QObject
{
    Q_OBJECT
public:
    explicit NetworkConfig(SessionHost &host, QObject *parent = nullptr);

    QString mode() const { return m_mode; } // "DHCP", "Static", or empty when unknown
    QString ipAddress() const { return m_ip; }
    QString netmask() const { return m_netmask; }
    QString gateway() const { return m_gateway; }
    bool applying() const { return m_applying; }

    // Over with the last of the four reads. A failed read blanks its field.
    void read(quint64 op);
    // The caller has checked that the link takes it and nothing holds the
    // instrument; the addresses are checked here, as the settings page
    // shows them.
    void apply(bool dhcp, const QString &ip, const QString &netmask, const QString &gateway, Done done);
    // The link ended: nothing is known, and no change runs.
    void clear();

signals:
    void modeChanged();
    void ipAddressChanged();
    void netmaskChanged();
    void gatewayChanged();
    void applyingChanged();

private:
    template <typename T>
    void change(T NetworkConfig::*field, const T &value, void (NetworkConfig::*notify)())
    {
        if (this->*field == value)
            return;
        this->*field = value;
        emit(this->*notify)();
    }
    void commit(bool dhcp, const QString &ip, const QString &netmask, const QString &gateway, quint64 op);
    void fail(DeviceError error, quint64 op);
    void end(const Outcome &outcome, quint64 op);
    void setApplying(bool applying);

    SessionHost &m_host;
    QString m_mode;
    QString m_ip;
    QString m_netmask;
    QString m_gateway;
    bool m_applying = false;
};
