#include "DeviceSession.h"

#include "Ipv4.h"

void DeviceSession::startTcpScan()
{
    if (m_connected)
        return;
    m_scanner.start();
}

void DeviceSession::stopTcpScan()
{
    m_scanner.stop();
}

void DeviceSession::setTcpHost(const QString &text)
{
    const QString host = ipv4::cleanHost(text);
    if (host == m_tcpHost)
        return;
    m_tcpHost = host;
    emit tcpHostChanged();
}

void DeviceSession::onScannerHostsChanged()
{
    emit tcpHostsChanged();
    // The first find becomes the host only while none is set; a typed or
    // earlier chosen host is never replaced by a scan.
    if (!m_tcpHost.isEmpty())
        return;
    const QVariantList hosts = m_scanner.hosts();
    if (!hosts.isEmpty())
        setTcpHost(hosts.first().toMap().value(QStringLiteral("name")).toString());
}
