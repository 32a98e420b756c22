#pragma once

#include <QHostAddress>
#include <QList>
#include <functional>

// A plain copy of what the client needs from the host's network interfaces,
// so that the scanner and the bind choice can be fed made-up interfaces.
struct NetAddressEntry {
    QHostAddress ip;
    QHostAddress netmask;
};

struct NetInterface {
    QString name;
    bool up = false;
    bool loopback = false;
    bool isVirtual = false;
    QList<NetAddressEntry> entries;

    // Up, not loopback, not virtual: the interfaces a LAN instrument sits behind.
    bool usable() const { return up && !loopback && !isVirtual; }
};

using NetInterfaceSource = std::function<QList<NetInterface>()>;

// Reads QNetworkInterface::allInterfaces().
QList<NetInterface> systemNetInterfaces();

// The IPv4 entries of the usable interfaces, in interface and entry order:
// the addresses both the scan and the bind choice start from.
QList<NetAddressEntry> usableIpv4Entries(const QList<NetInterface> &interfaces);

// Local address to bind before connecting to `host`: the first IPv4 entry of
// an up, non-loopback, non-virtual interface whose subnet holds the host.
// Null when the host is not IPv4 or lies on no local subnet.
QHostAddress localBindFor(const QString &host, const QList<NetInterface> &interfaces);
