#pragma once

// Helpers shared by the tests that run the session over loopback TCP.

#include "DeviceSession.h"
#include "SimInstrument.h"

#include <QFile>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>

// A session that sees no serial ports and no network interfaces.
inline void isolate(DeviceSession &s)
{
    s.setSerialPortSource([] { return QList<SerialPortEntry>{}; });
    s.setNetInterfaceSource([] { return QList<NetInterface>{}; });
}

inline QList<double> toDoubles(const QVariantList &list)
{
    QList<double> out;
    for (const QVariant &v : list)
        out.append(v.toDouble());
    return out;
}

// This process's resident memory in KiB (0 without /proc).
inline qint64 rssKiB()
{
    QFile f(QStringLiteral("/proc/self/status"));
    const QByteArray status = f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    const qsizetype at = status.indexOf("VmRSS:");
    return at < 0 ? 0 : status.mid(at + 6, status.indexOf('\n', at) - at - 6).simplified().split(' ').value(0).toLongLong();
}

// One fault switch on, the others off: setFault(sim, &SimFaults::silent, true).
template <typename T, typename V>
void setFault(SimInstrument &sim, T SimFaults::*field, V value)
{
    SimFaults f;
    f.*field = value;
    sim.setFaults(f);
}

// addr:1234 with a full one-slot backlog and no accept: the kernel drops SYNs, a connect hangs.
struct SilentHost {
    explicit SilentHost(const QString &addr)
    {
        server.setListenBacklogSize(0);
        ok = server.listen(QHostAddress(addr), DeviceSession::kTcpPort);
        server.pauseAccepting();
        for (QTcpSocket &s : fillers)
            s.connectToHost(QHostAddress(addr), DeviceSession::kTcpPort);
        QTest::qWait(100);
    }
    QTcpServer server;
    QTcpSocket fillers[2];
    bool ok = false;
};
