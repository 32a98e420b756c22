// The subnet scanner and the session's host side, on made-up interfaces whose
// subnets lie on loopback. A probe needs only the TCP handshake, so a plain
// listener counts as an instrument.

#include "DeviceSession.h"
#include "SimInstrument.h"
#include "TcpLanScanner.h"

#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>

#include <algorithm>
#include <memory>
#include <tuple>

Q_DECLARE_METATYPE(QList<NetInterface>)

namespace {

QList<NetInterface> lan(const char *ip, const char *mask, const char *name = "eth0")
{
    return {{QString::fromLatin1(name), true, false, false, {{QHostAddress(QLatin1String(ip)), QHostAddress(QLatin1String(mask))}}}};
}

std::unique_ptr<QTcpServer> listenOn(const char *ip)
{
    auto server = std::make_unique<QTcpServer>();
    server->listen(QHostAddress(QLatin1String(ip)), TcpLanScanner::kPort);
    return server;
}

// A listener that never accepts and whose one-slot backlog is full: the
// kernel drops further SYNs, so a probe there hangs until its time limit.
struct SilentHost {
    explicit SilentHost(const char *ip)
    {
        server.setListenBacklogSize(0);
        ok = server.listen(QHostAddress(QLatin1String(ip)), TcpLanScanner::kPort);
        server.pauseAccepting();
        for (QTcpSocket &s : fillers)
            s.connectToHost(QHostAddress(QLatin1String(ip)), TcpLanScanner::kPort);
        QTest::qWait(50);
    }
    QTcpServer server;
    QTcpSocket fillers[2];
    bool ok = false;
};

QStringList names(const QVariantList &hosts)
{
    QStringList n;
    for (const QVariant &h : hosts) {
        const QVariantMap m = h.toMap();
        n.append(m.size() == 2 && m.value("label") == m.value("name") ? m.value("name").toString() : "<bad entry>");
    }
    return n;
}

// Every scanner signal in order, with what the accessors read then:
// "name progress scanning hosts".
struct Recorder {
    explicit Recorder(TcpLanScanner &s)
    {
        const auto add = [this, &s](const char *name) {
            return [this, &s, name] {
                events.append(QStringLiteral("%1 %2 %3 %4").arg(QLatin1String(name)).arg(s.progress())
                                  .arg(int(s.scanning())).arg(names(s.hosts()).join(',')));
            };
        };
        QObject::connect(&s, &TcpLanScanner::hostsChanged, &context, add("hosts"));
        QObject::connect(&s, &TcpLanScanner::scanningChanged, &context, add("scanning"));
        QObject::connect(&s, &TcpLanScanner::progressChanged, &context, add("progress"));
    }
    int count(const char *name) const
    {
        return int(std::count_if(events.cbegin(), events.cend(), [name](const QString &e) { return e.startsWith(QLatin1String(name)); }));
    }
    QStringList events;
    QObject context; // drops the connections with the recorder
};

bool scanToEnd(DeviceSession &s)
{
    s.startTcpScan();
    return QTest::qWaitFor([&s] { return !s.tcpScanning(); }, 3000);
}

// A session whose serial ports are none and whose LAN is .57/29: targets .58 to .62.
void isolate(DeviceSession &s)
{
    s.setSerialPortSource([] { return QList<SerialPortEntry>(); });
    s.setNetInterfaceSource([] { return lan("127.0.0.57", "255.255.255.248"); });
}

} // namespace

class TestLanScanner : public QObject
{
    Q_OBJECT
private slots:
    void collectTargets_data()
    {
        QTest::addColumn<QList<NetInterface>>("interfaces");
        QTest::addColumn<int>("count");
        QTest::addColumn<QString>("first");
        QTest::addColumn<QString>("last");
        QTest::addColumn<QString>("absent");
        QTest::newRow("/24") << lan("192.168.1.37", "255.255.255.0") << 253 << "192.168.1.1" << "192.168.1.254" << "192.168.1.37";
        QTest::newRow("/16 narrowed") << lan("10.20.30.40", "255.255.0.0") << 1021 << "10.20.28.1" << "10.20.31.254" << "10.20.30.40";
        QTest::newRow("/12 narrowed") << lan("172.16.5.9", "255.240.0.0") << 1021 << "172.16.4.1" << "172.16.7.254" << "172.16.5.9";
        QTest::newRow("/8 at the top") << lan("10.255.255.1", "255.0.0.0") << 1021 << "10.255.252.1" << "10.255.255.254" << "";
        QTest::newRow("/23 whole") << lan("10.1.6.7", "255.255.254.0") << 509 << "10.1.6.1" << "10.1.7.254" << "10.1.6.7";
        QTest::newRow("/30") << lan("10.0.0.1", "255.255.255.252") << 1 << "10.0.0.2" << "10.0.0.2" << "";
        QList<NetInterface> down = lan("192.168.1.37", "255.255.255.0"), loop = down, virt = down;
        down[0].up = false;
        loop[0].loopback = true;
        virt[0].isVirtual = true;
        const QList<QPair<const char *, QList<NetInterface>>> none{
            {"/31", lan("10.0.0.0", "255.255.255.254")}, {"/32", lan("10.0.0.7", "255.255.255.255")},
            {"zero mask", lan("10.0.0.7", "0.0.0.0")}, {"IPv6", lan("fd00::5", "ffff:ffff:ffff:ffff::")},
            {"link-local", lan("169.254.3.4", "255.255.0.0")}, {"down", down}, {"loopback", loop}, {"virtual", virt}};
        for (const auto &row : none)
            QTest::newRow(row.first) << row.second << 0 << "" << "" << "";
    }

    void collectTargets()
    {
        QFETCH(QList<NetInterface>, interfaces);
        QFETCH(int, count);
        QFETCH(QString, first);
        QFETCH(QString, last);
        QFETCH(QString, absent);
        const QList<TcpLanScanner::Probe> probes = TcpLanScanner::collectTargets(interfaces);
        QCOMPARE(probes.size(), count);
        for (qsizetype i = 0; i < probes.size(); ++i) {
            // Ascending, each once, the own address skipped, the entry's address as local side.
            QVERIFY(i == 0 || QHostAddress(probes[i - 1].ip).toIPv4Address() < QHostAddress(probes[i].ip).toIPv4Address());
            QVERIFY(probes[i].ip != absent);
            QCOMPARE(probes[i].localAddress, interfaces.first().entries.first().ip);
        }
        QVERIFY(!count || (probes.first().ip == first && probes.last().ip == last));
    }

    void collectTargetsAcrossEntries()
    {
        // Two adapters on one LAN, a second subnet after them, and a skipped
        // entry in between: interface order, then entry order, each address once.
        QList<NetInterface> interfaces = lan("10.9.9.9", "255.255.255.0") + lan("169.254.1.1", "255.255.0.0", "wlan0");
        interfaces[0].entries.append(lan("10.7.0.1", "255.255.255.252")[0].entries);
        interfaces[1].entries.append(lan("10.9.9.20", "255.255.255.0")[0].entries);
        const QList<TcpLanScanner::Probe> probes = TcpLanScanner::collectTargets(interfaces);
        QCOMPARE(probes.size(), 253 + 1 + 1);
        QCOMPARE(probes[18].ip, QStringLiteral("10.9.9.20")); // probed once, through the first entry
        QCOMPARE(probes[18].localAddress, QHostAddress("10.9.9.9"));
        QCOMPARE(probes[253].ip, QStringLiteral("10.7.0.2"));
        QCOMPARE(probes.last().ip, QStringLiteral("10.9.9.9")); // and the first adapter through the second
        QCOMPARE(probes.last().localAddress, QHostAddress("10.9.9.20"));
    }

    void sortedIpsIsNumeric()
    {
        QCOMPARE(TcpLanScanner::sortedIps({"192.168.1.10", "10.0.0.2", "192.168.1.9", "lab-counter", "9.255.255.255"}),
                 (QList<QString>{"lab-counter", "9.255.255.255", "10.0.0.2", "192.168.1.9", "192.168.1.10"}));
    }

    void scanPublishesInNumericOrder()
    {
        // Own address .11; targets .9 .10 .12 .13 .14; instruments on .9 and
        // .10, whose text order would be the wrong way round.
        const auto a = listenOn("127.0.0.9"), b = listenOn("127.0.0.10");
        TcpLanScanner scanner;
        scanner.setInterfaceSource([] { return lan("127.0.0.11", "255.255.255.248"); });
        QCOMPARE(scanner.progress(), 100.0);
        Recorder rec(scanner);
        scanner.start();
        QTRY_VERIFY_WITH_TIMEOUT(!scanner.scanning(), 3000);
        // Start: counters, then the running flag; one step per target, each
        // find published before its step; the end adds only the running flag.
        QCOMPARE(rec.events.mid(0, 2), (QStringList{"progress 0 0 ", "scanning 0 1 "}));
        QCOMPARE(rec.count("progress"), 1 + 5);
        QCOMPARE(rec.count("hosts"), 2);
        QCOMPARE(rec.events.last(), QStringLiteral("scanning 100 0 127.0.0.9,127.0.0.10"));
        double previous = 0;
        for (qsizetype i = 2; i + 1 < rec.events.size(); ++i) {
            const QStringList e = rec.events[i].split(' ');
            QVERIFY(e[0] == "progress" || rec.events[i + 1].startsWith("progress"));
            QVERIFY(e[0] != "progress" || e[1].toDouble() > previous);
            previous = e[0] == "progress" ? e[1].toDouble() : previous;
        }
        QCOMPARE(previous, 100.0);
        // The same answers again: the list does not change, so no hostsChanged.
        rec.events.clear();
        scanner.start();
        QTRY_VERIFY_WITH_TIMEOUT(!scanner.scanning(), 3000);
        QCOMPARE(rec.count("hosts"), 0);
    }

    void stopKeepsHostsAndSilencesProbes()
    {
        // Own .20; targets .17 .18 .19 .21 .22; .17 answers, .18 hangs.
        const auto found = listenOn("127.0.0.17");
        SilentHost silent("127.0.0.18");
        QVERIFY(silent.ok);
        TcpLanScanner scanner;
        scanner.setInterfaceSource([] { return lan("127.0.0.20", "255.255.255.248"); });
        Recorder rec(scanner);
        scanner.start();
        QTRY_COMPARE_WITH_TIMEOUT(rec.count("progress"), 1 + 4, 300);
        QCOMPARE(rec.events.last(), QStringLiteral("progress 80 1 127.0.0.17"));
        rec.events.clear();
        scanner.stop();
        // Counters reset while still running, then the flag; the hosts stay.
        QCOMPARE(rec.events, (QStringList{"progress 0 1 127.0.0.17", "scanning 100 0 127.0.0.17"}));
        // The hanging probe's socket and timer are gone: nothing arrives later.
        QTest::qWait(TcpLanScanner::kProbeLimitMs + 200);
        QVERIFY(scanner.findChildren<QTcpSocket *>().isEmpty());
        scanner.stop(); // idle: changes nothing
        QCOMPARE(rec.events.size(), 2);
    }

    void earlierHostLeavesOnlyWhenAFullScanEnds()
    {
        // Own .25; targets .26 .27 .28 .29 .30; .26 answers at first, .27 hangs.
        auto gone = listenOn("127.0.0.26");
        SilentHost silent("127.0.0.27");
        QVERIFY(silent.ok);
        TcpLanScanner scanner;
        scanner.setInterfaceSource([] { return lan("127.0.0.25", "255.255.255.248"); });
        scanner.start();
        QTRY_VERIFY_WITH_TIMEOUT(!scanner.scanning(), 3000);
        QCOMPARE(names(scanner.hosts()), QStringList{"127.0.0.26"});
        gone.reset();
        // Stopped early: the host that no longer answers stays listed.
        Recorder rec(scanner);
        scanner.start();
        QTRY_COMPARE_WITH_TIMEOUT(rec.count("progress"), 1 + 4, 300);
        scanner.stop();
        QCOMPARE(names(scanner.hosts()), QStringList{"127.0.0.26"});
        // A full scan: still listed while it runs; at its end the empty list, then the flag.
        scanner.start();
        QTRY_COMPARE_WITH_TIMEOUT(rec.count("progress"), 2 + 4 + 1 + 4, 300);
        QCOMPARE(names(scanner.hosts()), QStringList{"127.0.0.26"});
        QTRY_VERIFY_WITH_TIMEOUT(!scanner.scanning(), 3000);
        QCOMPARE(rec.events.mid(rec.events.size() - 3),
                 (QStringList{"progress 100 1 127.0.0.26", "hosts 100 1 ", "scanning 100 0 "}));
    }

    void signalOrderStartTwiceAndNoTargets()
    {
        // Own .33/30: the one target .34 answers, published before the step that counts it.
        const auto a = listenOn("127.0.0.34");
        int collections = 0;
        TcpLanScanner scanner;
        scanner.setInterfaceSource([&collections] {
            return ++collections < 2 ? lan("127.0.0.33", "255.255.255.252") : QList<NetInterface>{};
        });
        Recorder rec(scanner);
        scanner.start();
        scanner.start(); // runs one scan
        QTRY_VERIFY_WITH_TIMEOUT(!scanner.scanning(), 3000);
        QCOMPARE(collections, 1);
        QCOMPARE(rec.events, (QStringList{"progress 0 0 ", "scanning 0 1 ", "hosts 0 1 127.0.0.34",
                                          "progress 100 1 127.0.0.34", "scanning 100 0 127.0.0.34"}));
        // No targets: the scan ends inside start(), emptying the list.
        rec.events.clear();
        scanner.start();
        QCOMPARE(rec.events, (QStringList{"progress 100 0 127.0.0.34", "scanning 0 1 127.0.0.34", "hosts 0 1 ",
                                          "scanning 100 0 "}));
    }

    void setTcpHostCleansText()
    {
        DeviceSession s;
        isolate(s);
        QSignalSpy changed(&s, &DeviceSession::tcpHostChanged);
        // typed, kept, change signals so far
        const QList<std::tuple<QString, QString, int>> steps{
            {" 192.168.001.010:1234 ", "192.168.1.10", 1}, {"192.168.1.10", "192.168.1.10", 1},
            {"lab-counter", "lab-counter", 2}, {" 10.0.0.300 : 80", "10.0.0.300", 3}, // refused only on connect
            {"", "", 4}, {"  ", "", 4}};
        for (const auto &[typed, kept, count] : steps) {
            s.setTcpHost(typed);
            QCOMPARE(s.tcpHost(), kept);
            QCOMPARE(changed.size(), count);
        }
    }

    void firstFindIsChosenAndKept()
    {
        const auto high = listenOn("127.0.0.60");
        auto low = listenOn("127.0.0.58");
        DeviceSession s;
        isolate(s);
        QSignalSpy hostChanged(&s, &DeviceSession::tcpHostChanged);
        QStringList firstList;
        connect(&s, &DeviceSession::tcpHostsChanged, this, [&] {
            firstList = firstList.isEmpty() ? names(s.tcpHosts()) : firstList;
        });
        QVERIFY(scanToEnd(s));
        QCOMPARE(names(s.tcpHosts()), (QStringList{"127.0.0.58", "127.0.0.60"}));
        QCOMPARE(s.tcpHost(), firstList.first()); // whichever answered first
        QCOMPARE(hostChanged.size(), 1);
        // The list grows below the chosen host; the host stays.
        low.reset();
        s.setTcpHost(QString());
        QVERIFY(scanToEnd(s));
        QCOMPARE(s.tcpHost(), QStringLiteral("127.0.0.60"));
        low = listenOn("127.0.0.58");
        QVERIFY(scanToEnd(s));
        QCOMPARE(names(s.tcpHosts()), (QStringList{"127.0.0.58", "127.0.0.60"}));
        QCOMPARE(s.tcpHost(), QStringLiteral("127.0.0.60"));
    }

    void typedHostStopAndConnect()
    {
        // The instrument at .44 sits outside the scanned range; .61 answers, .62 hangs.
        SimInstrument sim;
        QVERIFY(sim.listenTcp(QHostAddress(QStringLiteral("127.0.0.44")), DeviceSession::kTcpPort));
        const auto found = listenOn("127.0.0.61");
        SilentHost silent("127.0.0.62");
        QVERIFY(silent.ok);
        DeviceSession s;
        isolate(s);
        QCOMPARE(s.tcpScanProgress(), 100.0);
        s.setTcpHost(QStringLiteral("127.0.0.44"));
        QSignalSpy hostChanged(&s, &DeviceSession::tcpHostChanged);
        QSignalSpy scanning(&s, &DeviceSession::tcpScanningChanged);
        s.startTcpScan();
        QVERIFY(s.tcpScanning());
        QTRY_COMPARE_WITH_TIMEOUT(s.tcpScanProgress(), 80.0, 300);
        // Stopped: the finds stay, progress reads 100, the typed host is not replaced.
        s.stopTcpScan();
        QCOMPARE(scanning.size(), 2);
        QCOMPARE(s.tcpScanProgress(), 100.0);
        QCOMPARE(names(s.tcpHosts()), QStringList{"127.0.0.61"});
        QCOMPARE(hostChanged.size(), 0);
        // Opening a link ends a running scan, and none starts while connected.
        s.startTcpScan();
        s.connectToDevice(true);
        QCOMPARE(scanning.size(), 4);
        QTRY_VERIFY_WITH_TIMEOUT(s.connected(), 3000);
        s.startTcpScan();
        QCOMPARE(scanning.size(), 4);
    }
};

QTEST_GUILESS_MAIN(TestLanScanner)
#include "tst_lan_scanner.moc"
