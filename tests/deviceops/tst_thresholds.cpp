// Comparator thresholds end to end: what reaches the instrument, in which order, what is published.

#include "../common/DeviceRig.h"

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
        // Each level stored; a write still unsent when the next is taken stores both.
        QVERIFY(rig.waitIdle());
        QTest::qWait(DeviceSession::kEepromHoldOffMs + 100);
        QCOMPARE(rig.sim->eepromWrites(), 1);
        QCOMPARE(rig.commands(start), (QList<unsigned char>{zrf::kSdac, zrf::kSdac, zrf::kWeep}));
        QCOMPARE(rig.sdacs(start), (QList<SdacFrame>{{3, 1.0}, {3, 0.0}}));
        QCOMPARE(s->dacVolts().at(3).toDouble(), 0.0);

        // All channels: one SDAC with channel 15.
        start = rig.mark();
        changed.clear();
        s->setAllDacVoltage(0.25);
        QTRY_COMPARE(rig.sim->eepromWrites(), 2);
        QCOMPARE(rig.sdacs(start), (QList<SdacFrame>{{15, 0.25}}));
        QVERIFY(toDoubles(s->dacVolts()) == QList<double>(8, 0.25) && rig.sim->thresholds() == QList<double>(8, 0.25));
        // Same level again: still sent and stored, but nothing changed.
        s->setAllDacVoltage(0.25);
        QTRY_COMPARE(rig.sim->eepromWrites(), 3);
        QVERIFY(rig.sdacs(start).size() == 2 && changed.count() == 1);

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
        const QList<double> raw{1.3, -0.2, qQNaN(), 0.0, 1.0, 0.75, 0.001, 0.999};
        rig.sim->overrideReply(zrf::kSdacQuery, zrf::packDoubles(raw), 2);
        s->refreshDacVolts();
        s->refreshDacVolts();
        QVERIFY(rig.waitIdle());
        const QList<double> published{1.0, 0.0, 0.0, 0.0, 1.0, 0.75, 0.001, 0.999};
        QCOMPARE(toDoubles(s->dacVolts()), published);
        QCOMPARE(changed.count(), 1);

        // Seven values, a rejection: each one refused.
        rig.sim->overrideReply(zrf::kSdacQuery, zrf::packDoubles(QList<double>(7, 0.3)), 1);
        s->refreshDacVolts();
        QVERIFY(rig.waitIdle());
        QCOMPARE(s->lastError(), QStringLiteral("Bad SDAC? reply"));
        rig.reject(zrf::kSdacQuery);
        s->refreshDacVolts();
        QVERIFY(rig.waitIdle());
        QCOMPARE(toDoubles(s->dacVolts()), published);

        // A rejected level is not stored; the read-back shows what the instrument holds.
        rig.reject(zrf::kSdac);
        const qsizetype start = rig.mark();
        s->setDacVoltage(1, 0.6);
        s->setAllDacVoltage(0.7);
        QVERIFY(rig.waitIdle());
        QCOMPARE(rig.commands(start), (QList<unsigned char>{zrf::kSdac, zrf::kSdac, zrf::kSdacQuery}));
        QCOMPARE(s->lastError(), QStringLiteral("SDAC rejected"));
        QVERIFY(toDoubles(s->dacVolts()) == rig.sim->thresholds() && changed.count() == 2);
        // A refused EEPROM write still leaves the level taken.
        rig.reject(zrf::kWeep);
        s->setDacVoltage(1, 0.6);
        QVERIFY(rig.waitIdle());
        QCOMPARE(s->lastError(), QStringLiteral("WEEP rejected"));
        QVERIFY(s->dacVolts().at(1).toDouble() == 0.6 && changed.count() == 3);
    }

    // A held key: every level sent, the EEPROM written after the last; a slow instrument gets the newest.
    void heldKeySparesTheEeprom()
    {
        DeviceRig rig(100, 109);
        QVERIFY(rig.open());
        DeviceSession *s = rig.session.get();
        qsizetype start = rig.mark();
        for (int mv = 101; mv <= 130; ++mv) {
            s->setDacVoltage(2, mv / 1000.0);
            QTest::qWait(33); // key repeat
        }
        QTest::qWait(600);
        QVERIFY(rig.waitIdle());
        const QList<SdacFrame> sent = rig.sdacs(start);
        QVERIFY(sent.size() > 20 && sent.constLast() == SdacFrame(2, 0.130) && rig.sim->thresholds().at(2) == 0.130);
        QCOMPARE(rig.commands(start).constLast(), zrf::kWeep);

        setFault(*rig.sim, &SimFaults::replyDelayMs, 200);
        start = rig.mark();
        for (int mv = 200; mv < 210; ++mv)
            s->setDacVoltage(2, mv / 1000.0);
        QVERIFY(SessionProbe(*s).queueLength() <= 2);
        QTRY_COMPARE_WITH_TIMEOUT(s->dacVolts().at(2).toDouble(), 0.209, 3000);
        const QList<SdacFrame> slow = rig.sdacs(start); // the one on the wire, then the newest
        QVERIFY(slow.size() <= 2 && slow.constLast() == SdacFrame(2, 0.209) && rig.sim->thresholds().at(2) == 0.209);
    }
};

QTEST_GUILESS_MAIN(TestThresholds)
#include "tst_thresholds.moc"
