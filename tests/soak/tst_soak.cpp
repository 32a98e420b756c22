// Soak: the real DeviceSession against the simulated instrument over loopback
// TCP while the instrument misbehaves in a new way every few hundred ms. The
// session must keep its queue invariants, hold eight counts and eight levels,
// end every sweep, report only its own failure messages, and still work once
// the instrument behaves again.
//
// TACHYRA_SOAK_SECONDS sets the length (default 20), TACHYRA_SOAK_SEED the
// random seed (default: time-based, printed for a rerun).

#include "DeviceSession.h"
#include "SimInstrument.h"

#include <QElapsedTimer>
#include <QFile>
#include <QMap>
#include <QRandomGenerator>
#include <QSet>
#include <QSignalSpy>
#include <QTimer>
#include <QtTest>

namespace {

const QString kAddress = QStringLiteral("127.0.0.210");

// Queue bound. Polls are coalesced (at most one unsent count query), the
// driver below starts an action only while at most 3 requests wait, the
// largest action adds 8 (a sweep start: SDAC? plus 7 mutes; a sweep end: 8
// restores) and the opening exchange queues 6. That is at most ~18; 32 leaves
// slack, while a queue that grows by one poll per tick during a 2000 ms
// time-out (40 per time-out) crosses it within seconds.
constexpr qsizetype kMaxQueue = 32;
constexpr int kDriverMaxWaiting = 3;
// The operator presses Stop on a sweep that has not finished by then (a timed
// out step leaves a sweep parked until Stop or a link loss).
constexpr qint64 kSweepPatienceMs = 5000;
// A link whose opening PERD? timed out never starts polling; the operator
// reconnects after this long.
constexpr qint64 kStalledLinkMs = 5000;

// Every text the session may show in lastError over a TCP link. The COM
// messages are left out on purpose: on a TCP-only run they would be a fault.
QSet<QString> allowedErrors()
{
    return {
        QString(),
        // queue and link
        QStringLiteral("No reply from device"),
        QStringLiteral("Invalid IP address"),
        QStringLiteral("TCP connection closed"),
        QStringLiteral("TCP connect timeout"),
        QStringLiteral("Connection refused"),
        QStringLiteral("Remote host closed the connection"),
        QStringLiteral("Host not found"),
        QStringLiteral("TCP access denied"),
        QStringLiteral("TCP resource error"),
        QStringLiteral("TCP timeout"),
        QStringLiteral("Network error"),
        QStringLiteral("Address already in use"),
        QStringLiteral("TCP address not available"),
        QStringLiteral("TCP operation not supported"),
        QStringLiteral("Temporary TCP error"),
        QStringLiteral("TCP error"),
        // counts and gate period
        QStringLiteral("Bad COUN? reply"),
        QStringLiteral("PERD rejected"),
        QStringLiteral("Bad PERD? reply"),
        // thresholds and sweep
        QStringLiteral("SDAC rejected"),
        QStringLiteral("Bad SDAC? reply"),
        QStringLiteral("WEEP rejected"),
        QStringLiteral("Calibration: bad COUN?"),
        // network settings
        QStringLiteral("Invalid netmask"),
        QStringLiteral("Invalid gateway"),
        QStringLiteral("DHCP set rejected"),
        QStringLiteral("IP set rejected"),
        QStringLiteral("Netmask set rejected"),
        QStringLiteral("Gateway set rejected"),
        QStringLiteral("Network apply rejected"),
    };
}

QString rssText()
{
    QFile f(QStringLiteral("/proc/self/status"));
    if (!f.open(QIODevice::ReadOnly))
        return QStringLiteral("n/a");
    for (const QByteArray &line : f.readAll().split('\n')) {
        if (line.startsWith("VmRSS:"))
            return QString::fromLatin1(line.mid(6).simplified());
    }
    return QStringLiteral("n/a");
}

int envInt(const char *name, int fallback)
{
    bool ok = false;
    const int v = qEnvironmentVariableIntValue(name, &ok);
    return ok ? v : fallback;
}

// Codes the session sends, for rejections and wrong answers.
const unsigned char kCodes[] = {zrf::kCountQuery, zrf::kCountQuery, zrf::kSdac, zrf::kSdacQuery,
                                zrf::kWeep, zrf::kPeriodQuery, zrf::kPeriodSet, zrf::kSetDhcp,
                                zrf::kSetIp, zrf::kSetNetmask, zrf::kSetGateway, zrf::kNetApply,
                                zrf::kReadIp, zrf::kReadMode};

} // namespace

class SoakTest : public QObject
{
    Q_OBJECT

private slots:
    void soak();

private:
    void checkInvariants();
    void fail(const QString &what);
    void switchFaults();
    void drive();

    QRandomGenerator m_rng;
    SimInstrument *m_sim = nullptr;
    DeviceSession *m_session = nullptr;
    QSet<QString> m_allowed;
    QString m_failure;
    bool m_running = true;
    QElapsedTimer m_clock;

    QMap<QString, int> m_faultCounts;
    QMap<QString, int> m_errorCounts;
    QMap<QString, int> m_actionCounts;
    qsizetype m_maxQueue = 0;
    qint64 m_invariantChecks = 0;
    qint64 m_countUpdates = 0;

    qint64 m_sweepStartedAt = -1;
    qint64 m_disconnectedAt = -1;
    qint64 m_stalledSince = -1;
};

void SoakTest::fail(const QString &what)
{
    if (!m_failure.isEmpty())
        return;
    m_failure = QStringLiteral("%1 at %2 ms (queue %3, busy %4, timer %5, connected %6, "
                               "sweep %7, applying %8, lastError \"%9\")")
                    .arg(what)
                    .arg(m_clock.elapsed())
                    .arg(m_session->queueLength())
                    .arg(m_session->busy())
                    .arg(m_session->commandTimerActive())
                    .arg(m_session->connected())
                    .arg(m_session->calibrationRunning())
                    .arg(m_session->networkApplying())
                    .arg(m_session->lastError());
}

void SoakTest::checkInvariants()
{
    ++m_invariantChecks;
    DeviceSession &s = *m_session;
    m_maxQueue = qMax(m_maxQueue, s.queueLength());
    if (s.busy() && s.queueLength() == 0)
        fail(QStringLiteral("busy with an empty queue"));
    if (s.commandTimerActive() && !s.busy())
        fail(QStringLiteral("command timer running while not busy"));
    // The other direction: busy without a running timer would wait forever.
    if (s.busy() && !s.commandTimerActive())
        fail(QStringLiteral("busy without a command timer"));
    if (s.queueLength() > kMaxQueue)
        fail(QStringLiteral("queue longer than %1").arg(kMaxQueue));
    if (s.counts().size() != DeviceSession::kChannelCount)
        fail(QStringLiteral("counts has %1 entries").arg(s.counts().size()));
    if (s.dacVolts().size() != DeviceSession::kChannelCount)
        fail(QStringLiteral("dacVolts has %1 entries").arg(s.dacVolts().size()));
    if (!m_allowed.contains(s.lastError()))
        fail(QStringLiteral("undocumented lastError"));
    if (!s.connected() && (s.calibrationRunning() || s.pollTimerActive() || s.networkApplying()))
        fail(QStringLiteral("sweep, poll or network change outliving the link"));
    if (s.calibrationRunning() && s.pollTimerActive())
        fail(QStringLiteral("polling during a sweep"));
    if (s.calibrationRunning() && m_sweepStartedAt >= 0
        && m_clock.elapsed() - m_sweepStartedAt > kSweepPatienceMs + 2000)
        fail(QStringLiteral("sweep still running after Stop was due"));
}

void SoakTest::switchFaults()
{
    if (!m_running)
        return;
    SimFaults f;
    QString name;
    // Weighted: good stretches and mild faults often enough that polling,
    // thresholds and sweeps get through between the hard faults.
    static const int kWeighted[] = {0, 0, 0, 0, 0, 1, 2, 2, 3, 4, 5, 5, 6, 7, 8, 9, 10, 11, 12};
    switch (kWeighted[m_rng.bounded(int(std::size(kWeighted)))]) {
    case 0:
        name = QStringLiteral("none");
        break;
    case 1:
        f.replyDelayMs = 2100 + int(m_rng.bounded(600));
        name = QStringLiteral("delay past time-out");
        break;
    case 2:
        f.replyDelayMs = 20 + int(m_rng.bounded(500));
        name = QStringLiteral("short delay");
        break;
    case 3:
        f.dropProbability = 0.3;
        name = QStringLiteral("random drops");
        break;
    case 4:
        f.dropEvery = 2 + int(m_rng.bounded(4));
        name = QStringLiteral("drop every Nth");
        break;
    case 5:
        f.splitChunk = 1 + int(m_rng.bounded(7));
        f.splitDelayMs = int(m_rng.bounded(30));
        name = QStringLiteral("split replies");
        break;
    case 6: {
        // Any bytes, start and end bytes included: a stray F9 .. FA pair
        // makes a bogus frame that fails the outstanding request.
        QByteArray g(1 + int(m_rng.bounded(12)), Qt::Uninitialized);
        for (char &c : g)
            c = char(m_rng.bounded(256));
        f.garbage = g;
        name = QStringLiteral("garbage");
        break;
    }
    case 7:
        f.rejectCommand = kCodes[m_rng.bounded(int(std::size(kCodes)))];
        name = QStringLiteral("0x02 rejection");
        break;
    case 8:
        f.wrongCodeCommand = kCodes[m_rng.bounded(int(std::size(kCodes)))];
        name = QStringLiteral("wrong code");
        break;
    case 9:
        f.wrongLengthCommand = kCodes[m_rng.bounded(int(std::size(kCodes)))];
        name = QStringLiteral("wrong length");
        break;
    case 10:
        f.closeAfterReplies = int(m_rng.bounded(6));
        name = QStringLiteral("close after replies");
        break;
    case 11:
        f.silent = true;
        name = QStringLiteral("silent");
        break;
    default:
        m_sim->closeConnections();
        name = QStringLiteral("remote close now");
        break;
    }
    m_sim->setFaults(f);
    ++m_faultCounts[name];
    QTimer::singleShot(200 + int(m_rng.bounded(300)), this, &SoakTest::switchFaults);
}

// One step of a restless operator.
void SoakTest::drive()
{
    DeviceSession &s = *m_session;
    const qint64 now = m_clock.elapsed();

    if (!s.connected()) {
        m_stalledSince = -1;
        m_sweepStartedAt = -1;
        if (s.connecting())
            return;
        if (m_disconnectedAt < 0)
            m_disconnectedAt = now;
        if (now - m_disconnectedAt >= 100 + qint64(m_rng.bounded(200))) {
            m_disconnectedAt = -1;
            ++m_actionCounts[QStringLiteral("connect")];
            s.connectToDevice(true);
        }
        return;
    }
    m_disconnectedAt = -1;

    if (s.calibrationRunning()) {
        if (m_sweepStartedAt < 0)
            m_sweepStartedAt = now;
        if (now - m_sweepStartedAt > kSweepPatienceMs) {
            ++m_actionCounts[QStringLiteral("sweep stopped by operator")];
            s.stopCalibration();
            if (s.calibrationRunning())
                fail(QStringLiteral("stopCalibration left the sweep running"));
            m_sweepStartedAt = -1;
        }
        return;
    }
    m_sweepStartedAt = -1;

    // A link whose opening exchange lost its PERD? reply never polls.
    if (!s.pollTimerActive() && !s.networkApplying()) {
        if (m_stalledSince < 0)
            m_stalledSince = now;
        if (now - m_stalledSince > kStalledLinkMs) {
            m_stalledSince = -1;
            ++m_actionCounts[QStringLiteral("reconnect of a stalled link")];
            s.disconnectFromDevice();
        }
        return;
    }
    m_stalledSince = -1;

    if (s.queueLength() > kDriverMaxWaiting || m_rng.bounded(16) != 0)
        return;
    switch (m_rng.bounded(20)) {
    case 0:
    case 1:
    case 2:
    case 3:
    case 4:
    case 5:
        ++m_actionCounts[QStringLiteral("setDacVoltage")];
        s.setDacVoltage(int(m_rng.bounded(8)), m_rng.bounded(1000) / 1000.0);
        break;
    case 6:
    case 7:
        ++m_actionCounts[QStringLiteral("setAllDacVoltage")];
        s.setAllDacVoltage(m_rng.bounded(1000) / 1000.0);
        break;
    case 8:
    case 9:
    case 10: {
        const int from = int(m_rng.bounded(900));
        const int to = from + 20 + int(m_rng.bounded(80));
        ++m_actionCounts[QStringLiteral("startCalibration")];
        s.startCalibration(int(m_rng.bounded(8)), from, to, 10 + int(m_rng.bounded(40)));
        break;
    }
    case 11:
        ++m_actionCounts[QStringLiteral("applyPeriod")];
        s.applyPeriod(20);
        break;
    case 12:
        ++m_actionCounts[QStringLiteral("applyNetwork")];
        if (m_rng.bounded(2))
            s.applyNetwork(true, QString(), QString(), QString());
        else
            s.applyNetwork(false, QStringLiteral("192.168.1.50"), QStringLiteral("255.255.255.0"),
                           QStringLiteral("192.168.1.1"));
        break;
    case 13:
        ++m_actionCounts[QStringLiteral("user disconnect")];
        s.disconnectFromDevice();
        break;
    default:
        break;
    }
}

void SoakTest::soak()
{
    const int seconds = qMax(1, envInt("TACHYRA_SOAK_SECONDS", 20));
    const auto seed = quint32(envInt("TACHYRA_SOAK_SEED",
                                     int(QDateTime::currentMSecsSinceEpoch() & 0x7fffffff)));
    m_rng.seed(seed);
    m_allowed = allowedErrors();
    qInfo("soak: %d s, seed %u (TACHYRA_SOAK_SEED=%u reruns it)", seconds, seed, seed);
    qInfo("soak: RSS at start %s", qPrintable(rssText()));

    SimInstrument sim;
    sim.setSeed(seed);
    sim.setPeriodMs(20); // the session polls at its 50 ms floor
    QVERIFY(sim.listenTcp(QHostAddress(kAddress), DeviceSession::kTcpPort));
    DeviceSession session;
    session.setSerialPortSource([] { return QList<SerialPortEntry>{}; });
    session.setNetInterfaceSource([] { return QList<NetInterface>{}; });
    m_sim = &sim;
    m_session = &session;

    connect(&session, &DeviceSession::lastErrorChanged, this, [this] {
        ++m_errorCounts[m_session->lastError()];
        if (!m_allowed.contains(m_session->lastError()))
            fail(QStringLiteral("undocumented lastError"));
    });
    connect(&session, &DeviceSession::countsChanged, this, [this] { ++m_countUpdates; });
    connect(&session, &DeviceSession::calibrationSucceeded, this, [this] {
        ++m_actionCounts[QStringLiteral("sweep succeeded")];
        // The calibration view animates, waits, then calls stopCalibration.
        QTimer::singleShot(int(m_rng.bounded(1000)), m_session, [this] {
            m_session->stopCalibration();
            if (m_session->calibrationRunning())
                fail(QStringLiteral("stopCalibration after success left the sweep running"));
        });
    });
    // Checked right inside every change signal as well as on the timer, so a
    // broken state that heals before the next tick is still seen.
    for (auto sig : {&DeviceSession::connectedChanged, &DeviceSession::countsChanged,
                     &DeviceSession::dacVoltsChanged, &DeviceSession::calibrationRunningChanged,
                     &DeviceSession::networkApplyingChanged}) {
        connect(&session, sig, this, &SoakTest::checkInvariants);
    }

    session.setTcpHost(kAddress);
    QCOMPARE(session.tcpHost(), kAddress);

    m_clock.start();
    QTimer invariants;
    invariants.setTimerType(Qt::PreciseTimer);
    connect(&invariants, &QTimer::timeout, this, &SoakTest::checkInvariants);
    invariants.start(10);
    QTimer driver;
    connect(&driver, &QTimer::timeout, this, &SoakTest::drive);
    driver.start(25);
    QTimer rss;
    connect(&rss, &QTimer::timeout, this, [] { qInfo("soak: RSS %s", qPrintable(rssText())); });
    rss.start(60000);

    QTimer::singleShot(300, this, &SoakTest::switchFaults);
    const qint64 endMs = qint64(seconds) * 1000;
    const bool ended = QTest::qWaitFor(
        [&] { return !m_failure.isEmpty() || m_clock.elapsed() >= endMs; }, int(endMs) + 60000);
    driver.stop();

    // End of the storm: no more fault switching, a good instrument again.
    m_running = false;
    sim.setFaults({});
    QVERIFY2(m_failure.isEmpty(), qPrintable(m_failure));
    QVERIFY2(ended, "the event loop stalled");

    // Whatever the last fault left behind, the operator's Stop and a fresh
    // connect give a working link.
    session.stopCalibration();
    QVERIFY(!session.calibrationRunning());
    session.disconnectFromDevice();
    QVERIFY(!session.connected() && !session.busy() && session.queueLength() == 0);
    QVERIFY(!session.commandTimerActive() && !session.pollTimerActive());
    QTest::qWait(3000); // delayed replies from the last faults drain away
    QSignalSpy countsSpy(&session, &DeviceSession::countsChanged);
    session.connectToDevice(true);
    QTRY_VERIFY_WITH_TIMEOUT(session.connected(), 5000);
    QTRY_VERIFY_WITH_TIMEOUT(countsSpy.size() >= 3, 5000);
    QVERIFY(session.pollTimerActive());
    QCOMPARE(session.pollIntervalMs(), DeviceSession::kMinPollMs);
    QVERIFY(m_failure.isEmpty());
    invariants.stop();

    qInfo("soak: %lld invariant checks, %lld count updates, longest queue %lld (bound %lld)",
          m_invariantChecks, m_countUpdates, qint64(m_maxQueue), qint64(kMaxQueue));
    for (auto it = m_faultCounts.cbegin(); it != m_faultCounts.cend(); ++it)
        qInfo("soak: fault %-22s %d", qPrintable(it.key()), it.value());
    for (auto it = m_actionCounts.cbegin(); it != m_actionCounts.cend(); ++it)
        qInfo("soak: action %-28s %d", qPrintable(it.key()), it.value());
    for (auto it = m_errorCounts.cbegin(); it != m_errorCounts.cend(); ++it)
        qInfo("soak: lastError \"%s\" %d", qPrintable(it.key()), it.value());
    qInfo("soak: RSS at end %s", qPrintable(rssText()));
    m_session = nullptr;
    m_sim = nullptr;
}

QTEST_GUILESS_MAIN(SoakTest)
#include "tst_soak.moc"
