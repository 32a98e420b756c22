#include "NetInterfaces.h"

#include <QNetworkInterface>

QList<NetInterface> systemNetInterfaces()
{
    QList<NetInterface> result;
    const auto all = QNetworkInterface::allInterfaces();
    result.reserve(all.size());
    for (const QNetworkInterface &iface : all) {
        NetInterface n;
        n.name = iface.name();
        n.up = iface.flags().testFlag(QNetworkInterface::IsUp);
        n.loopback = iface.flags().testFlag(QNetworkInterface::IsLoopBack);
        n.isVirtual = iface.type() == QNetworkInterface::Virtual;
        for (const QNetworkAddressEntry &e : iface.addressEntries())
            n.entries.append({e.ip(), e.netmask()});
        result.append(n);
    }
    return result;
}

QList<NetAddressEntry> usableIpv4Entries(const QList<NetInterface> &interfaces)
{
    QList<NetAddressEntry> result;
    for (const NetInterface &iface : interfaces) {
        if (!iface.usable())
            continue;
        for (const NetAddressEntry &e : iface.entries) {
            if (e.ip.protocol() == QAbstractSocket::IPv4Protocol)
                result.append(e);
        }
    }
    return result;
}

QHostAddress localBindFor(const QString &host, const QList<NetInterface> &interfaces)
{
    bool ok = false;
    const quint32 target = QHostAddress(host).toIPv4Address(&ok);
    if (!ok || target == 0)
        return {};
    for (const NetAddressEntry &e : usableIpv4Entries(interfaces)) {
        const quint32 mask = e.netmask.toIPv4Address();
        if (mask != 0 && ((e.ip.toIPv4Address() ^ target) & mask) == 0)
            return e.ip;
    }
    return {};
}
