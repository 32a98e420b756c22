// Soak: the session over loopback TCP while the simulator misbehaves anew every few hundred ms.
// TACHYRA_SOAK_SECONDS sets the length (default 20), TACHYRA_SOAK_SEED the seed (default: time-based, printed).

#include "../common/SessionProbe.h"
#include "../common/LoopbackRig.h"
#include "SimInstrument.h"

#include <QtTest>

#include <functional>

namespace {

const QString kAddress = QStringLiteral("127.0.0.210");

// A healthy queue stays near 18; one poll more per tick through a time-out passes 32 in seconds.
constexpr qsizetype kMaxQueue = 32;
constexpr int kDriverMaxWaiting = 3;
constexpr qint64 kPatienceMs = 5000; // the operator's wait for a sweep or a stalled link

// Every text lastError may show over TCP (a COM message would be a fault).
const QSet<QString> kAllowedErrors{
    QString(), "No reply from device", "Invalid IP address", "TCP connection closed", "TCP connect timeout",
    "Connection refused", "Remote host closed the connection", "Host not found", "TCP access denied",
    "TCP resource error", "TCP timeout", "Network error", "Address already in use", "TCP address not available",
    "TCP operation not supported", "Temporary TCP error", "TCP error", "Bad COUN? reply", "PERD rejected",
    "Bad PERD? reply", "SDAC rejected", "Bad SDAC? reply", "WEEP rejected", "Calibration: bad COUN?",
    "Invalid netmask", "Invalid gateway", "DHCP set rejected", "IP set rejected", "Netmask set rejected",
    "Gateway set rejected", "Network apply rejected", "Calibration: no reply from device", "threshold not stored",
    "thresholds of the sweep not restored"};

// A link lost with a level not stored yet names both.
bool allowedError(const QString &text)
{
    const QString suffix = QStringLiteral(" \u00B7 threshold not stored");
    return kAllowedErrors.contains(text) || (text.endsWith(suffix) && kAllowedErrors.contains(text.chopped(suffix.size())));
}

// Codes the session sends, for rejections and wrong answers.
const unsigned char kCodes[] = {zrf::kCountQuery, zrf::kCountQuery, zrf::kSdac, zrf::kSdacQuery, zrf::kWeep,
                                zrf::kPeriodQuery, zrf::kPeriodSet, zrf::kSetDhcp, zrf::kSetIp, zrf::kSetNetmask,
                                zrf::kSetGateway, zrf::kNetApply, zrf::kReadIp, zrf::kReadMode};

} // namespace

class SoakTest : public QObject
{
    Q_OBJECT

    QRandomGenerator m_rng;
    SimInstrument m_sim;
    DeviceSession m_session;
    QString m_failure;
    bool m_running = true;
    QElapsedTimer m_clock;
    QMap<QString, int> m_counts; // faults, actions and errors seen
    qsizetype m_maxQueue = 0;
    qint64 m_checks = 0;
    bool m_inSignal = false;
    qint64 m_sweepStartedAt = -1, m_disconnectedAt = -1, m_stalledSince = -1;

    int pick(int n) { return int(m_rng.bounded(n)); }
    int anyCode() { return kCodes[pick(int(std::size(kCodes)))]; }

    void fail(const QString &what)
    {
        const DeviceSession &s = m_session;
        const SessionProbe p(s);
        if (m_failure.isEmpty())
            m_failure = QStringLiteral("%1 at %2 ms (queue %3, busy %4, timer %5, connected %6, sweep %7, applying %8, "
                                       "lastError \"%9\")")
                            .arg(what).arg(m_clock.elapsed()).arg(p.queueLength()).arg(p.busy()).arg(p.commandTimerActive())
                            .arg(s.connected()).arg(s.calibrationRunning()).arg(s.networkApplying()).arg(s.lastError());
    }

    void checkInvariants()
    {
        ++m_checks;
        const DeviceSession &s = m_session;
        const SessionProbe p(s);
        m_maxQueue = qMax(m_maxQueue, p.queueLength());
        if (p.busy() != p.commandTimerActive() || (p.busy() && p.queueLength() == 0))
            fail(QStringLiteral("busy, queue and command timer disagree"));
        if (p.queueLength() > kMaxQueue)
            fail(QStringLiteral("queue longer than %1").arg(kMaxQueue));
        if (s.counts().size() != DeviceSession::kChannelCount || s.dacVolts().size() != DeviceSession::kChannelCount)
            fail(QStringLiteral("counts or dacVolts without eight entries"));
        if (!allowedError(s.lastError()))
            fail(QStringLiteral("undocumented lastError"));
        // Not inside connectedChanged: the close clean-up clears connected before the network flag.
        if (!m_inSignal && !s.connected() && (s.calibrationRunning() || p.pollTimerActive() || s.networkApplying()))
            fail(QStringLiteral("sweep, poll or network change outliving the link"));
        if (s.calibrationRunning() && p.pollTimerActive())
            fail(QStringLiteral("polling during a sweep"));
        if (s.calibrationRunning() && m_sweepStartedAt >= 0 && m_clock.elapsed() - m_sweepStartedAt > kPatienceMs + 2000)
            fail(QStringLiteral("sweep still running after Stop was due"));
    }

    void switchFaults()
    {
        if (!m_running)
            return;
        const QList<std::pair<const char *, std::function<void(SimFaults &)>>> kinds{
            {"none", [](SimFaults &) {}},
            {"delay past time-out", [this](SimFaults &f) { f.replyDelayMs = 2100 + pick(600); }},
            {"short delay", [this](SimFaults &f) { f.replyDelayMs = 20 + pick(500); }},
            {"random drops", [](SimFaults &f) { f.dropProbability = 0.3; }},
            {"drop every Nth", [this](SimFaults &f) { f.dropEvery = 2 + pick(4); }},
            {"split replies", [this](SimFaults &f) { f.splitChunk = 1 + pick(7), f.splitDelayMs = pick(30); }},
            // Any bytes: a stray F9 .. FA pair makes a bogus frame that fails the outstanding request.
            {"garbage", [this](SimFaults &f) {
                 f.garbage.resize(1 + pick(12));
                 for (char &c : f.garbage)
                     c = char(pick(256));
             }},
            {"0x02 rejection", [this](SimFaults &f) { f.rejectCommand = anyCode(); }},
            {"wrong code", [this](SimFaults &f) { f.wrongCodeCommand = anyCode(); }},
            {"wrong length", [this](SimFaults &f) { f.wrongLengthCommand = anyCode(); }},
            {"close after replies", [this](SimFaults &f) { f.closeAfterReplies = pick(6); }},
            {"silent", [](SimFaults &f) { f.silent = true; }},
            {"remote close now", [this](SimFaults &) { m_sim.closeConnections(); }},
            {"extreme counts", [this](SimFaults &) { m_sim.setCountRotation(SimInstrument::extremeCountRows()); }},
            {"one code late", [this](SimFaults &f) { f.lateCommand = anyCode(), f.lateDelayMs = 1800 + pick(800); }},
            {"refuse all", [](SimFaults &f) { f.rejectAll = true; }},
            {"silent opening", [this](SimFaults &f) { f.ignoreFirst = 1 + pick(3); }}};
        // Good stretches and mild faults often enough that polling, thresholds and sweeps get through.
        static const int kWeighted[] = {0, 0, 0, 0, 0, 1, 2, 2, 3, 4, 5, 5, 6, 7, 8, 9, 10, 11, 12, 13, 13, 14, 15, 16};
        const int kind = kWeighted[pick(int(std::size(kWeighted)))];
        m_sim.setCountRotation({});
        SimFaults f;
        kinds[kind].second(f);
        m_sim.setFaults(f);
        ++m_counts[QStringLiteral("fault ") + kinds[kind].first];
        QTimer::singleShot(200 + pick(300), this, &SoakTest::switchFaults);
    }

    // How long `holds` has been true, kept in `since` (-1 while it is false).
    qint64 lasting(qint64 &since, bool holds)
    {
        since = !holds ? -1 : since < 0 ? m_clock.elapsed() : since;
        return holds ? m_clock.elapsed() - since : -1;
    }

    // A restless operator: reconnects soon, stops a long sweep, drops a stalled link, else acts now and then.
    void drive()
    {
        DeviceSession &s = m_session;
        const auto act = [this](const char *name) { ++m_counts[QStringLiteral("action ") + name]; };
        const bool sweeping = s.connected() && s.calibrationRunning();
        const bool stalled = s.connected() && !sweeping && !SessionProbe(s).pollTimerActive() && !s.networkApplying();
        const qint64 down = lasting(m_disconnectedAt, !s.connected() && !s.connecting());
        const qint64 sweep = lasting(m_sweepStartedAt, sweeping), stall = lasting(m_stalledSince, stalled);
        if (down >= 100 + pick(200)) {
            act("connect");
            m_disconnectedAt = -1; // a failed attempt waits again
            s.connectToDevice(true);
        } else if (sweep > kPatienceMs) {
            act("sweep stopped by operator");
            s.stopCalibration();
            if (s.calibrationRunning())
                fail(QStringLiteral("stopCalibration left the sweep running"));
        } else if (stall > kPatienceMs) {
            act("reconnect of a stalled link");
            s.disconnectFromDevice();
        }
        if (!s.connected() || sweeping || stalled || SessionProbe(s).queueLength() > kDriverMaxWaiting || pick(16) != 0)
            return;
        const QList<std::pair<const char *, std::function<void()>>> actions{
            {"setDacVoltage", [&] { s.setDacVoltage(pick(8), pick(1000) / 1000.0); }},
            {"setAllDacVoltage", [&] { s.setAllDacVoltage(pick(1000) / 1000.0); }},
            {"startCalibration", [&] {
                 const int from = pick(900);
                 s.startCalibration(pick(8), from, from + 20 + pick(80), 10 + pick(40));
             }},
            {"applyPeriod", [&] { s.applyPeriod(20); }},
            // With DHCP on the addresses are not sent.
            {"applyNetwork", [&] { s.applyNetwork(pick(2), "192.168.1.50", "255.255.255.0", "192.168.1.1"); }},
            {"user disconnect", [&] { s.disconnectFromDevice(); }}};
        // Weighted; the rest of the 20 do nothing.
        static const int kWeighted[] = {0, 0, 0, 0, 0, 0, 1, 1, 2, 2, 2, 3, 4, 5};
        const int r = pick(20);
        if (r < int(std::size(kWeighted))) {
            act(actions[kWeighted[r]].first);
            actions[kWeighted[r]].second();
        }
    }

private slots:
    void soak()
    {
        bool ok = false;
        const int seconds = qMax(1, qEnvironmentVariableIntValue("TACHYRA_SOAK_SECONDS", &ok));
        const int length = ok ? seconds : 20;
        quint32 seed = quint32(qEnvironmentVariableIntValue("TACHYRA_SOAK_SEED", &ok));
        seed = ok ? seed : quint32(QDateTime::currentMSecsSinceEpoch() & 0x7fffffff);
        m_rng.seed(seed);
        qInfo("soak: %d s, seed %u (TACHYRA_SOAK_SEED=%u reruns it), RSS at start %lld kB", length, seed, seed, rssKiB());

        m_sim.setSeed(seed);
        m_sim.setPeriodMs(20); // the session polls at its 50 ms floor
        QVERIFY(m_sim.listenTcp(QHostAddress(kAddress), DeviceSession::kTcpPort));
        DeviceSession &session = m_session;
        isolate(session);
        session.setTcpHost(kAddress);
        connect(&session, &DeviceSession::lastErrorChanged, this, [this] {
            ++m_counts["lastError \"" + m_session.lastError() + '"'];
            if (!allowedError(m_session.lastError()))
                fail(QStringLiteral("undocumented lastError"));
        });
        connect(&session, &DeviceSession::calibrationSucceeded, this, [this] {
            ++m_counts[QStringLiteral("action sweep succeeded")];
            // The calibration view animates, waits, then calls stopCalibration.
            QTimer::singleShot(pick(1000), &m_session, [this] {
                m_session.stopCalibration();
                if (m_session.calibrationRunning())
                    fail(QStringLiteral("stopCalibration after success left the sweep running"));
            });
        });
        // Also checked inside the change signals: a broken state may heal before the next tick.
        for (auto sig : {&DeviceSession::connectedChanged, &DeviceSession::countsChanged, &DeviceSession::dacVoltsChanged,
                         &DeviceSession::calibrationRunningChanged, &DeviceSession::networkApplyingChanged})
            connect(&session, sig, this, [this] {
                m_inSignal = true;
                checkInvariants();
                m_inSignal = false;
            });

        m_clock.start();
        QTimer invariants, driver, rssLog;
        invariants.setTimerType(Qt::PreciseTimer);
        connect(&invariants, &QTimer::timeout, this, &SoakTest::checkInvariants);
        connect(&driver, &QTimer::timeout, this, &SoakTest::drive);
        connect(&rssLog, &QTimer::timeout, this, [] { qInfo("soak: RSS %lld kB", rssKiB()); });
        invariants.start(10);
        driver.start(25);
        rssLog.start(60000); // scripts/soak-long reads these samples
        QTimer::singleShot(300, this, &SoakTest::switchFaults);
        const qint64 endMs = qint64(length) * 1000;
        const bool ended = QTest::qWaitFor([&] { return !m_failure.isEmpty() || m_clock.elapsed() >= endMs; },
                                           int(endMs) + 60000);
        driver.stop();
        m_running = false; // end of the storm: a good instrument again
        m_sim.setFaults({});
        QVERIFY2(m_failure.isEmpty(), qPrintable(m_failure));
        QVERIFY2(ended, "the event loop stalled");

        // Whatever the last fault left behind, Stop and a fresh connect give a working link.
        session.stopCalibration();
        QVERIFY(!session.calibrationRunning());
        // A level held back for the EEPROM is written first, within one time-out.
        session.disconnectFromDevice();
        QTRY_VERIFY_WITH_TIMEOUT(!session.connected() && !SessionProbe(session).busy() && SessionProbe(session).queueLength() == 0
                                     && !SessionProbe(session).commandTimerActive() && !SessionProbe(session).pollTimerActive(),
                                 3 * DeviceSession::kCommandTimeoutMs);
        QTest::qWait(3000); // delayed replies from the last faults drain away
        QSignalSpy countsSpy(&session, &DeviceSession::countsChanged);
        session.connectToDevice(true);
        QTRY_VERIFY_WITH_TIMEOUT(countsSpy.size() >= 3, 8000);
        QVERIFY(SessionProbe(session).pollTimerActive() && SessionProbe(session).pollIntervalMs() == DeviceSession::kMinPollMs);
        QVERIFY2(m_failure.isEmpty(), qPrintable(m_failure));
        invariants.stop();

        qInfo("soak: %lld invariant checks, longest queue %lld (bound %lld)", m_checks, qint64(m_maxQueue), qint64(kMaxQueue));
        for (auto it = m_counts.cbegin(); it != m_counts.cend(); ++it)
            qInfo("soak: %-40s %d", qPrintable(it.key()), it.value());
        qInfo("soak: RSS at end %lld kB", rssKiB());
    }
};

QTEST_GUILESS_MAIN(SoakTest)
#include "tst_soak.moc"
