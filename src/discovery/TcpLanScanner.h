#pragma once

#include "NetInterfaces.h"

#include <QHash>
#include <QHostAddress>
#include <QList>
#include <QObject>
#include <QStringList>
#include <QVariantList>

class QTcpSocket;

// Probes every address of the attached IPv4 subnets on the instrument port
// and publishes the addresses that accept a connection, in numeric order.
class TcpLanScanner : public QObject
{
    Q_OBJECT
public:
    struct Probe {
        QString ip;
        QHostAddress localAddress;
    };

    static constexpr quint16 kPort = 1234;
    static constexpr int kMaxInFlight = 64;
    static constexpr int kProbeLimitMs = 400;
    static constexpr int kMaxTargetsPerEntry = 1022;

    explicit TcpLanScanner(QObject *parent = nullptr);
    ~TcpLanScanner() override;

    // Replaces where the interface list comes from (tests feed made-up ones).
    void setInterfaceSource(NetInterfaceSource source);

    void start();
    void stop();
    QVariantList hosts() const { return m_hosts; }
    bool scanning() const { return m_scanning; }
    double progress() const;

    // Target list for the given interfaces, in probing order.
    static QList<Probe> collectTargets(const QList<NetInterface> &interfaces);
    // Ascending by numeric IPv4 value; non-addresses count as 0.
    static QList<QString> sortedIps(QList<QString> ips);

signals:
    void hostsChanged();
    void scanningChanged();
    void progressChanged();

private:
    void beginRound();
    QList<Probe> collectTargets() const;
    void pump();
    void startProbe(const Probe &probe);
    void finishProbe(QTcpSocket *socket, bool reached);
    void addFound(const QString &ip);
    void publish(const QList<QString> &ips);
    void finishRound();
    void setScanning(bool scanning);
    void setProgress(int done, int total);

    QVariantList m_hosts;
    QStringList m_found;
    QList<Probe> m_queue;
    QHash<QTcpSocket *, Probe> m_probes;
    bool m_scanning = false;
    int m_total = 0;
    int m_done = 0;
    NetInterfaceSource m_interfaces;
    // A refused connect can fail inside connectToHost and finish its probe
    // there; the outer pump() keeps filling instead of recursing per target.
    bool m_pumping = false;
};
