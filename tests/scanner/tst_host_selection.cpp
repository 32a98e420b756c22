#include "DeviceSession.h"
#include "LoopbackHosts.h"
#include "SimInstrument.h"

#include <QSignalSpy>
#include <QTest>

namespace {

QStringList names(const QVariantList &hosts)
{
    QStringList n;
    for (const QVariant &h : hosts)
        n.append(h.toMap().value("name").toString());
    return n;
}

// Own .57/29: targets .58 .59 .60 .61 .62, all on loopback.
QList<NetInterface> loopbackLan()
{
    return {fakeInterface("eth0", {{"127.0.0.57", "255.255.255.248"}})};
}

// A session that touches no real serial port or network interface.
void isolate(DeviceSession &s)
{
    s.setSerialPortSource([] { return QList<SerialPortEntry>(); });
    s.setNetInterfaceSource(loopbackLan);
}

bool scanToEnd(DeviceSession &s)
{
    s.startTcpScan();
    return QTest::qWaitFor([&s] { return !s.tcpScanning(); }, 3000);
}

} // namespace

class TestHostSelection : public QObject
{
    Q_OBJECT
private slots:
    void setTcpHostCleansText();
    void firstFindIsChosenAndKept();
    void typedHostIsNeverReplaced();
    void stopKeepsHostsAndForwardsState();
    void scanIgnoredWhileConnected();
};

void TestHostSelection::setTcpHostCleansText()
{
    DeviceSession s;
    isolate(s);
    QSignalSpy changed(&s, &DeviceSession::tcpHostChanged);

    s.setTcpHost(QStringLiteral(" 192.168.001.010:1234 "));
    QCOMPARE(s.tcpHost(), QStringLiteral("192.168.1.10"));
    QCOMPARE(changed.size(), 1);
    s.setTcpHost(QStringLiteral(" 192.168.001.010:1234 "));
    s.setTcpHost(QStringLiteral("192.168.1.10"));
    QCOMPARE(changed.size(), 1);

    s.setTcpHost(QStringLiteral("lab-counter"));
    QCOMPARE(s.tcpHost(), QStringLiteral("lab-counter"));
    s.setTcpHost(QStringLiteral(" 10.0.0.300 : 80"));
    QCOMPARE(s.tcpHost(), QStringLiteral("10.0.0.300")); // kept as cleaned, refused only on connect
    QCOMPARE(changed.size(), 3);

    s.setTcpHost(QString());
    QCOMPARE(s.tcpHost(), QString());
    QCOMPARE(changed.size(), 4);
    s.setTcpHost(QStringLiteral("  "));
    QCOMPARE(changed.size(), 4);
}

void TestHostSelection::firstFindIsChosenAndKept()
{
    const auto high = listenOn("127.0.0.60");
    auto low = listenOn("127.0.0.58");
    QVERIFY(high->isListening() && low->isListening());

    DeviceSession s;
    isolate(s);
    QSignalSpy hostChanged(&s, &DeviceSession::tcpHostChanged);
    // The choice happens inside the publishing step: a handler of
    // tcpHostsChanged sees the new list and, on the first one, the host.
    QList<QStringList> lists;
    QStringList hostAtList;
    connect(&s, &DeviceSession::tcpHostsChanged, this, [&] {
        lists.append(names(s.tcpHosts()));
        hostAtList.append(s.tcpHost());
    });

    QVERIFY(scanToEnd(s));
    QCOMPARE(lists.last(), (QStringList{"127.0.0.58", "127.0.0.60"}));
    QCOMPARE(s.tcpHost(), lists.first().first()); // whichever answered first
    QCOMPARE(hostChanged.size(), 1);

    // The list grows below the chosen host; the host stays.
    low.reset();
    s.setTcpHost(QString());
    QVERIFY(scanToEnd(s));
    QCOMPARE(names(s.tcpHosts()), QStringList{"127.0.0.60"});
    QCOMPARE(s.tcpHost(), QStringLiteral("127.0.0.60"));
    low = listenOn("127.0.0.58");
    hostChanged.clear();
    QVERIFY(scanToEnd(s));
    QCOMPARE(names(s.tcpHosts()), (QStringList{"127.0.0.58", "127.0.0.60"}));
    QCOMPARE(s.tcpHost(), QStringLiteral("127.0.0.60"));
    QCOMPARE(hostChanged.size(), 0);
}

void TestHostSelection::typedHostIsNeverReplaced()
{
    const auto found = listenOn("127.0.0.59");
    QVERIFY(found->isListening());
    DeviceSession s;
    isolate(s);
    s.setTcpHost(QStringLiteral("192.168.1.200"));
    QSignalSpy hostChanged(&s, &DeviceSession::tcpHostChanged);
    QSignalSpy hostsChanged(&s, &DeviceSession::tcpHostsChanged);
    QVERIFY(scanToEnd(s));
    QCOMPARE(names(s.tcpHosts()), QStringList{"127.0.0.59"});
    QCOMPARE(hostsChanged.size(), 1);
    QCOMPARE(s.tcpHost(), QStringLiteral("192.168.1.200"));
    QCOMPARE(hostChanged.size(), 0);
}

void TestHostSelection::stopKeepsHostsAndForwardsState()
{
    const auto found = listenOn("127.0.0.61");
    SilentHost silent("127.0.0.62");
    QVERIFY(found->isListening() && silent.ok());
    DeviceSession s;
    isolate(s);
    QCOMPARE(s.tcpScanProgress(), 100.0);
    QSignalSpy scanning(&s, &DeviceSession::tcpScanningChanged);
    QSignalSpy progress(&s, &DeviceSession::tcpScanProgressChanged);

    s.startTcpScan();
    QCOMPARE(scanning.size(), 1);
    QVERIFY(s.tcpScanning());
    QTRY_COMPARE_WITH_TIMEOUT(s.tcpHost(), QStringLiteral("127.0.0.61"), 300);
    QTRY_COMPARE_WITH_TIMEOUT(s.tcpScanProgress(), 80.0, 300);
    QVERIFY(progress.size() >= 5);

    s.stopTcpScan();
    QCOMPARE(scanning.size(), 2);
    QVERIFY(!s.tcpScanning());
    QCOMPARE(s.tcpScanProgress(), 100.0);
    QCOMPARE(names(s.tcpHosts()), QStringList{"127.0.0.61"});
}

void TestHostSelection::scanIgnoredWhileConnected()
{
    // The instrument sits outside the scanned range; a scan would probe .58.
    SimInstrument sim;
    QVERIFY(sim.listenTcp(QHostAddress(QStringLiteral("127.0.0.44")), DeviceSession::kTcpPort));
    DeviceSession s;
    isolate(s);
    s.setTcpHost(QStringLiteral("127.0.0.44"));
    s.connectToDevice(true);
    QTRY_VERIFY_WITH_TIMEOUT(s.connected(), 3000);

    QSignalSpy scanning(&s, &DeviceSession::tcpScanningChanged);
    s.startTcpScan();
    QVERIFY(!s.tcpScanning());
    QCOMPARE(scanning.size(), 0);

    // Opening a link ends a running scan.
    s.disconnectFromDevice();
    QVERIFY(!s.connected());
    s.startTcpScan();
    QVERIFY(s.tcpScanning());
    s.connectToDevice(true);
    QVERIFY(!s.tcpScanning());
    QTRY_VERIFY_WITH_TIMEOUT(s.connected(), 3000);
    QCOMPARE(s.tcpHost(), QStringLiteral("127.0.0.44"));
}

QTEST_GUILESS_MAIN(TestHostSelection)
#include "tst_host_selection.moc"
