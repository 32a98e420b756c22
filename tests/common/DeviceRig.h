#pragma once

// A real DeviceSession linked over loopback TCP to the simulator, each rig on its own address.

#include "LoopbackRig.h"
#include "SessionProbe.h"

#include <QSignalSpy>
#include <QtTest>

#include <memory>
#include <utility>

using SdacFrame = std::pair<double, double>; // channel, volts

class DeviceRig
{
public:
    // One address per rig, handed out from `first` up to `last`.
    DeviceRig(int first, int last) : DeviceRig(nextAddress(first, last)) {}
    // At this address; without `listen` nobody answers there.
    explicit DeviceRig(const QString &at, bool listen = true) : address(at)
    {
        isolate(*session);
        session->setTcpHost(address);
        listening = listen && sim->listenTcp(QHostAddress(address), DeviceSession::kTcpPort);
    }

    // Connects and waits until the opening exchange (seven requests) is answered.
    bool open()
    {
        // A close still storing a level ignores a connect: let it end first.
        const bool closed = QTest::qWaitFor([&] { return !session->connected() && !session->connecting(); }, 5000);
        const qsizetype from = mark();
        session->setTcpHost(address);
        session->connectToDevice(true);
        return closed && listening && QTest::qWaitFor([&] { return session->connected() && mark() - from >= 7 && idle(); }, 5000);
    }
    bool idle() const { return !SessionProbe(*session).busy() && SessionProbe(*session).queueLength() == 0; }
    bool waitIdle() { return QTest::qWaitFor([this] { return idle(); }, 5000); }
    qsizetype mark() const { return sim->received().size(); }

    // Requests the instrument saw from `from` on: of code `cmd`, or (cmd 0) all but the polls.
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
    // Another unit, with its own levels, answers on the same address from now on.
    void replaceInstrument()
    {
        sim = std::make_unique<SimInstrument>();
        listening = sim->listenTcp(QHostAddress(address), DeviceSession::kTcpPort);
    }
    // From now on the instrument answers `code` with 0x02 (-1: no fault at all).
    void reject(int code) { setFault(*sim, &SimFaults::rejectCommand, code); }
    QList<SdacFrame> sdacs(qsizetype from = 0) const
    {
        QList<SdacFrame> out;
        for (const zrf::Frame &f : frames(zrf::kSdac, from)) {
            QList<double> v;
            out.append(f.payload.size() == 16 && zrf::unpackDoubles(f.payload, &v) ? SdacFrame{v[0], v[1]} : SdacFrame{-1, -1});
        }
        return out;
    }

    static QString nextAddress(int first, int last)
    {
        static int next = first;
        if (next > last)
            qFatal("DeviceRig: loopback address range used up");
        return QStringLiteral("127.0.0.%1").arg(next++);
    }

    QString address;
    bool listening = false;
    std::unique_ptr<SimInstrument> sim = std::make_unique<SimInstrument>();
    std::unique_ptr<DeviceSession> session = std::make_unique<DeviceSession>(); // last: goes first
};
