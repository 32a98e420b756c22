#pragma once

// A real DeviceSession linked over loopback TCP to the simulated instrument.
// Each rig takes its own loopback address so test executables run in parallel.

#include "DeviceSession.h"
#include "SimInstrument.h"

#include <QSignalSpy>
#include <QtTest>

#include <memory>

struct SdacFrame {
    double channel = -1;
    double volts = -1;
};

class DeviceRig
{
public:
    // Addresses handed out from `first` up to `last`, one per rig.
    static QString nextAddress(int first, int last)
    {
        static int next = first;
        if (next > last)
            qFatal("deviceops: loopback address range used up");
        return QStringLiteral("127.0.0.%1").arg(next++);
    }

    explicit DeviceRig(const QString &address)
        : address(address)
    {
        sim = std::make_unique<SimInstrument>();
        session = std::make_unique<DeviceSession>();
        session->setSerialPortSource([] { return QList<SerialPortEntry>{}; });
        session->setNetInterfaceSource([] { return QList<NetInterface>{}; });
        listening = sim->listenTcp(QHostAddress(address), DeviceSession::kTcpPort);
    }

    ~DeviceRig()
    {
        session.reset();
        sim.reset();
    }

    // Connects and waits until the opening exchange has been answered.
    bool open()
    {
        if (!listening)
            return false;
        const qsizetype from = mark();
        session->setTcpHost(address);
        session->connectToDevice(true);
        if (!QTest::qWaitFor([this] { return session->connected(); }, 5000))
            return false;
        // PERD?, SDAC?, four network reads, COUN?
        return QTest::qWaitFor([this, from] { return mark() - from >= 7 && idle(); }, 5000);
    }

    bool idle() const { return !session->busy() && session->queueLength() == 0; }
    bool waitIdle(int ms = 5000)
    {
        return QTest::qWaitFor([this] { return idle(); }, ms);
    }

    // Commands seen by the instrument from index `from` on, poll reads left out.
    QList<unsigned char> commands(qsizetype from = 0) const
    {
        QList<unsigned char> out;
        const QList<zrf::Frame> frames = sim->received();
        for (qsizetype i = from; i < frames.size(); ++i) {
            if (frames.at(i).command != zrf::kCountQuery)
                out.append(frames.at(i).command);
        }
        return out;
    }

    QList<zrf::Frame> frames(unsigned char cmd, qsizetype from = 0) const
    {
        QList<zrf::Frame> out;
        const QList<zrf::Frame> all = sim->received();
        for (qsizetype i = from; i < all.size(); ++i) {
            if (all.at(i).command == cmd)
                out.append(all.at(i));
        }
        return out;
    }

    QList<SdacFrame> sdacs(qsizetype from = 0) const
    {
        QList<SdacFrame> out;
        for (const zrf::Frame &f : frames(zrf::kSdac, from)) {
            QList<double> v;
            SdacFrame s;
            if (f.payload.size() == 16 && zrf::unpackDoubles(f.payload, &v)) {
                s.channel = v.at(0);
                s.volts = v.at(1);
            }
            out.append(s);
        }
        return out;
    }

    qsizetype mark() const { return sim->received().size(); }

    QString address;
    bool listening = false;
    std::unique_ptr<SimInstrument> sim;
    std::unique_ptr<DeviceSession> session;
};

inline QList<double> toDoubles(const QVariantList &list)
{
    QList<double> out;
    for (const QVariant &v : list)
        out.append(v.toDouble());
    return out;
}
