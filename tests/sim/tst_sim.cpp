// The simulated instrument, driven the way a client drives it: plain sockets
// and a plain serial port, frames built with the shared codec.

#include "SimInstrument.h"

#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QSerialPort>
#include <QSignalSpy>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QtTest>

namespace {

const QHostAddress kSimAddress(QStringLiteral("127.0.0.200"));
constexpr quint16 kPort = 1234;

// Collects everything a device sends and the frames in it.
struct Link {
    QIODevice *dev = nullptr;
    zrf::FrameDecoder decoder;
    QByteArray raw;
    int chunks = 0;
    QList<zrf::Frame> frames;

    void attach(QIODevice *d)
    {
        dev = d;
        QObject::connect(d, &QIODevice::readyRead, d, [this] {
            const QByteArray bytes = dev->readAll();
            raw += bytes;
            ++chunks;
            qsizetype pos = 0;
            zrf::Frame f;
            while (decoder.feed(bytes, pos, f))
                frames.append(f);
        });
    }
    void send(unsigned char cmd, const QByteArray &payload = {})
    {
        dev->write(zrf::encodeFrame(cmd, payload));
    }
    // Sends one request and waits for the next frame.
    zrf::Frame ask(unsigned char cmd, const QByteArray &payload = {})
    {
        const qsizetype before = frames.size();
        send(cmd, payload);
        if (!QTest::qWaitFor([&] { return frames.size() > before; }, 3000))
            return {0xFF, QByteArrayLiteral("no reply")};
        return frames.at(before);
    }
};

QList<double> doubles(const QByteArray &payload)
{
    QList<double> v;
    zrf::unpackDoubles(payload, &v);
    return v;
}

QByteArray sdac(double channel, double volts)
{
    return zrf::packDoubles({channel, volts});
}

} // namespace

class TestSim : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void networkCommands();
    void periodAndDac();
    void countsFollowThreshold();
    void scriptedReplies();
    void stateFile();
    void faultsShapeReplies();
    void faultsBreakReplies();
    void delayKeepsOrder();
    void closeAfterReplies();
    void ptyLink();
    void toolRefusesOtherAddresses();
    void toolServesWithFaults();

private:
    SimInstrument *m_sim = nullptr;
    QTcpSocket *m_socket = nullptr;
    Link m_link;
};

void TestSim::init()
{
    m_sim = new SimInstrument;
    m_sim->setSeed(7);
    QVERIFY(m_sim->listenTcp(kSimAddress, kPort));
    m_socket = new QTcpSocket;
    m_link = Link();
    m_link.attach(m_socket);
    m_socket->connectToHost(kSimAddress, kPort);
    QTRY_COMPARE(m_socket->state(), QAbstractSocket::ConnectedState);
}

void TestSim::cleanup()
{
    delete m_socket;
    m_socket = nullptr;
    delete m_sim;
    m_sim = nullptr;
}

void TestSim::networkCommands()
{
    QCOMPARE(m_link.ask(zrf::kReadIp).payload, QByteArray("192.168.1.50"));
    QCOMPARE(m_link.ask(zrf::kReadNetmask).payload, QByteArray("255.255.255.0"));
    QCOMPARE(m_link.ask(zrf::kReadGateway).payload, QByteArray("192.168.1.1"));
    QCOMPARE(m_link.ask(zrf::kReadMode).payload, QByteArray(1, '\0'));

    const zrf::Frame setIp = m_link.ask(zrf::kSetIp, "10.0.0.7");
    QCOMPARE(setIp.command, zrf::kSetIp);
    QVERIFY(setIp.payload.isEmpty());
    m_link.ask(zrf::kSetNetmask, "255.255.0.0");
    m_link.ask(zrf::kSetGateway, "10.0.0.1");
    QCOMPARE(m_link.ask(zrf::kSetDhcp, QByteArray(1, '\1')).command, zrf::kSetDhcp);
    QCOMPARE(m_link.ask(zrf::kReadIp).payload, QByteArray("10.0.0.7"));
    QCOMPARE(m_link.ask(zrf::kReadMode).payload, QByteArray(1, '\1'));
    QCOMPARE(m_sim->gateway(), QStringLiteral("10.0.0.1"));
    QCOMPARE(m_sim->netmask(), QStringLiteral("255.255.0.0"));

    // DHCP flag must be exactly one byte.
    QCOMPARE(m_link.ask(zrf::kSetDhcp, QByteArray(2, '\1')).command, zrf::kFailed);
    QCOMPARE(m_link.ask(zrf::kSetDhcp).command, zrf::kFailed);

    QCOMPARE(m_link.ask(zrf::kNetApply).command, zrf::kNetApply);
    QCOMPARE(m_sim->networkApplies(), 1);

    const zrf::Frame unknown = m_link.ask(0x30);
    QCOMPARE(unknown.command, zrf::kFailed);
    QVERIFY(unknown.payload.isEmpty());

    QCOMPARE(m_sim->receivedCommands().first(), zrf::kReadIp);
    QCOMPARE(m_sim->received().at(4).payload, QByteArray("10.0.0.7"));
    QVERIFY(m_sim->rawReceived().startsWith(zrf::encodeFrame(zrf::kReadIp, {})));
}

void TestSim::periodAndDac()
{
    QCOMPARE(doubles(m_link.ask(zrf::kPeriodQuery).payload), QList<double>{1000.0});
    QCOMPARE(m_link.ask(zrf::kPeriodSet, zrf::packDouble(250)).command, zrf::kPeriodSet);
    QCOMPARE(doubles(m_link.ask(zrf::kPeriodQuery).payload), QList<double>{250.0});
    // Out-of-range periods are clamped, not refused.
    m_link.ask(zrf::kPeriodSet, zrf::packDouble(0));
    QCOMPARE(m_sim->periodMs(), 1);
    m_link.ask(zrf::kPeriodSet, zrf::packDouble(1e9));
    QCOMPARE(m_sim->periodMs(), 60000);
    QCOMPARE(m_link.ask(zrf::kPeriodSet, QByteArray(7, '\0')).command, zrf::kFailed);
    QCOMPARE(m_link.ask(zrf::kPeriodSet, zrf::packDouble(qQNaN())).command, zrf::kFailed);

    QCOMPARE(doubles(m_link.ask(zrf::kSdacQuery).payload), QList<double>(8, 0.1));
    QCOMPARE(m_link.ask(zrf::kSdac, sdac(3, 0.4)).command, zrf::kSdac);
    QList<double> expected(8, 0.1);
    expected[3] = 0.4;
    QCOMPARE(doubles(m_link.ask(zrf::kSdacQuery).payload), expected);
    QCOMPARE(m_link.ask(zrf::kSdac, sdac(15, 0.25)).command, zrf::kSdac);
    QCOMPARE(doubles(m_link.ask(zrf::kSdacQuery).payload), QList<double>(8, 0.25));

    for (const QByteArray &bad : {sdac(8, 0.5), sdac(-1, 0.5), sdac(2.5, 0.5), sdac(1, qQNaN()),
                                  zrf::packDouble(1), sdac(1, 0.5) + QByteArray(1, '\0')})
        QCOMPARE(m_link.ask(zrf::kSdac, bad).command, zrf::kFailed);
    QCOMPARE(m_sim->thresholds(), QList<double>(8, 0.25));
}

void TestSim::countsFollowThreshold()
{
    QList<double> previous;
    for (double volts : {0.1, 0.3, 0.45, 0.6}) {
        m_link.ask(zrf::kSdac, sdac(15, volts));
        const QList<double> counts = doubles(m_link.ask(zrf::kCountQuery).payload);
        QCOMPARE(counts.size(), 8);
        for (int ch = 0; ch < 8; ++ch) {
            QVERIFY(counts[ch] >= 0);
            QCOMPARE(counts[ch], std::round(counts[ch]));
            // Within five standard deviations of the model.
            const double mean = m_sim->expectedCount(ch);
            QVERIFY2(std::abs(counts[ch] - mean) <= 5 * std::sqrt(mean) + 1,
                     qPrintable(QStringLiteral("ch %1: %2 vs %3").arg(ch).arg(counts[ch]).arg(mean)));
            if (!previous.isEmpty())
                QVERIFY(counts[ch] < previous[ch] || counts[ch] == 0);
        }
        previous = counts;
    }
    // Channels differ from each other.
    QVERIFY(previous.first() != previous.last());

    m_link.ask(zrf::kSdac, sdac(15, 1.0));
    for (double c : doubles(m_link.ask(zrf::kCountQuery).payload))
        QVERIFY(c <= 5);

    // A longer gate collects more.
    m_sim->setThresholds(QList<double>(8, 0.1));
    const double oneSecond = m_sim->expectedCount(0);
    m_link.ask(zrf::kPeriodSet, zrf::packDouble(2000));
    QCOMPARE(m_sim->expectedCount(0), 2 * oneSecond);
}

void TestSim::scriptedReplies()
{
    const QList<double> seven = {1, 2, 3, 4, 5, 6, 7};
    m_sim->setFixedCounts(seven);
    QCOMPARE(doubles(m_link.ask(zrf::kCountQuery).payload), seven);
    m_sim->setFixedCounts({});
    QCOMPARE(doubles(m_link.ask(zrf::kCountQuery).payload).size(), 8);

    m_sim->overrideReply(zrf::kPeriodQuery, QByteArray(12, 'x'), 2);
    QCOMPARE(m_link.ask(zrf::kPeriodQuery).payload, QByteArray(12, 'x'));
    QCOMPARE(m_link.ask(zrf::kPeriodQuery).payload, QByteArray(12, 'x'));
    QCOMPARE(doubles(m_link.ask(zrf::kPeriodQuery).payload), QList<double>{1000.0});

    // Payload bytes that need escaping go out escaped and come back intact.
    const QByteArray special("\xF9\xFA\xFB", 3);
    m_sim->overrideReply(zrf::kReadIp, special);
    QCOMPARE(m_link.ask(zrf::kReadIp).payload, special);
    QCOMPARE(m_link.ask(zrf::kReadIp).payload, special);
    m_sim->clearOverrides();
    QCOMPARE(m_link.ask(zrf::kReadIp).payload, QByteArray("192.168.1.50"));
}

void TestSim::stateFile()
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("state.json"));
    m_sim->setStatePath(path);
    QVERIFY(!m_sim->loadState()); // nothing written yet

    m_link.ask(zrf::kSdac, sdac(5, 0.7));
    m_link.ask(zrf::kPeriodSet, zrf::packDouble(500));
    m_link.ask(zrf::kSetIp, "10.1.2.3");
    m_link.ask(zrf::kSetDhcp, QByteArray(1, '\1'));
    QVERIFY(!QFile::exists(path)); // only WEEP stores
    QCOMPARE(m_link.ask(zrf::kWeep).command, zrf::kWeep);
    QCOMPARE(m_sim->eepromWrites(), 1);
    QVERIFY(QFile::exists(path));

    SimInstrument fresh;
    fresh.setStatePath(path);
    QVERIFY(fresh.loadState());
    QCOMPARE(fresh.thresholds(), m_sim->thresholds());
    QCOMPARE(fresh.periodMs(), 500);
    QCOMPARE(fresh.ip(), QStringLiteral("10.1.2.3"));
    QVERIFY(fresh.dhcp());

    // A damaged file changes nothing.
    QFile f(path);
    QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    f.write(R"({"thresholds":[0.1],"periodMs":5})");
    f.close();
    QVERIFY(!fresh.loadState());
    QCOMPARE(fresh.periodMs(), 500);

    // An EEPROM that cannot be written rejects WEEP.
    m_sim->setStatePath(dir.filePath(QStringLiteral("missing/dir/state.json")));
    QCOMPARE(m_link.ask(zrf::kWeep).command, zrf::kFailed);
    QCOMPARE(m_sim->eepromWrites(), 1);
}

void TestSim::faultsShapeReplies()
{
    SimFaults f;
    f.splitChunk = 3;
    f.splitDelayMs = 20;
    f.garbage = QByteArray("\x01\x02\xFB\x7F", 4);
    m_sim->setFaults(f);
    const zrf::Frame reply = m_link.ask(zrf::kPeriodQuery);
    QCOMPARE(reply.command, zrf::kPeriodQuery);
    QCOMPARE(doubles(reply.payload), QList<double>{1000.0});
    QVERIFY(m_link.raw.startsWith(f.garbage + char(zrf::kStart)));
    // 4 garbage + 12 frame bytes in pieces of 3, each its own write.
    QCOMPARE(m_link.raw.size(), 16);
    QVERIFY2(m_link.chunks >= 4, qPrintable(QString::number(m_link.chunks)));

    f = SimFaults();
    f.rejectCommand = zrf::kCountQuery;
    f.wrongCodeCommand = zrf::kPeriodQuery;
    f.wrongLengthCommand = zrf::kSdacQuery;
    m_sim->setFaults(f);
    QCOMPARE(m_link.ask(zrf::kCountQuery).command, zrf::kFailed);
    const zrf::Frame wrongCode = m_link.ask(zrf::kPeriodQuery);
    QVERIFY(wrongCode.command != zrf::kPeriodQuery && wrongCode.command != zrf::kFailed);
    QCOMPARE(doubles(wrongCode.payload), QList<double>{1000.0});
    m_link.raw.clear();
    // The length byte disagrees with the payload, so the frame decodes as invalid.
    QCOMPARE(m_link.ask(zrf::kSdacQuery).command, zrf::kFailed);
    QVERIFY(quint8(m_link.raw.at(2)) != 64);
    QCOMPARE(m_link.ask(zrf::kReadIp).command, zrf::kReadIp); // other commands untouched
}

void TestSim::faultsBreakReplies()
{
    SimFaults f;
    f.silent = true;
    m_sim->setFaults(f);
    m_link.send(zrf::kPeriodQuery);
    QTRY_COMPARE(m_sim->received().size(), 1);
    QTest::qWait(200);
    QVERIFY(m_link.raw.isEmpty());

    f = SimFaults();
    f.dropEvery = 2;
    m_sim->setFaults(f);
    m_sim->clearReceived();
    for (unsigned char cmd : {zrf::kReadIp, zrf::kReadNetmask, zrf::kReadGateway, zrf::kReadMode})
        m_link.send(cmd);
    QTRY_COMPARE(m_sim->received().size(), 4);
    QTRY_COMPARE(m_link.frames.size(), 2);
    QTest::qWait(100);
    QCOMPARE(m_link.frames.size(), 2);
    QCOMPARE(m_link.frames.at(0).command, zrf::kReadIp);
    QCOMPARE(m_link.frames.at(1).command, zrf::kReadGateway);
}

void TestSim::delayKeepsOrder()
{
    SimFaults f;
    f.replyDelayMs = 1000;
    m_sim->setFaults(f);
    for (unsigned char cmd : {zrf::kReadIp, zrf::kPeriodQuery, zrf::kReadMode})
        m_link.send(cmd);
    QTRY_COMPARE(m_sim->received().size(), 3);
    QTest::qWait(200);
    QVERIFY(m_link.frames.isEmpty());
    QTRY_COMPARE_WITH_TIMEOUT(m_link.frames.size(), 3, 5000);
    QCOMPARE(m_link.frames.at(0).command, zrf::kReadIp);
    QCOMPARE(m_link.frames.at(1).command, zrf::kPeriodQuery);
    QCOMPARE(m_link.frames.at(2).command, zrf::kReadMode);
}

void TestSim::closeAfterReplies()
{
    SimFaults f;
    f.closeAfterReplies = 2;
    m_sim->setFaults(f);
    QSignalSpy gone(m_sim, &SimInstrument::clientDisconnected);
    for (int i = 0; i < 3; ++i)
        m_link.send(zrf::kReadIp);
    QTRY_COMPARE(m_socket->state(), QAbstractSocket::UnconnectedState);
    QCOMPARE(m_link.frames.size(), 2);
    QTRY_COMPARE(gone.size(), 1);
    QCOMPARE(m_sim->clientCount(), 0);

    // A new client gets its own count, and closeConnections drops it at once.
    QTcpSocket second;
    Link link;
    link.attach(&second);
    second.connectToHost(kSimAddress, kPort);
    QTRY_COMPARE(m_sim->clientCount(), 1);
    QCOMPARE(link.ask(zrf::kReadMode).command, zrf::kReadMode);
    m_sim->closeConnections();
    QTRY_COMPARE(second.state(), QAbstractSocket::UnconnectedState);
}

void TestSim::ptyLink()
{
    const QString path = m_sim->openPty();
    QVERIFY(path.startsWith(QStringLiteral("/dev/pts/")));
    QCOMPARE(m_sim->ptyPaths(), QStringList{path});
    // Nobody on the slave yet: the master must still be usable later.
    QTest::qWait(120);

    for (int round = 0; round < 2; ++round) {
        QSerialPort port(path);
        port.setBaudRate(115200);
        QVERIFY2(port.open(QIODevice::ReadWrite), qPrintable(port.errorString()));
        Link link;
        link.attach(&port);
        QCOMPARE(doubles(link.ask(zrf::kPeriodQuery).payload), QList<double>{1000.0});
        QCOMPARE(link.ask(zrf::kSdac, sdac(15, 0.5)).command, zrf::kSdac);
        // Escaped bytes pass the line unchanged (raw mode both ways).
        m_sim->overrideReply(zrf::kReadIp, QByteArray("\x11\x13\r\n\xFA", 5), 1);
        QCOMPARE(link.ask(zrf::kReadIp).payload, QByteArray("\x11\x13\r\n\xFA", 5));
        port.close(); // the master sees a hang-up and must recover
        QTest::qWait(120);
    }
    QCOMPARE(m_sim->thresholds(), QList<double>(8, 0.5));
}

void TestSim::toolRefusesOtherAddresses()
{
    for (const QString &listen : {QStringLiteral("10.1.2.3:1234"), QStringLiteral("0.0.0.0:1234"),
                                  QStringLiteral("127.0.0.201")}) {
        QProcess tool;
        tool.start(QStringLiteral(ZRF_SIM_PATH), {QStringLiteral("--listen"), listen});
        QVERIFY(tool.waitForFinished(5000));
        QVERIFY(tool.exitCode() != 0);
        QVERIFY(tool.readAllStandardOutput().isEmpty());
    }
    QProcess help;
    help.start(QStringLiteral(ZRF_SIM_PATH), {QStringLiteral("--help")});
    QVERIFY(help.waitForFinished(5000));
    const QByteArray text = help.readAllStandardOutput();
    for (const char *opt : {"--listen", "--pty", "--state", "--delay", "--silent", "--drop-every",
                            "--drop-prob", "--split", "--split-delay", "--garbage", "--reject",
                            "--wrong-code", "--wrong-length", "--close-after", "--allow-any-address"})
        QVERIFY2(text.contains(opt), opt);
}

void TestSim::toolServesWithFaults()
{
    QProcess tool;
    tool.start(QStringLiteral(ZRF_SIM_PATH),
               {QStringLiteral("--listen"), QStringLiteral("127.0.0.201:1234"), QStringLiteral("--pty"),
                QStringLiteral("--reject"), QStringLiteral("0x23"), QStringLiteral("--garbage"),
                QStringLiteral("5")});
    QVERIFY(tool.waitForStarted(5000));
    QTRY_VERIFY(tool.canReadLine());
    QCOMPARE(tool.readLine().trimmed(), QByteArray("listening on 127.0.0.201:1234"));
    QTRY_VERIFY(tool.canReadLine());
    const QByteArray ptyLine = tool.readLine().trimmed();
    QVERIFY(ptyLine.startsWith("pty: /dev/pts/"));

    QTcpSocket socket;
    Link link;
    link.attach(&socket);
    socket.connectToHost(QHostAddress(QStringLiteral("127.0.0.201")), kPort);
    QTRY_COMPARE(socket.state(), QAbstractSocket::ConnectedState);
    QCOMPARE(link.ask(zrf::kCountQuery).command, zrf::kFailed);
    QCOMPARE(link.ask(zrf::kReadMode).command, zrf::kReadMode);
    QCOMPARE(link.raw.size(), 2 * (5 + 4) + 1);
    // The stray bytes never hold a start or end byte.
    QCOMPARE(link.raw.count(char(zrf::kStart)), 2);
    QCOMPARE(link.raw.count(char(zrf::kEnd)), 2);

    QSerialPort port(QString::fromUtf8(ptyLine.mid(5)));
    QVERIFY(port.open(QIODevice::ReadWrite));
    Link serial;
    serial.attach(&port);
    QCOMPARE(serial.ask(zrf::kReadIp).payload, QByteArray("192.168.1.50"));

    tool.terminate();
    QVERIFY(tool.waitForFinished(5000));
}

QTEST_GUILESS_MAIN(TestSim)
#include "tst_sim.moc"
