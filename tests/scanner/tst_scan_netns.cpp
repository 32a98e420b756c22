// The scan over a real interface: the simulated instrument listens in one
// network namespace, and this program runs again in a second one, joined to
// the first by a veth pair, where it scans through the system's interface
// list and then connects to what it found.

#include "DeviceSession.h"
#include "NetnsPair.h"
#include "TcpLanScanner.h"

#include <QFile>
#include <QSignalSpy>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>

#include <cstdio>

namespace {

const QString kClientCidr = QStringLiteral("10.231.77.1/24");
const QString kInstrument = QStringLiteral("10.231.77.2");
// The instrument's stored gate period: seeing it proves the first request
// it answered was the opening PERD?.
constexpr int kSimPeriodMs = 250;

QStringList names(const QVariantList &hosts)
{
    QStringList n;
    for (const QVariant &h : hosts)
        n.append(h.toMap().value("name").toString());
    return n;
}

int connectingProbes(const TcpLanScanner &scanner)
{
    int n = 0;
    for (const QTcpSocket *s : scanner.findChildren<QTcpSocket *>())
        n += s->state() != QAbstractSocket::UnconnectedState;
    return n;
}

} // namespace

class TestScanNetns : public QObject
{
    Q_OBJECT
private slots:
    void namespaceHasOneSubnet();
    void scanFindsOnlyTheInstrument();
    void sessionOpensFoundHost();
};

void TestScanNetns::namespaceHasOneSubnet()
{
    // The veth end is probed (not taken for a virtual interface), loopback is not.
    const QList<TcpLanScanner::Probe> targets = TcpLanScanner::collectTargets(systemNetInterfaces());
    QCOMPARE(targets.size(), 253);
    QCOMPARE(targets.first().ip, QStringLiteral("10.231.77.2"));
    QCOMPARE(targets.first().localAddress, QHostAddress(QStringLiteral("10.231.77.1")));
}

void TestScanNetns::scanFindsOnlyTheInstrument()
{
    TcpLanScanner scanner;
    int mostInFlight = 0;
    connect(&scanner, &TcpLanScanner::progressChanged, this,
            [&] { mostInFlight = qMax(mostInFlight, connectingProbes(scanner)); });
    QSignalSpy hostsChanged(&scanner, &TcpLanScanner::hostsChanged);

    scanner.start();
    // Unanswered neighbours hang until their limit, so the window stays full.
    QCOMPARE(scanner.findChildren<QTcpSocket *>().size(), TcpLanScanner::kMaxInFlight);
    QTRY_VERIFY_WITH_TIMEOUT(!scanner.scanning(), 15000);
    QCOMPARE(names(scanner.hosts()), QStringList{kInstrument});
    QCOMPARE(hostsChanged.size(), 1);
    QVERIFY(mostInFlight <= TcpLanScanner::kMaxInFlight);
    QCOMPARE(scanner.progress(), 100.0);
}

void TestScanNetns::sessionOpensFoundHost()
{
    DeviceSession s;
    s.setSerialPortSource([] { return QList<SerialPortEntry>(); });
    QStringList statuses;
    connect(&s, &DeviceSession::statusTextChanged, this, [&] { statuses.append(s.statusText()); });

    s.startTcpScan();
    QTRY_COMPARE_WITH_TIMEOUT(s.tcpHost(), kInstrument, 15000);
    // Connecting stops the scan that chose the host.
    s.connectToDevice(true);
    QVERIFY(!s.tcpScanning());
    QTRY_COMPARE_WITH_TIMEOUT(s.periodMs(), kSimPeriodMs, 5000);
    QVERIFY2(statuses.contains(QStringLiteral("Connected \u00B7 10.231.77.2")),
             qPrintable(statuses.join(QStringLiteral(" | "))));
    // The instrument closes after its first reply, so no later request could
    // have brought the period in.
    QTRY_VERIFY_WITH_TIMEOUT(!s.connected(), 5000);
}

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    if (NetnsPair::isClientRun()) {
        if (!NetnsPair::interfacesConfinedTo(kClientCidr)) {
            std::fprintf(stderr, "FAIL: tst_scan_netns is not inside its own namespace; not scanning\n");
            return 1;
        }
        TestScanNetns test;
        return QTest::qExec(&test, argc, argv);
    }

    const QString why = NetnsPair::unavailableReason();
    if (!why.isEmpty()) {
        std::fprintf(stderr, "FAIL: tst_scan_netns %s\n", qPrintable(why));
        return 1;
    }
    QTemporaryDir dir;
    QFile state(dir.filePath(QStringLiteral("sim-state.json")));
    if (!dir.isValid() || !state.open(QIODevice::WriteOnly)) {
        std::fprintf(stderr, "FAIL: tst_scan_netns cannot write the instrument's state file\n");
        return 1;
    }
    state.write(QStringLiteral(R"({"thresholds":[0.1,0.1,0.1,0.1,0.1,0.1,0.1,0.1],"periodMs":%1,)"
                               R"("dhcp":false,"ip":"10.231.77.2","netmask":"255.255.255.0",)"
                               R"("gateway":"10.231.77.254"})")
                    .arg(kSimPeriodMs)
                    .toUtf8());
    state.close();

    NetnsPair pair;
    if (!pair.setUp(kClientCidr, kInstrument + QStringLiteral("/24"))
        || !pair.startInServer(QStringLiteral(ZRF_SIM_PATH),
                               {"--listen", kInstrument + QStringLiteral(":1234"), "--allow-any-address",
                                "--state", state.fileName(), "--close-after", "1"},
                               QStringLiteral("listening on"))) {
        std::fprintf(stderr, "FAIL: tst_scan_netns setup: %s\n", qPrintable(pair.error()));
        return 1;
    }
    return pair.runSelfInClient(app.arguments().mid(1));
}

#include "tst_scan_netns.moc"
