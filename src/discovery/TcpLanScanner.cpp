#include "TcpLanScanner.h"

#include <QNetworkProxy>
#include <QSet>
#include <QTcpSocket>
#include <QTimer>
#include <QVariantMap>

#include <algorithm>

namespace {

constexpr quint32 kAllOnes = 0xFFFFFFFFu;
// Aligned 1024-address block a wide subnet is narrowed to.
constexpr quint32 kNarrowMask = 0xFFFFFC00u;

QVariantMap hostEntry(const QString &ip)
{
    return QVariantMap{{QStringLiteral("name"), ip}, {QStringLiteral("label"), ip}};
}

// Tears a probe socket down without letting it call back into the scanner.
void discardSocket(QTcpSocket *socket)
{
    socket->disconnect();
    socket->abort();
    socket->deleteLater();
}

} // namespace

TcpLanScanner::TcpLanScanner(QObject *parent)
    : QObject(parent), m_interfaces(systemNetInterfaces)
{
}

TcpLanScanner::~TcpLanScanner()
{
    stop();
}

void TcpLanScanner::setInterfaceSource(NetInterfaceSource source)
{
    m_interfaces = std::move(source);
}

void TcpLanScanner::start()
{
    if (m_scanning)
        return;
    beginRound();
}

void TcpLanScanner::stop()
{
    m_queue.clear();
    setProgress(0, 0);
    if (!m_probes.isEmpty()) {
        const QList<QTcpSocket *> sockets = m_probes.keys();
        // Emptied first so that nothing an abort triggers finds a probe.
        m_probes.clear();
        for (QTcpSocket *socket : sockets)
            discardSocket(socket);
    }
    setScanning(false);
}

double TcpLanScanner::progress() const
{
    if (m_total > 0)
        return m_done * 100.0 / m_total;
    return m_scanning ? 0.0 : 100.0;
}

void TcpLanScanner::beginRound()
{
    if (m_scanning)
        return;
    m_found.clear();
    m_queue.clear();
    m_queue.append(collectTargets());
    setProgress(0, int(m_queue.size()));
    setScanning(true);
    pump();
    if (m_probes.isEmpty() && m_queue.isEmpty())
        finishRound();
}

QList<TcpLanScanner::Probe> TcpLanScanner::collectTargets() const
{
    return m_interfaces ? collectTargets(m_interfaces()) : QList<Probe>();
}

QList<TcpLanScanner::Probe> TcpLanScanner::collectTargets(const QList<NetInterface> &interfaces)
{
    QList<Probe> targets;
    QSet<QString> taken;
    for (const NetAddressEntry &entry : usableIpv4Entries(interfaces)) {
        const quint32 ip = entry.ip.toIPv4Address();
        const quint32 mask = entry.netmask.toIPv4Address();
        if (mask == 0 || mask == kAllOnes)
            continue;
        if ((ip >> 16) == ((169u << 8) | 254u))
            continue;
        quint32 first = (ip & mask) + 1;
        quint32 last = (ip | ~mask) - 1;
        if (first > last)
            continue;
        if (last - first + 1 > quint32(kMaxTargetsPerEntry)) {
            first = (ip & kNarrowMask) + 1;
            last = (ip | ~kNarrowMask) - 1;
        }
        for (quint32 a = first; a <= last; ++a) {
            if (a == ip)
                continue;
            const QString text = QHostAddress(a).toString();
            if (taken.contains(text))
                continue;
            taken.insert(text);
            targets.append(Probe{text, entry.ip});
        }
    }
    return targets;
}

void TcpLanScanner::pump()
{
    if (m_pumping)
        return;
    m_pumping = true;
    while (m_probes.size() < kMaxInFlight && !m_queue.isEmpty())
        startProbe(m_queue.takeFirst());
    m_pumping = false;
}

void TcpLanScanner::startProbe(const Probe &probe)
{
    auto *socket = new QTcpSocket(this);
    socket->setProxy(QNetworkProxy::NoProxy);
    m_probes.insert(socket, probe);
    connect(socket, &QTcpSocket::connected, this, [this, socket] { finishProbe(socket, true); });
    connect(socket, &QTcpSocket::errorOccurred, this,
            [this, socket](QAbstractSocket::SocketError) { finishProbe(socket, false); });
    // The socket is the timer's context: a deleted socket takes its timer along.
    QTimer::singleShot(kProbeLimitMs, Qt::PreciseTimer, socket, [this, socket] {
        if (m_probes.contains(socket) && socket->state() != QAbstractSocket::ConnectedState)
            finishProbe(socket, false);
    });
    socket->connectToHost(QHostAddress(probe.ip), kPort, QIODevice::ReadWrite);
}

void TcpLanScanner::finishProbe(QTcpSocket *socket, bool reached)
{
    const auto it = m_probes.constFind(socket);
    if (it == m_probes.constEnd())
        return;
    const Probe probe = it.value(); // NOLINT(performance-unnecessary-copy-initialization): erased next
    m_probes.erase(it);
    discardSocket(socket);
    if (reached)
        addFound(probe.ip);
    ++m_done;
    emit progressChanged();
    pump();
    if (m_probes.isEmpty() && m_queue.isEmpty())
        finishRound();
}

void TcpLanScanner::addFound(const QString &ip)
{
    if (m_found.contains(ip))
        return;
    m_found.append(ip);
    QList<QString> ips;
    ips.reserve(m_hosts.size() + 1);
    for (const QVariant &host : std::as_const(m_hosts)) {
        const QString name = host.toMap().value(QStringLiteral("name")).toString();
        if (name == ip)
            return; // still listed from an earlier scan
        ips.append(name);
    }
    ips.append(ip);
    publish(sortedIps(ips));
}

void TcpLanScanner::publish(const QList<QString> &ips)
{
    QVariantList hosts;
    hosts.reserve(ips.size());
    for (const QString &ip : ips)
        hosts.append(hostEntry(ip));
    if (hosts == m_hosts)
        return;
    m_hosts = hosts;
    emit hostsChanged();
}

QList<QString> TcpLanScanner::sortedIps(QList<QString> ips)
{
    std::sort(ips.begin(), ips.end(), [](const QString &a, const QString &b) {
        return QHostAddress(a).toIPv4Address() < QHostAddress(b).toIPv4Address();
    });
    return ips;
}

void TcpLanScanner::finishRound()
{
    publish(sortedIps(m_found));
    setProgress(m_total, m_total);
    setScanning(false);
}

void TcpLanScanner::setScanning(bool scanning)
{
    if (m_scanning == scanning)
        return;
    m_scanning = scanning;
    emit scanningChanged();
}

void TcpLanScanner::setProgress(int done, int total)
{
    if (m_done == done && m_total == total)
        return;
    m_done = done;
    m_total = total;
    emit progressChanged();
}
