// The scan over a real interface: the simulated instrument listens in one
// network namespace, and this program runs again in a second one, joined to
// the first by a veth pair, where it scans through the system's interface
// list and connects to what it found. Both namespaces go at the end; those
// of a run that was killed are removed by the next one.

#include "DeviceSession.h"
#include "TcpLanScanner.h"

#include <QFile>
#include <QProcess>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>

#include <cerrno>
#include <csignal>
#include <cstdio>

#include <sys/prctl.h>
#include <unistd.h>

namespace {

const QString kClientCidr = QStringLiteral("10.231.77.1/24");
const QString kInstrument = QStringLiteral("10.231.77.2");
// The instrument's stored gate period: seeing it proves the first request
// it answered was the opening PERD?.
constexpr int kSimPeriodMs = 250;
// Set in the environment of the copy that runs inside the client namespace.
const char *const kClientRole = "TACHYRA_NETNS_CLIENT";

QString ipPath()
{
    const QString path = QStandardPaths::findExecutable(QStringLiteral("ip"));
    return path.isEmpty() ? QStandardPaths::findExecutable(QStringLiteral("ip"), {"/usr/sbin", "/sbin"}) : path;
}

// A child killed with us: a test stopped half-way leaves no process behind.
void diesWithUs(QProcess &p) { p.setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGKILL); }); }

bool ip(const QStringList &args, QString *error = nullptr, QByteArray *out = nullptr)
{
    QProcess p;
    p.start(ipPath(), args);
    const bool ok = p.waitForFinished(10000) && p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0;
    if (out)
        *out = p.readAllStandardOutput();
    if (!ok && error && error->isEmpty())
        *error = QStringLiteral("ip %1: %2").arg(args.join(' '), QString::fromLocal8Bit(p.readAllStandardError()));
    return ok;
}

// The client ("c") and instrument ("s") namespaces of this run.
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
        QByteArray list;
        ip({"netns", "list"}, nullptr, &list);
        for (const QByteArray &line : list.split('\n')) {
            const QString name = QString::fromLatin1(line.split(' ').first());
            const int owner = name.section('-', -1).toInt();
            if (name.startsWith("tscan-") && owner > 0 && ::kill(owner, 0) != 0 && errno == ESRCH)
                ip({"netns", "del", name});
        }
        const QString veth = "tsc" + pid, peer = "tss" + pid;
        for (const QStringList &args : QList<QStringList>{
                 {"netns", "add", client}, {"netns", "add", server},
                 {"link", "add", veth, "netns", client, "type", "veth", "peer", "name", peer, "netns", server},
                 {"-n", client, "addr", "add", kClientCidr, "dev", veth},
                 {"-n", server, "addr", "add", kInstrument + "/24", "dev", peer},
                 {"-n", client, "link", "set", "lo", "up"}, {"-n", server, "link", "set", "lo", "up"},
                 {"-n", client, "link", "set", veth, "up"},
                 {"-n", server, "link", "set", peer, "up"}}) {
            if (!ip(args, &error))
                return false;
        }
        return true;
    }
    bool startSim(const QString &statePath)
    {
        diesWithUs(sim);
        sim.start(ipPath(), {"netns", "exec", server, ZRF_SIM_PATH, "--listen", kInstrument + ":1234",
                             "--allow-any-address", "--state", statePath, "--close-after", "1"});
        QByteArray out;
        while (!out.contains("listening on") && sim.waitForReadyRead(5000))
            out += sim.readAllStandardOutput();
        error = QString::fromLocal8Bit(out + sim.readAllStandardError());
        return out.contains("listening on");
    }
    // This executable again, inside the client namespace; returns its exit code.
    int runSelfInClient(const QStringList &args)
    {
        QProcess child;
        diesWithUs(child);
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QString::fromLatin1(kClientRole), QStringLiteral("1"));
        child.setProcessEnvironment(env);
        child.setProcessChannelMode(QProcess::ForwardedChannels);
        child.start(ipPath(), QStringList{"netns", "exec", client, QCoreApplication::applicationFilePath()} + args);
        const bool ran = child.waitForStarted(5000) && child.waitForFinished(-1);
        return ran && child.exitStatus() == QProcess::NormalExit ? child.exitCode() : 1;
    }
};

// Guard for the copy that scans: every IPv4 entry of an up, non-loopback
// interface must lie in the namespace's own subnet, or the scan would leave it.
bool confinedToOwnSubnet()
{
    bool any = false;
    for (const NetInterface &iface : systemNetInterfaces()) {
        for (const NetAddressEntry &e : iface.entries) {
            if (!iface.up || iface.loopback || e.ip.protocol() != QAbstractSocket::IPv4Protocol)
                continue;
            if (!e.ip.isInSubnet(QHostAddress::parseSubnet(kClientCidr)))
                return false;
            any = true;
        }
    }
    return any;
}

} // namespace

class TestScanNetns : public QObject
{
    Q_OBJECT
private slots:
    void namespaceHasOneSubnet()
    {
        // The veth end is probed (not taken for a virtual interface), loopback is not.
        const QList<TcpLanScanner::Probe> targets = TcpLanScanner::collectTargets(systemNetInterfaces());
        QCOMPARE(targets.size(), 253);
        QCOMPARE(targets.first().ip, kInstrument);
        QCOMPARE(targets.first().localAddress, QHostAddress(QStringLiteral("10.231.77.1")));
    }

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
        QSignalSpy hostsChanged(&scanner, &TcpLanScanner::hostsChanged);
        scanner.start();
        // Unanswered neighbours hang until their limit, so the window stays full.
        QCOMPARE(scanner.findChildren<QTcpSocket *>().size(), TcpLanScanner::kMaxInFlight);
        QTRY_VERIFY_WITH_TIMEOUT(!scanner.scanning(), 15000);
        QCOMPARE(scanner.hosts().size(), 1);
        QCOMPARE(scanner.hosts()[0].toMap().value("name").toString(), kInstrument);
        QCOMPARE(hostsChanged.size(), 1);
        QVERIFY(mostInFlight <= TcpLanScanner::kMaxInFlight);
    }

    void sessionOpensFoundHost()
    {
        DeviceSession s;
        s.setSerialPortSource([] { return QList<SerialPortEntry>(); });
        QStringList statuses;
        connect(&s, &DeviceSession::statusTextChanged, this, [&] { statuses.append(s.statusText()); });
        s.startTcpScan();
        QTRY_COMPARE_WITH_TIMEOUT(s.tcpHost(), kInstrument, 15000);
        s.connectToDevice(true);
        QVERIFY(!s.tcpScanning()); // connecting stops the scan that chose the host
        QTRY_COMPARE_WITH_TIMEOUT(s.periodMs(), kSimPeriodMs, 5000);
        QVERIFY2(statuses.contains("Connected \u00B7 " + kInstrument), qPrintable(statuses.join(" | ")));
        // The instrument closes after its first reply, so no later request
        // could have brought the period in.
        QTRY_VERIFY_WITH_TIMEOUT(!s.connected(), 5000);
    }
};

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const auto fail = [](const QString &why) {
        std::fprintf(stderr, "FAIL: tst_scan_netns %s\n", qPrintable(why));
        return 1;
    };
    if (qEnvironmentVariableIsSet(kClientRole)) {
        if (!confinedToOwnSubnet())
            return fail("is not inside its own namespace; not scanning");
        TestScanNetns test;
        return QTest::qExec(&test, argc, argv);
    }
    if (::geteuid() != 0)
        return fail(QStringLiteral("needs root to create network namespaces (running as uid %1)").arg(::geteuid()));
    if (ipPath().isEmpty())
        return fail("needs the 'ip' command (iproute2), which was not found");
    QTemporaryDir dir;
    QFile state(dir.filePath(QStringLiteral("sim-state.json")));
    if (!state.open(QIODevice::WriteOnly)
        || state.write(QStringLiteral(R"({"thresholds":[0.1,0.1,0.1,0.1,0.1,0.1,0.1,0.1],"periodMs":%1,"dhcp":false,)"
                                      R"("ip":"10.231.77.2","netmask":"255.255.255.0","gateway":"10.231.77.254"})")
                           .arg(kSimPeriodMs).toUtf8()) < 0)
        return fail("cannot write the instrument's state file");
    state.close();
    Namespaces ns;
    if (!ns.setUp() || !ns.startSim(state.fileName()))
        return fail("setup: " + ns.error);
    return ns.runSelfInClient(app.arguments().mid(1));
}

#include "tst_scan_netns.moc"
