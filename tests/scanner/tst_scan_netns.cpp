// The scan over a real interface: the simulated instrument listens in one
// network namespace; this process moves into a second one, joined to the
// first by a veth pair, scans through the system's interface list and
// connects to what it found. Namespaces of a killed run go with the next one.

#include "DeviceSession.h"
#include "TcpLanScanner.h"

#include <QDir>
#include <QProcess>
#include <QStandardPaths>
#include <QTcpSocket>
#include <QTest>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>

#include <fcntl.h>
#include <sched.h>
#include <sys/prctl.h>
#include <unistd.h>

namespace {

const QString kClientCidr = QStringLiteral("10.231.77.1/24");
const QString kInstrument = QStringLiteral("10.231.77.2");

QString ipPath() { return QStandardPaths::findExecutable(QStringLiteral("ip"), {"/usr/sbin", "/sbin", "/usr/bin", "/bin"}); }

bool ip(const QStringList &args, QString *error = nullptr)
{
    QProcess p;
    p.start(ipPath(), args);
    const bool ok = p.waitForFinished(10000) && p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0;
    if (!ok && error)
        *error = QStringLiteral("ip %1: %2").arg(args.join(' '), QString::fromLocal8Bit(p.readAllStandardError()));
    return ok;
}

// The client ("c") and instrument ("s") namespaces of this run; the
// destructor removes them however the test ended.
struct Namespaces {
    const QString pid = QString::number(::getpid());
    const QString client = "tscan-c-" + pid, server = "tscan-s-" + pid;
    QString error;
    QProcess sim;

    ~Namespaces()
    {
        sim.terminate();
        if (!sim.waitForFinished(2000))
            sim.kill();
        ip({"netns", "del", client}); // each takes its end of the veth pair, and so both
        ip({"netns", "del", server});
    }
    bool setUp()
    {
        for (const QString &name : QDir(QStringLiteral("/run/netns")).entryList({"tscan-*"}, QDir::Files)) {
            const int owner = name.section('-', -1).toInt(); // left by a run that no longer lives
            if (owner > 0 && ::kill(owner, 0) != 0 && errno == ESRCH)
                ip({"netns", "del", name});
        }
        const QString veth = "tsc" + pid, peer = "tss" + pid;
        for (const QStringList &args : QList<QStringList>{
                 {"netns", "add", client}, {"netns", "add", server},
                 {"link", "add", veth, "netns", client, "type", "veth", "peer", "name", peer, "netns", server},
                 {"-n", client, "addr", "add", kClientCidr, "dev", veth},
                 {"-n", server, "addr", "add", kInstrument + "/24", "dev", peer},
                 {"-n", client, "link", "set", "lo", "up"}, {"-n", server, "link", "set", "lo", "up"},
                 {"-n", client, "link", "set", veth, "up"}, {"-n", server, "link", "set", peer, "up"}}) {
            if (!ip(args, &error))
                return false;
        }
        // Killed with us: a test stopped half-way leaves no instrument behind.
        sim.setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGKILL); });
        sim.start(ipPath(), {"netns", "exec", server, ZRF_SIM_PATH, "--listen", kInstrument + ":1234",
                             "--allow-any-address"});
        QByteArray out;
        while (!out.contains("listening on") && sim.waitForReadyRead(5000))
            out += sim.readAllStandardOutput();
        error = QString::fromLocal8Bit(out + sim.readAllStandardError());
        return out.contains("listening on");
    }
    // Moves this process's sockets into the client namespace.
    bool enterClient()
    {
        const int fd = ::open(qPrintable("/run/netns/" + client), O_RDONLY | O_CLOEXEC);
        error = QStringLiteral("cannot enter namespace %1").arg(client);
        const bool ok = fd >= 0 && ::setns(fd, CLONE_NEWNET) == 0;
        ::close(fd);
        return ok;
    }
};

// Guard before scanning: every target must lie in the namespace's own
// subnet, or the scan would leave it.
bool confinedToOwnSubnet()
{
    const QList<TcpLanScanner::Probe> targets = TcpLanScanner::collectTargets(systemNetInterfaces());
    return !targets.isEmpty() && std::all_of(targets.cbegin(), targets.cend(), [](const TcpLanScanner::Probe &p) {
        return QHostAddress(p.ip).isInSubnet(QHostAddress::parseSubnet(kClientCidr));
    });
}

} // namespace

class TestScanNetns : public QObject
{
    Q_OBJECT
private slots:
    void scanFindsOnlyTheInstrument()
    {
        TcpLanScanner scanner;
        int mostInFlight = 0;
        connect(&scanner, &TcpLanScanner::progressChanged, this, [&] {
            int n = 0;
            for (const QTcpSocket *s : scanner.findChildren<QTcpSocket *>())
                n += s->state() != QAbstractSocket::UnconnectedState;
            mostInFlight = qMax(mostInFlight, n);
        });
        scanner.start();
        // Unanswered neighbours hang until their limit, so the window stays full.
        QCOMPARE(scanner.findChildren<QTcpSocket *>().size(), TcpLanScanner::kMaxInFlight);
        QTRY_VERIFY_WITH_TIMEOUT(!scanner.scanning(), 15000);
        QCOMPARE(scanner.hosts(), QVariantList{QVariantMap({{"name", kInstrument}, {"label", kInstrument}})});
        QVERIFY(mostInFlight <= TcpLanScanner::kMaxInFlight);
    }

    void sessionOpensFoundHost()
    {
        DeviceSession s;
        s.setSerialPortSource([] { return QList<SerialPortEntry>(); });
        s.startTcpScan();
        QTRY_COMPARE_WITH_TIMEOUT(s.tcpHost(), kInstrument, 15000);
        s.connectToDevice(true);
        QVERIFY(!s.tcpScanning()); // connecting stops the scan that chose the host
        // Polling starts on the PERD? reply; the address comes from the network reads.
        QTRY_VERIFY_WITH_TIMEOUT(s.pollTimerActive() && !s.ipAddress().isEmpty(), 5000);
        QCOMPARE(s.statusText(), "Connected \u00B7 " + kInstrument);
    }
};

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const auto fail = [](const QString &why) {
        std::fprintf(stderr, "FAIL: tst_scan_netns %s\n", qPrintable(why));
        return 1;
    };
    if (::geteuid() != 0)
        return fail(QStringLiteral("needs root to create network namespaces (running as uid %1)").arg(::geteuid()));
    if (ipPath().isEmpty())
        return fail("needs the 'ip' command (iproute2), which was not found");
    Namespaces ns;
    if (!ns.setUp() || !ns.enterClient())
        return fail("setup: " + ns.error);
    if (!confinedToOwnSubnet())
        return fail("is not inside its own namespace; not scanning");
    TestScanNetns test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_scan_netns.moc"
