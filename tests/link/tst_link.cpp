// The link over loopback TCP and a pseudo-terminal: what only a real socket or terminal shows.
#include "../common/DeviceRig.h"

#include <QSignalSpy>
#include <QtEndian>
#include <QtTest>

#include <limits>

#if defined(Q_OS_LINUX)
#include <sys/socket.h>
#endif

namespace {

const QString kDot = QStringLiteral(" \u00B7 ");
// PERD?, SDAC?, the four network reads, COUN?
const QList<unsigned char> kOpening{0x24, 0x26, 0x0E, 0x0B, 0x0D, 0x0C, 0x23};

SerialPortEntry port(const QString &name, const QString &description = {})
{
    SerialPortEntry e;
    e.name = name;
    e.description = description;
    return e;
}

} // namespace

class TestLink : public QObject
{
    Q_OBJECT
private slots:
    void portListAndSelection()
    {
        QList<SerialPortEntry> present{port(QStringLiteral("COM3")), port(QStringLiteral("COM4"), QStringLiteral("Modem"))};
        DeviceSession session;
        QSignalSpy portsSpy(&session, &DeviceSession::portsChanged);
        QSignalSpy nameSpy(&session, &DeviceSession::portNameChanged);
        session.setSerialPortSource([&present] { return present; });

        // No preferred port: the first entry; a label carries the description.
        QCOMPARE(session.portName(), QStringLiteral("COM3"));
        QStringList labels;
        for (const QVariant &p : session.ports())
            labels.append(p.toMap().value(QStringLiteral("label")).toString());
        QCOMPARE(labels, (QStringList{"COM3", "COM4 \u2014 Modem"}));

        // An unchanged list emits nothing; writing the same name emits nothing.
        portsSpy.clear();
        nameSpy.clear();
        session.refreshPorts();
        session.setPortName(QStringLiteral("COM3"));
        QCOMPARE(portsSpy.count() + nameSpy.count(), 0);

        const auto refreshed = [&session] {
            session.refreshPorts();
            return session.portName();
        };
        // A selected port that stays present stays selected when the instrument appears.
        present.append(port(QStringLiteral("COM7"), QStringLiteral("STM32 Virtual ComPort")));
        QCOMPARE(refreshed(), QStringLiteral("COM3"));
        QCOMPARE(portsSpy.count(), 1);
        // The selected port vanishes: the first preferred one takes its place.
        present.removeFirst();
        QCOMPARE(refreshed(), QStringLiteral("COM7"));
        // Then no preferred port: the first; then none at all: empty.
        present = {port(QStringLiteral("COM9"))};
        QCOMPARE(refreshed(), QStringLiteral("COM9"));
        present.clear();
        QCOMPARE(refreshed(), QString());
    }

    void openingExchangeAndClose()
    {
        DeviceRig rig(QStringLiteral("127.0.0.2"));
        QSignalSpy countsSpy(rig.session.get(), &DeviceSession::countsChanged);
        rig.session->setTcpHost(QStringLiteral("127.000.000.002"));
        rig.session->connectToDevice(true);
        QVERIFY(rig.session->connecting());
        QCOMPARE(rig.session->statusText(), QStringLiteral("Connecting 127.0.0.2\u2026"));
        // Calls while connecting or connected are ignored.
        rig.session->connectToDevice(false);
        QTRY_VERIFY(rig.session->connected() && rig.mark() >= 7);
        QCOMPARE(rig.session->statusText(), QStringLiteral("Connected") + kDot + QStringLiteral("127.0.0.2"));
        QCOMPARE(rig.sim->receivedCommands().mid(0, 7), kOpening);
        QTRY_VERIFY(countsSpy.count() > 0 && SessionProbe(*rig.session).pollTimerActive());
        // The instrument's network settings arrived as text.
        QTRY_COMPARE(rig.session->ipAddress(), rig.sim->ip());

        // A remote close ends the link and blanks them.
        QSignalSpy ipSpy(rig.session.get(), &DeviceSession::ipAddressChanged);
        rig.sim->closeConnections();
        QTRY_VERIFY(!rig.session->connected());
        QCOMPARE(rig.session->lastError(), QStringLiteral("Remote host closed the connection"));
        QCOMPARE(rig.session->statusText(), QStringLiteral("Disconnected"));
        QVERIFY(rig.session->ipAddress().isEmpty() && rig.session->networkMode().isEmpty() && ipSpy.count() == 1);

        // The operator's disconnect clears the queue and leaves the last error alone.
        QVERIFY(rig.open());
        SessionProbe(*rig.session).enqueue(0x26, {}, {});
        QSignalSpy errorSpy(rig.session.get(), &DeviceSession::lastErrorChanged);
        rig.session->disconnectFromDevice();
        QVERIFY(!rig.session->connected() && SessionProbe(*rig.session).queueLength() == 0 && !SessionProbe(*rig.session).busy());
        QVERIFY(!SessionProbe(*rig.session).commandTimerActive() && !SessionProbe(*rig.session).pollTimerActive());
        QTest::qWait(100);
        QCOMPARE(errorSpy.count(), 0);
    }

    // The poll interval follows the period read back, never below 50 ms, and no timer overflows.
    void pollIntervalFollowsThePeriod()
    {
        DeviceRig rig(QStringLiteral("127.0.0.3"));
        rig.sim->setPeriodMs(20);
        QVERIFY(rig.open());
        QTRY_COMPARE(rig.session->periodMs(), 20);
        QCOMPARE(SessionProbe(*rig.session).pollIntervalMs(), 50);

        QSignalSpy periodSpy(rig.session.get(), &DeviceSession::periodMsChanged);
        rig.sim->overrideReply(0x24, zrf::packDoubles({999.9, 5.0, 6.0}), 1);
        rig.session->applyPeriod(1000);
        QTRY_COMPARE(rig.session->periodMs(), 999);
        QVERIFY(periodSpy.count() == 1 && SessionProbe(*rig.session).pollIntervalMs() == 999);
        const QList<unsigned char> cmds = rig.sim->receivedCommands();
        QVERIFY(cmds.indexOf(0x25) >= 0 && cmds.indexOf(0x24, cmds.indexOf(0x25)) > cmds.indexOf(0x25));
        QCOMPARE(rig.sim->received().at(cmds.indexOf(0x25)).payload, zrf::packDouble(1000.0));
        // A read-back of zero is no period: the last one stays.
        rig.sim->overrideReply(0x24, zrf::packDouble(0.0), 1);
        bool done = false;
        rig.session->applyPeriod(30, [&done](const Outcome &) { done = true; });
        QTRY_VERIFY(done);
        QVERIFY(rig.session->periodMs() == 999 && periodSpy.count() == 1);

        QTest::failOnWarning(QRegularExpression(QStringLiteral("[Tt]imer")));
        for (int huge : {800000000, std::numeric_limits<int>::max()}) {
            rig.session->disconnectFromDevice();
            rig.sim->setPeriodMs(huge);
            QVERIFY(rig.open());
            QTRY_VERIFY(rig.session->countsLive() && SessionProbe(*rig.session).pollIntervalMs() == huge);
            QVERIFY(SessionProbe(*rig.session).pollTimerActive() && rig.session->periodMs() == huge);
        }
    }

    // `countsLive` holds only for recent readings of the open link; the counts stay as they were.
    void countsLiveFollowsTheLink()
    {
        DeviceRig rig(QStringLiteral("127.0.0.66"));
        const QList<double> first{1, 2, 3, 4, 5, 6, 7, 8};
        rig.sim->setPeriodMs(20);
        rig.sim->setFixedCounts(first);
        QSignalSpy liveSpy(rig.session.get(), &DeviceSession::countsLiveChanged);
        QVERIFY(rig.open());
        QTRY_VERIFY(rig.session->countsLive());
        QSignalSpy countsSpy(rig.session.get(), &DeviceSession::countsChanged);
        QTRY_VERIFY(countsSpy.count() >= 2);
        rig.sim->overrideReply(0x23, QByteArray(72, 0), 1);
        QTRY_COMPARE(rig.session->lastError(), QStringLiteral("Bad COUN? reply"));
        QCOMPARE(toDoubles(rig.session->counts()), first);
        setFault(*rig.sim, &SimFaults::silent, true); // stale after three 50 ms polls
        QTRY_VERIFY_WITH_TIMEOUT(!rig.session->countsLive(), 1000);
        QVERIFY(rig.session->connected() && liveSpy.count() == 2);
        rig.session->disconnectFromDevice();

        // Another instrument that refuses everything: nothing shown is its own.
        rig.replaceInstrument();
        setFault(*rig.sim, &SimFaults::rejectAll, true);
        QVERIFY(rig.open());
        QTRY_COMPARE(rig.session->lastError(), QStringLiteral("Bad COUN? reply"));
        QVERIFY(!rig.session->countsLive() && !rig.session->dacLevelsKnown());
        QCOMPARE(toDoubles(rig.session->counts()), first);
        rig.sim->setFaults({});
        QTRY_VERIFY(rig.session->countsLive());
    }

    // An instrument still booting misses the opening PERD?: the rest runs and polling starts.
    void unansweredOpeningStillPolls()
    {
        DeviceRig rig(QStringLiteral("127.0.0.4"));
        setFault(*rig.sim, &SimFaults::ignoreFirst, 1);
        QSignalSpy countsSpy(rig.session.get(), &DeviceSession::countsChanged);
        QVERIFY(rig.open());
        QTRY_COMPARE_WITH_TIMEOUT(rig.session->lastError(), QStringLiteral("No reply from device"), 2500);
        QTRY_VERIFY(countsSpy.count() > 0 && SessionProbe(*rig.session).pollTimerActive());
        QCOMPARE(SessionProbe(*rig.session).pollIntervalMs(), 1000);
        QCOMPARE(rig.sim->receivedCommands().mid(0, 7), kOpening);
    }

    // A reset under a write: whatever observers hear on the way down, a request on the wire has its timer.
    void resetWhileWriting()
    {
#if defined(Q_OS_LINUX)
        DeviceRig rig(QStringLiteral("127.0.0.12"));
        QVERIFY(rig.open());
        QTRY_VERIFY(!SessionProbe(*rig.session).busy() && SessionProbe(*rig.session).pollTimerActive());
        QList<bool> consistent;
        connect(rig.session.get(), &DeviceSession::lastErrorChanged, this,
                [&] { consistent.append(SessionProbe(*rig.session).busy() == SessionProbe(*rig.session).commandTimerActive()); });
        // A reset, not a close: the next write fails on the spot.
        for (QTcpSocket *peer : rig.sim->findChildren<QTcpSocket *>()) {
            const linger hard{1, 0};
            ::setsockopt(int(peer->socketDescriptor()), SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
            peer->abort();
        }
        SessionProbe(*rig.session).enqueue(0x26, {}, {});
        QTRY_VERIFY(!rig.session->connected());
        QCOMPARE(consistent, QList<bool>{true});
#else
        QSKIP("needs a socket reset on demand");
#endif
    }

    // Targets refused before any attempt, a refusing host, a silent one: the error, and the state.
    void unreachableHosts()
    {
        SilentHost silent(QStringLiteral("127.0.0.65"));
        QVERIFY(silent.ok);
        const struct {
            const char *host, *message;
            int minMs;
        } cases[] = {{"", "No COM port selected", 0}, {"lab-counter", "Invalid IP address", 0},
                     {"0.0.0.0", "Invalid IP address", 0}, {"127.0.0.64", "Connection refused", 0},
                     {"127.0.0.65", "TCP connect timeout", 2500}};
        for (const auto &c : cases) {
            DeviceRig rig(QString::fromLatin1(c.host), false);
            QSignalSpy connecting(rig.session.get(), &DeviceSession::connectingChanged);
            QElapsedTimer clock;
            clock.start();
            if (*c.host)
                rig.session->connectToDevice(true);
            else
                QVERIFY(QMetaObject::invokeMethod(rig.session.get(), "connectToDevice")); // no argument: serial
            QTRY_COMPARE_WITH_TIMEOUT(rig.session->lastError(), QString::fromLatin1(c.message), 5000);
            QVERIFY(clock.elapsed() >= c.minMs); // the 3 s limit, not an early failure
            QCOMPARE(rig.session->statusText(), QStringLiteral("Disconnected"));
            QVERIFY(!rig.session->connecting() && !rig.session->connected());
            QCOMPARE(connecting.isEmpty(), !QByteArray(c.host).startsWith("127.")); // refused before any attempt
        }
    }

    void servesOverPseudoTerminal()
    {
        SimInstrument sim;
        const QString path = sim.openPty();
        QVERIFY2(!path.isEmpty(), "no pseudo-terminal");
        // XON, XOFF, CR and LF inside a count must pass the line unchanged (raw mode).
        const QList<double> counts{8, 7, 6, 5, 4, 3, 2, qFromLittleEndian<double>("\x11\x13\r\n\x11\x13\r\x01")};
        sim.setFixedCounts(counts);
        DeviceSession session;
        isolate(session);
        session.setSerialPortSource([path] { return QList<SerialPortEntry>{port(path, QStringLiteral("STM32 Virtual ComPort"))}; });
        QCOMPARE(session.portName(), path);
        session.connectToDevice(false);
        QVERIFY(session.connected());
        QCOMPARE(session.statusText(), QStringLiteral("Connected") + kDot + path);
        QTRY_COMPARE(toDoubles(session.counts()), counts);
        QCOMPARE(sim.receivedCommands().mid(0, 7), kOpening);
    }

    void destroyedWhileLive()
    {
        SimInstrument sim;
        QVERIFY(sim.listenTcp(QHostAddress(QStringLiteral("127.0.0.67")), 1234));
        setFault(sim, &SimFaults::splitChunk, 3);
        auto *session = new DeviceSession;
        isolate(*session);
        session->setTcpHost(QStringLiteral("127.0.0.67"));
        session->connectToDevice(true);
        QTRY_VERIFY(session->connected());
        QTest::qWait(150);
        delete session; // replies still in flight must not reach a dead session
        QTest::qWait(200);
    }
};

QTEST_GUILESS_MAIN(TestLink)
#include "tst_link.moc"
