// Comparator thresholds end to end: what reaches the instrument, in which
// order, and what the session publishes.

#include "DeviceRig.h"

namespace {
QString nextAddress() { return DeviceRig::nextAddress(100, 109); }
const QList<double> kSimDefault(8, 0.1);
}

class TestThresholds : public QObject
{
    Q_OBJECT

private slots:
    void clampsAndGuardsSingleChannel()
    {
        DeviceRig rig(nextAddress());
        QVERIFY(rig.open());
        QCOMPARE(toDoubles(rig.session->dacVolts()), kSimDefault);

        const qsizetype start = rig.mark();
        rig.session->setDacVoltage(3, 1.7);
        rig.session->setDacVoltage(3, -0.1);
        rig.session->setDacVoltage(8, 0.5);
        rig.session->setDacVoltage(-1, 0.5);
        QVERIFY(rig.waitIdle());

        // Each accepted level gets its own EEPROM write, queued only once the
        // instrument has acknowledged it, so behind the second level.
        const QList<unsigned char> expected{zrf::kSdac, zrf::kSdac, zrf::kWeep, zrf::kWeep};
        QCOMPARE(rig.commands(start), expected);
        const QList<SdacFrame> sent = rig.sdacs(start);
        QCOMPARE(sent.at(0).channel, 3.0);
        QCOMPARE(sent.at(0).volts, 1.0);
        QCOMPARE(sent.at(1).channel, 3.0);
        QCOMPARE(sent.at(1).volts, 0.0);
        QCOMPARE(rig.session->dacVolts().at(3).toDouble(), 0.0);
        QCOMPARE(rig.sim->eepromWrites(), 2);

        rig.session->disconnectFromDevice();
        const qsizetype afterClose = rig.mark();
        rig.session->setDacVoltage(0, 0.5);
        rig.session->setAllDacVoltage(0.5);
        rig.session->refreshDacVolts();
        QTest::qWait(100);
        QCOMPARE(rig.mark(), afterClose);
    }

    void allChannelsInOneCommand()
    {
        DeviceRig rig(nextAddress());
        QVERIFY(rig.open());
        QSignalSpy changed(rig.session.get(), &DeviceSession::dacVoltsChanged);

        const qsizetype start = rig.mark();
        rig.session->setAllDacVoltage(0.25);
        QVERIFY(rig.waitIdle());

        const QList<unsigned char> expected{zrf::kSdac, zrf::kWeep};
        QCOMPARE(rig.commands(start), expected);
        QCOMPARE(rig.sdacs(start).at(0).channel, 15.0);
        QCOMPARE(rig.sdacs(start).at(0).volts, 0.25);
        QCOMPARE(changed.count(), 1);
        QCOMPARE(toDoubles(rig.session->dacVolts()), QList<double>(8, 0.25));
        QCOMPARE(rig.sim->thresholds(), QList<double>(8, 0.25));

        // Same level again: still sent and stored, but nothing changed.
        rig.session->setAllDacVoltage(0.25);
        rig.session->setDacVoltage(5, 0.25);
        QVERIFY(rig.waitIdle());
        const QList<unsigned char> again{zrf::kSdac, zrf::kWeep, zrf::kSdac, zrf::kSdac,
                                         zrf::kWeep, zrf::kWeep};
        QCOMPARE(rig.commands(start), again);
        QCOMPARE(changed.count(), 1);
    }

    void readingIsClampedAndPublishedOnChangeOnly()
    {
        DeviceRig rig(nextAddress());
        QVERIFY(rig.open());
        QSignalSpy changed(rig.session.get(), &DeviceSession::dacVoltsChanged);

        const QList<double> raw{1.3, -0.2, 0.5, 0.0, 1.0, 0.75, 0.001, 0.999};
        rig.sim->overrideReply(zrf::kSdacQuery, zrf::packDoubles(raw), 2);
        rig.session->refreshDacVolts();
        rig.session->refreshDacVolts();
        QVERIFY(rig.waitIdle());
        const QList<double> published{1.0, 0.0, 0.5, 0.0, 1.0, 0.75, 0.001, 0.999};
        QCOMPARE(toDoubles(rig.session->dacVolts()), published);
        QCOMPARE(changed.count(), 1);

        // Seven values, a ragged length, a rejection: each one refused.
        rig.sim->overrideReply(zrf::kSdacQuery, zrf::packDoubles(QList<double>(7, 0.3)), 1);
        rig.session->refreshDacVolts();
        QVERIFY(rig.waitIdle());
        QCOMPARE(rig.session->lastError(), QStringLiteral("Bad SDAC? reply"));
        rig.sim->overrideReply(zrf::kSdacQuery, QByteArray(65, '\0'), 1);
        rig.session->refreshDacVolts();
        QVERIFY(rig.waitIdle());
        SimFaults faults;
        faults.rejectCommand = zrf::kSdacQuery;
        rig.sim->setFaults(faults);
        rig.session->refreshDacVolts();
        QVERIFY(rig.waitIdle());
        QCOMPARE(toDoubles(rig.session->dacVolts()), published);
        QCOMPARE(changed.count(), 1);
    }

    void rejectionsAreReported()
    {
        DeviceRig rig(nextAddress());
        QVERIFY(rig.open());
        QSignalSpy changed(rig.session.get(), &DeviceSession::dacVoltsChanged);

        SimFaults faults;
        faults.rejectCommand = zrf::kSdac;
        rig.sim->setFaults(faults);
        qsizetype start = rig.mark();
        rig.session->setDacVoltage(1, 0.6);
        rig.session->setAllDacVoltage(0.7);
        QVERIFY(rig.waitIdle());
        // Not accepted: no EEPROM write and nothing published.
        QCOMPARE(rig.commands(start), (QList<unsigned char>{zrf::kSdac, zrf::kSdac}));
        QCOMPARE(rig.session->lastError(), QStringLiteral("SDAC rejected"));
        QCOMPARE(changed.count(), 0);
        QCOMPARE(toDoubles(rig.session->dacVolts()), kSimDefault);

        faults.rejectCommand = zrf::kWeep;
        rig.sim->setFaults(faults);
        rig.session->setDacVoltage(1, 0.6);
        QVERIFY(rig.waitIdle());
        QCOMPARE(rig.session->lastError(), QStringLiteral("WEEP rejected"));
        // The level itself was taken.
        QCOMPARE(rig.session->dacVolts().at(1).toDouble(), 0.6);
        QCOMPARE(changed.count(), 1);
    }
};

QTEST_GUILESS_MAIN(TestThresholds)
#include "tst_thresholds.moc"
