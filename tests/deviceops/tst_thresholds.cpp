// Comparator thresholds end to end: what reaches the instrument, in which
// order, and what the session publishes.

#include "DeviceRig.h"

class TestThresholds : public QObject
{
    Q_OBJECT

private slots:
    void setsClampedLevels()
    {
        DeviceRig rig(100, 109);
        QVERIFY(rig.open());
        DeviceSession *s = rig.session.get();
        QCOMPARE(toDoubles(s->dacVolts()), QList<double>(8, 0.1));
        QSignalSpy changed(s, &DeviceSession::dacVoltsChanged);

        qsizetype start = rig.mark();
        s->setDacVoltage(3, 1.7);
        s->setDacVoltage(3, -0.1);
        s->setDacVoltage(8, 0.5);
        s->setDacVoltage(-1, 0.5);
        QVERIFY(rig.waitIdle());
        // Each accepted level gets its own EEPROM write, queued once the
        // instrument acknowledged it, so behind the second level.
        QCOMPARE(rig.commands(start), (QList<unsigned char>{zrf::kSdac, zrf::kSdac, zrf::kWeep, zrf::kWeep}));
        QCOMPARE(rig.sdacs(start), (QList<SdacFrame>{{3, 1.0}, {3, 0.0}}));
        QCOMPARE(s->dacVolts().at(3).toDouble(), 0.0);
        QCOMPARE(rig.sim->eepromWrites(), 2);

        // All channels: one SDAC with channel 15.
        start = rig.mark();
        changed.clear();
        s->setAllDacVoltage(0.25);
        QVERIFY(rig.waitIdle());
        QCOMPARE(rig.commands(start), (QList<unsigned char>{zrf::kSdac, zrf::kWeep}));
        QCOMPARE(rig.sdacs(start), (QList<SdacFrame>{{15, 0.25}}));
        QCOMPARE(toDoubles(s->dacVolts()), QList<double>(8, 0.25));
        QCOMPARE(rig.sim->thresholds(), QList<double>(8, 0.25));
        // Same level again: still sent and stored, but nothing changed.
        s->setAllDacVoltage(0.25);
        s->setDacVoltage(5, 0.25);
        QVERIFY(rig.waitIdle());
        QCOMPARE(rig.commands(start).size(), 6);
        QCOMPARE(changed.count(), 1);

        // Without a link nothing is sent.
        s->disconnectFromDevice();
        start = rig.mark();
        s->setDacVoltage(0, 0.5);
        s->setAllDacVoltage(0.5);
        s->refreshDacVolts();
        s->applyNetwork(true, {}, {}, {});
        s->refreshNetwork();
        QTest::qWait(100);
        QCOMPARE(rig.mark(), start);
    }

    void readsAndRejections()
    {
        DeviceRig rig(100, 109);
        QVERIFY(rig.open());
        DeviceSession *s = rig.session.get();
        QSignalSpy changed(s, &DeviceSession::dacVoltsChanged);
        const QList<double> raw{1.3, -0.2, 0.5, 0.0, 1.0, 0.75, 0.001, 0.999};
        rig.sim->overrideReply(zrf::kSdacQuery, zrf::packDoubles(raw), 2);
        s->refreshDacVolts();
        s->refreshDacVolts();
        QVERIFY(rig.waitIdle());
        const QList<double> published{1.0, 0.0, 0.5, 0.0, 1.0, 0.75, 0.001, 0.999};
        QCOMPARE(toDoubles(s->dacVolts()), published);
        QCOMPARE(changed.count(), 1);

        // Seven values, a ragged length, a rejection: each one refused.
        rig.sim->overrideReply(zrf::kSdacQuery, zrf::packDoubles(QList<double>(7, 0.3)), 1);
        s->refreshDacVolts();
        QVERIFY(rig.waitIdle());
        QCOMPARE(s->lastError(), QStringLiteral("Bad SDAC? reply"));
        rig.sim->overrideReply(zrf::kSdacQuery, QByteArray(65, '\0'), 1);
        s->refreshDacVolts();
        rig.reject(zrf::kSdacQuery);
        s->refreshDacVolts();
        QVERIFY(rig.waitIdle());
        QCOMPARE(toDoubles(s->dacVolts()), published);

        // A rejected level is not stored and not published.
        rig.reject(zrf::kSdac);
        const qsizetype start = rig.mark();
        s->setDacVoltage(1, 0.6);
        s->setAllDacVoltage(0.7);
        QVERIFY(rig.waitIdle());
        QCOMPARE(rig.commands(start), (QList<unsigned char>{zrf::kSdac, zrf::kSdac}));
        QCOMPARE(s->lastError(), QStringLiteral("SDAC rejected"));
        QCOMPARE(changed.count(), 1);
        // A refused EEPROM write still leaves the level taken.
        rig.reject(zrf::kWeep);
        s->setDacVoltage(1, 0.6);
        QVERIFY(rig.waitIdle());
        QCOMPARE(s->lastError(), QStringLiteral("WEEP rejected"));
        QCOMPARE(s->dacVolts().at(1).toDouble(), 0.6);
        QCOMPARE(changed.count(), 2);
    }
};

QTEST_GUILESS_MAIN(TestThresholds)
#include "tst_thresholds.moc"
