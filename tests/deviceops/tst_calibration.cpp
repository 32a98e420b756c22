// Threshold calibration sweep end to end against the simulated instrument.

#include "../common/DeviceRig.h"

#include <QTemporaryDir>

namespace {

// Distinct levels, so a restore is told apart from mutes and steps.
const QList<double> kLevels{0.11, 0.12, 0.13, 0.14, 0.15, 0.16, 0.17, 0.18};
const QString kDot = QStringLiteral(" \u00B7 ");

// The eight SDACs that put kLevels back.
QList<SdacFrame> restore()
{
    QList<SdacFrame> out;
    for (int ch = 0; ch < 8; ++ch)
        out.append({double(ch), kLevels[ch]});
    return out;
}

int restoreCount(const QList<SdacFrame> &sent)
{
    int n = 0;
    for (qsizetype i = 0; i + 8 <= sent.size(); ++i)
        n += sent.mid(i, 8) == restore();
    return n;
}

} // namespace

class TestCalibration : public QObject
{
    Q_OBJECT
    std::unique_ptr<DeviceRig> rig;
    DeviceSession *s = nullptr;
    QList<QPointF> points; // calibrationPoint arguments so far: mV, counts

private slots:
    // A fast gate (one point per 50 ms wait) and distinct levels for every case.
    void init()
    {
        rig = std::make_unique<DeviceRig>(99, 129);
        rig->sim->setPeriodMs(1);
        rig->sim->setThresholds(kLevels);
        s = rig->session.get();
        points.clear();
        connect(s, &DeviceSession::calibrationPoint, s, [this](double mv, double counts) { points.append({mv, counts}); });
    }

    void sweeps_data()
    {
        QTest::addColumn<QList<int>>("channels"); // one: the single sweep's own call
        QTest::addColumn<QList<int>>("range"); // from, to, step
        QTest::addColumn<QList<int>>("levels");
        QTest::addColumn<double>("count"); // what the swept channel reads
        QTest::addColumn<QString>("countText");
        QList<int> up;
        for (int mv = 0; mv <= 1000; mv += 10)
            up.append(mv);
        const QList<int> down(up.crbegin(), up.crend()), fiveDown{500, 400, 300, 200, 100};
        QTest::newRow("0..1000 in 10") << QList<int>{2} << QList<int>{0, 1000, 10} << up << 42.0 << "42";
        QTest::newRow("down, positive step") << QList<int>{0} << QList<int>{500, 100, 100} << fiveDown << 12.04 << "12";
        QTest::newRow("down, negative step") << QList<int>{7} << QList<int>{500, 100, -100} << fiveDown << -3.96 << "-4";
        QTest::newRow("clamped both ends") << QList<int>{0} << QList<int>{-50, 2000, 250}
                                           << QList<int>{0, 250, 500, 750, 1000} << 12.3 << "12.3";
        QTest::newRow("clamped, downward") << QList<int>{3} << QList<int>{1500, -20, 10} << down << 12.05 << "12.05";
        QTest::newRow("end not on a step") << QList<int>{0} << QList<int>{0, 1000, 300} << QList<int>{0, 300, 600, 900}
                                           << 1234567.8 << "1.23457e+06";
        QTest::newRow("single point") << QList<int>{5} << QList<int>{400, 400, 5} << QList<int>{400} << 7.0 << "7";
        QTest::newRow("all eight") << QList<int>{0, 1, 2, 3, 4, 5, 6, 7} << QList<int>{500, 100, 100} << fiveDown
                                   << 12.04 << "12";
        QTest::newRow("three, out of order") << QList<int>{6, 1, 4} << QList<int>{400, 400, 5} << QList<int>{400}
                                             << 7.0 << "7";
    }

    void sweeps()
    {
        QFETCH(QList<int>, channels);
        QFETCH(QList<int>, range);
        QFETCH(QList<int>, levels);
        QFETCH(double, count);
        QFETCH(QString, countText);
        QVERIFY(rig->open());
        QSignalSpy succeeded(s, &DeviceSession::calibrationSucceeded);
        QSignalSpy finished(s, &DeviceSession::calibrationFinished);
        QList<double> progress;
        connect(s, &DeviceSession::calibrationProgressChanged, s, [&] { progress.append(s->calibrationProgress()); });
        QStringList texts;
        connect(s, &DeviceSession::statusTextChanged, s, [&] { texts.append(s->statusText()); });
        QList<int> swept; // each point's channel
        connect(s, &DeviceSession::sweepPointTaken, s, [&](const SweepPoint &p) { swept.append(p.channel); });
        QList<double> counts(8, 7.0);
        for (int ch : channels)
            counts[ch] = count;
        rig->sim->setFixedCounts(counts);
        const qsizetype start = rig->mark();
        if (channels.size() == 1)
            s->startCalibration(channels[0], range[0], range[1], range[2]);
        else
            s->startCalibrationOf(QVariantList(channels.cbegin(), channels.cend()), range[0], range[1], range[2]);
        QVERIFY(s->calibrationRunning() && !SessionProbe(*s).pollTimerActive());
        s->startCalibration(channels[0] ? 0 : 1, 500, 600, 50); // changes nothing about the running one
        QTRY_COMPARE_WITH_TIMEOUT(succeeded.count(), 1, 30000);

        // The others muted at 1.0 V, one step per point, then only the channel done muted; one restore.
        QList<SdacFrame> expected;
        for (int ch = 0; ch < 8; ++ch) {
            if (ch != channels[0])
                expected.append({double(ch), 1.0});
        }
        QStringList expectedTexts;
        QList<QPointF> expectedPoints;
        QList<int> expectedSwept;
        const qsizetype total = levels.size() * channels.size();
        QCOMPARE(progress.size(), total); // k × 100 / points, rising
        for (qsizetype c = 0; c < channels.size(); ++c) {
            if (c)
                expected.append({double(channels[c - 1]), 1.0});
            for (qsizetype k = 0; k < levels.size(); ++k) {
                expected.append({double(channels[c]), levels[k] / 1000.0});
                expectedPoints.append({double(levels[k]), count});
                expectedSwept.append(channels[c]);
                const QString head = QStringLiteral("Calibration%1CH %2%1%3 mV").arg(kDot).arg(channels[c]).arg(levels[k]);
                expectedTexts << (k ? QStringList() : QStringList{head}) << head + kDot + countText + " counts";
                const qsizetype i = c * levels.size() + k;
                QVERIFY(qFuzzyCompare(progress[i], (i + 1) * 100.0 / total));
            }
        }
        QVERIFY(rig->waitIdle()); // the restore's frames may still be on their way
        QCOMPARE(rig->sdacs(start), expected + restore());
        QVERIFY(rig->frames(zrf::kWeep, start).isEmpty());
        QCOMPARE(rig->sim->thresholds(), kLevels);
        QCOMPARE(points, expectedPoints);
        QCOMPARE(swept, expectedSwept);
        QCOMPARE(s->counts().at(channels.last()).toDouble(), count);
        QCOMPARE(texts, expectedTexts);
        QCOMPARE(rig->frames(zrf::kCountQuery, start).size(), total); // no poll in between

        // Success keeps the sweep open until the view closes it.
        QVERIFY(s->calibrationRunning() && finished.count() == 0);
        const qsizetype beforeStop = rig->mark();
        s->stopCalibration();
        QVERIFY(!s->calibrationRunning() && finished.count() == 1);
        QCOMPARE(s->statusText(), QStringLiteral("Connected") + kDot + rig->address);
        QVERIFY(SessionProbe(*s).pollTimerActive() && SessionProbe(*s).pollIntervalMs() == 50);
        QTRY_VERIFY(rig->frames(zrf::kCountQuery, beforeStop).size() >= 1);
        QCOMPARE(rig->frames(zrf::kSdac, beforeStop).size(), 0); // restored once already
    }

    void refusedStarts()
    {
        s->startCalibration(0, 0, 1000, 10); // not connected
        QVERIFY(!s->calibrationRunning());
        QVERIFY(rig->open());
        QSignalSpy running(s, &DeviceSession::calibrationRunningChanged);
        const qsizetype start = rig->mark();
        for (const auto &[channel, step] : {std::pair{0, 0}, {8, 10}, {-1, 10}})
            s->startCalibration(channel, 0, 1000, step);
        for (const QVariantList &channels : {QVariantList{}, QVariantList{1, 3, 1}, QVariantList{2, "x"}})
            s->startCalibrationOf(channels, 0, 1000, 10);
        QTest::qWait(50);
        QVERIFY(running.count() == 0 && rig->commands(start).isEmpty());
    }

    void stopWithReadingOutstanding_data()
    {
        QTest::addColumn<bool>("restart");
        QTest::newRow("stop") << false;
        QTest::newRow("stop and start again") << true;
    }

    void stopWithReadingOutstanding()
    {
        QFETCH(bool, restart);
        rig->sim->setPeriodMs(1000); // polls stay out of the way after the stop
        QVERIFY(rig->open());
        const QVariantList countsBefore = s->counts();
        QSignalSpy counts(s, &DeviceSession::countsChanged);
        QSignalSpy finished(s, &DeviceSession::calibrationFinished);
        // Stop when the first reading is asked for: its reply (999 everywhere, held back) is still on its way.
        QList<double> levelsAtStop;
        connect(rig->sim.get(), &SimInstrument::requestReceived, s, [&](unsigned char cmd, const QByteArray &) {
            if (cmd != zrf::kCountQuery || !levelsAtStop.isEmpty())
                return;
            rig->sim->setFixedCounts(QList<double>(8, 999.0));
            setFault(*rig->sim, &SimFaults::replyDelayMs, 100);
            QTimer::singleShot(20, rig->sim.get(), [&] {
                rig->sim->setFaults({});
                rig->sim->setFixedCounts(QList<double>(8, 42.0));
            });
            s->stopCalibration();
            s->stopCalibration();
            levelsAtStop = toDoubles(s->dacVolts()); // put back at once, not on the reply
            if (restart)
                s->startCalibration(1, 500, 520, 10);
        });
        const qsizetype start = rig->mark();
        s->startCalibration(0, 0, 1000, 10);
        QTRY_VERIFY_WITH_TIMEOUT(!levelsAtStop.isEmpty(), 5000);
        QCOMPARE(levelsAtStop, kLevels);
        QTRY_VERIFY_WITH_TIMEOUT(rig->idle() && (!restart || s->calibrationProgress() == 100.0), 10000);
        QTest::qWait(200);
        // The late reading counts for nothing: no point, no counts, no message.
        QCOMPARE(points, restart ? QList<QPointF>({{500, 42}, {510, 42}, {520, 42}}) : QList<QPointF>());
        QVERIFY(restart || (counts.count() == 0 && s->counts() == countsBefore));
        QCOMPARE(s->lastError(), QString());
        QCOMPARE(finished.count(), 1);
        QCOMPARE(restoreCount(rig->sdacs(start)), restart ? 2 : 1);
        QCOMPARE(rig->sim->thresholds(), kLevels);
    }

    void failureEndsSweep_data()
    {
        QTest::addColumn<int>("fault");
        QTest::addColumn<QString>("message");
        QTest::newRow("rejected mute") << 0 << "SDAC rejected";
        QTest::newRow("reading short by one") << 1 << "Calibration: bad COUN?";
        QTest::newRow("reading unanswered") << 2 << "Calibration: no reply from device";
    }

    void failureEndsSweep()
    {
        QFETCH(int, fault);
        QFETCH(QString, message);
        QVERIFY(rig->open());
        SimFaults faults;
        faults.rejectCommand = fault == 0 ? zrf::kSdac : -1;
        faults.lateCommand = fault == 2 ? zrf::kCountQuery : -1;
        faults.lateDelayMs = 2500;
        rig->sim->setFaults(faults);
        if (fault == 1)
            rig->sim->overrideReply(zrf::kCountQuery, zrf::packDoubles(QList<double>(7, 1.0)));
        // Polls resume after the end and may replace the message: take it then.
        QString errorAtEnd;
        connect(s, &DeviceSession::calibrationFinished, s, [&] { errorAtEnd = s->lastError(); });
        const qsizetype start = rig->mark();
        s->startCalibration(6, 0, 1000, 10);
        QTRY_VERIFY_WITH_TIMEOUT(!errorAtEnd.isEmpty(), 5000);
        QCOMPARE(errorAtEnd, message);
        rig->sim->setFaults({});
        QVERIFY(rig->waitIdle());
        QVERIFY(!s->calibrationRunning() && SessionProbe(*s).pollTimerActive() && points.isEmpty());
        // One restore at once; after a rejected mute no other mute and no step.
        QCOMPARE(rig->sdacs(start).size(), fault ? 7 + 1 + 8 : 1 + 8);
        QCOMPARE(restoreCount(rig->sdacs(start)), 1);
        QVERIFY(!fault || rig->sim->thresholds() == kLevels);
    }

    // A lost sweep's levels go back on the same link's next opening, only while its mutes are still there.
    void interruptedSweep_data()
    {
        QTest::addColumn<QString>("between");
        QTest::newRow("same link again") << "";
        QTest::newRow("another instrument first") << "other address";
        QTest::newRow("another unit on the same address") << "other unit";
        QTest::newRow("same unit, levels set meanwhile") << "levels set";
    }

    void interruptedSweep()
    {
        QFETCH(QString, between);
        QTemporaryDir dir;
        rig->sim->setStatePath(dir.filePath(QStringLiteral("eeprom.json")));
        QVERIFY(rig->open());
        QSignalSpy finished(s, &DeviceSession::calibrationFinished);
        s->startCalibration(4, 0, 1000, 10);
        QTRY_VERIFY_WITH_TIMEOUT(points.size() >= 2, 10000);
        rig->sim->closeConnections();
        QTRY_VERIFY_WITH_TIMEOUT(!s->connected(), 5000);
        QVERIFY(!s->calibrationRunning() && finished.count() == 1);
        QCOMPARE(rig->sim->thresholds().at(0), 1.0);
        if (between == QLatin1String("other address")) {
            SimInstrument other;
            QVERIFY(other.listenTcp(QHostAddress(QStringLiteral("127.0.0.149")), DeviceSession::kTcpPort));
            s->setTcpHost(QStringLiteral("127.0.0.149"));
            s->connectToDevice(true);
            QTRY_VERIFY(other.received().size() >= 7 && rig->idle());
            QVERIFY(!other.receivedCommands().contains(zrf::kSdac));
            s->disconnectFromDevice();
        } else if (between == QLatin1String("other unit")) {
            rig->replaceInstrument();
        } else if (between == QLatin1String("levels set")) {
            rig->sim->setThresholds({0.2, 0.2, 0.2, 0.2, 0.2, 0.2, 0.2, 0.2});
        }
        const QList<double> before = rig->sim->thresholds();
        const bool restores = between.isEmpty();
        const qsizetype start = rig->mark();
        QVERIFY(rig->open());
        const QString restored = kDot + QStringLiteral("thresholds restored after an interrupted sweep");
        const QString dropped = kDot + QStringLiteral("thresholds of the interrupted sweep not restored: the "
                                                      "instrument's levels have changed since");
        QCOMPARE(s->statusText(), QStringLiteral("Connected") + kDot + rig->address
                                      + (restores ? restored : between == QLatin1String("other address") ? QString() : dropped));
        // Nothing is set before the instrument's own levels have been read.
        const QList<unsigned char> sent = rig->commands(start);
        QVERIFY(sent.indexOf(zrf::kSdacQuery) >= 0);
        QCOMPARE(sent.indexOf(zrf::kSdac) < 0 || sent.indexOf(zrf::kSdac) > sent.indexOf(zrf::kSdacQuery), true);
        QCOMPARE(sent.count(zrf::kSdac), restores ? 8 : 0);
        QVERIFY(!sent.contains(zrf::kWeep));
        QCOMPARE(toDoubles(s->dacVolts()), rig->sim->thresholds());
        if (!restores) {
            QCOMPARE(rig->sim->thresholds(), before);
            // Dropped for good: the next opening leaves them alone too.
            s->disconnectFromDevice();
            const qsizetype again = rig->mark();
            QVERIFY(rig->open());
            QVERIFY(!rig->commands(again).contains(zrf::kSdac));
            return;
        }
        QCOMPARE(rig->sdacs(start), restore());
        s->setDacVoltage(3, 0.45);
        QTRY_COMPARE(rig->sim->eepromWrites(), 1);
        SimInstrument eeprom;
        eeprom.setStatePath(dir.filePath(QStringLiteral("eeprom.json")));
        QVERIFY(eeprom.loadState());
        QList<double> expected = kLevels;
        expected[3] = 0.45;
        QCOMPARE(eeprom.thresholds(), expected);
    }

    // Cut short in the second of three channels: the levels from before the first mute come back once.
    void severalChannelsCutShort_data()
    {
        QTest::addColumn<bool>("loseLink");
        QTest::newRow("stop") << false;
        QTest::newRow("link lost, opened again") << true;
    }

    void severalChannelsCutShort()
    {
        QFETCH(bool, loseLink);
        QVERIFY(rig->open());
        QSignalSpy finished(s, &DeviceSession::calibrationFinished);
        const qsizetype start = rig->mark();
        s->startCalibrationOf(QVariantList{0, 3, 5}, 0, 40, 10);
        QTRY_VERIFY_WITH_TIMEOUT(points.size() >= 7, 10000);
        QVERIFY(rig->sim->thresholds().at(0) == 1.0 && rig->sim->thresholds().at(3) < 0.05); // 0 done, 3 swept
        if (loseLink) {
            rig->sim->closeConnections();
            QTRY_VERIFY_WITH_TIMEOUT(!s->connected(), 5000);
            QVERIFY(rig->open());
        } else {
            s->stopCalibration();
        }
        QVERIFY(rig->waitIdle());
        QVERIFY(!s->calibrationRunning() && finished.count() == 1);
        QCOMPARE(restoreCount(rig->sdacs(start)), 1);
        QVERIFY(rig->frames(zrf::kWeep, start).isEmpty());
        QCOMPARE(rig->sim->thresholds(), kLevels);
    }

    // A refused restore: the levels shown are what the instrument holds.
    void refusedRestoreShowsTheInstrumentsLevels()
    {
        QVERIFY(rig->open());
        QSignalSpy succeeded(s, &DeviceSession::calibrationSucceeded);
        int readings = 0;
        connect(rig->sim.get(), &SimInstrument::requestReceived, s, [&](unsigned char cmd, const QByteArray &) {
            if (cmd == zrf::kCountQuery && ++readings == 3)
                rig->reject(zrf::kSdac); // the restore follows the last reading
        });
        s->startCalibration(2, 300, 320, 10);
        QTRY_COMPARE_WITH_TIMEOUT(succeeded.count(), 1, 10000);
        QTRY_COMPARE(toDoubles(s->dacVolts()), rig->sim->thresholds());
        QVERIFY(rig->sim->thresholds().at(0) == 1.0 && s->lastError() == QStringLiteral("SDAC rejected"));
    }

    void unknownLevelsAreReadFirst()
    {
        // Every opening level read fails: the levels are unknown.
        rig->sim->overrideReply(zrf::kSdacQuery, QByteArray(3, '\0'), DeviceSession::kLevelReadAttempts);
        QVERIFY(rig->open());
        QCOMPARE(s->lastError(), QStringLiteral("Bad SDAC? reply"));
        QSignalSpy succeeded(s, &DeviceSession::calibrationSucceeded);
        qsizetype start = rig->mark();
        s->startCalibration(2, 300, 300, 10);
        QVERIFY(!s->calibrationRunning()); // not before the levels are in
        QTRY_COMPARE_WITH_TIMEOUT(succeeded.count(), 1, 10000);
        QCOMPARE(rig->commands(start).mid(0, 2), (QList<unsigned char>{zrf::kSdacQuery, zrf::kSdac}));
        QVERIFY(rig->waitIdle());
        // What is put back is the instrument's own levels, not placeholders.
        QCOMPARE(restoreCount(rig->sdacs(start)), 1);
        QVERIFY(rig->sim->thresholds() == kLevels && toDoubles(s->dacVolts()) == kLevels);
        s->stopCalibration();
        // Known now: the next sweep does not read them again.
        start = rig->mark();
        s->startCalibration(2, 300, 300, 10);
        QTRY_COMPARE_WITH_TIMEOUT(succeeded.count(), 2, 10000);
        QCOMPARE(rig->commands(start).first(), zrf::kSdac);
        s->stopCalibration();

        // A new link makes them unknown; "set all" reads them back; a failed read stops a start.
        s->disconnectFromDevice();
        rig->sim->overrideReply(zrf::kSdacQuery, QByteArray(), DeviceSession::kLevelReadAttempts);
        QVERIFY(rig->open());
        QVERIFY(rig->waitIdle() && !s->dacLevelsKnown());
        rig->reject(zrf::kWeep); // its refused EEPROM write leaves another message
        s->setAllDacVoltage(0.4);
        QVERIFY(rig->waitIdle());
        QCOMPARE(s->lastError(), QStringLiteral("WEEP rejected"));
        QVERIFY(s->dacLevelsKnown());
        rig->reject(-1);
        s->disconnectFromDevice();
        rig->sim->overrideReply(zrf::kSdacQuery, QByteArray(), DeviceSession::kLevelReadAttempts + 1);
        QVERIFY(rig->open());
        QVERIFY(rig->waitIdle() && !s->dacLevelsKnown());
        QSignalSpy running(s, &DeviceSession::calibrationRunningChanged);
        start = rig->mark();
        s->startCalibration(0, 0, 1000, 10);
        QVERIFY(rig->waitIdle());
        QTest::qWait(100);
        QCOMPARE(rig->commands(start), QList<unsigned char>{zrf::kSdacQuery});
        QCOMPARE(s->lastError(), QStringLiteral("Bad SDAC? reply"));
        QVERIFY(running.count() == 0 && SessionProbe(*s).pollTimerActive());
        QCOMPARE(rig->sim->thresholds(), QList<double>(8, 0.4));
    }
};

QTEST_GUILESS_MAIN(TestCalibration)
#include "tst_calibration.moc"
