#include "NetworkConfig.h"

#include "Ipv4.h"

#include <memory>

namespace {

QString replyText(bool ok, const QByteArray &payload)
{
    return ok ? QString::fromUtf8(payload).trimmed() : QString();
}

} // namespace

NetworkConfig::NetworkConfig(SessionHost &host, QObject *parent) : QObject(parent), m_host(host) {}

void NetworkConfig::read(quint64 op)
{
    // A lost one is what the last read reports.
    auto lost = std::make_shared<bool>(false);
    const auto read = [this](unsigned char cmd, const std::function<void(bool, const QByteArray &)> &take, quint64 last,
                             const std::shared_ptr<bool> &lost) {
        SessionHost::Request p = SessionHost::request(cmd, {}, [this, take, last, lost](bool ok, const QByteArray &payload) {
            take(ok, payload);
            if (last)
                m_host.operations().finish(last, *lost ? Outcome(DeviceError::NoReply) : Outcome());
        });
        p.expired = [this, last, lost] {
            *lost = true;
            if (last)
                m_host.operations().finish(last, Outcome(DeviceError::NoReply));
        };
        m_host.requests().push(std::move(p));
    };
    read(zrf::kReadMode, [this](bool ok, const QByteArray &payload) {
        if (!ok)
            change(&NetworkConfig::m_mode, QString(), &NetworkConfig::modeChanged);
        else if (payload.size() == 1 && payload.at(0) != 0)
            change(&NetworkConfig::m_mode, QStringLiteral("DHCP"), &NetworkConfig::modeChanged);
        else
            change(&NetworkConfig::m_mode, QStringLiteral("Static"), &NetworkConfig::modeChanged);
    }, 0, lost);
    read(zrf::kReadIp, [this](bool ok, const QByteArray &payload) {
        change(&NetworkConfig::m_ip, replyText(ok, payload), &NetworkConfig::ipAddressChanged);
    }, 0, lost);
    read(zrf::kReadGateway, [this](bool ok, const QByteArray &payload) {
        change(&NetworkConfig::m_gateway, replyText(ok, payload), &NetworkConfig::gatewayChanged);
    }, 0, lost);
    read(zrf::kReadNetmask, [this](bool ok, const QByteArray &payload) {
        change(&NetworkConfig::m_netmask, replyText(ok, payload), &NetworkConfig::netmaskChanged);
    }, op, lost);
}

void NetworkConfig::apply(bool dhcp, const QString &ip, const QString &netmask, const QString &gateway, Done done)
{
    QString ipNorm;
    QString maskNorm;
    QString gatewayNorm;
    if (!dhcp) {
        const QString zero = QStringLiteral("0.0.0.0");
        DeviceError invalid = DeviceError::None;
        if (!ipv4::parseIpv4(ip, &ipNorm) || ipNorm == zero)
            invalid = DeviceError::InvalidIpAddress;
        else if (!ipv4::parseIpv4(netmask, &maskNorm) || maskNorm == zero)
            invalid = DeviceError::InvalidNetmask;
        else if (!ipv4::parseIpv4(gateway, &gatewayNorm)) // no gateway is written as all zeros
            invalid = DeviceError::InvalidGateway;
        if (invalid != DeviceError::None) {
            m_host.report(Outcome(invalid));
            OperationBook::refuse(done, invalid);
            return;
        }
    }

    setApplying(true);
    m_host.clearError();
    const quint64 op = m_host.operations().begin(std::move(done));

    struct Target {
        QString ip, netmask, gateway;
    };
    const Target t{ipNorm, maskNorm, gatewayNorm};
    const auto step = [this, op](unsigned char cmd, const QByteArray &payload, DeviceError refused,
                                 const std::function<void()> &next) {
        SessionHost::Request p = SessionHost::request(cmd, payload, [this, op, refused, next](bool ok, const QByteArray &) {
            if (!ok)
                fail(refused, op);
            else
                next();
        });
        p.expired = [this, op] { end(Outcome(DeviceError::NoReply), op); };
        m_host.requests().push(std::move(p));
    };
    const QByteArray mode(1, dhcp ? char(0x01) : char(0x00));
    step(zrf::kSetDhcp, mode, DeviceError::DhcpRejected, [this, step, dhcp, t, op] {
        if (dhcp) {
            commit(true, QString(), QString(), QString(), op);
            return;
        }
        step(zrf::kSetIp, t.ip.toUtf8(), DeviceError::IpRejected, [this, step, t, op] {
            step(zrf::kSetNetmask, t.netmask.toUtf8(), DeviceError::NetmaskRejected, [this, step, t, op] {
                step(zrf::kSetGateway, t.gateway.toUtf8(), DeviceError::GatewayRejected,
                     [this, t, op] { commit(false, t.ip, t.netmask, t.gateway, op); });
            });
        });
    });
}

void NetworkConfig::commit(bool dhcp, const QString &ip, const QString &netmask, const QString &gateway, quint64 op)
{
    const auto stored = [this, dhcp, ip, netmask, gateway, op](bool ok, const QByteArray &) {
        // Published from what was sent; nothing reads the settings back.
        change(&NetworkConfig::m_mode, dhcp ? QStringLiteral("DHCP") : QStringLiteral("Static"),
               &NetworkConfig::modeChanged);
        if (!dhcp) {
            change(&NetworkConfig::m_ip, ip, &NetworkConfig::ipAddressChanged);
            change(&NetworkConfig::m_netmask, netmask, &NetworkConfig::netmaskChanged);
            change(&NetworkConfig::m_gateway, gateway, &NetworkConfig::gatewayChanged);
        }
        if (!ok)
            m_host.report(Outcome(DeviceError::EepromRejected));
        end(ok ? Outcome() : Outcome(DeviceError::EepromRejected), op);
    };
    SessionHost::Request apply = SessionHost::request(zrf::kNetApply, {}, [this, stored, op](bool ok, const QByteArray &) {
        if (!ok) {
            fail(DeviceError::NetworkApplyRejected, op);
            return;
        }
        SessionHost::Request store = SessionHost::request(zrf::kWeep, {}, stored);
        store.expired = [this, op] { end(Outcome(DeviceError::NoReply), op); };
        m_host.requests().push(std::move(store));
    });
    apply.expired = [this, op] { end(Outcome(DeviceError::NoReply), op); };
    m_host.requests().push(std::move(apply));
}

void NetworkConfig::fail(DeviceError error, quint64 op)
{
    m_host.report(Outcome(error));
    end(Outcome(error), op);
}

// The chain is over, however: the poll and other changes may go on.
void NetworkConfig::end(const Outcome &outcome, quint64 op)
{
    setApplying(false);
    m_host.operations().finish(op, outcome);
}

void NetworkConfig::setApplying(bool applying)
{
    if (applying == m_applying)
        return;
    m_applying = applying;
    emit applyingChanged();
    m_host.pollingMayChange();
}

void NetworkConfig::clear()
{
    change(&NetworkConfig::m_mode, QString(), &NetworkConfig::modeChanged);
    change(&NetworkConfig::m_ip, QString(), &NetworkConfig::ipAddressChanged);
    change(&NetworkConfig::m_gateway, QString(), &NetworkConfig::gatewayChanged);
    change(&NetworkConfig::m_netmask, QString(), &NetworkConfig::netmaskChanged);
    if (m_applying) {
        m_applying = false;
        emit applyingChanged();
    }
}
