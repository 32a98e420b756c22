// The instrument's network settings end to end: reads, the change chain, its failures.

#include "../common/DeviceRig.h"

namespace {

QStringList shown(const DeviceSession &s) { return {s.networkMode(), s.ipAddress(), s.netmask(), s.gateway()}; }
const QStringList kUnchanged{"DHCP", "192.168.1.50", "255.255.255.0", "192.168.1.1"};

} // namespace

class TestNetwork : public QObject
{
    Q_OBJECT
    std::unique_ptr<DeviceRig> rig;
    DeviceSession *s = nullptr;

private slots:
    // The instrument on DHCP, so a failed static change shows as an unchanged mode.
    void init()
    {
        rig = std::make_unique<DeviceRig>(130, 148);
        rig->sim->setNetwork(true, "192.168.1.50", "255.255.255.0", "192.168.1.1");
        s = rig->session.get();
    }

    void chainSendsNormalisedTexts_data()
    {
        QTest::addColumn<bool>("dhcp");
        QTest::addColumn<QStringList>("typed");   // address, netmask, gateway
        QTest::addColumn<QList<QByteArray>>("sent"); // payloads of the chain, in order
        QTest::addColumn<QStringList>("result");
        const QByteArray off(1, '\0'), none; // the mode byte; the apply and WEEP bodies
        QTest::newRow("static") << false << QStringList{"192.168.001.005", "255.255.255.0", "192.168.1.1"}
                                << QList<QByteArray>{off, "192.168.1.5", "255.255.255.0", "192.168.1.1", none, none}
                                << QStringList{"Static", "192.168.1.5", "255.255.255.0", "192.168.1.1"};
        // An all-zero gateway means none and is accepted.
        QTest::newRow("no gateway") << false << QStringList{"192.168.1.5", "255.255.255.0", "0.0.0.0"}
                                    << QList<QByteArray>{off, "192.168.1.5", "255.255.255.0", "0.0.0.0", none, none}
                                    << QStringList{"Static", "192.168.1.5", "255.255.255.0", "0.0.0.0"};
        // DHCP sends no addresses, whatever was typed.
        QTest::newRow("dhcp") << true << QStringList{"not an address", "", "x"}
                              << QList<QByteArray>{QByteArray(1, '\1'), none, none} << kUnchanged;
    }

    void chainSendsNormalisedTexts()
    {
        QFETCH(bool, dhcp);
        QFETCH(QStringList, typed);
        QFETCH(QList<QByteArray>, sent);
        QFETCH(QStringList, result);
        rig->sim->setNetwork(!dhcp, "192.168.1.50", "255.255.255.0", "192.168.1.1"); // the other mode first
        QVERIFY(rig->open());
        s->applyNetwork(false, {}, {}, {}); // a message the change must clear
        QSignalSpy applying(s, &DeviceSession::networkApplyingChanged);
        const qsizetype start = rig->mark();
        s->applyNetwork(dhcp, typed[0], typed[1], typed[2]);
        QVERIFY(s->networkApplying() && !SessionProbe(*s).pollTimerActive());
        s->applyNetwork(!dhcp, {}, {}, {}); // ignored while a change runs
        QTRY_VERIFY(!s->networkApplying());
        QVERIFY(applying.count() == 2 && SessionProbe(*s).pollTimerActive());
        QList<QByteArray> payloads;
        for (const zrf::Frame &f : rig->frames(0, start))
            payloads.append(f.payload);
        QCOMPARE(payloads, sent);
        QCOMPARE(rig->commands(start).constLast(), zrf::kWeep);
        QCOMPARE(shown(*s), result);
        QCOMPARE(s->lastError(), QString());
        QVERIFY(rig->sim->dhcp() == dhcp && rig->sim->networkApplies() == 1);
    }

    // Refused by the client (nothing sent), by the instrument at a step (the chain stops), or unanswered.
    void failedChange_data()
    {
        QTest::addColumn<QString>("typed"); // address, netmask, gateway
        QTest::addColumn<int>("code");   // refused with 0x02
        QTest::addColumn<int>("unanswered"); // answered only after the time-out
        QTest::addColumn<QString>("message");
        QTest::addColumn<int>("sent"); // commands of the chain that went out
        const QString good = QStringLiteral("10.0.0.7 255.0.0.0 10.0.0.1");
        QTest::newRow("zero address") << "0.0.0.0 255.255.255.0 0.0.0.0" << -1 << -1 << "Invalid IP address" << 0;
        QTest::newRow("bad address") << "192.168.1.256 255.255.255.0 192.168.1.1" << -1 << -1 << "Invalid IP address" << 0;
        QTest::newRow("zero netmask") << "192.168.1.5 0.0.0.0 192.168.1.1" << -1 << -1 << "Invalid netmask" << 0;
        QTest::newRow("bad gateway") << "192.168.1.5 255.255.255.0 gateway" << -1 << -1 << "Invalid gateway" << 0;
        QTest::newRow("mode") << good << int(zrf::kSetDhcp) << -1 << "DHCP set rejected" << 1;
        QTest::newRow("address") << good << int(zrf::kSetIp) << -1 << "IP set rejected" << 2;
        QTest::newRow("netmask") << good << int(zrf::kSetNetmask) << -1 << "Netmask set rejected" << 3;
        QTest::newRow("gateway") << good << int(zrf::kSetGateway) << -1 << "Gateway set rejected" << 4;
        QTest::newRow("apply") << good << int(zrf::kNetApply) << -1 << "Network apply rejected" << 5;
        QTest::newRow("eeprom") << good << int(zrf::kWeep) << -1 << "WEEP rejected" << 6;
        QTest::newRow("mode unanswered") << good << -1 << int(zrf::kSetDhcp) << "No reply from device" << 1;
        QTest::newRow("apply unanswered") << good << -1 << int(zrf::kNetApply) << "No reply from device" << 5;
    }

    void failedChange()
    {
        QFETCH(QString, typed);
        QFETCH(int, code);
        QFETCH(int, unanswered);
        QFETCH(QString, message);
        QFETCH(int, sent);
        QVERIFY(rig->open());
        SimFaults faults;
        faults.rejectCommand = code;
        faults.lateCommand = unanswered;
        faults.lateDelayMs = 2300;
        rig->sim->setFaults(faults);
        QSignalSpy applying(s, &DeviceSession::networkApplyingChanged);
        const qsizetype start = rig->mark();
        const QStringList t = typed.split(u' ');
        s->applyNetwork(false, t[0], t[1], t[2]);
        QTRY_VERIFY_WITH_TIMEOUT(!s->networkApplying(), 4000);
        rig->sim->setFaults({});
        QTest::qWait(unanswered < 0 ? 50 : 500); // the late reply comes and must change nothing
        QVERIFY(rig->waitIdle());
        QCOMPARE(rig->commands(start).size(), sent);
        QCOMPARE(applying.count(), sent ? 2 : 0);
        QCOMPARE(s->lastError(), message);
        QVERIFY(SessionProbe(*s).pollTimerActive() && s->connected());
        // A refused EEPROM write: taken by the instrument, only not stored, so shown as sent.
        QCOMPARE(shown(*s), code == zrf::kWeep ? QStringList{"Static"} + t : kUnchanged);
    }

    // A change asked for during the opening exchange: the opening must not start polling under it.
    void changeDuringOpeningHoldsThePoll()
    {
        setFault(*rig->sim, &SimFaults::replyDelayMs, 300);
        s->setTcpHost(rig->address);
        s->connectToDevice(true);
        QTRY_VERIFY(s->connected());
        s->applyNetwork(true, {}, {}, {});
        QTRY_VERIFY(rig->sim->receivedCommands().contains(zrf::kSetDhcp));
        QVERIFY(s->networkApplying() && !SessionProbe(*s).pollTimerActive());
        QTRY_VERIFY_WITH_TIMEOUT(!s->networkApplying(), 10000);
        QVERIFY(SessionProbe(*s).pollTimerActive());
    }

    void readsDecodeModeAndTrimText()
    {
        QVERIFY(rig->open());
        const auto refreshed = [&] {
            s->refreshNetwork();
            return rig->waitIdle();
        };
        // One non-zero byte is DHCP; anything else Static.
        const QList<QPair<QByteArray, QString>> modes{{QByteArray(1, '\x7f'), "DHCP"}, {QByteArray(2, '\1'), "Static"},
                                                      {QByteArray(), "Static"}, {QByteArray(1, '\0'), "Static"}};
        for (const auto &m : modes) {
            rig->sim->overrideReply(zrf::kReadMode, m.first, 1);
            QVERIFY(refreshed());
            QCOMPARE(s->networkMode(), m.second);
        }
        rig->sim->overrideReply(zrf::kReadIp, " 192.168.1.77\r\n", 1);
        QVERIFY(refreshed());
        QCOMPARE(s->ipAddress(), QStringLiteral("192.168.1.77"));
        // A failed read blanks its field and reports nothing.
        rig->reject(zrf::kReadMode);
        QVERIFY(refreshed());
        QCOMPARE(s->networkMode(), QString());
        rig->reject(zrf::kReadIp);
        QVERIFY(refreshed());
        QCOMPARE(shown(*s), (QStringList{"DHCP", "", "255.255.255.0", "192.168.1.1"}));
        QCOMPARE(s->lastError(), QString());
    }
};

QTEST_GUILESS_MAIN(TestNetwork)
#include "tst_network.moc"
