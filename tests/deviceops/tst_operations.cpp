// The session's operations as a program calls them: each reports once, after all it set off is over.

#include "../common/DeviceRig.h"

#include <QTemporaryDir>

#include <optional>

namespace {

using Op = std::function<void(Done)>;

const QList<double> kLevels{0.1, 0.1, 0.1, 0.1, 0.1, 0.1, 0.1, 0.1};

struct Result {
    std::optional<Outcome> outcome;
    int calls = 0;
};

// Starts an operation and waits until it reports.
std::shared_ptr<Result> start(const Op &op)
{
    auto r = std::make_shared<Result>();
    op([r](const Outcome &o) {
        r->outcome = o;
        ++r->calls;
    });
    return r;
}

Outcome await(const Op &op, int ms = 15000)
{
    const auto r = start(op);
    if (!QTest::qWaitFor([&] { return r->outcome.has_value(); }, ms))
        return Outcome(DeviceError::None, QStringLiteral("<never reported>"));
    QTest::qWait(20);
    return r->calls == 1 ? *r->outcome : Outcome(DeviceError::None, QStringLiteral("<reported %1 times>").arg(r->calls));
}

// The levels an instrument keeps in its EEPROM, as its state file holds them.
QList<double> storedLevels(const QString &statePath)
{
    SimInstrument eeprom;
    eeprom.setStatePath(statePath);
    return eeprom.loadState() ? eeprom.thresholds() : QList<double>();
}

} // namespace

Q_DECLARE_METATYPE(DeviceError)

class TestOperations : public QObject
{
    Q_OBJECT
    std::unique_ptr<DeviceRig> rig;
    DeviceSession *s = nullptr;
    QTemporaryDir dir;
    QString state;

    int m_case = 0;

    // The instrument as it was made, with a state file of its own.
    void prepare()
    {
        rig->sim->setThresholds(kLevels);
        rig->sim->setPeriodMs(1000);
        state = dir.filePath(QStringLiteral("eeprom-%1.json").arg(++m_case));
        rig->sim->setStatePath(state);
    }

private slots:
    // One instrument for all cases.
    void initTestCase()
    {
        rig = std::make_unique<DeviceRig>(80, 98);
        s = rig->session.get();
    }
    void init()
    {
        s->disconnectFromDevice();
        rig->sim->setFaults({});
        rig->sim->clearOverrides();
        prepare();
    }

    // Ok, refused, a reply that is no answer, silence, refused by the session (nothing sent).
    void outcomes_data()
    {
        QTest::addColumn<QString>("op");
        QTest::addColumn<int>("refuse");       // command the instrument refuses (-1: none)
        QTest::addColumn<bool>("silent");      // the instrument answers nothing from the start
        QTest::addColumn<DeviceError>("error");
        QTest::addColumn<QString>("message");
        const int none = -1;
        QTest::newRow("period") << "period 20" << none << false << DeviceError::None << "";
        QTest::newRow("period refused") << "period 20" << int(zrf::kPeriodSet) << false << DeviceError::PeriodRejected << "PERD rejected";
        QTest::newRow("period silent") << "period 20" << none << true << DeviceError::NoReply << "No reply from device";
        QTest::newRow("period 0") << "period 0" << none << false << DeviceError::InvalidArgument << "Invalid argument";
        QTest::newRow("level") << "level 3" << none << false << DeviceError::None << "";
        QTest::newRow("level refused") << "level 3" << int(zrf::kSdac) << false << DeviceError::DacRejected << "SDAC rejected";
        QTest::newRow("level not stored") << "level 3" << int(zrf::kWeep) << false << DeviceError::EepromRejected << "WEEP rejected";
        QTest::newRow("level silent") << "level 3" << none << true << DeviceError::NoReply << "No reply from device";
        QTest::newRow("level in mV") << "mv 3" << none << false << DeviceError::None << "";
        QTest::newRow("channel 9") << "level 9" << none << false << DeviceError::InvalidArgument << "Invalid argument";
        QTest::newRow("all levels") << "all" << none << false << DeviceError::None << "";
        QTest::newRow("counts") << "counts" << none << false << DeviceError::None << "";
        QTest::newRow("counts refused") << "counts" << int(zrf::kCountQuery) << false << DeviceError::BadCountReply << "Bad COUN? reply";
        QTest::newRow("levels read refused") << "read levels" << int(zrf::kSdacQuery) << false << DeviceError::BadDacReply << "Bad SDAC? reply";
        // Known since the opening: over at once, nothing read.
        QTest::newRow("levels in mV known") << "levels mv" << int(zrf::kSdacQuery) << false << DeviceError::None << "";
        QTest::newRow("period read") << "read period" << none << false << DeviceError::None << "";
        QTest::newRow("network read silent") << "read network" << none << true << DeviceError::NoReply << "No reply from device";
        QTest::newRow("static address") << "static" << none << false << DeviceError::None << "";
        QTest::newRow("static refused") << "static" << int(zrf::kSetIp) << false << DeviceError::IpRejected << "IP set rejected";
        QTest::newRow("bad netmask") << "bad netmask" << none << false << DeviceError::InvalidNetmask << "Invalid netmask";
        QTest::newRow("sweep") << "sweep" << none << false << DeviceError::None << "";
        QTest::newRow("sweep step refused") << "sweep" << int(zrf::kSdac) << false << DeviceError::DacRejected << "SDAC rejected";
        QTest::newRow("sweep silent") << "sweep" << none << true << DeviceError::CalibrationNoReply << "Calibration: no reply from device";
    }

    void outcomes()
    {
        QFETCH(QString, op);
        QFETCH(int, refuse);
        QFETCH(bool, silent);
        QFETCH(DeviceError, error);
        QFETCH(QString, message);
        rig->sim->setPeriodMs(1);
        QVERIFY(rig->open());
        // Levels known: a sweep puts them back, a silent sweep must have begun.
        QVERIFY(s->dacLevelsKnown());
        rig->reject(refuse);
        QObject scope;
        if (silent) {
            setFault(*rig->sim, &SimFaults::silent, true);
            // A sweep's instrument answers again once the sweep gave up: its levels go back.
            if (op == QLatin1String("sweep"))
                connect(s, &DeviceSession::errorOccurred, &scope, [&] { setFault(*rig->sim, &SimFaults::silent, false); });
        }
        const qsizetype from = rig->mark();
        const int writesBefore = rig->sim->eepromWrites();
        const QStringList words = op.split(u' ');
        const int n = words.value(1).toInt();
        QList<double> levels;
        const QHash<QString, Op> calls{
            {"period", [&](Done d) { s->applyPeriod(n, d); }},
            {"level", [&](Done d) { s->setDacVoltage(n, 0.333, d); }},
            {"mv", [&](Done d) { s->setLevelMv(n, 333, d); }},
            {"all", [&](Done d) { s->setAllDacVoltage(0.25, d); }},
            {"counts", [&](Done d) { s->refreshCounts(d); }},
            {"read levels", [&](Done d) { s->refreshDacVolts(d); }},
            {"levels mv",
             [&](Done d) {
                 s->readLevelsMv([&, d](const Outcome &o, const DeviceSession::Levels &mv) {
                     levels = QList<double>(mv.cbegin(), mv.cend());
                     d(o);
                 });
                 QCOMPARE(levels.size(), 8); // at once
             }},
            {"read period", [&](Done d) { s->refreshPeriod(d); }},
            {"read network", [&](Done d) { s->refreshNetwork(d); }},
            {"static", [&](Done d) { s->applyNetwork(false, "10.0.0.5", "255.255.255.0", "10.0.0.1", d); }},
            {"bad netmask", [&](Done d) { s->applyNetwork(false, "10.0.0.5", "255.255.300.0", "10.0.0.1", d); }},
            {"sweep", [&](Done d) { s->startCalibration(2, 0, 30, 10, d); }}};
        const Op call = calls.value(calls.contains(op) ? op : words[0]);
        const Outcome got = await(call);
        QCOMPARE(got.error, error);
        QCOMPARE(got.message, message);
        const bool refusedHere = got.refusedHere();
        if (refusedHere) {
            QTest::qWait(50);
            QCOMPARE(rig->commands(from), QList<unsigned char>()); // nothing reached the instrument
            return;
        }
        setFault(*rig->sim, &SimFaults::silent, false);
        rig->reject(-1);
        // Over when it reports: the level stored, the period read back, a sweep's levels back.
        if (got.ok() && (words[0] == QLatin1String("level") || words[0] == QLatin1String("mv")))
            QCOMPARE(rig->sim->eepromWrites(), writesBefore + 1);
        if (got.ok() && words[0] == QLatin1String("mv"))
            QCOMPARE(rig->sim->thresholds().at(3), 0.333); // as setDacVoltage(3, 0.333) sends it
        if (op == QLatin1String("levels mv")) {
            QCOMPARE(rig->commands(from), QList<unsigned char>());
            QCOMPARE(levels, QList<double>(8, 100.0));
        }
        if (got.ok() && op == QLatin1String("period 20"))
            QCOMPARE(s->periodMs(), 20);
        if (op == QLatin1String("sweep") && !silent) {
            QCOMPARE(rig->sim->thresholds(), kLevels);
            QVERIFY(!s->calibrationRunning());
        }
        if (got.ok() && op == QLatin1String("static"))
            QCOMPARE(s->ipAddress(), QStringLiteral("10.0.0.5"));
    }

    // A stopped sweep, a lost link, a closed one, the opening and the close, each as its caller hears it.
    void endings()
    {
        // A period taken, its read-back lost: the readings after it carry no period, not the old one.
        rig->replaceInstrument();
        prepare();
        SimFaults lost;
        lost.dropNthCommand = zrf::kPeriodQuery;
        lost.dropNth = 2; // the opening reads it first
        rig->sim->setFaults(lost);
        QVERIFY(rig->open());
        await([&](Done d) { s->applyPeriod(30, d); });
        QList<int> periods;
        QObject scope;
        connect(s, &DeviceSession::readingTaken, &scope, [&](const Reading &r) { periods.append(r.periodMs); });
        QTRY_VERIFY(!periods.isEmpty());
        QCOMPARE(periods.first(), 0);
        rig->sim->setFaults({});
        rig->sim->setPeriodMs(1);
        const auto sweep = start([&](Done d) { s->startCalibration(0, 0, 1000, 10, d); });
        QTRY_VERIFY(s->calibrationRunning());
        QTest::qWait(200);
        s->stopCalibration();
        QTRY_VERIFY(sweep->outcome.has_value());
        QCOMPARE(sweep->outcome->error, DeviceError::CalibrationStopped);
        QCOMPARE(rig->sim->thresholds(), kLevels);

        setFault(*rig->sim, &SimFaults::replyDelayMs, 300);
        bool connectedAtLoss = true; // a caller told of the loss finds the link lost
        const auto period = start([&](Done d) {
            s->applyPeriod(30, [&, d](const Outcome &o) {
                connectedAtLoss = s->connected();
                d(o);
            });
        });
        QTest::qWait(100);
        rig->sim->closeConnections();
        QTRY_VERIFY(period->outcome.has_value());
        QCOMPARE(period->outcome->error, DeviceError::LinkLost);
        QVERIFY(!connectedAtLoss);
        QCOMPARE(period->outcome->message, QStringLiteral("Remote host closed the connection"));
        QCOMPARE(await([&](Done d) { s->refreshCounts(d); }).error, DeviceError::NotConnected);

        // Opening: over with the opening exchange; refused by nobody there.
        setFault(*rig->sim, &SimFaults::replyDelayMs, 0);
        s->setTcpHost(rig->address);
        QCOMPARE(await([&](Done d) { s->connectToDevice(true, d); }).error, DeviceError::None);
        QVERIFY(s->dacLevelsKnown() && !s->networkMode().isEmpty());
        // The typed close waits for the reply on the wire; it reports closed, not lost.
        setFault(*rig->sim, &SimFaults::replyDelayMs, 200);
        QVERIFY(rig->waitIdle());
        const auto onTheWire = start([&](Done d) { s->refreshCounts(d); });
        QCOMPARE(await([&](Done d) { s->disconnectFromDevice(d); }).error, DeviceError::None);
        QVERIFY(onTheWire->outcome && onTheWire->outcome->ok());
        // Nothing owed at exit: closed on the spot, no event loop turned meanwhile.
        setFault(*rig->sim, &SimFaults::replyDelayMs, 0);
        QCOMPARE(await([&](Done d) { s->connectToDevice(true, d); }).error, DeviceError::None);
        QVERIFY(rig->waitIdle());
        bool turned = false;
        QTimer::singleShot(0, this, [&] { turned = true; });
        s->closeBeforeExit();
        QVERIFY(!s->connected() && !turned);
        s->setTcpHost(QStringLiteral("127.0.0.98")); // nobody listens there
        const Outcome refused = await([&](Done d) { s->connectToDevice(true, d); });
        QCOMPARE(refused.error, DeviceError::ConnectFailed);
        QCOMPARE(refused.message, QStringLiteral("Connection refused"));
    }

    // The link lost with a write held back or on the wire: not stored, and said so.
    void lostWithAWriteOwed_data()
    {
        QTest::addColumn<bool>("onTheWire");
        QTest::newRow("held back") << false;
        QTest::newRow("on the wire") << true;
    }

    void lostWithAWriteOwed()
    {
        QFETCH(bool, onTheWire);
        QVERIFY(rig->open());
        QObject scope;
        if (onTheWire) {
            setFault(*rig->sim, &SimFaults::replyDelayMs, 200);
            connect(rig->sim.get(), &SimInstrument::requestReceived, &scope, [&](unsigned char cmd, const QByteArray &) {
                if (cmd == zrf::kWeep)
                    QTimer::singleShot(0, rig->sim.get(), [&] { rig->sim->closeConnections(); });
            });
        } else {
            const auto first = start([&](Done d) { s->setDacVoltage(5, 0.5, d); });
            QTRY_VERIFY(first->outcome && first->outcome->ok());
        }
        const auto level = start([&](Done d) { s->setDacVoltage(5, 0.6, d); });
        if (!onTheWire) {
            QTRY_COMPARE(s->dacVolts().at(5).toDouble(), 0.6); // taken, its write held back
            rig->sim->closeConnections();
        }
        QTRY_VERIFY(level->outcome.has_value());
        QCOMPARE(level->outcome->error, DeviceError::ThresholdNotStored);
        QCOMPARE(s->lastError(), QStringLiteral("Remote host closed the connection \u00B7 threshold not stored"));
        if (!onTheWire)
            QCOMPARE(storedLevels(state).value(5), 0.5);
    }

    // Levels changed just before a sweep: stored before any mute, never a mute; the newest put back.
    void changesJustBeforeASweep()
    {
        QVERIFY(rig->open());
        rig->sim->setPeriodMs(1);
        QVERIFY(rig->waitIdle());
        int mutesSeen = 0;
        int writesAmongMutes = 0;
        QObject scope; // the watch ends with this case
        connect(rig->sim.get(), &SimInstrument::requestReceived, &scope, [&](unsigned char cmd, const QByteArray &payload) {
            QList<double> v;
            if (cmd == zrf::kSdac && zrf::unpackDoubles(payload, &v) && v.size() == 2 && v[1] == 1.0)
                ++mutesSeen;
            if (cmd == zrf::kWeep && mutesSeen > 0 && s->calibrationRunning())
                ++writesAmongMutes;
        });
        s->setDacVoltage(1, 0.2);
        s->setDacVoltage(1, 0.3);
        const Outcome sweep = await([&](Done d) { s->startCalibration(4, 0, 20, 10, d); });
        QVERIFY(sweep.ok());
        QVERIFY(rig->waitIdle());
        QTest::qWait(700); // the hold-off, and a write it may still owe
        QVERIFY(mutesSeen == 7 && writesAmongMutes == 0);
        QList<double> expected = kLevels;
        expected[1] = 0.3;
        QCOMPARE(rig->sim->thresholds(), expected);
        QCOMPARE(storedLevels(state), expected);
    }

    // A key held on a slow instrument: the hold-off counts from each write's reply.
    void holdOffFromTheReply()
    {
        QVERIFY(rig->open());
        setFault(*rig->sim, &SimFaults::replyDelayMs, 150);
        QElapsedTimer clock;
        clock.start();
        QList<qint64> writes;
        QObject scope;
        connect(rig->sim.get(), &SimInstrument::requestReceived, &scope, [&](unsigned char cmd, const QByteArray &) {
            if (cmd == zrf::kWeep)
                writes.append(clock.elapsed());
        });
        for (int i = 0; clock.elapsed() < 3000; ++i) {
            s->setDacVoltage(6, (100 + i % 50) / 1000.0);
            QTest::qWait(30);
        }
        QVERIFY(rig->waitIdle());
        QTest::qWait(900);
        QVERIFY(writes.size() >= 3);
        QStringList at;
        for (qint64 ms : std::as_const(writes))
            at.append(QString::number(ms));
        for (qsizetype i = 1; i < writes.size(); ++i)
            QVERIFY2(writes[i] - writes[i - 1] >= 500, qPrintable(QStringLiteral("writes at ms ") + at.join(u',')));
    }

    // After a lost poll reply, a refusal or a malformed reply still answers the request on the wire.
    void afterALostReply_data()
    {
        QTest::addColumn<QString>("op");
        QTest::addColumn<int>("refuse");
        QTest::addColumn<QString>("message");
        QTest::addColumn<QList<unsigned char>>("followedBy");
        QTest::newRow("refused level") << "level" << int(zrf::kSdac) << "SDAC rejected"
                                       << QList<unsigned char>{zrf::kSdac, zrf::kSdacQuery};
        QTest::newRow("refused network step") << "dhcp" << int(zrf::kSetDhcp) << "DHCP set rejected"
                                              << QList<unsigned char>{zrf::kSetDhcp};
        QTest::newRow("refused sweep step") << "sweep" << int(zrf::kSdac) << "SDAC rejected"
                                            << QList<unsigned char>{zrf::kSdac};
        QTest::newRow("malformed count reply") << "counts" << -2 << "Bad COUN? reply"
                                               << QList<unsigned char>{zrf::kCountQuery};
    }

    void afterALostReply()
    {
        QFETCH(QString, op);
        QFETCH(int, refuse);
        QFETCH(QString, message);
        QFETCH(QList<unsigned char>, followedBy);
        QVERIFY(rig->open());
        // One poll goes unanswered and times out; polling goes on.
        bool armed = true;
        QObject scope;
        connect(rig->sim.get(), &SimInstrument::requestReceived, &scope, [&](unsigned char cmd, const QByteArray &) {
            if (cmd != zrf::kCountQuery || !std::exchange(armed, false))
                return;
            setFault(*rig->sim, &SimFaults::silent, true);
            QTimer::singleShot(0, &scope, [&] { rig->sim->setFaults({}); });
        });
        QSignalSpy timedOut(s, &DeviceSession::errorOccurred);
        QTRY_VERIFY_WITH_TIMEOUT(timedOut.size() == 1, 5000);
        QTest::qWait(300);
        if (refuse == -2) // a frame that decodes as no frame
            setFault(*rig->sim, &SimFaults::wrongLengthCommand, int(zrf::kCountQuery));
        else
            rig->reject(refuse);
        const qsizetype from = rig->mark();
        Op call;
        if (op == QLatin1String("level"))
            call = [&](Done d) { s->setDacVoltage(2, 0.4, d); };
        else if (op == QLatin1String("dhcp"))
            call = [&](Done d) { s->applyNetwork(true, {}, {}, {}, d); };
        else if (op == QLatin1String("sweep"))
            call = [&](Done d) { s->startCalibration(2, 0, 10, 10, d); };
        else
            call = [&](Done d) { s->refreshCounts(d); };
        // Taken for a late reply, the refusal would end in a time-out's message.
        const Outcome got = await(call);
        QCOMPARE(got.message, message);
        QVERIFY(rig->waitIdle());
        const QList<unsigned char> sent = op == QLatin1String("counts")
            ? QList<unsigned char>(rig->frames(zrf::kCountQuery, from).size() ? 1 : 0, zrf::kCountQuery)
            : rig->commands(from);
        QCOMPARE(sent.mid(0, followedBy.size()), followedBy);
    }

    // One bad level read at opening is tried again; a closed link forgets the levels.
    void levelsReadAgain()
    {
        rig->sim->overrideReply(zrf::kSdacQuery, QByteArray(3, '\0'), 1);
        QVERIFY(rig->open());
        QTRY_VERIFY(s->dacLevelsKnown());
        QCOMPARE(toDoubles(s->dacVolts()), kLevels);
        s->disconnectFromDevice();
        QVERIFY(!s->dacLevelsKnown());
    }

    // The link drops while a stopped sweep's levels go back: the next opening finishes that, only that.
    void restoreCutOffIsFinished()
    {
        QVERIFY(rig->open());
        rig->sim->setPeriodMs(1);
        QSignalSpy finished(s, &DeviceSession::calibrationFinished);
        s->startCalibration(3, 0, 1000, 10);
        QTRY_VERIFY_WITH_TIMEOUT(s->calibrationRunning(), 3000);
        QTest::qWait(150);
        // Three restore levels get through, then the link goes.
        setFault(*rig->sim, &SimFaults::closeAfterReplies, 3);
        s->stopCalibration();
        QTRY_VERIFY_WITH_TIMEOUT(!s->connected(), 5000);
        QVERIFY(rig->sim->thresholds() != kLevels);
        setFault(*rig->sim, &SimFaults::closeAfterReplies, -1);
        QVERIFY(rig->open());
        QCOMPARE(rig->sim->thresholds(), kLevels);
        QCOMPARE(toDoubles(s->dacVolts()), kLevels);
    }
};

QTEST_GUILESS_MAIN(TestOperations)
#include "tst_operations.moc"
