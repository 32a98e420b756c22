// The instrument's own network settings: read them, change them through a
// fixed chain that ends with applying and storing them in its EEPROM.
#include "DeviceSession.h"

#include <memory>

namespace {

QString replyText(bool ok, const QByteArray &payload)
{
    return ok ? QString::fromUtf8(payload).trimmed() : QString();
}

} // namespace

void DeviceSession::refreshNetwork(Done done)
{
    if (!linkReady()) {
        refuse(done, DeviceError::NotConnected);
        return;
    }
    const quint64 op = beginOperation(std::move(done));
    // Over with the last of the four reads; a lost one is what it reports.
    auto lost = std::make_shared<bool>(false);
    const auto read = [this](unsigned char cmd, const std::function<void(bool, const QByteArray &)> &take, quint64 last,
                             const std::shared_ptr<bool> &lost) {
        Request p = request(cmd, {}, [this, take, last, lost](bool ok, const QByteArray &payload) {
            take(ok, payload);
            if (last)
                finishOperation(last, *lost ? Outcome(DeviceError::NoReply) : Outcome());
        });
        p.expired = [this, last, lost] {
            *lost = true;
            if (last)
                finishOperation(last, Outcome(DeviceError::NoReply));
        };
        m_queue.push(std::move(p));
    };
    // A failed read blanks its field rather than reporting anything.
    read(zrf::kReadMode, [this](bool ok, const QByteArray &payload) {
        if (!ok)
            setNetworkMode(QString());
        else if (payload.size() == 1 && payload.at(0) != 0)
            setNetworkMode(QStringLiteral("DHCP"));
        else
            setNetworkMode(QStringLiteral("Static"));
    }, 0, lost);
    read(zrf::kReadIp, [this](bool ok, const QByteArray &payload) { setIpAddress(replyText(ok, payload)); }, 0, lost);
    read(zrf::kReadGateway, [this](bool ok, const QByteArray &payload) { setGateway(replyText(ok, payload)); }, 0,
         lost);
    read(zrf::kReadNetmask, [this](bool ok, const QByteArray &payload) { setNetmask(replyText(ok, payload)); }, op,
         lost);
}

void DeviceSession::applyNetwork(bool dhcp, const QString &ip, const QString &netmask, const QString &gateway,
                                 Done done)
{
    // The change ends with an EEPROM write, which stores every live level:
    // not while a sweep's may be live, or about to be.
    const bool busy = m_networkApplying || m_calibrationRunning || m_sweepStarting || !m_savedDacLevels.isEmpty()
        || sweepLevelsLive();
    if (!linkReady() || busy) {
        refuse(done, linkReady() ? DeviceError::Busy : DeviceError::NotConnected);
        return;
    }

    QString ipNorm;
    QString maskNorm;
    QString gatewayNorm;
    if (!dhcp) {
        const QString zero = QStringLiteral("0.0.0.0");
        DeviceError invalid = DeviceError::None;
        if (!parseIpv4(ip, &ipNorm) || ipNorm == zero)
            invalid = DeviceError::InvalidIpAddress;
        else if (!parseIpv4(netmask, &maskNorm) || maskNorm == zero)
            invalid = DeviceError::InvalidNetmask;
        else if (!parseIpv4(gateway, &gatewayNorm)) // no gateway is written as all zeros
            invalid = DeviceError::InvalidGateway;
        if (invalid != DeviceError::None) {
            reportError(invalid);
            refuse(done, invalid);
            return;
        }
    }

    setNetworkApplying(true);
    setLastError(QString());
    const quint64 op = beginOperation(std::move(done));

    // Each step runs only when the previous one was accepted.
    struct Target {
        QString ip, netmask, gateway;
    };
    const Target t{ipNorm, maskNorm, gatewayNorm};
    const auto step = [this, op](unsigned char cmd, const QByteArray &payload, DeviceError refused,
                                 const std::function<void()> &next) {
        Request p = request(cmd, payload, [this, op, refused, next](bool ok, const QByteArray &) {
            if (!ok)
                failNetworkApply(refused, op);
            else
                next();
        });
        p.expired = [this, op] { endNetworkApply(Outcome(DeviceError::NoReply), op); };
        m_queue.push(std::move(p));
    };
    const QByteArray mode(1, dhcp ? char(0x01) : char(0x00));
    step(zrf::kSetDhcp, mode, DeviceError::DhcpRejected, [this, step, dhcp, t, op] {
        if (dhcp) {
            commitNetworkApply(true, QString(), QString(), QString(), op);
            return;
        }
        step(zrf::kSetIp, t.ip.toUtf8(), DeviceError::IpRejected, [this, step, t, op] {
            step(zrf::kSetNetmask, t.netmask.toUtf8(), DeviceError::NetmaskRejected, [this, step, t, op] {
                step(zrf::kSetGateway, t.gateway.toUtf8(), DeviceError::GatewayRejected,
                     [this, t, op] { commitNetworkApply(false, t.ip, t.netmask, t.gateway, op); });
            });
        });
    });
}

void DeviceSession::commitNetworkApply(bool dhcp, const QString &ip, const QString &netmask,
                                       const QString &gateway, quint64 op)
{
    const auto stored = [this, dhcp, ip, netmask, gateway, op](bool ok, const QByteArray &) {
        // Published from what was sent; nothing reads the settings back.
        setNetworkMode(dhcp ? QStringLiteral("DHCP") : QStringLiteral("Static"));
        if (!dhcp) {
            setIpAddress(ip);
            setNetmask(netmask);
            setGateway(gateway);
        }
        if (!ok)
            reportError(DeviceError::EepromRejected);
        endNetworkApply(ok ? Outcome() : Outcome(DeviceError::EepromRejected), op);
    };
    Request apply = request(zrf::kNetApply, {}, [this, stored, op](bool ok, const QByteArray &) {
        if (!ok) {
            failNetworkApply(DeviceError::NetworkApplyRejected, op);
            return;
        }
        Request store = request(zrf::kWeep, {}, stored);
        store.expired = [this, op] { endNetworkApply(Outcome(DeviceError::NoReply), op); };
        m_queue.push(std::move(store));
    });
    apply.expired = [this, op] { endNetworkApply(Outcome(DeviceError::NoReply), op); };
    m_queue.push(std::move(apply));
}

void DeviceSession::failNetworkApply(DeviceError error, quint64 op)
{
    reportError(error);
    endNetworkApply(Outcome(error), op);
}

// The chain is over, however: the poll and other changes may go on.
void DeviceSession::endNetworkApply(const Outcome &outcome, quint64 op)
{
    setNetworkApplying(false);
    finishOperation(op, outcome);
}

void DeviceSession::setNetworkApplying(bool applying)
{
    if (applying == m_networkApplying)
        return;
    m_networkApplying = applying;
    emit networkApplyingChanged();
    updatePolling();
}
