// Threshold calibration sweep end to end against the simulated instrument.

#include "DeviceRig.h"

namespace {

QString nextAddress() { return DeviceRig::nextAddress(110, 129); }

// Distinct levels, so a restore is told apart from mutes and steps.
const QList<double> kLevels{0.11, 0.12, 0.13, 0.14, 0.15, 0.16, 0.17, 0.18};
const QString kDot = QStringLiteral(" \u00B7 ");

// A rig with a fast gate (1 ms: one point per 50 ms wait) and known levels.
std::unique_ptr<DeviceRig> fastRig()
{
    auto rig = std::make_unique<DeviceRig>(nextAddress());
    rig->sim->setPeriodMs(1);
    rig->sim->setThresholds(kLevels);
    return rig;
}

QList<double> pointLevels(const QSignalSpy &points)
{
    QList<double> out;
    for (const QList<QVariant> &args : points)
        out.append(args.at(0).toDouble());
    return out;
}

// The eight SDACs of a restore among `sent`: how many complete restores.
int restoreCount(const QList<SdacFrame> &sent)
{
    int n = 0;
    for (qsizetype i = 0; i + 8 <= sent.size(); ++i) {
        bool all = true;
        for (int ch = 0; ch < 8 && all; ++ch)
            all = sent.at(i + ch).channel == ch && sent.at(i + ch).volts == kLevels.at(ch);
        n += all ? 1 : 0;
    }
    return n;
}

} // namespace

class TestCalibration : public QObject
{
    Q_OBJECT

private slots:
    void fullSweepMutesMeasuresAndRestores()
    {
        auto rig = fastRig();
        QVERIFY(rig->open());
        DeviceSession *s = rig->session.get();
        QSignalSpy points(s, &DeviceSession::calibrationPoint);
        QSignalSpy succeeded(s, &DeviceSession::calibrationSucceeded);
        QSignalSpy finished(s, &DeviceSession::calibrationFinished);
        QList<double> progress;
        QObject::connect(s, &DeviceSession::calibrationProgressChanged, s,
                         [&] { progress.append(s->calibrationProgress()); });

        QVERIFY(rig->waitIdle());
        const qsizetype start = rig->mark();
        s->startCalibration(2, 0, 1000, 10);
        QVERIFY(s->calibrationRunning());
        QVERIFY(!s->pollTimerActive());
        QTRY_COMPARE_WITH_TIMEOUT(succeeded.count(), 1, 30000);

        // Known levels: the sweep starts straight with the mutes.
        const QList<SdacFrame> sent = rig->sdacs(start);
        QCOMPARE(sent.size(), 7 + 101 + 8);
        const QList<int> muted{0, 1, 3, 4, 5, 6, 7};
        for (int i = 0; i < 7; ++i) {
            QCOMPARE(sent.at(i).channel, double(muted.at(i)));
            QCOMPARE(sent.at(i).volts, 1.0);
        }
        QList<double> expectedMv;
        for (int k = 0; k <= 100; ++k) {
            QCOMPARE(sent.at(7 + k).channel, 2.0);
            QCOMPARE(sent.at(7 + k).volts, (k * 10) / 1000.0);
            expectedMv.append(k * 10);
        }
        QCOMPARE(restoreCount(sent), 1);
        QCOMPARE(rig->sim->thresholds(), kLevels);
        QCOMPARE(pointLevels(points), expectedMv);
        // One reading per point and no poll reading in between.
        QCOMPARE(rig->frames(zrf::kCountQuery, start).size(), 101);

        QCOMPARE(progress.size(), 101);
        for (int k = 1; k <= 101; ++k)
            QVERIFY(qFuzzyCompare(progress.at(k - 1), k * 100.0 / 101));

        // Success keeps the sweep open until the view closes it.
        QVERIFY(s->calibrationRunning());
        QCOMPARE(s->calibrationProgress(), 100.0);
        QVERIFY(s->statusText().startsWith(QStringLiteral("Calibration") + kDot + "CH 2" + kDot
                                           + "1000 mV" + kDot));
        QCOMPARE(finished.count(), 0);

        const qsizetype beforeStop = rig->mark();
        s->stopCalibration();
        QVERIFY(!s->calibrationRunning());
        QCOMPARE(finished.count(), 1);
        QCOMPARE(s->statusText(), QStringLiteral("Connected") + kDot + rig->address);
        QVERIFY(s->pollTimerActive());
        QCOMPARE(s->pollIntervalMs(), 50);
        QTest::qWait(150);
        // Already restored once: closing sends no level.
        QCOMPARE(rig->frames(zrf::kSdac, beforeStop).size(), 0);
        QVERIFY(rig->frames(zrf::kCountQuery, beforeStop).size() >= 1);
    }

    void rangesAndDirection_data()
    {
        QTest::addColumn<int>("from");
        QTest::addColumn<int>("to");
        QTest::addColumn<int>("step");
        QTest::addColumn<QList<int>>("levels");

        const QList<int> fiveDown{500, 400, 300, 200, 100};
        QTest::newRow("down, positive step") << 500 << 100 << 100 << fiveDown;
        QTest::newRow("down, negative step") << 500 << 100 << -100 << fiveDown;
        QTest::newRow("clamped both ends") << -50 << 2000 << 250
                                           << QList<int>{0, 250, 500, 750, 1000};
        QList<int> down;
        for (int mv = 1000; mv >= 0; mv -= 10)
            down.append(mv);
        QTest::newRow("clamped, downward") << 1500 << -20 << 10 << down;
        QTest::newRow("end not on a step") << 0 << 1000 << 300 << QList<int>{0, 300, 600, 900};
        QTest::newRow("single point") << 400 << 400 << 5 << QList<int>{400};
    }

    void rangesAndDirection()
    {
        QFETCH(int, from);
        QFETCH(int, to);
        QFETCH(int, step);
        QFETCH(QList<int>, levels);

        auto rig = fastRig();
        QVERIFY(rig->open());
        DeviceSession *s = rig->session.get();
        QSignalSpy points(s, &DeviceSession::calibrationPoint);
        QSignalSpy succeeded(s, &DeviceSession::calibrationSucceeded);
        QList<double> progress;
        QObject::connect(s, &DeviceSession::calibrationProgressChanged, s,
                         [&] { progress.append(s->calibrationProgress()); });

        QVERIFY(rig->waitIdle());
        const qsizetype start = rig->mark();
        s->startCalibration(0, from, to, step);
        QTRY_COMPARE_WITH_TIMEOUT(succeeded.count(), 1, 30000);

        QList<double> expected;
        for (int mv : levels)
            expected.append(mv);
        QCOMPARE(pointLevels(points), expected);
        const QList<SdacFrame> sent = rig->sdacs(start);
        QCOMPARE(sent.size(), 7 + levels.size() + 8);
        for (qsizetype i = 0; i < levels.size(); ++i)
            QCOMPARE(sent.at(7 + i).volts, levels.at(i) / 1000.0);
        QCOMPARE(progress.size(), levels.size());
        for (qsizetype k = 1; k <= levels.size(); ++k)
            QVERIFY(qFuzzyCompare(progress.at(k - 1), k * 100.0 / levels.size()));
        QCOMPARE(restoreCount(sent), 1);
    }

    void refusedStarts()
    {
        auto rig = fastRig();
        DeviceSession *s = rig->session.get();
        s->startCalibration(0, 0, 1000, 10); // not connected
        QVERIFY(!s->calibrationRunning());
        QVERIFY(rig->open());
        QSignalSpy running(s, &DeviceSession::calibrationRunningChanged);

        QVERIFY(rig->waitIdle());
        const qsizetype start = rig->mark();
        s->startCalibration(0, 0, 1000, 0);
        s->startCalibration(8, 0, 1000, 10);
        s->startCalibration(-1, 0, 1000, 10);
        QCOMPARE(running.count(), 0);
        QTest::qWait(50);
        QVERIFY(rig->commands(start).isEmpty());

        // A second start while one runs changes nothing about the first.
        s->startCalibration(1, 0, 20, 10);
        s->startCalibration(4, 500, 600, 50);
        QSignalSpy points(s, &DeviceSession::calibrationPoint);
        QSignalSpy succeeded(s, &DeviceSession::calibrationSucceeded);
        QTRY_COMPARE_WITH_TIMEOUT(succeeded.count(), 1, 10000);
        QCOMPARE(pointLevels(points), (QList<double>{0, 10, 20}));
        QCOMPARE(rig->sdacs(start).size(), 7 + 3 + 8);
        QCOMPARE(s->lastError(), QString());
    }

    void statusAndCountText()
    {
        auto rig = fastRig();
        QVERIFY(rig->open());
        DeviceSession *s = rig->session.get();
        QStringList texts;
        QObject::connect(s, &DeviceSession::statusTextChanged, s,
                         [&] { texts.append(s->statusText()); });

        const QList<QPair<double, QString>> cases{
            {42.0, QStringLiteral("42")},
            {12.0, QStringLiteral("12")},
            {12.04, QStringLiteral("12")},
            {-3.96, QStringLiteral("-4")},
            {12.3, QStringLiteral("12.3")},
            {12.05, QStringLiteral("12.05")},
            {1234567.8, QStringLiteral("1.23457e+06")},
        };
        const QString head = QStringLiteral("Calibration") + kDot + "CH 3" + kDot + "0 mV";
        for (const auto &c : cases) {
            QList<double> counts(8, 7.0);
            counts[3] = c.first;
            rig->sim->setFixedCounts(counts);
            texts.clear();
            QSignalSpy succeeded(s, &DeviceSession::calibrationSucceeded);
            QSignalSpy points(s, &DeviceSession::calibrationPoint);
            s->startCalibration(3, 0, 0, 5);
            QTRY_COMPARE_WITH_TIMEOUT(succeeded.count(), 1, 10000);
            QCOMPARE(texts, (QStringList{head, head + kDot + c.second + " counts"}));
            QCOMPARE(points.at(0).at(1).toDouble(), c.first);
            QCOMPARE(s->counts().at(3).toDouble(), c.first);
            s->stopCalibration();
            QCOMPARE(s->statusText(), QStringLiteral("Connected") + kDot + rig->address);
            QVERIFY(rig->waitIdle());
        }
    }

    void stopMidSweepRestoresOnce()
    {
        auto rig = fastRig();
        QVERIFY(rig->open());
        DeviceSession *s = rig->session.get();
        QSignalSpy points(s, &DeviceSession::calibrationPoint);
        QSignalSpy finished(s, &DeviceSession::calibrationFinished);

        QVERIFY(rig->waitIdle());
        const qsizetype start = rig->mark();
        s->startCalibration(5, 0, 1000, 30);
        QTRY_VERIFY_WITH_TIMEOUT(points.count() >= 3, 10000);
        s->stopCalibration();
        s->stopCalibration();
        QCOMPARE(finished.count(), 1);
        // Levels go back at once, without waiting for the instrument.
        QCOMPARE(toDoubles(s->dacVolts()), kLevels);
        QVERIFY(rig->waitIdle());
        QTest::qWait(200);
        QCOMPARE(restoreCount(rig->sdacs(start)), 1);
        QCOMPARE(rig->sim->thresholds(), kLevels);
        QCOMPARE(rig->sdacs(start).constLast().channel, 7.0);
        const int measured = int(points.count());
        QTest::qWait(200);
        QCOMPARE(points.count(), measured);
    }

    void stopWhileReadingOutstanding()
    {
        auto rig = fastRig();
        rig->sim->setPeriodMs(1000); // polls stay out of the way after the stop
        QVERIFY(rig->open());
        DeviceSession *s = rig->session.get();
        rig->sim->setFixedCounts(QList<double>(8, 555.0));
        QVERIFY(rig->waitIdle());
        const QVariantList countsBefore = s->counts();
        const QString errorBefore = s->lastError();

        // Stop as soon as the instrument sees the sweep's reading; its reply
        // (held back a little) is then still on its way.
        bool stopped = false;
        QObject::connect(rig->sim.get(), &SimInstrument::requestReceived, s,
                         [&](unsigned char cmd, const QByteArray &) {
                             if (cmd != zrf::kCountQuery || !s->calibrationRunning())
                                 return;
                             rig->sim->setFixedCounts(QList<double>(8, 999.0));
                             SimFaults faults;
                             faults.replyDelayMs = 100;
                             rig->sim->setFaults(faults);
                             // Only this reply is held back.
                             QTimer::singleShot(20, rig->sim.get(),
                                                [&] { rig->sim->setFaults(SimFaults()); });
                             s->stopCalibration();
                             stopped = true;
                         });
        QSignalSpy counts(s, &DeviceSession::countsChanged);
        QSignalSpy points(s, &DeviceSession::calibrationPoint);
        s->startCalibration(0, 0, 1000, 10);
        QTRY_VERIFY_WITH_TIMEOUT(stopped, 5000);
        QVERIFY(rig->waitIdle());
        QCOMPARE(points.count(), 0);
        QCOMPARE(counts.count(), 0);
        QCOMPARE(s->counts(), countsBefore);
        QCOMPARE(s->lastError(), errorBefore);
        QVERIFY(!s->calibrationRunning());
    }

    void restartWhileOldReadingOutstanding()
    {
        auto rig = fastRig();
        QVERIFY(rig->open());
        DeviceSession *s = rig->session.get();
        // Stop and start again while the first sweep's reading is still on
        // its way: that late reading must not count for the new sweep.
        bool restarted = false;
        QObject::connect(rig->sim.get(), &SimInstrument::requestReceived, s,
                         [&](unsigned char cmd, const QByteArray &) {
                             if (cmd != zrf::kCountQuery || restarted || !s->calibrationRunning())
                                 return;
                             restarted = true;
                             // The late reply carries 666; the new sweep's own readings 42.
                             rig->sim->setFixedCounts(QList<double>(8, 666.0));
                             QTimer::singleShot(20, rig->sim.get(), [&] {
                                 rig->sim->setFixedCounts(QList<double>(8, 42.0));
                             });
                             s->stopCalibration();
                             s->startCalibration(1, 500, 520, 10);
                         });
        QSignalSpy points(s, &DeviceSession::calibrationPoint);
        QSignalSpy succeeded(s, &DeviceSession::calibrationSucceeded);
        QVERIFY(rig->waitIdle());
        const qsizetype start = rig->mark();
        s->startCalibration(0, 0, 1000, 10);
        QTRY_COMPARE_WITH_TIMEOUT(succeeded.count(), 1, 10000);
        QTest::qWait(200);
        QCOMPARE(pointLevels(points), (QList<double>{500, 510, 520}));
        for (const QList<QVariant> &args : std::as_const(points))
            QCOMPARE(args.at(1).toDouble(), 42.0);
        QCOMPARE(succeeded.count(), 1);
        QList<double> steps;
        for (const SdacFrame &f : rig->sdacs(start)) {
            if (f.channel == 1.0 && f.volts != kLevels.at(1) && f.volts != 1.0)
                steps.append(f.volts);
        }
        QCOMPARE(steps, (QList<double>{0.5, 0.51, 0.52}));
        // Both sweeps put their levels back once each.
        QCOMPARE(restoreCount(rig->sdacs(start)), 2);
        QCOMPARE(rig->sim->thresholds(), kLevels);
    }

    void rejectedMuteStops()
    {
        auto rig = fastRig();
        QVERIFY(rig->open());
        DeviceSession *s = rig->session.get();
        SimFaults faults;
        faults.rejectCommand = zrf::kSdac;
        rig->sim->setFaults(faults);
        QSignalSpy finished(s, &DeviceSession::calibrationFinished);
        QSignalSpy points(s, &DeviceSession::calibrationPoint);

        QVERIFY(rig->waitIdle());
        const qsizetype start = rig->mark();
        s->startCalibration(6, 0, 1000, 10);
        QTRY_COMPARE_WITH_TIMEOUT(finished.count(), 1, 5000);
        QVERIFY(rig->waitIdle());
        QVERIFY(!s->calibrationRunning());
        QCOMPARE(s->lastError(), QStringLiteral("SDAC rejected"));
        QCOMPARE(points.count(), 0);
        // Seven mutes already queued, then the one restore; no step, no reading.
        const QList<SdacFrame> sent = rig->sdacs(start);
        QCOMPARE(sent.size(), 7 + 8);
        QCOMPARE(restoreCount(sent), 1);
        QVERIFY(s->pollTimerActive());
    }

    void badReadingStops()
    {
        auto rig = fastRig();
        QVERIFY(rig->open());
        DeviceSession *s = rig->session.get();
        // Every reading short by one value; polls resume after the stop and
        // would overwrite the message, so take it as the sweep ends.
        rig->sim->overrideReply(zrf::kCountQuery, zrf::packDoubles(QList<double>(7, 1.0)));
        QString errorAtEnd;
        QObject::connect(s, &DeviceSession::calibrationFinished, s,
                         [&] { errorAtEnd = s->lastError(); });
        QSignalSpy finished(s, &DeviceSession::calibrationFinished);
        QSignalSpy points(s, &DeviceSession::calibrationPoint);
        QVERIFY(rig->waitIdle());
        const qsizetype start = rig->mark();
        s->startCalibration(1, 0, 1000, 10);
        QTRY_COMPARE_WITH_TIMEOUT(finished.count(), 1, 5000);
        QCOMPARE(errorAtEnd, QStringLiteral("Calibration: bad COUN?"));
        QCOMPARE(points.count(), 0);
        QVERIFY(rig->waitIdle());
        QCOMPARE(restoreCount(rig->sdacs(start)), 1);
    }

    void linkLossEndsWithoutRestore()
    {
        auto rig = fastRig();
        QVERIFY(rig->open());
        DeviceSession *s = rig->session.get();
        QSignalSpy points(s, &DeviceSession::calibrationPoint);
        QSignalSpy finished(s, &DeviceSession::calibrationFinished);
        QSignalSpy running(s, &DeviceSession::calibrationRunningChanged);

        s->startCalibration(4, 0, 1000, 10);
        QTRY_VERIFY_WITH_TIMEOUT(points.count() >= 2, 10000);
        const qsizetype before = rig->mark();
        rig->sim->closeConnections();
        QTRY_VERIFY_WITH_TIMEOUT(!s->connected(), 5000);
        QVERIFY(!s->calibrationRunning());
        QCOMPARE(finished.count(), 1);
        QCOMPARE(running.count(), 2);
        QCOMPARE(s->statusText(), QStringLiteral("Disconnected"));
        // Nothing put back: the muted channels still show the mute level.
        QCOMPARE(s->dacVolts().at(0).toDouble(), 1.0);
        QCOMPARE(rig->frames(zrf::kSdac, before).size(), 0);
        s->stopCalibration();
        QCOMPARE(finished.count(), 1);
    }

    void unknownLevelsAreReadFirst()
    {
        auto rig = fastRig();
        QVERIFY(rig->open());
        DeviceSession *s = rig->session.get();
        rig->session->disconnectFromDevice();

        // A new link whose opening level read fails: the levels are unknown.
        rig->sim->overrideReply(zrf::kSdacQuery, QByteArray(3, '\0'), 1);
        QVERIFY(rig->open());
        QCOMPARE(s->lastError(), QStringLiteral("Bad SDAC? reply"));
        QSignalSpy succeeded(s, &DeviceSession::calibrationSucceeded);

        QVERIFY(rig->waitIdle());
        const qsizetype start = rig->mark();
        s->startCalibration(2, 300, 300, 10);
        QVERIFY(!s->calibrationRunning()); // not before the levels are in
        QTRY_COMPARE_WITH_TIMEOUT(succeeded.count(), 1, 10000);
        const QList<unsigned char> cmds = rig->commands(start);
        QCOMPARE(cmds.first(), zrf::kSdacQuery);
        QCOMPARE(cmds.at(1), zrf::kSdac);
        // What is put back is the instrument's own levels, not placeholders.
        QCOMPARE(restoreCount(rig->sdacs(start)), 1);
        QVERIFY(rig->waitIdle());
        QCOMPARE(rig->sim->thresholds(), kLevels);
        QCOMPARE(toDoubles(s->dacVolts()), kLevels);
        s->stopCalibration();

        // Known now: the next sweep does not read them again.
        const qsizetype again = rig->mark();
        QSignalSpy succeeded2(s, &DeviceSession::calibrationSucceeded);
        s->startCalibration(2, 300, 300, 10);
        QTRY_COMPARE_WITH_TIMEOUT(succeeded2.count(), 1, 10000);
        QCOMPARE(rig->commands(again).first(), zrf::kSdac);
        QCOMPARE(rig->frames(zrf::kSdacQuery, again).size(), 0);
    }

    void unknownLevelsUnreadableDoesNotStart()
    {
        auto rig = fastRig();
        rig->sim->overrideReply(zrf::kSdacQuery, QByteArray(), 2);
        QVERIFY(rig->open());
        DeviceSession *s = rig->session.get();
        QVERIFY(rig->waitIdle());
        QSignalSpy running(s, &DeviceSession::calibrationRunningChanged);
        // A set is no reading: the levels stay unknown. Its refused EEPROM
        // write leaves another message in place first.
        SimFaults faults;
        faults.rejectCommand = zrf::kWeep;
        rig->sim->setFaults(faults);
        s->setAllDacVoltage(0.4);
        QVERIFY(rig->waitIdle());
        QCOMPARE(s->lastError(), QStringLiteral("WEEP rejected"));
        rig->sim->setFaults(SimFaults());

        const qsizetype start = rig->mark();
        s->startCalibration(0, 0, 1000, 10);
        QVERIFY(rig->waitIdle());
        QTest::qWait(100);
        QCOMPARE(rig->commands(start), QList<unsigned char>{zrf::kSdacQuery});
        QCOMPARE(s->lastError(), QStringLiteral("Bad SDAC? reply"));
        QCOMPARE(running.count(), 0);
        QVERIFY(!s->calibrationRunning());
        QVERIFY(s->pollTimerActive());
        QCOMPARE(rig->sim->thresholds(), QList<double>(8, 0.4));
    }
};

QTEST_GUILESS_MAIN(TestCalibration)
#include "tst_calibration.moc"
