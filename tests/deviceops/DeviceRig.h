#pragma once

// A real DeviceSession linked over loopback TCP to the simulated instrument.
// Each rig takes its own loopback address so test executables run in parallel.

#include "DeviceSession.h"
#include "SimInstrument.h"

#include <QSignalSpy>
#include <QtTest>

#include <memory>

struct SdacFrame {
    double channel = -1, volts = -1;
    bool operator==(const SdacFrame &o) const { return channel == o.channel && volts == o.volts; }
};

class DeviceRig
{
public:
    // One address per rig, handed out from `first` up to `last`.
    DeviceRig(int first, int last)
    {
        static int next = first;
        if (next > last)
            qFatal("deviceops: loopback address range used up");
        address = QStringLiteral("127.0.0.%1").arg(next++);
        session->setSerialPortSource([] { return QList<SerialPortEntry>{}; });
        session->setNetInterfaceSource([] { return QList<NetInterface>{}; });
        listening = sim->listenTcp(QHostAddress(address), DeviceSession::kTcpPort);
    }

    // Connects and waits until the opening exchange (seven requests) is answered.
    bool open()
    {
        const qsizetype from = mark();
        session->setTcpHost(address);
        session->connectToDevice(true);
        return listening && QTest::qWaitFor([&] { return session->connected() && mark() - from >= 7 && idle(); }, 5000);
    }
    bool idle() const { return !session->busy() && session->queueLength() == 0; }
    bool waitIdle() { return QTest::qWaitFor([this] { return idle(); }, 5000); }
    qsizetype mark() const { return sim->received().size(); }

    // Requests the instrument saw from index `from` on: all of code `cmd`, or
    // with cmd 0 every one but the count reads of polling.
    QList<zrf::Frame> frames(unsigned char cmd, qsizetype from = 0) const
    {
        QList<zrf::Frame> out;
        for (const zrf::Frame &f : sim->received().mid(from)) {
            if (cmd ? f.command == cmd : f.command != zrf::kCountQuery)
                out.append(f);
        }
        return out;
    }
    QList<unsigned char> commands(qsizetype from = 0) const
    {
        QList<unsigned char> out;
        for (const zrf::Frame &f : frames(0, from))
            out.append(f.command);
        return out;
    }
    QList<SdacFrame> sdacs(qsizetype from = 0) const
    {
        QList<SdacFrame> out;
        for (const zrf::Frame &f : frames(zrf::kSdac, from)) {
            QList<double> v;
            out.append(f.payload.size() == 16 && zrf::unpackDoubles(f.payload, &v) ? SdacFrame{v[0], v[1]} : SdacFrame{});
        }
        return out;
    }

    QString address;
    bool listening = false;
    std::unique_ptr<SimInstrument> sim = std::make_unique<SimInstrument>();
    std::unique_ptr<DeviceSession> session = std::make_unique<DeviceSession>(); // last: goes first
};

inline QList<double> toDoubles(const QVariantList &list)
{
    QList<double> out;
    for (const QVariant &v : list)
        out.append(v.toDouble());
    return out;
}
