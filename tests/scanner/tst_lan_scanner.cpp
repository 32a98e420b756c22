// The subnet scanner and the session's host side on made-up interfaces whose subnets lie on loopback.

#include "../common/LoopbackRig.h"
#include "SimInstrument.h"
#include "TcpLanScanner.h"

#include <QSignalSpy>

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
    // A signal's name occurs in no other field.
    qsizetype count(const char *name) const { return events.filter(QLatin1String(name)).size(); }
    QStringList events;
    QObject context; // drops the connections with the recorder
};

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
        const auto via = [&probes](qsizetype i) { return probes[i].ip + " via " + probes[i].localAddress.toString(); };
        QCOMPARE(probes.size(), 253 + 1 + 1);
        QCOMPARE(via(18), QStringLiteral("10.9.9.20 via 10.9.9.9")); // probed once, through the first entry
        QCOMPARE(via(253), QStringLiteral("10.7.0.2 via 10.7.0.1"));
        QCOMPARE(via(254), QStringLiteral("10.9.9.9 via 10.9.9.20")); // and the first adapter through the second
    }

    void scanPublishesStopsAndDropsOnlyOnAFullScan()
    {
        // Own address .11; targets .9 .10 .12 .13 .14. Instruments on .9 and .10
        // (whose text order would be the wrong way round), on .12 in the first two
        // scans, on .14 from the third; .13 hangs. The fifth collection finds no interface.
        const auto a = listenOn("127.0.0.9"), b = listenOn("127.0.0.10");
        auto gone = listenOn("127.0.0.12");
        const SilentHost silent(QStringLiteral("127.0.0.13"));
        QVERIFY(silent.ok);
        int collections = 0;
        TcpLanScanner scanner;
        scanner.setInterfaceSource([&collections] {
            return ++collections < 5 ? lan("127.0.0.11", "255.255.255.248") : QList<NetInterface>{};
        });
        Recorder rec(scanner);
        scanner.start();
        scanner.start(); // runs no second scan
        QTRY_VERIFY_WITH_TIMEOUT(!scanner.scanning(), 3000);
        QCOMPARE(collections, 1);
        // Start: counters, then the running flag; one step per target, each
        // find published before its step; the end adds only the running flag.
        QCOMPARE(rec.events.mid(0, 2), (QStringList{"progress 0 0 ", "scanning 0 1 "}));
        QVERIFY(rec.count("progress") == 1 + 5 && rec.count("hosts") == 3);
        QCOMPARE(rec.events.last(), QStringLiteral("scanning 100 0 127.0.0.9,127.0.0.10,127.0.0.12"));
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
        gone.reset();
        const auto found = listenOn("127.0.0.14");
        const QString listed = QStringLiteral("127.0.0.9,127.0.0.10,127.0.0.12,127.0.0.14");
        rec.events.clear();
        scanner.start();
        QTRY_COMPARE_WITH_TIMEOUT(rec.count("progress"), 1 + 4, 300);
        QCOMPARE(rec.events.last(), "progress 80 1 " + listed);
        rec.events.clear();
        scanner.stop();
        // Counters reset while still running, then the flag; new and earlier finds stay.
        QCOMPARE(rec.events, (QStringList{"progress 0 1 " + listed, "scanning 100 0 " + listed}));
        // The hanging probe's socket and timer are gone: nothing arrives later.
        QTest::qWait(TcpLanScanner::kProbeLimitMs + 200);
        scanner.stop(); // idle: changes nothing
        QVERIFY(scanner.findChildren<QTcpSocket *>().isEmpty() && rec.events.size() == 2);
        // A full scan: .12 still listed while it runs; at its end the new list, then the flag.
        scanner.start();
        QTRY_COMPARE_WITH_TIMEOUT(rec.count("progress"), 1 + 1 + 4, 300);
        QCOMPARE(names(scanner.hosts()).join(','), listed);
        QTRY_VERIFY_WITH_TIMEOUT(!scanner.scanning(), 3000);
        const QString now = QStringLiteral("127.0.0.9,127.0.0.10,127.0.0.14");
        QCOMPARE(rec.events.mid(rec.events.size() - 3), (QStringList{"progress 100 1 " + listed, "hosts 100 1 " + now,
                                                                     "scanning 100 0 " + now}));
        // No targets: the scan ends inside start(), emptying the list; idle, progress reads 100.
        rec.events.clear();
        scanner.start();
        QCOMPARE(rec.events, (QStringList{"progress 100 0 " + now, "scanning 0 1 " + now, "hosts 0 1 ", "scanning 100 0 "}));
    }

    void hostChosenTypedKeptAndConnected()
    {
        // .60 answers from the start, .58 from the second scan, .62 hangs; the
        // instrument at .44 sits outside the scanned range.
        SimInstrument sim;
        QVERIFY(sim.listenTcp(QHostAddress(QStringLiteral("127.0.0.44")), DeviceSession::kTcpPort));
        const auto high = listenOn("127.0.0.60");
        const SilentHost silent(QStringLiteral("127.0.0.62"));
        QVERIFY(silent.ok);
        DeviceSession s;
        isolate(s); // no serial ports; the LAN .57/29 below: targets .58 to .62
        s.setNetInterfaceSource([] { return lan("127.0.0.57", "255.255.255.248"); });
        QSignalSpy hostChanged(&s, &DeviceSession::tcpHostChanged);
        s.startTcpScan();
        QTRY_VERIFY_WITH_TIMEOUT(!s.tcpScanning(), 3000);
        QVERIFY(s.tcpHost() == QStringLiteral("127.0.0.60") && hostChanged.size() == 1); // the first find, with none set
        // The typed text is cleaned: typed, kept, change signals so far.
        const QList<std::tuple<QString, QString, int>> steps{
            {" 192.168.001.010:1234 ", "192.168.1.10", 2}, {"192.168.1.10", "192.168.1.10", 2},
            {" lab-counter ", "lab-counter", 3}, {" 10.0.0.300 : 80", "10.0.0.300", 4}, // refused only on connect
            {"", "", 5}, {"  ", "", 5}, {"127.0.0.44", "127.0.0.44", 6}};
        for (const auto &[typed, kept, count] : steps) {
            s.setTcpHost(typed);
            QCOMPARE(s.tcpHost(), kept);
            QCOMPARE(hostChanged.size(), count);
        }
        const auto low = listenOn("127.0.0.58");
        QSignalSpy scanning(&s, &DeviceSession::tcpScanningChanged);
        s.startTcpScan();
        QTRY_COMPARE_WITH_TIMEOUT(s.tcpScanProgress(), 80.0, 300);
        // Stopped: the finds stay, progress reads 100, the set host is not replaced by the new find.
        s.stopTcpScan();
        QVERIFY(scanning.size() == 2 && s.tcpScanProgress() == 100.0 && hostChanged.size() == 6);
        QCOMPARE(names(s.tcpHosts()), (QStringList{"127.0.0.58", "127.0.0.60"}));
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
