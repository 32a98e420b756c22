// The simulated instrument: its answers, count model, stored state, fault switches and executable.

#include "DetectorModel.h"
#include "SimInstrument.h"

#include <QSerialPort>
#include <QTcpSocket>
#include <QtTest>

#include <functional>

Q_DECLARE_METATYPE(SimFaults)

namespace {

// Collects what a device sends, and the codes of the frames in it.
struct Link {
    explicit Link(QIODevice *d)
    {
        QObject::connect(d, &QIODevice::readyRead, d, [this, d] {
            const QByteArray bytes = d->readAll();
            raw += bytes;
            ++chunks;
            zrf::Frame f;
            for (qsizetype pos = 0; decoder.feed(bytes, pos, f);)
                codes += char(f.command);
        });
    }
    zrf::FrameDecoder decoder;
    QByteArray raw, codes;
    int chunks = 0;
};

QByteArray sdac(double channel, double volts) { return zrf::packDoubles({channel, volts}); }

// One count query: eight whole counts, each within five standard deviations of mean(channel).
QList<double> countsNear(SimInstrument &sim, const std::function<double(int)> &mean)
{
    QList<double> counts;
    if (!zrf::unpackDoubles(sim.respond({zrf::kCountQuery, {}}).payload, &counts) || counts.size() != 8)
        return {};
    for (int ch = 0; ch < 8; ++ch) {
        if (counts[ch] != std::round(counts[ch]) || std::abs(counts[ch] - mean(ch)) > 5 * std::sqrt(mean(ch)) + 1)
            return {};
    }
    return counts;
}

// A simulated instrument on 127.0.0.200 with these faults, and a client of it.
struct Wire {
    explicit Wire(const SimFaults &faults)
    {
        QVERIFY(sim.listenTcp(QHostAddress(QStringLiteral("127.0.0.200")), 1234));
        sim.setFaults(faults);
        socket.connectToHost(QHostAddress(QStringLiteral("127.0.0.200")), 1234);
        QTRY_COMPARE(socket.state(), QAbstractSocket::ConnectedState);
    }
    SimInstrument sim;
    QTcpSocket socket;
    Link link{&socket};
};

} // namespace

class TestSim : public QObject
{
    Q_OBJECT
private slots:
    void answersAndStoresOnWeep()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("state.json"));
        SimInstrument sim;
        sim.setStatePath(path);
        const auto code = [&sim](unsigned char cmd, const QByteArray &payload) {
            return sim.respond({cmd, payload}).command;
        };
        QCOMPARE(code(zrf::kSdac, sdac(8, 0.5)), zrf::kFailed);
        QCOMPARE(code(zrf::kSetDhcp, "\1\1"), zrf::kFailed); // the flag is one byte
        QCOMPARE(code(0x30, {}), zrf::kFailed);
        code(zrf::kPeriodSet, zrf::packDouble(1e9));
        QCOMPARE(sim.periodMs(), 60000); // clamped to 1..60000
        code(zrf::kPeriodSet, zrf::packDouble(0));
        QCOMPARE(sim.periodMs(), 1);
        code(zrf::kSdac, sdac(15, 0.25));
        QCOMPARE(code(zrf::kSdac, sdac(5, 0.7)), zrf::kSdac);
        QCOMPARE(sim.respond({zrf::kSdacQuery, {}}).payload, zrf::packDoubles({.25, .25, .25, .25, .25, .7, .25, .25}));
        code(zrf::kSetIp, "10.1.2.3");
        code(zrf::kSetDhcp, "\1");
        QVERIFY(!QFile::exists(path)); // only WEEP stores
        QCOMPARE(code(zrf::kWeep, {}), zrf::kWeep);
        SimInstrument fresh;
        fresh.setStatePath(path);
        QVERIFY(fresh.loadState());
        QCOMPARE(fresh.thresholds(), sim.thresholds());
        QVERIFY(fresh.periodMs() == 1 && fresh.ip() == QStringLiteral("10.1.2.3") && fresh.dhcp());
        // An EEPROM that cannot be written rejects WEEP.
        sim.setStatePath(dir.filePath(QStringLiteral("missing/dir/state.json")));
        QCOMPARE(code(zrf::kWeep, {}), zrf::kFailed);
    }

    void countsFollowThreshold()
    {
        SimInstrument sim;
        sim.setSeed(7);
        const double plain = sim.expectedCount(0);
        QList<double> previous;
        for (double volts : {0.1, 0.3, 0.45, 0.6, 1.0}) {
            sim.respond({zrf::kSdac, sdac(15, volts)});
            const QList<double> counts = countsNear(sim, [&sim](int ch) { return sim.expectedCount(ch); });
            QVERIFY2(!counts.isEmpty(), qPrintable(QString::number(volts)));
            for (int ch = 0; ch < 8; ++ch) {
                QVERIFY(previous.isEmpty() || counts[ch] < previous[ch] || counts[ch] == 0);
                QVERIFY(volts < 1.0 || counts[ch] <= 5);
            }
            QVERIFY(volts == 1.0 || counts.first() != counts.last()); // channels differ
            previous = counts;
        }
        // The detector model counts at its own rates; switched off, the plain model again.
        sim.setDetectorModel(true);
        for (double volts : {0.0, 0.1, 1.0}) {
            sim.respond({zrf::kSdac, sdac(15, volts)});
            QVERIFY(!countsNear(sim, [volts](int ch) { return detector::rateAbove(detector::channel(ch), volts * 1000); }).isEmpty());
        }
        sim.setDetectorModel(false);
        sim.respond({zrf::kSdac, sdac(15, 0.1)});
        QCOMPARE(sim.expectedCount(0), plain);
        sim.respond({zrf::kPeriodSet, zrf::packDouble(2000)});
        QCOMPARE(sim.expectedCount(0), 2 * plain);
    }

    void faults_data()
    {
        QTest::addColumn<SimFaults>("faults");
        QTest::addColumn<QByteArray>("codes"); // reply codes to ReadIp, ReadNetmask, ReadGateway, ReadMode
        const auto row = [](const char *name, const char *codes, void (*set)(SimFaults &)) {
            SimFaults f;
            set(f);
            QTest::newRow(name) << f << QByteArray(codes);
        };
        row("split, garbage", "\x0B\x0C\x0D\x0E", [](SimFaults &f) {
            f.splitChunk = 3;
            f.splitDelayMs = 5;
            f.garbage = QByteArray("\x01\x02\xFB\x7F", 4);
        });
        row("delay keeps order", "\x0B\x0C\x0D\x0E", [](SimFaults &f) { f.replyDelayMs = 500; });
        row("close after 2", "\x0B\x0C", [](SimFaults &f) { f.closeAfterReplies = 2; });
        row("late reply keeps order", "\x0B\x0C\x0D\x0E", [](SimFaults &f) {
            f.lateCommand = zrf::kReadIp;
            f.lateDelayMs = 400;
        });
        row("answer only 2", "\x0B\x0C", [](SimFaults &f) { f.answerOnly = 2; });
        row("drop link at 3rd", "\x0B\x0C", [](SimFaults &f) { f.dropLinkAfter = 3; });
        row("lose the 2nd netmask reply", "\x0B\x0C\x0D\x0E", [](SimFaults &f) {
            f.dropNthCommand = zrf::kReadNetmask;
            f.dropNth = 2;
        });
        row("refuse the 1st gateway read", "\x0B\x0C\x02\x0E", [](SimFaults &f) { f.rejectNthCommand = zrf::kReadGateway; });
    }

    void faults()
    {
        QFETCH(SimFaults, faults);
        QFETCH(QByteArray, codes);
        Wire w(faults);
        auto &[sim, socket, link] = w;
        QElapsedTimer clock;
        clock.start();
        socket.write(zrf::encodeFrame(zrf::kReadIp, {}) + zrf::encodeFrame(zrf::kReadNetmask, {})
                     + zrf::encodeFrame(zrf::kReadGateway, {}) + zrf::encodeFrame(zrf::kReadMode, {}));
        QTRY_COMPARE(link.codes.size(), codes.size());
        QTest::qWait(200);
        QCOMPARE(link.codes, codes);
        QVERIFY(clock.elapsed() >= faults.replyDelayMs + faults.lateDelayMs);
        if (!faults.garbage.isEmpty()) {
            QVERIFY(link.raw.startsWith(faults.garbage + char(zrf::kStart)));
            QVERIFY(link.chunks >= 8);
        }
        if (faults.closeAfterReplies > 0 || faults.dropLinkAfter > 0)
            QTRY_COMPARE(sim.clientCount(), 0);
        QCOMPARE(sim.faults().dropLinkAfter, 0); // once only
    }

    // A silent spell ends with the link up; a lost reply's command is still carried out.
    void spellEndsAndLostReplyCarriedOut()
    {
        SimFaults f;
        f.silentAfter = 1;
        f.silentForMs = 300;
        f.dropNthCommand = zrf::kSdac;
        Wire w(f);
        auto &[sim, socket, link] = w;
        socket.write(zrf::encodeFrame(zrf::kReadIp, {}) + zrf::encodeFrame(zrf::kReadNetmask, {}));
        QTRY_COMPARE(link.codes, QByteArray("\x0B"));
        QTest::qWait(400);
        socket.write(zrf::encodeFrame(zrf::kSdac, sdac(4, 0.6)) + zrf::encodeFrame(zrf::kReadGateway, {}));
        QTRY_COMPARE(link.codes, QByteArray("\x0B\x0D"));
        QCOMPARE(sim.thresholds().at(4), 0.6);
        QCOMPARE(socket.state(), QAbstractSocket::ConnectedState);
        QCOMPARE(sim.receivedCommands().size(), 4);
    }

    // A flood: whole count frames with the replies between; switched off, it ends on a whole frame.
    void flood()
    {
        SimFaults f;
        f.flood = true;
        Wire w(f);
        auto &[sim, socket, link] = w;
        QTRY_VERIFY(link.codes.size() > 10000);
        socket.write(zrf::encodeFrame(zrf::kReadIp, {}));
        QTRY_VERIFY(link.codes.contains('\x0B'));
        QCOMPARE(link.codes.count('\x0B') + link.codes.count('\x23'), link.codes.size());
        f.flood = false;
        sim.setFaults(f);
        QTest::qWait(300);
        const qsizetype after = link.raw.size();
        QTest::qWait(200);
        QCOMPARE(link.raw.size(), after);
        QVERIFY(link.raw.endsWith(char(zrf::kEnd)));
    }

    void executable()
    {
        // Refused, one case for each rule.
        const QStringList listen{"--listen", "127.0.0.201:1234"};
        const QList<QStringList> badArgs{
            {"--listen", "0.0.0.0:1234"}, {"--listen", "127.0.0.201"}, listen + QStringList{"--counts", "1,2,3,4,5,6,7,x"},
            listen + QStringList{"--counts", "1,2,3,4,5,6,7,8,9"}, listen + QStringList{"--late", "0x23"},
            listen + QStringList{"--late", "x:5"}, listen + QStringList{"--drop-nth", "0x23"},
            listen + QStringList{"--reject-nth", "0x20:0"}, listen + QStringList{"--silent-spell", "5"},
            listen + QStringList{"--levels", "0.1,0.1,0.1,0.1,0.1,0.1,0.1,1.5"},
            listen + QStringList{"--detector", "--extreme-counts"}};
        for (const QStringList &args : badArgs) {
            QProcess tool;
            tool.start(QStringLiteral(ZRF_SIM_PATH), args);
            QVERIFY2(tool.waitForFinished(5000) && tool.exitCode() != 0, qPrintable(args.join(' ')));
        }
        QProcess tool;
        tool.start(QStringLiteral(ZRF_SIM_PATH), listen + QStringList{"--pty", "--reject", "0x0B", "--counts",
                                                                      "nan,inf,-inf,-0,5e-324,1e308,7,8", "--levels",
                                                                      "0,0.125,0.25,0.375,0.5,0.625,0.75,1"});
        QTRY_VERIFY(tool.canReadLine());
        QCOMPARE(tool.readLine().trimmed(), QByteArray("listening on 127.0.0.201:1234"));
        QTRY_VERIFY(tool.canReadLine());
        const QByteArray ptyLine = tool.readLine().trimmed();
        QVERIFY(ptyLine.startsWith("pty: /dev/pts/"));
        for (int round = 0; round < 2; ++round) { // the pseudo-terminal survives a hang-up
            QSerialPort port(QString::fromUtf8(ptyLine.mid(5)));
            QVERIFY(port.open(QIODevice::ReadWrite));
            Link serial(&port);
            port.write(zrf::encodeFrame(zrf::kCountQuery, {}) + zrf::encodeFrame(zrf::kReadIp, {})
                       + zrf::encodeFrame(zrf::kSdacQuery, {}));
            QTRY_COMPARE(serial.codes, QByteArray("\x23\x02\x26")); // the read-IP rejected as told
            QVERIFY(serial.raw.contains(zrf::packDoubles({qQNaN(), qInf(), -qInf(), -0.0, 5e-324, 1e308, 7, 8})));
            QVERIFY(serial.raw.contains(zrf::packDoubles({0, 0.125, 0.25, 0.375, 0.5, 0.625, 0.75, 1})));
        }
        tool.terminate();
        QVERIFY(tool.waitForFinished(5000));
    }
};

QTEST_GUILESS_MAIN(TestSim)
#include "tst_sim.moc"
