#include "LoopbackHosts.h"
#include "TcpLanScanner.h"

#include <QSignalSpy>
#include <QTcpSocket>
#include <QTest>

Q_DECLARE_METATYPE(QList<NetInterface>)

namespace {

// Every scanner signal in emission order, with what the accessors read then.
struct Event {
    QString name;
    double progress;
    bool scanning;
    QStringList hosts;
};

QStringList hostNames(const QVariantList &hosts)
{
    QStringList names;
    for (const QVariant &h : hosts) {
        const QVariantMap m = h.toMap();
        names.append(m.value("name").toString());
        if (m.size() != 2 || m.value("label") != m.value("name"))
            names.append(QStringLiteral("<bad entry>"));
    }
    return names;
}

class Recorder
{
public:
    explicit Recorder(TcpLanScanner &s) : m_s(s)
    {
        QObject::connect(&s, &TcpLanScanner::hostsChanged, &m_context, [this] { add("hosts"); });
        QObject::connect(&s, &TcpLanScanner::scanningChanged, &m_context, [this] { add("scanning"); });
        QObject::connect(&s, &TcpLanScanner::progressChanged, &m_context, [this] { add("progress"); });
    }
    QList<Event> events;
    QStringList names() const
    {
        QStringList n;
        for (const Event &e : events)
            n.append(e.name);
        return n;
    }
    int count(const QString &name) const { return int(names().count(name)); }

private:
    void add(const char *name)
    {
        events.append({QString::fromLatin1(name), m_s.progress(), m_s.scanning(), hostNames(m_s.hosts())});
    }
    TcpLanScanner &m_s;
    QObject m_context; // drops the connections with the recorder
};

QList<NetInterface> oneEntry(const QString &ip, const QString &mask)
{
    return {fakeInterface("eth0", {{ip, mask}})};
}

QStringList ipsOf(const QList<TcpLanScanner::Probe> &probes)
{
    QStringList ips;
    for (const auto &p : probes)
        ips.append(p.ip);
    return ips;
}

} // namespace

class TestLanScanner : public QObject
{
    Q_OBJECT
private slots:
    void collectTargets_data();
    void collectTargets();
    void collectTargetsAcrossEntries();
    void sortedIpsIsNumeric();

    void scanListsAnswersInNumericOrder();
    void stopKeepsHostsAndSilencesProbes();
    void earlierHostLeavesOnlyWhenAFullScanEnds();
    void startTwiceRunsOneScan();
    void signalOrderWithOneAndNoTargets();
};

void TestLanScanner::collectTargets_data()
{
    QTest::addColumn<QList<NetInterface>>("interfaces");
    QTest::addColumn<int>("count");
    QTest::addColumn<QString>("first");
    QTest::addColumn<QString>("last");
    QTest::addColumn<QStringList>("absent");

    QTest::newRow("/24") << oneEntry("192.168.1.37", "255.255.255.0") << 253
                         << "192.168.1.1" << "192.168.1.254"
                         << QStringList{"192.168.1.37", "192.168.1.0", "192.168.1.255"};
    QTest::newRow("/16 narrowed") << oneEntry("10.20.30.40", "255.255.0.0") << 1021
                                  << "10.20.28.1" << "10.20.31.254"
                                  << QStringList{"10.20.30.40", "10.20.28.0", "10.20.32.0"};
    QTest::newRow("/12 narrowed") << oneEntry("172.16.5.9", "255.240.0.0") << 1021
                                  << "172.16.4.1" << "172.16.7.254"
                                  << QStringList{"172.16.5.9", "172.16.0.1"};
    QTest::newRow("/8 at the top") << oneEntry("10.255.255.1", "255.0.0.0") << 1021
                                   << "10.255.252.1" << "10.255.255.254"
                                   << QStringList{"11.0.0.0", "10.255.255.255"};
    QTest::newRow("/22 whole") << oneEntry("10.1.6.7", "255.255.252.0") << 1021
                               << "10.1.4.1" << "10.1.7.254" << QStringList{"10.1.6.7"};
    QTest::newRow("/23 whole") << oneEntry("10.1.6.7", "255.255.254.0") << 509
                               << "10.1.6.1" << "10.1.7.254" << QStringList{"10.1.6.7"};
    QTest::newRow("/30") << oneEntry("10.0.0.1", "255.255.255.252") << 1
                         << "10.0.0.2" << "10.0.0.2" << QStringList{};

    const QStringList none;
    QTest::newRow("/31") << oneEntry("10.0.0.0", "255.255.255.254") << 0 << "" << "" << none;
    QTest::newRow("/32") << oneEntry("10.0.0.7", "255.255.255.255") << 0 << "" << "" << none;
    QTest::newRow("zero mask") << oneEntry("10.0.0.7", "0.0.0.0") << 0 << "" << "" << none;
    QTest::newRow("IPv6") << oneEntry("fd00::5", "ffff:ffff:ffff:ffff::") << 0 << "" << "" << none;
    QTest::newRow("link-local") << oneEntry("169.254.3.4", "255.255.0.0") << 0 << "" << "" << none;

    NetInterface down = fakeInterface("eth1", {{"192.168.1.37", "255.255.255.0"}});
    down.up = false;
    NetInterface loop = fakeInterface("lo", {{"192.168.1.37", "255.255.255.0"}});
    loop.loopback = true;
    NetInterface virt = fakeInterface("veth", {{"192.168.1.37", "255.255.255.0"}});
    virt.isVirtual = true;
    QTest::newRow("down") << QList<NetInterface>{down} << 0 << "" << "" << none;
    QTest::newRow("loopback") << QList<NetInterface>{loop} << 0 << "" << "" << none;
    QTest::newRow("virtual") << QList<NetInterface>{virt} << 0 << "" << "" << none;
    QTest::newRow("no interfaces") << QList<NetInterface>{} << 0 << "" << "" << none;
}

void TestLanScanner::collectTargets()
{
    QFETCH(QList<NetInterface>, interfaces);
    QFETCH(int, count);
    QFETCH(QString, first);
    QFETCH(QString, last);
    QFETCH(QStringList, absent);

    const QList<TcpLanScanner::Probe> probes = TcpLanScanner::collectTargets(interfaces);
    QCOMPARE(probes.size(), count);
    if (count == 0)
        return;
    QCOMPARE(probes.first().ip, first);
    QCOMPARE(probes.last().ip, last);
    const QStringList ips = ipsOf(probes);
    for (const QString &a : absent)
        QVERIFY2(!ips.contains(a), qPrintable(a));
    // Ascending, each once, each with the entry's own address as local side.
    for (qsizetype i = 1; i < probes.size(); ++i)
        QVERIFY(QHostAddress(ips[i - 1]).toIPv4Address() < QHostAddress(ips[i]).toIPv4Address());
    for (const auto &p : probes)
        QCOMPARE(p.localAddress, interfaces.first().entries.first().ip);
}

void TestLanScanner::collectTargetsAcrossEntries()
{
    // Two adapters on one LAN, a second subnet after them, and a skipped
    // entry in between: interface order, then entry order, each address once.
    const QList<NetInterface> interfaces{
        fakeInterface("eth0", {{"10.9.9.9", "255.255.255.0"}, {"10.7.0.1", "255.255.255.252"}}),
        fakeInterface("wlan0", {{"169.254.1.1", "255.255.0.0"}, {"10.9.9.20", "255.255.255.0"}}),
    };
    const QList<TcpLanScanner::Probe> probes = TcpLanScanner::collectTargets(interfaces);
    const QStringList ips = ipsOf(probes);
    QCOMPARE(probes.size(), 253 + 1 + 1);
    QCOMPARE(ips.count("10.9.9.20"), 1); // the other adapter probes it through the first entry
    QCOMPARE(ips.count("10.9.9.9"), 1);  // and the first adapter through the second
    QCOMPARE(ips.indexOf("10.9.9.20"), 18);
    QCOMPARE(probes[18].localAddress, QHostAddress("10.9.9.9"));
    QCOMPARE(ips[253], QStringLiteral("10.7.0.2"));
    QCOMPARE(probes[253].localAddress, QHostAddress("10.7.0.1"));
    QCOMPARE(ips.last(), QStringLiteral("10.9.9.9"));
    QCOMPARE(probes.last().localAddress, QHostAddress("10.9.9.20"));
}

void TestLanScanner::sortedIpsIsNumeric()
{
    const QList<QString> in{"192.168.1.10", "10.0.0.2", "192.168.1.9", "lab-counter", "9.255.255.255"};
    const QList<QString> want{"lab-counter", "9.255.255.255", "10.0.0.2", "192.168.1.9", "192.168.1.10"};
    QCOMPARE(TcpLanScanner::sortedIps(in), want);
}

void TestLanScanner::scanListsAnswersInNumericOrder()
{
    // Own address .11; targets .9 .10 .12 .13 .14; instruments on .9 and .10,
    // whose text order would be the wrong way round.
    const auto a = listenOn("127.0.0.9");
    const auto b = listenOn("127.0.0.10");
    QVERIFY(a->isListening() && b->isListening());

    TcpLanScanner scanner;
    scanner.setInterfaceSource([] { return oneEntry("127.0.0.11", "255.255.255.248"); });
    QCOMPARE(scanner.progress(), 100.0);
    Recorder rec(scanner);

    scanner.start();
    QTRY_VERIFY_WITH_TIMEOUT(!scanner.scanning(), 3000);
    QCOMPARE(hostNames(scanner.hosts()), (QStringList{"127.0.0.9", "127.0.0.10"}));
    QCOMPARE(scanner.progress(), 100.0);

    // Start: counters, then the running flag, progress reading 0 at both.
    QVERIFY(rec.events.size() >= 3);
    QCOMPARE(rec.events[0].name, QStringLiteral("progress"));
    QCOMPARE(rec.events[0].progress, 0.0);
    QCOMPARE(rec.events[1].name, QStringLiteral("scanning"));
    QVERIFY(rec.events[1].scanning);
    QCOMPARE(rec.events[1].progress, 0.0);
    // One progress step per target, each find published before its step,
    // progress rising to 100; the end adds only the running flag.
    QCOMPARE(rec.count("progress"), 1 + 5);
    QCOMPARE(rec.count("hosts"), 2);
    QCOMPARE(rec.count("scanning"), 2);
    QCOMPARE(rec.events.last().name, QStringLiteral("scanning"));
    QVERIFY(!rec.events.last().scanning);
    double previous = 0.0;
    for (qsizetype i = 2; i + 1 < rec.events.size(); ++i) {
        const Event &e = rec.events[i];
        QVERIFY(e.scanning);
        if (e.name == QLatin1String("hosts")) {
            QCOMPARE(rec.events[i + 1].name, QStringLiteral("progress"));
        } else {
            QCOMPARE(e.name, QStringLiteral("progress"));
            QVERIFY(e.progress > previous);
            previous = e.progress;
        }
    }
    QCOMPARE(previous, 100.0);
    QCOMPARE(rec.events[rec.events.size() - 2].hosts, hostNames(scanner.hosts()));

    // The same answers again: the list does not change, so no hostsChanged.
    rec.events.clear();
    scanner.start();
    QTRY_VERIFY_WITH_TIMEOUT(!scanner.scanning(), 3000);
    QCOMPARE(rec.count("hosts"), 0);
    QCOMPARE(hostNames(scanner.hosts()), (QStringList{"127.0.0.9", "127.0.0.10"}));
}

void TestLanScanner::stopKeepsHostsAndSilencesProbes()
{
    // Own .20; targets .17 .18 .19 .21 .22; .17 answers, .18 hangs.
    const auto found = listenOn("127.0.0.17");
    SilentHost silent("127.0.0.18");
    QVERIFY(found->isListening() && silent.ok());

    TcpLanScanner scanner;
    scanner.setInterfaceSource([] { return oneEntry("127.0.0.20", "255.255.255.248"); });
    Recorder rec(scanner);
    scanner.start();
    QTRY_COMPARE_WITH_TIMEOUT(rec.count("progress"), 1 + 4, 300);
    QVERIFY(scanner.scanning());
    QCOMPARE(scanner.progress(), 80.0);
    QCOMPARE(hostNames(scanner.hosts()), QStringList{"127.0.0.17"});

    rec.events.clear();
    scanner.stop();
    QCOMPARE(rec.names(), (QStringList{"progress", "scanning"}));
    QCOMPARE(rec.events[0].progress, 0.0); // counters reset while still running
    QVERIFY(!scanner.scanning());
    QCOMPARE(scanner.progress(), 100.0);
    QCOMPARE(hostNames(scanner.hosts()), QStringList{"127.0.0.17"});

    // The hanging probe's socket and timer are gone: nothing arrives later.
    QTest::qWait(TcpLanScanner::kProbeLimitMs + 200);
    QCOMPARE(rec.events.size(), 2);
    QVERIFY(scanner.findChildren<QTcpSocket *>().isEmpty());

    // Stopping while idle changes nothing.
    scanner.stop();
    QCOMPARE(rec.events.size(), 2);
}

void TestLanScanner::earlierHostLeavesOnlyWhenAFullScanEnds()
{
    // Own .25; targets .26 .27 .28 .29 .30; .26 answers at first, .27 hangs.
    auto gone = listenOn("127.0.0.26");
    SilentHost silent("127.0.0.27");
    QVERIFY(gone->isListening() && silent.ok());

    TcpLanScanner scanner;
    scanner.setInterfaceSource([] { return oneEntry("127.0.0.25", "255.255.255.248"); });
    scanner.start();
    QTRY_VERIFY_WITH_TIMEOUT(!scanner.scanning(), 3000);
    QCOMPARE(hostNames(scanner.hosts()), QStringList{"127.0.0.26"});
    gone.reset();

    // Stopped early: the host that no longer answers stays listed.
    Recorder rec(scanner);
    scanner.start();
    QTRY_COMPARE_WITH_TIMEOUT(rec.count("progress"), 1 + 4, 300);
    QCOMPARE(hostNames(scanner.hosts()), QStringList{"127.0.0.26"});
    scanner.stop();
    QCOMPARE(hostNames(scanner.hosts()), QStringList{"127.0.0.26"});
    QCOMPARE(rec.count("hosts"), 0);

    // A full scan: still listed while it runs, gone at its end.
    rec.events.clear();
    scanner.start();
    QTRY_COMPARE_WITH_TIMEOUT(rec.count("progress"), 1 + 4, 300);
    QCOMPARE(hostNames(scanner.hosts()), QStringList{"127.0.0.26"});
    QTRY_VERIFY_WITH_TIMEOUT(!scanner.scanning(), 3000);
    QVERIFY(scanner.hosts().isEmpty());
    // The end: the empty list, then the running flag; the last probe's
    // step already brought progress to 100.
    const QStringList names = rec.names();
    QCOMPARE(names.mid(names.size() - 3), (QStringList{"progress", "hosts", "scanning"}));
}

void TestLanScanner::startTwiceRunsOneScan()
{
    int collections = 0;
    TcpLanScanner scanner;
    scanner.setInterfaceSource([&collections] {
        ++collections;
        return oneEntry("127.0.0.33", "255.255.255.248");
    });
    Recorder rec(scanner);
    scanner.start();
    scanner.start();
    QTRY_VERIFY_WITH_TIMEOUT(!scanner.scanning(), 3000);
    QCOMPARE(collections, 1);
    QCOMPARE(rec.count("scanning"), 2);
    QCOMPARE(rec.count("progress"), 1 + 5);
    QVERIFY(scanner.hosts().isEmpty());
}

void TestLanScanner::signalOrderWithOneAndNoTargets()
{
    // Own .33/30: the one target .34 answers. Its find is published before
    // the step that counts it.
    const auto a = listenOn("127.0.0.34");
    QVERIFY(a->isListening());
    bool empty = false;
    TcpLanScanner scanner;
    scanner.setInterfaceSource([&empty] {
        return empty ? QList<NetInterface>{} : oneEntry("127.0.0.33", "255.255.255.252");
    });
    Recorder rec(scanner);
    scanner.start();
    QTRY_VERIFY_WITH_TIMEOUT(!scanner.scanning(), 3000);
    QCOMPARE(rec.names(), (QStringList{"progress", "scanning", "hosts", "progress", "scanning"}));
    QCOMPARE(rec.events[2].progress, 0.0);
    QCOMPARE(rec.events[2].hosts, QStringList{"127.0.0.34"});
    QCOMPARE(rec.events[3].progress, 100.0);

    // No targets: the scan ends inside start(), emptying the list.
    empty = true;
    rec.events.clear();
    scanner.start();
    QCOMPARE(rec.names(), (QStringList{"progress", "scanning", "hosts", "scanning"}));
    QVERIFY(rec.events[1].scanning);
    QCOMPARE(rec.events[1].progress, 0.0);
    QVERIFY(scanner.hosts().isEmpty());
    QVERIFY(!scanner.scanning());
    QCOMPARE(scanner.progress(), 100.0);
}

QTEST_GUILESS_MAIN(TestLanScanner)
#include "tst_lan_scanner.moc"
