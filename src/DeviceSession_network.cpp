// The instrument's own network settings: read them, change them through a
// fixed chain that ends with applying and storing them in its EEPROM.
#include "DeviceSession.h"

namespace {

QString replyText(bool ok, const QByteArray &payload)
{
    return ok ? QString::fromUtf8(payload).trimmed() : QString();
}

} // namespace

void DeviceSession::refreshNetwork()
{
    if (!m_connected)
        return;
    // A failed read blanks its field rather than reporting anything.
    enqueue(zrf::kReadMode, {}, [this](bool ok, const QByteArray &payload) {
        if (!ok)
            setNetworkMode(QString());
        else if (payload.size() == 1 && payload.at(0) != 0)
            setNetworkMode(QStringLiteral("DHCP"));
        else
            setNetworkMode(QStringLiteral("Static"));
    });
    enqueue(zrf::kReadIp, {}, [this](bool ok, const QByteArray &payload) {
        setIpAddress(replyText(ok, payload));
    });
    enqueue(zrf::kReadGateway, {}, [this](bool ok, const QByteArray &payload) {
        setGateway(replyText(ok, payload));
    });
    enqueue(zrf::kReadNetmask, {}, [this](bool ok, const QByteArray &payload) {
        setNetmask(replyText(ok, payload));
    });
}

void DeviceSession::applyNetwork(bool dhcp, const QString &ip, const QString &netmask,
                                 const QString &gateway)
{
    if (!m_connected || m_networkApplying)
        return;

    QString ipNorm;
    QString maskNorm;
    QString gatewayNorm;
    if (!dhcp) {
        const QString zero = QStringLiteral("0.0.0.0");
        if (!parseIpv4(ip, &ipNorm) || ipNorm == zero) {
            setLastError(QStringLiteral("Invalid IP address"));
            return;
        }
        if (!parseIpv4(netmask, &maskNorm) || maskNorm == zero) {
            setLastError(QStringLiteral("Invalid netmask"));
            return;
        }
        // No gateway is written as all zeros.
        if (!parseIpv4(gateway, &gatewayNorm)) {
            setLastError(QStringLiteral("Invalid gateway"));
            return;
        }
    }

    setNetworkApplying(true);
    setLastError(QString());

    // Each step runs only when the previous one was accepted.
    struct Target {
        QString ip, netmask, gateway;
    };
    const Target t{ipNorm, maskNorm, gatewayNorm};
    const QByteArray mode(1, dhcp ? char(0x01) : char(0x00));
    enqueue(zrf::kSetDhcp, mode, [this, dhcp, t](bool ok, const QByteArray &) {
        if (!ok) {
            failNetworkApply(QStringLiteral("DHCP set rejected"));
            return;
        }
        if (dhcp) {
            commitNetworkApply(true, QString(), QString(), QString());
            return;
        }
        enqueue(zrf::kSetIp, t.ip.toUtf8(), [this, t](bool ok, const QByteArray &) {
            if (!ok) {
                failNetworkApply(QStringLiteral("IP set rejected"));
                return;
            }
            enqueue(zrf::kSetNetmask, t.netmask.toUtf8(), [this, t](bool ok, const QByteArray &) {
                if (!ok) {
                    failNetworkApply(QStringLiteral("Netmask set rejected"));
                    return;
                }
                enqueue(zrf::kSetGateway, t.gateway.toUtf8(),
                        [this, t](bool ok, const QByteArray &) {
                            if (!ok) {
                                failNetworkApply(QStringLiteral("Gateway set rejected"));
                                return;
                            }
                            commitNetworkApply(false, t.ip, t.netmask, t.gateway);
                        });
            });
        });
    });
}

void DeviceSession::commitNetworkApply(bool dhcp, const QString &ip, const QString &netmask,
                                       const QString &gateway)
{
    enqueue(zrf::kNetApply, {}, [this, dhcp, ip, netmask, gateway](bool ok, const QByteArray &) {
        if (!ok) {
            failNetworkApply(QStringLiteral("Network apply rejected"));
            return;
        }
        enqueue(zrf::kWeep, {}, [this, dhcp, ip, netmask, gateway](bool ok, const QByteArray &) {
            // Published from what was sent; nothing reads the settings back.
            setNetworkMode(dhcp ? QStringLiteral("DHCP") : QStringLiteral("Static"));
            if (!dhcp) {
                setIpAddress(ip);
                setNetmask(netmask);
                setGateway(gateway);
            }
            if (m_networkApplying)
                setNetworkApplying(false);
            if (!ok)
                setLastError(QStringLiteral("WEEP rejected"));
        });
    });
}

void DeviceSession::failNetworkApply(const QString &message)
{
    if (m_networkApplying)
        setNetworkApplying(false);
    setLastError(message);
}

void DeviceSession::setNetworkApplying(bool applying)
{
    if (applying == m_networkApplying)
        return;
    m_networkApplying = applying;
    emit networkApplyingChanged();
    if (applying)
        m_pollTimer.stop();
    else if (m_connected && !m_calibrationRunning) // a sweep keeps holding it
        m_pollTimer.start();
}
