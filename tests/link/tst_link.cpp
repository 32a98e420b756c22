// Queue and link end to end against the simulated instrument over loopback
// TCP (one 127.0.0.x address per case) and over a pseudo-terminal.
#include "DeviceSession.h"
#include "SimInstrument.h"

#include <QSignalSpy>
#include <QtTest>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

const QString kDot = QStringLiteral(" \u00B7 ");

QList<SerialPortEntry> noPorts() { return {}; }

SerialPortEntry port(const QString &name, const QString &description = {}, bool stm = false)
{
    SerialPortEntry e;
    e.name = name;
    e.description = description;
    if (stm) {
        e.hasVendorId = e.hasProductId = true;
        e.vendorId = 0x0483;
        e.productId = 0x5740;
    }
    return e;
}

QList<double> variantDoubles(const QVariantList &list)
{
    QList<double> out;
    for (const QVariant &v : list)
        out.append(v.toDouble());
    return out;
}

// A session with no real ports or interfaces behind it.
struct Rig {
    explicit Rig(const QString &address, bool listen = true)
        : host(address)
    {
        session.setSerialPortSource(noPorts);
        session.setNetInterfaceSource([] { return QList<NetInterface>{}; });
        if (listen)
            QVERIFY(sim.listenTcp(QHostAddress(address), 1234));
    }
    bool connectTcp()
    {
        session.setTcpHost(host);
        session.connectToDevice(true);
        return QTest::qWaitFor([this] { return session.connected(); }, 3000);
    }
    // Waits until the opening exchange has sent its seven requests.
    bool opened()
    {
        return connectTcp()
            && QTest::qWaitFor([this] { return sim.received().size() >= 7; }, 3000);
    }
    QString host;
    SimInstrument sim;
    DeviceSession session;
};

// Occupies addr:1234 with a listener whose accept queue is full, so the
// kernel drops further SYNs and a connect attempt hangs like a silent host.
class SilentListener
{
public:
    explicit SilentListener(const char *addr)
    {
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_port = htons(1234);
        inet_pton(AF_INET, addr, &sa.sin_addr);
        m_listen = ::socket(AF_INET, SOCK_STREAM, 0);
        int one = 1;
        ::setsockopt(m_listen, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        if (::bind(m_listen, reinterpret_cast<sockaddr *>(&sa), sizeof sa) != 0 || ::listen(m_listen, 0) != 0)
            return;
        for (int i = 0; i < 2; ++i) {
            const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
            ::connect(fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa);
            m_fillers.append(fd);
        }
        QTest::qWait(100);
        m_ok = true;
    }
    ~SilentListener()
    {
        for (int fd : m_fillers)
            ::close(fd);
        if (m_listen >= 0)
            ::close(m_listen);
    }
    bool ok() const { return m_ok; }

private:
    int m_listen = -1;
    QList<int> m_fillers;
    bool m_ok = false;
};

} // namespace

class TestLink : public QObject
{
    Q_OBJECT
private slots:
    void startsClosedWithDefaults();
    void portListAndSelection();
    void serialConnectNeedsPort();
    void openingExchangeOverTcp();
    void pollIntervalAndPeriod();
    void silentInstrumentTimesOut();
    void lateReplyFailsNextRequest();
    void badCountReplies();
    void pollBacklogStaysBounded();
    void refusedAndSilentHosts();
    void remoteCloseAndUserDisconnect();
    void servesOverPseudoTerminal();
    void destroyedWhileLive();
};

void TestLink::startsClosedWithDefaults()
{
    DeviceSession session;
    session.setSerialPortSource(noPorts);
    QCOMPARE(session.statusText(), QStringLiteral("Disconnected"));
    QVERIFY(session.lastError().isEmpty());
    QCOMPARE(variantDoubles(session.counts()), QList<double>(8, 0.0));
    QCOMPARE(variantDoubles(session.dacVolts()), QList<double>(8, 0.0));
    QCOMPARE(session.periodMs(), 1000);
    QCOMPARE(session.channelCount(), 8);
    QCOMPARE(session.dacMaxVolts(), 1.0);
    QVERIFY(!session.connected());
    QVERIFY(!session.connecting());
    QCOMPARE(session.property("tcpScanProgress").toDouble(), 100.0);
}

void TestLink::portListAndSelection()
{
    QList<SerialPortEntry> present{port(QStringLiteral("COM3")), port(QStringLiteral("COM4"), QStringLiteral("Modem"))};
    DeviceSession session;
    QSignalSpy portsSpy(&session, &DeviceSession::portsChanged);
    QSignalSpy nameSpy(&session, &DeviceSession::portNameChanged);
    session.setSerialPortSource([&present] { return present; });

    // No preferred port: the first entry; a label carries the description.
    QCOMPARE(session.portName(), QStringLiteral("COM3"));
    const QVariantList ports = session.ports();
    QCOMPARE(ports.size(), 2);
    QCOMPARE(ports[0].toMap()[QStringLiteral("label")].toString(), QStringLiteral("COM3"));
    QCOMPARE(ports[1].toMap()[QStringLiteral("label")].toString(), QStringLiteral("COM4 \u2014 Modem"));
    QCOMPARE(ports[1].toMap()[QStringLiteral("preferred")].toBool(), false);

    // An unchanged list emits nothing; writing the same name emits nothing.
    portsSpy.clear();
    nameSpy.clear();
    session.refreshPorts();
    session.setPortName(QStringLiteral("COM3"));
    QCOMPARE(portsSpy.count(), 0);
    QCOMPARE(nameSpy.count(), 0);

    // A selected port that stays present stays selected when the instrument appears.
    present.append(port(QStringLiteral("COM7"), QStringLiteral("STM32 Virtual ComPort"), true));
    session.refreshPorts();
    QCOMPARE(portsSpy.count(), 1);
    QCOMPARE(session.portName(), QStringLiteral("COM3"));

    // The selected port vanishes: the first preferred one takes its place.
    present.removeFirst();
    session.refreshPorts();
    QCOMPARE(session.portName(), QStringLiteral("COM7"));

    // Then no preferred port: the first; then none at all: empty.
    present = {port(QStringLiteral("COM9"))};
    session.refreshPorts();
    QCOMPARE(session.portName(), QStringLiteral("COM9"));
    present.clear();
    session.refreshPorts();
    QCOMPARE(session.portName(), QString());
}

void TestLink::serialConnectNeedsPort()
{
    DeviceSession session;
    session.setSerialPortSource(noPorts);
    QSignalSpy connectingSpy(&session, &DeviceSession::connectingChanged);
    QSignalSpy statusSpy(&session, &DeviceSession::statusTextChanged);
    QVERIFY(QMetaObject::invokeMethod(&session, "connectToDevice")); // no argument: serial
    QCOMPARE(session.lastError(), QStringLiteral("No COM port selected"));
    QCOMPARE(connectingSpy.count(), 0);
    QCOMPARE(statusSpy.count(), 0);

    // A host that is no dotted quad, or 0.0.0.0, is refused before any attempt.
    for (const char *host : {"lab-counter", "0.0.0.0"}) {
        session.setTcpHost(QString::fromLatin1(host));
        session.connectToDevice(true);
        QCOMPARE(session.lastError(), QStringLiteral("Invalid IP address"));
        QVERIFY(!session.connecting());
    }
}

void TestLink::openingExchangeOverTcp()
{
    Rig rig(QStringLiteral("127.0.0.2"));
    QSignalSpy countsSpy(&rig.session, &DeviceSession::countsChanged);
    rig.session.setTcpHost(QStringLiteral("127.000.000.002"));
    QCOMPARE(rig.session.tcpHost(), QStringLiteral("127.0.0.2"));
    rig.session.connectToDevice(true);
    QVERIFY(rig.session.connecting());
    QCOMPARE(rig.session.statusText(), QStringLiteral("Connecting 127.0.0.2\u2026"));
    // Calls while connecting or connected are ignored.
    rig.session.connectToDevice(false);
    QVERIFY(rig.opened());
    QCOMPARE(rig.session.statusText(), QStringLiteral("Connected") + kDot + QStringLiteral("127.0.0.2"));
    QVERIFY(rig.session.lastError().isEmpty());

    const QList<unsigned char> expected{0x24, 0x26, 0x0E, 0x0B, 0x0D, 0x0C, 0x23};
    QCOMPARE(rig.sim.receivedCommands().mid(0, 7), expected);
    QVERIFY(countsSpy.wait(2000) || countsSpy.count() > 0);
    QVERIFY(rig.session.pollTimerActive());
    // The instrument's network settings arrived as text.
    QTRY_COMPARE(rig.session.ipAddress(), rig.sim.ip());
}

void TestLink::pollIntervalAndPeriod()
{
    Rig rig(QStringLiteral("127.0.0.3"));
    rig.sim.setPeriodMs(20);
    QVERIFY(rig.opened());
    QTRY_COMPARE(rig.session.periodMs(), 20);
    QCOMPARE(rig.session.pollIntervalMs(), 50);

    // Out-of-range periods send nothing.
    rig.sim.clearReceived();
    rig.session.applyPeriod(0);
    rig.session.applyPeriod(-5);
    QTest::qWait(120);
    QVERIFY(!rig.sim.receivedCommands().contains(0x25));

    // PERD then its read-back; the instrument's own value is what shows.
    QSignalSpy periodSpy(&rig.session, &DeviceSession::periodMsChanged);
    rig.sim.overrideReply(0x24, zrf::packDoubles({999.9, 5.0, 6.0}), 1);
    rig.session.applyPeriod(1000);
    QTRY_COMPARE(rig.session.periodMs(), 999);
    QCOMPARE(rig.session.pollIntervalMs(), 999);
    const QList<unsigned char> cmds = rig.sim.receivedCommands();
    QVERIFY(cmds.indexOf(0x25) >= 0 && cmds.indexOf(0x24, cmds.indexOf(0x25)) > cmds.indexOf(0x25));
    QCOMPARE(rig.sim.received().at(cmds.indexOf(0x25)).payload, zrf::packDouble(1000.0));

    // A read-back of zero keeps the period but still resets the interval.
    rig.sim.overrideReply(0x24, zrf::packDouble(0.0), 1);
    periodSpy.clear();
    rig.session.applyPeriod(30);
    QTest::qWait(300);
    QCOMPARE(rig.session.periodMs(), 999);
    QCOMPARE(periodSpy.count(), 0);

    // A rejected PERD reports and reads nothing back.
    SimFaults f;
    f.rejectCommand = 0x25;
    rig.sim.setFaults(f);
    rig.session.applyPeriod(40);
    QTRY_COMPARE(rig.session.lastError(), QStringLiteral("PERD rejected"));
}

void TestLink::silentInstrumentTimesOut()
{
    Rig rig(QStringLiteral("127.0.0.4"));
    SimFaults f;
    f.silent = true;
    rig.sim.setFaults(f);
    QVERIFY(rig.connectTcp());
    QCOMPARE(rig.session.queueLength(), 1); // PERD?
    QVERIFY(rig.session.busy() && rig.session.commandTimerActive());
    QTest::qWait(1800);
    QVERIFY(rig.session.lastError().isEmpty());
    QTRY_COMPARE_WITH_TIMEOUT(rig.session.lastError(), QStringLiteral("No reply from device"), 1000);
    // The link stays open; the opening handler never ran, so nothing polls.
    QVERIFY(rig.session.connected());
    QVERIFY(!rig.session.pollTimerActive());
    QCOMPARE(rig.session.queueLength(), 0);
    QVERIFY(!rig.session.busy() && !rig.session.commandTimerActive());

    // Requests queued afterwards are still sent, one at a time, in order.
    rig.sim.clearReceived();
    bool firstDone = false;
    rig.session.enqueue(0x26, {}, [&](bool, const QByteArray &) { firstDone = true; });
    rig.session.enqueue(0x0B, {}, {});
    QTRY_COMPARE(rig.sim.receivedCommands().size(), 1);
    QCOMPARE(rig.sim.receivedCommands().constFirst(), (unsigned char)0x26);
    QTRY_COMPARE_WITH_TIMEOUT(rig.sim.receivedCommands().size(), 2, 3000);
    QVERIFY(!firstDone); // a timed-out handler is never called
}

void TestLink::lateReplyFailsNextRequest()
{
    Rig rig(QStringLiteral("127.0.0.5"));
    QVERIFY(rig.opened());
    QTest::qWait(100);
    rig.session.disconnectFromDevice();
    // Every reply now comes 2.5 s late: PERD? times out, the next request is
    // then on the wire when PERD?'s reply arrives and takes it as its own.
    SimFaults f;
    f.replyDelayMs = 2500;
    rig.sim.setFaults(f);
    QVERIFY(rig.connectTcp());
    int result = -1;
    rig.session.enqueue(0x26, {}, [&](bool ok, const QByteArray &) { result = ok ? 1 : 0; });
    QTRY_COMPARE_WITH_TIMEOUT(result, 0, 4000);
}

void TestLink::badCountReplies()
{
    Rig rig(QStringLiteral("127.0.0.6"));
    rig.sim.setFixedCounts({1, 2, 3, 4, 5, 6, 7, 8});
    QVERIFY(rig.opened());
    QTRY_COMPARE(variantDoubles(rig.session.counts()), QList<double>({1, 2, 3, 4, 5, 6, 7, 8}));
    rig.session.disconnectFromDevice();
    // Disconnect keeps the last counts.
    QCOMPARE(variantDoubles(rig.session.counts()), QList<double>({1, 2, 3, 4, 5, 6, 7, 8}));

    QSignalSpy countsSpy(&rig.session, &DeviceSession::countsChanged);
    QVERIFY(rig.opened());
    QTRY_VERIFY(countsSpy.count() >= 1);
    const QList<QByteArray> bad{QByteArray(56, 0), QByteArray(72, 0), QByteArray(65, 0), QByteArray()};
    for (const QByteArray &payload : bad) {
        rig.session.disconnectFromDevice(); // resets lastError on the next open
        QVERIFY(rig.opened());
        rig.sim.overrideReply(0x23, payload, 1);
        rig.session.refreshCounts();
        QTRY_COMPARE(rig.session.lastError(), QStringLiteral("Bad COUN? reply"));
        QCOMPARE(variantDoubles(rig.session.counts()), QList<double>({1, 2, 3, 4, 5, 6, 7, 8}));
    }
    // Two identical valid readings both emit.
    QTest::qWait(50);
    countsSpy.clear();
    rig.session.refreshCounts();
    rig.session.refreshCounts();
    QTRY_VERIFY(countsSpy.count() >= 2);
}

void TestLink::pollBacklogStaysBounded()
{
    Rig rig(QStringLiteral("127.0.0.7"));
    rig.sim.setPeriodMs(10);
    QVERIFY(rig.opened());
    QTRY_COMPARE(rig.session.pollIntervalMs(), 50);
    SimFaults f;
    f.silent = true;
    rig.sim.setFaults(f);
    // 3 s of 50 ms ticks against a silent instrument: one query on the wire,
    // at most one more waiting.
    qsizetype longest = 0;
    for (int i = 0; i < 60; ++i) {
        QTest::qWait(50);
        longest = qMax(longest, rig.session.queueLength());
    }
    QVERIFY2(longest <= 2, QByteArray::number(longest).constData());
    // Other requests keep their place behind it.
    rig.session.enqueue(0x26, {}, {});
    QVERIFY(rig.session.queueLength() <= 3);
}

void TestLink::refusedAndSilentHosts()
{
    {
        Rig rig(QStringLiteral("127.0.0.64"), false);
        rig.session.setTcpHost(QStringLiteral("127.0.0.64"));
        rig.session.connectToDevice(true);
        QTRY_COMPARE(rig.session.lastError(), QStringLiteral("Connection refused"));
        QCOMPARE(rig.session.statusText(), QStringLiteral("Disconnected"));
        QVERIFY(!rig.session.connecting());
    }
    {
        SilentListener silent("127.0.0.65");
        QVERIFY(silent.ok());
        Rig rig(QStringLiteral("127.0.0.65"), false);
        rig.session.setTcpHost(QStringLiteral("127.0.0.65"));
        QElapsedTimer clock;
        clock.start();
        rig.session.connectToDevice(true);
        QTRY_COMPARE_WITH_TIMEOUT(rig.session.lastError(), QStringLiteral("TCP connect timeout"), 5000);
        QVERIFY(clock.elapsed() >= 2900);
        QCOMPARE(rig.session.statusText(), QStringLiteral("Disconnected"));
        QVERIFY(!rig.session.connecting() && !rig.session.connected());
    }
}

void TestLink::remoteCloseAndUserDisconnect()
{
    Rig rig(QStringLiteral("127.0.0.66"));
    QVERIFY(rig.opened());
    QTRY_VERIFY(!rig.session.ipAddress().isEmpty());
    QSignalSpy ipSpy(&rig.session, &DeviceSession::ipAddressChanged);
    rig.sim.closeConnections();
    QTRY_VERIFY(!rig.session.connected());
    QCOMPARE(rig.session.lastError(), QStringLiteral("Remote host closed the connection"));
    QCOMPARE(rig.session.statusText(), QStringLiteral("Disconnected"));
    QVERIFY(rig.session.ipAddress().isEmpty() && rig.session.networkMode().isEmpty());
    QCOMPARE(ipSpy.count(), 1);
    QCOMPARE(rig.session.queueLength(), 0);

    // The operator's disconnect leaves the last error alone and restarts the port refresh.
    QVERIFY(rig.opened());
    QVERIFY(rig.session.lastError().isEmpty());
    rig.session.enqueue(0x26, {}, {});
    QSignalSpy errorSpy(&rig.session, &DeviceSession::lastErrorChanged);
    rig.session.disconnectFromDevice();
    QVERIFY(!rig.session.connected());
    QCOMPARE(rig.session.queueLength(), 0);
    QVERIFY(!rig.session.busy() && !rig.session.commandTimerActive() && !rig.session.pollTimerActive());
    QTest::qWait(100);
    QCOMPARE(errorSpy.count(), 0);
    QCOMPARE(rig.session.statusText(), QStringLiteral("Disconnected"));
}

void TestLink::servesOverPseudoTerminal()
{
    SimInstrument sim;
    const QString path = sim.openPty();
    QVERIFY2(!path.isEmpty(), "no pseudo-terminal");
    sim.setFixedCounts({8, 7, 6, 5, 4, 3, 2, 1});
    DeviceSession session;
    session.setNetInterfaceSource([] { return QList<NetInterface>{}; });
    session.setSerialPortSource([path] { return QList<SerialPortEntry>{port(path, QStringLiteral("STM32 Virtual ComPort"))}; });
    QCOMPARE(session.portName(), path);
    session.connectToDevice(false);
    QVERIFY(session.connected());
    QCOMPARE(session.statusText(), QStringLiteral("Connected") + kDot + path);
    QTRY_COMPARE(variantDoubles(session.counts()), QList<double>({8, 7, 6, 5, 4, 3, 2, 1}));
    QCOMPARE(sim.receivedCommands().mid(0, 7), QList<unsigned char>({0x24, 0x26, 0x0E, 0x0B, 0x0D, 0x0C, 0x23}));
    session.disconnectFromDevice();
    QCOMPARE(session.statusText(), QStringLiteral("Disconnected"));
}

void TestLink::destroyedWhileLive()
{
    SimInstrument sim;
    QVERIFY(sim.listenTcp(QHostAddress(QStringLiteral("127.0.0.67")), 1234));
    SimFaults f;
    f.splitChunk = 3;
    sim.setFaults(f);
    auto *session = new DeviceSession;
    session->setSerialPortSource(noPorts);
    session->setTcpHost(QStringLiteral("127.0.0.67"));
    session->connectToDevice(true);
    QTRY_VERIFY(session->connected());
    QTest::qWait(150);
    delete session; // replies still in flight must not reach a dead session
    QTest::qWait(200);
}

QTEST_GUILESS_MAIN(TestLink)
#include "tst_link.moc"
