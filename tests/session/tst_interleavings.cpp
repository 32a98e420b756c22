// The session against the simulated instrument's truth under random
// interleavings of every front-end operation and every instrument or link
// fault, in virtual time. After every step the EEPROM holds only levels the
// operator set, a success reported left the instrument as it says, each
// operation reports once, each reading carries the levels, period and sweep
// it was counted under, and after a close, an exit or a sweep the live levels
// are the operator's (stored too, after a close on a healthy link). Operator
// levels end in .5 mV, a sweep's are whole mV.
// TACHYRA_INTERLEAVINGS=N runs N (default 300) from TACHYRA_SEED (default 1);
// a failure prints its shortest sequence, to be kept in interleavings.txt.

#include "../common/SessionProbe.h"
#include "../common/TestPort.h"
#include "../common/VirtualClock.h"
#include "DeviceSession.h"
#include "SimInstrument.h"

#include <QFile>
#include <QHashSeed>
#include <QRandomGenerator>
#include <QSet>
#include <QtTest>

#include <algorithm>
#include <cmath>
#include <memory>
#include <optional>

namespace {

VirtualClock *g_clock = nullptr;
// TACHYRA_TRACE=1: every request, reply and event of a replayed case on stderr.
const bool g_trace = qEnvironmentVariableIntValue("TACHYRA_TRACE") != 0;

enum class Kind {
    // What front ends call.
    Connect, Disconnect, Exit, Level, AllLevels, Period, Network, SweepStart, SweepStop,
    ReadLevels, ReadCounts, ReadNetwork, ReadPeriod,
    // What the instrument or the link does.
    Delay, Lose, Refuse, Garble, WrongCode, Drop, Swap, Silence,
};
const char *const kNames[] = {"connect", "disconnect", "exit", "level", "all-levels", "period", "network",
                              "sweep", "stop", "read-levels", "read-counts", "read-network", "read-period",
                              "delay", "lose", "refuse", "garble", "wrong-code", "drop", "swap", "silence"};

// One step at a time since the run began. `script` picks the form a program
// calls (with a completion), else the scene's (the invokable).
struct Event {
    qint64 at = 0;
    Kind kind = Kind::Connect;
    int a = 0, b = 0, c = 0, d = 0;
    bool script = false;

    QString text() const
    {
        return QStringLiteral("%1 %2 %3 %4 %5 %6 %7")
            .arg(at).arg(QLatin1String(kNames[int(kind)])).arg(a).arg(b).arg(c).arg(d)
            .arg(script ? QStringLiteral("script") : QStringLiteral("scene"));
    }
    static std::optional<Event> parse(const QString &line)
    {
        const QStringList f = line.simplified().split(QLatin1Char(' '));
        for (int k = 0; f.size() == 7 && k < int(std::size(kNames)); ++k) {
            if (f[1] == QLatin1String(kNames[k]))
                return Event{f[0].toLongLong(), Kind(k), f[2].toInt(), f[3].toInt(), f[4].toInt(), f[5].toInt(),
                             f[6] == QLatin1String("script")};
        }
        return std::nullopt;
    }
};

constexpr unsigned char kCodes[] = {zrf::kCountQuery, zrf::kSdac, zrf::kSdacQuery, zrf::kWeep, zrf::kPeriodQuery,
                                    zrf::kPeriodSet, zrf::kSetDhcp, zrf::kSetIp, zrf::kNetApply, zrf::kReadIp};

double mv(double volts) { return std::round(volts * 1e6) / 1e3; }
bool operators(double levelMv) { return std::fabs(levelMv - std::floor(levelMv) - 0.5) < 1e-6; }

QList<Event> randomEvents(quint32 seed)
{
    QRandomGenerator rng(seed);
    const auto pick = [&rng](int n) { return int(rng.bounded(n)); };
    // Weighted: operations often, faults now and then, a link change rarely.
    static const Kind kWeighted[] = {
        Kind::Connect, Kind::Connect, Kind::Disconnect, Kind::Exit, Kind::Level, Kind::Level, Kind::Level,
        Kind::AllLevels, Kind::Period, Kind::Network, Kind::SweepStart, Kind::SweepStart, Kind::SweepStop,
        Kind::ReadLevels, Kind::ReadCounts, Kind::ReadNetwork, Kind::ReadPeriod, Kind::Delay, Kind::Lose,
        Kind::Lose, Kind::Refuse, Kind::Garble, Kind::WrongCode, Kind::Drop, Kind::Swap, Kind::Silence};
    QList<Event> out;
    qint64 t = 0;
    const int n = 20 + pick(40);
    for (int i = 0; i < n; ++i) {
        // Bursts (several calls within a reply's time) and pauses.
        t += pick(4) == 0 ? pick(3) : pick(900);
        Event e{t, kWeighted[pick(int(std::size(kWeighted)))]};
        e.script = pick(2) == 0;
        switch (e.kind) {
        case Kind::Level: e.a = pick(8), e.b = pick(999); break;
        case Kind::AllLevels: e.b = pick(999); break;
        case Kind::Period: e.a = 10 + pick(190); break;
        case Kind::Network: e.a = pick(2), e.b = 2 + pick(200); break;
        case Kind::SweepStart:
            e.a = pick(9), e.b = pick(1000), e.c = pick(1000), e.d = 1 + pick(400); // 8: all channels
            break;
        case Kind::Delay: e.a = pick(3000), e.b = 1 + pick(6); break;
        case Kind::Lose: e.a = 1 + pick(3); break;
        case Kind::Refuse: case Kind::Garble: case Kind::WrongCode:
            e.a = kCodes[pick(int(std::size(kCodes)))];
            break;
        case Kind::Silence: e.a = 500 + pick(4000); break;
        default: break;
        }
        out.append(e);
    }
    return out;
}

// One run: a session on a test port, the simulated instrument behind it, the
// events at their times and the checks after each step. The first broken
// invariant ends it.
class Run
{
public:
    explicit Run(quint32 unitSeed) : m_unitSeed(unitSeed)
    {
        SessionProbe probe(m_session);
        probe.usePort(m_port);
        m_session.setTcpHost(QStringLiteral("127.0.0.2"));
        newUnit();
        m_port.onRequest = [this](const zrf::Frame &f) { onRequest(f); };
        QObject::connect(&m_session, &DeviceSession::readingTaken, &m_session,
                         [this](const Reading &r) { checkReading(r); });
        // The calibration view closes a finished sweep after its animation.
        QObject::connect(&m_session, &DeviceSession::calibrationSucceeded, &m_session, [this] {
            QTimer::singleShot(1000, &m_session, [this] { m_session.stopCalibration(); });
        });
    }

    QString play(const QList<Event> &events)
    {
        const qint64 start = g_clock->nowMs();
        for (const Event &e : events) {
            g_clock->runUntil(start + e.at);
            if (!m_failure.isEmpty())
                break;
            if (g_trace)
                qInfo("%lld event %s", g_clock->nowMs(), qPrintable(e.text()));
            apply(e);
            checkState();
            if (!m_failure.isEmpty())
                break;
        }
        if (m_failure.isEmpty())
            settle();
        return m_failure;
    }

private:
    // --- the instrument ---------------------------------------------------
    void newUnit()
    {
        m_unit = std::make_unique<SimInstrument>();
        QRandomGenerator rng(m_unitSeed + quint32(m_units++));
        QList<double> levels;
        for (int ch = 0; ch < 8; ++ch)
            levels.append((rng.bounded(999) + 0.5) / 1000.0);
        m_unit->setThresholds(levels);
        m_unit->setPeriodMs(10 + int(rng.bounded(100)));
        m_unit->setNetwork(false, QStringLiteral("10.0.0.9"), QStringLiteral("255.255.255.0"), QStringLiteral("10.0.0.1"));
        m_unit->respond({zrf::kWeep, {}}); // made with its levels stored
        m_unitLevels = levels;
    }

    static QList<double> inMv(const QList<double> &volts)
    {
        QList<double> out;
        for (double v : volts)
            out.append(mv(v));
        return out;
    }
    QList<double> liveMv() const { return inMv(m_unit->thresholds()); }
    // A unit is made with its levels stored, so this holds eight.
    QList<double> storedMv() const { return inMv(m_unit->stored().thresholds); }

    void onRequest(const zrf::Frame &request)
    {
        const qint64 now = g_clock->nowMs();
        if (g_trace)
            qInfo("%lld  -> %02x %s", now, request.command, request.payload.toHex().constData());
        if (now < m_silentUntil)
            return; // hung: neither carried out nor answered
        if (m_refuse.remove(request.command)) {
            reply(zrf::encodeFrame(zrf::kFailed, {}));
            return;
        }
        zrf::Frame answer;
        if (request.command == zrf::kCountQuery) {
            // Each reading names its own request: the levels and period it was counted under.
            const int seq = ++m_countSeq;
            const QList<double> levels = liveMv();
            const bool swept = !std::all_of(levels.cbegin(), levels.cend(), operators);
            m_truth.insert(seq, Truth{levels, m_unit->periodMs(), swept});
            answer = zrf::Frame{zrf::kCountQuery, zrf::packDoubles(QList<double>(8, double(seq)))};
        } else {
            answer = m_unit->respond(request);
        }
        if (request.command == zrf::kWeep && answer.command == zrf::kWeep)
            expectOperators(m_unit->stored().thresholds, QStringLiteral("the EEPROM stores"));
        if (m_lose > 0) {
            --m_lose;
            return;
        }
        if (m_garble.remove(request.command))
            answer.payload = answer.payload.isEmpty() ? QByteArray(3, '\x07') : answer.payload.chopped(1);
        // A code the session never sends: a reply no client could take for
        // another request's.
        if (m_wrongCode.remove(request.command))
            answer.command = 0x7F;
        reply(zrf::encodeFrame(answer.command, answer.payload));
    }

    // In order, as an instrument answers: a slow reply holds back the next.
    void reply(const QByteArray &bytes)
    {
        const qint64 now = g_clock->nowMs();
        int extra = 0;
        if (m_delayCount > 0) {
            --m_delayCount;
            extra = m_delayMs;
        }
        m_freeAt = std::max(now, m_freeAt) + 1 + extra;
        // A reply later than three time-outs never comes (the link's own rule).
        if (m_freeAt - now > 3 * DeviceSession::kCommandTimeoutMs)
            return;
        if (g_trace)
            qInfo("%lld  <- at %lld: %s", now, m_freeAt, bytes.toHex().constData());
        m_port.send(bytes, int(m_freeAt - now));
    }

    // --- the front ends ---------------------------------------------------
    struct Op {
        QString what;
        int calls = 0;
        Done check;
    };

    Done track(const QString &what, Done check = {})
    {
        m_ops.append(std::make_shared<Op>(Op{what, 0, std::move(check)}));
        const std::shared_ptr<Op> op = m_ops.constLast();
        return [this, op](const Outcome &o) {
            if (++op->calls > 1)
                fail(QStringLiteral("completed twice: ") + op->what);
            else if (op->check)
                op->check(o);
        };
    }
    // A program's call is tracked and checked; the scene's invokable passes no completion.
    Done done(const Event &e, const QString &what, Done check = {})
    {
        return e.script ? track(what, std::move(check)) : Done();
    }

    // A level the operator asks for, on one channel or (-1) all: its request's number.
    qsizetype request(int channel, double levelMv)
    {
        m_asked.append({channel, levelMv});
        return m_asked.size() - 1;
    }
    // Whether request `from` or a later one asked for `levelMv` on `ch`.
    bool asked(int ch, double levelMv, qsizetype from = 0) const
    {
        for (qsizetype i = from; i < m_asked.size(); ++i) {
            if ((m_asked[i].first < 0 || m_asked[i].first == ch) && m_asked[i].second == levelMv)
                return true;
        }
        return false;
    }

    void apply(const Event &e)
    {
        DeviceSession &s = m_session;
        switch (e.kind) {
        case Kind::Connect: s.connectToDevice(true, done(e, QStringLiteral("connect"))); break;
        case Kind::Disconnect: {
            const bool healthy = healthyLink();
            if (e.script)
                s.disconnectFromDevice(track(QStringLiteral("disconnect"), [this, healthy](const Outcome &o) {
                    if (o.ok())
                        expectOperatorsLevels(QStringLiteral("after a close reported done"));
                    expectStoredAtClose(healthy);
                }));
            else
                s.disconnectFromDevice();
            break;
        }
        case Kind::Exit: {
            const bool healthy = s.connected() && healthyLink();
            s.closeBeforeExit();
            if (s.connected() || s.connecting())
                fail(QStringLiteral("exit left the link open"));
            else if (healthy)
                expectOperatorsLevels(QStringLiteral("after an exit on a healthy link"));
            expectStoredAtClose(healthy);
            break;
        }
        case Kind::Level: {
            const double level = e.b + 0.5;
            const qsizetype seq = request(e.a, level);
            s.setDacVoltage(e.a, level / 1000.0, done(e, QStringLiteral("level %1 %2").arg(e.a).arg(level),
                                                      [this, ch = e.a, seq](const Outcome &o) {
                                                          if (o.ok())
                                                              expectLevel(ch, seq);
                                                      }));
            break;
        }
        case Kind::AllLevels: {
            const double level = e.b + 0.5;
            const qsizetype seq = request(-1, level);
            s.setAllDacVoltage(level / 1000.0, done(e, QStringLiteral("all levels %1").arg(level),
                                                     [this, seq](const Outcome &o) {
                                                         for (int ch = 0; o.ok() && ch < 8; ++ch)
                                                             expectLevel(ch, seq);
                                                     }));
            break;
        }
        case Kind::Period:
            s.applyPeriod(e.a, done(e, QStringLiteral("period %1").arg(e.a), [this](const Outcome &o) { expectPeriod(o); }));
            break;
        case Kind::Network: {
            const QString ip = QStringLiteral("10.0.0.%1").arg(e.b);
            const QString mask = QStringLiteral("255.255.255.0"), gw = QStringLiteral("10.0.0.1");
            s.applyNetwork(e.a, ip, mask, gw, done(e, QStringLiteral("network"), [this, e, ip](const Outcome &o) {
                const SimInstrument::Stored st = m_unit->stored();
                if (o.ok() && (m_unit->dhcp() != bool(e.a) || st.dhcp != bool(e.a) || (!e.a && (m_unit->ip() != ip || st.ip != ip))))
                    fail(QStringLiteral("network change reported stored, the instrument holds another"));
            }));
            break;
        }
        case Kind::SweepStart: {
            const QList<int> channels = e.a < 8 ? QList<int>{e.a} : QList<int>{0, 1, 2, 3, 4, 5, 6, 7};
            if (!e.script) {
                s.startCalibrationOf(QVariantList(channels.cbegin(), channels.cend()), e.b, e.c, e.d);
                break;
            }
            s.startCalibrationOf(channels, e.b, e.c, e.d, track(QStringLiteral("sweep"), [this](const Outcome &o) {
                if (o.ok() || o.error == DeviceError::CalibrationStopped)
                    expectOperatorsLevels(QStringLiteral("after a sweep reported its levels back"));
            }));
            break;
        }
        case Kind::SweepStop: s.stopCalibration(); break;
        case Kind::ReadLevels:
            s.refreshDacVolts(track(QStringLiteral("read levels"), [this](const Outcome &o) {
                QList<double> shown;
                for (const QVariant &v : m_session.dacVolts())
                    shown.append(mv(v.toDouble()));
                if (o.ok() && shown != liveMv())
                    fail(QStringLiteral("levels read, the instrument holds others"));
            }));
            break;
        case Kind::ReadCounts: s.refreshCounts(track(QStringLiteral("read counts"))); break;
        case Kind::ReadNetwork: s.refreshNetwork(track(QStringLiteral("read network"))); break;
        case Kind::ReadPeriod:
            s.refreshPeriod(track(QStringLiteral("read period"), [this](const Outcome &o) { expectPeriod(o); }));
            break;
        case Kind::Delay: m_delayMs = e.a, m_delayCount = e.b, noteFault(); break;
        case Kind::Lose: m_lose = e.a, noteFault(); break;
        case Kind::Refuse: m_refuse.insert((unsigned char)e.a), noteFault(); break;
        case Kind::Garble: m_garble.insert((unsigned char)e.a), noteFault(); break;
        case Kind::WrongCode: m_wrongCode.insert((unsigned char)e.a), noteFault(); break;
        case Kind::Drop: m_port.drop(), noteFault(); break;
        case Kind::Swap:
            // Another unit answers on the address from the next link on.
            m_port.drop();
            newUnit();
            noteFault();
            break;
        case Kind::Silence: m_silentUntil = g_clock->nowMs() + e.a, noteFault(); break;
        }
    }

    void noteFault() { m_quietSince = g_clock->nowMs() + 10000; }
    // No fault waiting to strike and the last one long over.
    bool healthyLink() const
    {
        return m_lose == 0 && m_delayCount == 0 && m_refuse.isEmpty() && m_garble.isEmpty() && m_wrongCode.isEmpty()
            && g_clock->nowMs() >= m_quietSince;
    }

    // Faults over, the operator closes what is open; once more after opening
    // again, so that an interrupted sweep's levels get their chance to go back.
    void settle()
    {
        m_delayCount = m_lose = 0;
        m_refuse.clear(), m_garble.clear(), m_wrongCode.clear();
        m_silentUntil = 0;
        g_clock->runFor(10000);
        for (int round = 0; round < 2 && m_failure.isEmpty(); ++round) {
            if (!m_session.connected() && !m_session.connecting())
                m_session.connectToDevice(true);
            g_clock->runFor(5000);
            m_session.stopCalibration();
            g_clock->runFor(5000);
            m_session.disconnectFromDevice(track(QStringLiteral("final close")));
            g_clock->runFor(10000);
            checkState();
        }
        if (!m_failure.isEmpty())
            return;
        if (m_session.connected())
            fail(QStringLiteral("the final close never closed"));
        expectOperatorsLevels(QStringLiteral("after the final close"));
        for (const auto &op : std::as_const(m_ops)) {
            if (op->calls != 1)
                fail(QStringLiteral("never completed: ") + op->what);
        }
    }

    // --- the checks -------------------------------------------------------
    struct Truth {
        QList<double> levelsMv;
        int periodMs;
        bool swept;
    };

    void fail(const QString &why)
    {
        if (m_failure.isEmpty())
            m_failure = why + QStringLiteral(" (at %1 ms)").arg(g_clock->nowMs());
    }

    // Levels in volts, live or stored: each one the operator set (or the unit had).
    void expectOperators(const QList<double> &levels, const QString &what)
    {
        for (int ch = 0; ch < levels.size(); ++ch) {
            const double l = mv(levels[ch]);
            if (!operators(l) || !(asked(ch, l) || l == mv(m_unitLevels[ch])))
                fail(QStringLiteral("%1 %2 mV on CH %3, not the operator's level").arg(what).arg(l).arg(ch));
        }
    }
    void expectOperatorsLevels(const QString &when)
    {
        expectOperators(m_unit->thresholds(), when + QStringLiteral(": the instrument runs"));
    }

    // The operator's close on a healthy link stores every operator's level
    // running, also one answered while closing within the EEPROM hold-off.
    // (A mute left by a close asked twice goes back at the next opening.)
    void expectStoredAtClose(bool healthy)
    {
        if (!healthy || !healthyLink())
            return;
        const QList<double> live = liveMv(), stored = storedMv();
        for (int ch = 0; ch < live.size(); ++ch) {
            if (operators(live[ch]) && stored[ch] != live[ch])
                fail(QStringLiteral("closed on a healthy link, CH %1 runs %2 mV and stores %3 mV").arg(ch).arg(live[ch]).arg(stored[ch]));
        }
    }

    void expectPeriod(const Outcome &o)
    {
        if (o.ok() && m_session.periodMs() != m_unit->periodMs())
            fail(QStringLiteral("period reported, the instrument counts with another"));
    }

    // The channel runs and stores a level asked for from request `seq` on.
    void expectLevel(int ch, qsizetype seq)
    {
        const double live = liveMv()[ch];
        const double stored = storedMv()[ch];
        if (!asked(ch, live, seq) || !asked(ch, stored, seq))
            fail(QStringLiteral("level of CH %1 reported stored, the instrument runs %2 mV and stores %3 mV")
                     .arg(ch).arg(live).arg(stored));
    }

    void checkReading(const Reading &r)
    {
        const int seq = int(r.counts[0]);
        const auto it = m_truth.constFind(seq);
        if (it == m_truth.cend()) {
            fail(QStringLiteral("a reading no count request was answered with"));
            return;
        }
        // Not known is an honest label; a wrong one is not. A sweep flag set
        // while the levels are not known errs on the safe side.
        if (r.periodMs != 0 && r.periodMs != it->periodMs)
            fail(QStringLiteral("reading %1 labelled %2 ms, counted with %3 ms").arg(seq).arg(r.periodMs).arg(it->periodMs));
        if (r.sweep != it->swept && (it->swept || r.levelsKnown))
            fail(QStringLiteral("reading %1 labelled sweep=%2, counted with sweep=%3 (levels known %4)")
                     .arg(seq).arg(r.sweep).arg(it->swept).arg(r.levelsKnown));
        for (int ch = 0; r.levelsKnown && ch < 8; ++ch) {
            if (std::fabs(r.thresholdsMv[ch] - it->levelsMv[ch]) > 1e-6) {
                fail(QStringLiteral("reading %1 labelled %2 mV on CH %3, counted with %4 mV")
                         .arg(seq).arg(r.thresholdsMv[ch]).arg(ch).arg(it->levelsMv[ch]));
                break;
            }
        }
    }

    void checkState()
    {
        const DeviceSession &s = m_session;
        const SessionProbe p(s);
        if (p.busy() != p.commandTimerActive())
            fail(QStringLiteral("busy and the command timer disagree"));
        // The opening, a sweep's mutes, a restore and a poll, and what each
        // caller still waiting asked for: nothing grows by itself.
        const auto waiting = std::count_if(m_ops.cbegin(), m_ops.cend(), [](const auto &op) { return op->calls == 0; });
        if (p.queueLength() > 30 + 9 * waiting)
            fail(QStringLiteral("queue grew to %1 with %2 callers waiting").arg(p.queueLength()).arg(waiting));
        if (!s.connected() && (s.calibrationRunning() || p.pollTimerActive() || s.networkApplying()))
            fail(QStringLiteral("a sweep, the poll or a network change outlived the link"));
        if ((s.calibrationRunning() || s.networkApplying()) && p.pollTimerActive())
            fail(QStringLiteral("polling while a sweep or a network change holds the instrument"));
    }

    quint32 m_unitSeed;
    int m_units = 0;
    TestPort m_port;
    std::unique_ptr<SimInstrument> m_unit;
    // After the port: goes first. Sees no ports and no interfaces of the machine.
    DeviceSession m_session{[] { return QList<SerialPortEntry>{}; }, [] { return QList<NetInterface>{}; }};
    QString m_failure;
    QList<std::shared_ptr<Op>> m_ops;
    QList<std::pair<int, double>> m_asked;  // (channel or -1, mV) of each level the operator asked for
    QList<double> m_unitLevels;              // the unit's own, in volts, before any was asked for
    QHash<int, Truth> m_truth;
    int m_countSeq = 0;
    qint64 m_freeAt = 0;
    qint64 m_silentUntil = 0;
    qint64 m_quietSince = 0; // faults are over by then
    int m_delayMs = 0, m_delayCount = 0, m_lose = 0;
    QSet<unsigned char> m_refuse, m_garble, m_wrongCode;
};

QString runOnce(const QList<Event> &events, quint32 unitSeed)
{
    return Run(unitSeed).play(events);
}

// The failure's kind: its text with the figures and the time left out.
QString kindOf(const QString &failure)
{
    static const QRegularExpression figures(QStringLiteral("-?[0-9][0-9.e+-]*"));
    return QString(failure).remove(QRegularExpression(QStringLiteral(" \\(at .*$"))).replace(figures, QStringLiteral("#"));
}

// Drops one event at a time, last first, while the run still fails the same way.
QList<Event> shrink(QList<Event> events, quint32 unitSeed, const QString &failure)
{
    for (qsizetype i = events.size() - 1; i >= 0; --i) {
        QList<Event> fewer = events;
        fewer.removeAt(i);
        const QString f = runOnce(fewer, unitSeed);
        if (!f.isEmpty() && kindOf(f) == kindOf(failure))
            events = fewer;
    }
    return events;
}

} // namespace

class TestInterleavings : public QObject
{
    Q_OBJECT
private slots:
    // Every sequence a run ever found: "# case SEED: what failed", one event
    // a line, a blank line.
    void foundBefore_data()
    {
        QTest::addColumn<QStringList>("lines");
        QFile file(QFINDTESTDATA("interleavings.txt"));
        QVERIFY(file.open(QIODevice::ReadOnly | QIODevice::Text));
        int n = 0;
        for (const QString &text : QString::fromUtf8(file.readAll()).split(QStringLiteral("\n\n"))) {
            const QStringList lines = text.trimmed().split(QLatin1Char('\n'));
            if (lines[0].startsWith(QLatin1String("# case ")))
                QTest::addRow("%d %s", ++n, qPrintable(lines[0].mid(2))) << lines;
        }
    }
    void foundBefore()
    {
        QFETCH(QStringList, lines);
        QList<Event> events;
        for (const QString &line : lines.mid(1)) {
            const auto e = Event::parse(line);
            QVERIFY2(e, qPrintable(QStringLiteral("unreadable line: ") + line));
            events << *e;
        }
        const QString failure = runOnce(events, lines[0].section(QLatin1Char(' '), 2, 2).chopped(1).toUInt());
        QVERIFY2(failure.isEmpty(), qPrintable(QStringLiteral("fails again: ") + failure));
    }

    // Random runs; every kind of failure found is shrunk and printed, ready
    // for interleavings.txt.
    void random()
    {
        bool ok = false;
        const int runs = qEnvironmentVariableIntValue("TACHYRA_INTERLEAVINGS", &ok);
        const int n = ok ? runs : 300;
        const quint32 first = std::max(1, qEnvironmentVariableIntValue("TACHYRA_SEED"));
        qint64 steps = 0;
        QMap<QString, QString> found; // kind -> its shortest case
        int failing = 0;
        for (int i = 0; i < n; ++i) {
            const quint32 seed = first + quint32(i);
            const QList<Event> events = randomEvents(seed);
            steps += events.size();
            const QString failure = runOnce(events, seed);
            failing += failure.isEmpty() ? 0 : 1;
            const QString kind = kindOf(failure);
            if (failure.isEmpty() || found.contains(kind))
                continue;
            const QList<Event> shortest = shrink(events, seed, failure);
            QString text = QStringLiteral("# case %1: %2\n").arg(seed).arg(runOnce(shortest, seed));
            for (const Event &e : shortest)
                text += e.text() + QLatin1Char('\n');
            found.insert(kind, text);
        }
        qInfo("%d interleavings, %lld steps, %d failed", n, steps, failing);
        if (!found.isEmpty())
            QFAIL(qPrintable(QStringLiteral("%1 kinds of failure; the shortest sequence of each, for interleavings.txt:\n%2")
                                 .arg(found.size()).arg(found.values().join(QLatin1Char('\n')))));
    }
};

int main(int argc, char *argv[])
{
    // Repeatable: no wall clock, no hash order that changes per process.
    QHashSeed::setDeterministicGlobalSeed();
    g_clock = new VirtualClock;
    QCoreApplication::setEventDispatcher(g_clock);
    QCoreApplication app(argc, argv);
    TestInterleavings test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_interleavings.moc"
