// The instrument's network settings end to end: reads, the change chain,
// its failures and what the session publishes.

#include "DeviceRig.h"

namespace {

QString nextAddress() { return DeviceRig::nextAddress(130, 149); }

QByteArray text(const char *s) { return QByteArray(s); }

// An instrument on DHCP, so a static change that fails shows as unchanged mode.
std::unique_ptr<DeviceRig> dhcpRig()
{
    auto rig = std::make_unique<DeviceRig>(nextAddress());
    rig->sim->setNetwork(true, QStringLiteral("192.168.1.50"), QStringLiteral("255.255.255.0"),
                         QStringLiteral("192.168.1.1"));
    return rig;
}

void verifyUnchanged(const DeviceSession &s)
{
    QCOMPARE(s.networkMode(), QStringLiteral("DHCP"));
    QCOMPARE(s.ipAddress(), QStringLiteral("192.168.1.50"));
    QCOMPARE(s.netmask(), QStringLiteral("255.255.255.0"));
    QCOMPARE(s.gateway(), QStringLiteral("192.168.1.1"));
}

} // namespace

class TestNetwork : public QObject
{
    Q_OBJECT

private slots:
    void validationSendsNothing()
    {
        auto rig = dhcpRig();
        QVERIFY(rig->open());
        DeviceSession *s = rig->session.get();
        verifyUnchanged(*s);
        QSignalSpy applying(s, &DeviceSession::networkApplyingChanged);

        struct Case {
            const char *ip, *mask, *gateway, *message;
        };
        const Case cases[] = {
            {"0.0.0.0", "255.255.255.0", "0.0.0.0", "Invalid IP address"},
            {"", "255.255.255.0", "192.168.1.1", "Invalid IP address"},
            {"192.168.1.256", "255.255.255.0", "192.168.1.1", "Invalid IP address"},
            {"192.168.1.5", "0.0.0.0", "192.168.1.1", "Invalid netmask"},
            {"192.168.1.5", "255.255.255", "192.168.1.1", "Invalid netmask"},
            {"192.168.1.5", "255.255.255.0", "192.168.1", "Invalid gateway"},
            {"192.168.1.5", "255.255.255.0", "gateway", "Invalid gateway"},
        };
        QVERIFY(rig->waitIdle());
        const qsizetype start = rig->mark();
        for (const Case &c : cases) {
            s->applyNetwork(false, QString::fromUtf8(c.ip), QString::fromUtf8(c.mask),
                            QString::fromUtf8(c.gateway));
            QCOMPARE(s->lastError(), QString::fromUtf8(c.message));
            QVERIFY(!s->networkApplying());
        }
        QTest::qWait(50);
        QVERIFY(rig->commands(start).isEmpty());
        QCOMPARE(applying.count(), 0);
        verifyUnchanged(*s);

        // An all-zero gateway means none and is accepted; the message goes.
        s->applyNetwork(false, QStringLiteral("192.168.1.5"), QStringLiteral("255.255.255.0"),
                        QStringLiteral("0.0.0.0"));
        QVERIFY(s->networkApplying());
        QCOMPARE(s->lastError(), QString());
        QTRY_VERIFY(!s->networkApplying());
        QCOMPARE(s->gateway(), QStringLiteral("0.0.0.0"));
        QCOMPARE(rig->frames(zrf::kSetGateway, start).at(0).payload, text("0.0.0.0"));

        rig->session->disconnectFromDevice();
        const qsizetype closed = rig->mark();
        s->applyNetwork(true, {}, {}, {});
        s->refreshNetwork();
        QTest::qWait(50);
        QCOMPARE(rig->mark(), closed);
    }

    void staticChangeSendsNormalisedTexts()
    {
        auto rig = dhcpRig();
        QVERIFY(rig->open());
        DeviceSession *s = rig->session.get();
        QVERIFY(s->pollTimerActive());
        QSignalSpy applying(s, &DeviceSession::networkApplyingChanged);

        QVERIFY(rig->waitIdle());
        const qsizetype start = rig->mark();
        s->applyNetwork(false, QStringLiteral("192.168.001.005"), QStringLiteral("255.255.255.0"),
                        QStringLiteral("192.168.1.1"));
        QVERIFY(s->networkApplying());
        QVERIFY(!s->pollTimerActive());
        // Ignored while a change runs.
        s->applyNetwork(true, {}, {}, {});
        QTRY_VERIFY(!s->networkApplying());
        QCOMPARE(applying.count(), 2);
        QVERIFY(s->pollTimerActive());

        const QList<unsigned char> chain{zrf::kSetDhcp, zrf::kSetIp, zrf::kSetNetmask,
                                         zrf::kSetGateway, zrf::kNetApply, zrf::kWeep};
        QCOMPARE(rig->commands(start), chain);
        QCOMPARE(rig->frames(zrf::kSetDhcp, start).at(0).payload, QByteArray(1, '\0'));
        QCOMPARE(rig->frames(zrf::kSetIp, start).at(0).payload, text("192.168.1.5"));
        QCOMPARE(rig->frames(zrf::kSetNetmask, start).at(0).payload, text("255.255.255.0"));
        QCOMPARE(rig->frames(zrf::kSetGateway, start).at(0).payload, text("192.168.1.1"));
        QCOMPARE(s->networkMode(), QStringLiteral("Static"));
        QCOMPARE(s->ipAddress(), QStringLiteral("192.168.1.5"));
        QCOMPARE(rig->sim->ip(), QStringLiteral("192.168.1.5"));
        QVERIFY(!rig->sim->dhcp());
        QCOMPARE(rig->sim->networkApplies(), 1);
        QCOMPARE(rig->sim->eepromWrites(), 1);
    }

    void dhcpChangeSendsNoAddresses()
    {
        auto rig = std::make_unique<DeviceRig>(nextAddress()); // starts static
        QVERIFY(rig->open());
        DeviceSession *s = rig->session.get();
        QCOMPARE(s->networkMode(), QStringLiteral("Static"));

        QVERIFY(rig->waitIdle());
        const qsizetype start = rig->mark();
        s->applyNetwork(true, QStringLiteral("not an address"), QString(), QStringLiteral("x"));
        QTRY_VERIFY(!s->networkApplying());
        const QList<unsigned char> chain{zrf::kSetDhcp, zrf::kNetApply, zrf::kWeep};
        QCOMPARE(rig->commands(start), chain);
        QCOMPARE(rig->frames(zrf::kSetDhcp, start).at(0).payload, QByteArray(1, '\1'));
        QCOMPARE(s->networkMode(), QStringLiteral("DHCP"));
        QCOMPARE(s->ipAddress(), QStringLiteral("192.168.1.50"));
        QCOMPARE(s->lastError(), QString());
    }

    void rejectedStep_data()
    {
        QTest::addColumn<int>("code");
        QTest::addColumn<QString>("message");
        QTest::addColumn<int>("sent"); // commands of the chain that went out

        QTest::newRow("mode") << int(zrf::kSetDhcp) << "DHCP set rejected" << 1;
        QTest::newRow("address") << int(zrf::kSetIp) << "IP set rejected" << 2;
        QTest::newRow("netmask") << int(zrf::kSetNetmask) << "Netmask set rejected" << 3;
        QTest::newRow("gateway") << int(zrf::kSetGateway) << "Gateway set rejected" << 4;
        QTest::newRow("apply") << int(zrf::kNetApply) << "Network apply rejected" << 5;
        QTest::newRow("eeprom") << int(zrf::kWeep) << "WEEP rejected" << 6;
    }

    void rejectedStep()
    {
        QFETCH(int, code);
        QFETCH(QString, message);
        QFETCH(int, sent);

        auto rig = dhcpRig();
        QVERIFY(rig->open());
        DeviceSession *s = rig->session.get();
        SimFaults faults;
        faults.rejectCommand = code;
        rig->sim->setFaults(faults);

        QVERIFY(rig->waitIdle());
        const qsizetype start = rig->mark();
        s->applyNetwork(false, QStringLiteral("10.0.0.7"), QStringLiteral("255.0.0.0"),
                        QStringLiteral("10.0.0.1"));
        QTRY_VERIFY(!s->networkApplying());
        QVERIFY(rig->waitIdle());
        QCOMPARE(rig->commands(start).size(), sent);
        QCOMPARE(rig->commands(start).constLast(), static_cast<unsigned char>(code));
        QCOMPARE(s->lastError(), message);
        QVERIFY(s->pollTimerActive());
        if (code == zrf::kWeep) {
            // Taken by the instrument, only not stored: shown as sent.
            QCOMPARE(s->networkMode(), QStringLiteral("Static"));
            QCOMPARE(s->ipAddress(), QStringLiteral("10.0.0.7"));
            QCOMPARE(s->netmask(), QStringLiteral("255.0.0.0"));
            QCOMPARE(s->gateway(), QStringLiteral("10.0.0.1"));
        } else {
            verifyUnchanged(*s);
        }
    }

    void silentStepEndsTheChange()
    {
        auto rig = dhcpRig();
        QVERIFY(rig->open());
        DeviceSession *s = rig->session.get();
        QVERIFY(rig->waitIdle());
        SimFaults faults;
        faults.silent = true;
        rig->sim->setFaults(faults);

        s->applyNetwork(false, QStringLiteral("10.0.0.7"), QStringLiteral("255.0.0.0"),
                        QStringLiteral("10.0.0.1"));
        QVERIFY(!s->pollTimerActive());
        QTRY_VERIFY_WITH_TIMEOUT(!s->networkApplying(), 4000);
        QCOMPARE(s->lastError(), QStringLiteral("No reply from device"));
        QVERIFY(s->pollTimerActive());
        QVERIFY(s->connected());
        verifyUnchanged(*s);
        QCOMPARE(rig->frames(zrf::kSetIp).size(), 0);
    }

    void readsDecodeModeAndTrimText()
    {
        auto rig = std::make_unique<DeviceRig>(nextAddress());
        QVERIFY(rig->open());
        DeviceSession *s = rig->session.get();
        QCOMPARE(rig->commands().mid(2, 4),
                 (QList<unsigned char>{zrf::kReadMode, zrf::kReadIp, zrf::kReadGateway,
                                       zrf::kReadNetmask}));

        const QList<QPair<QByteArray, QString>> modes{
            {QByteArray(1, '\1'), QStringLiteral("DHCP")},
            {QByteArray(2, '\1'), QStringLiteral("Static")},
            {QByteArray(), QStringLiteral("Static")},
            {QByteArray(1, '\x7f'), QStringLiteral("DHCP")},
            {QByteArray(1, '\0'), QStringLiteral("Static")},
        };
        for (const auto &m : modes) {
            rig->sim->overrideReply(zrf::kReadMode, m.first, 1);
            s->refreshNetwork();
            QVERIFY(rig->waitIdle());
            QCOMPARE(s->networkMode(), m.second);
        }

        rig->sim->overrideReply(zrf::kReadIp, text(" 192.168.1.77\r\n"), 1);
        s->refreshNetwork();
        QVERIFY(rig->waitIdle());
        QCOMPARE(s->ipAddress(), QStringLiteral("192.168.1.77"));

        // A failed read blanks its field and reports nothing.
        SimFaults faults;
        faults.rejectCommand = zrf::kReadMode;
        rig->sim->setFaults(faults);
        s->refreshNetwork();
        QVERIFY(rig->waitIdle());
        QCOMPARE(s->networkMode(), QString());
        faults.rejectCommand = zrf::kReadIp;
        rig->sim->setFaults(faults);
        s->refreshNetwork();
        QVERIFY(rig->waitIdle());
        QCOMPARE(s->ipAddress(), QString());
        QCOMPARE(s->networkMode(), QStringLiteral("Static"));
        QCOMPARE(s->gateway(), QStringLiteral("192.168.1.1"));
        QCOMPARE(s->lastError(), QString());
    }
};

QTEST_GUILESS_MAIN(TestNetwork)
#include "tst_network.moc"
