#include "Ipv4.h"
#include "NetInterfaces.h"
#include "SerialPortEntry.h"
#include "zrf.h"

#include <QRandomGenerator>
#include <QtTest>

namespace {

QByteArray hex(const char *text) { return QByteArray::fromHex(text); }

// Runs the streaming decoder over `chunks` and returns every frame.
QList<zrf::Frame> streamFrames(const QList<QByteArray> &chunks)
{
    zrf::FrameDecoder decoder;
    QList<zrf::Frame> frames;
    for (const QByteArray &chunk : chunks) {
        qsizetype pos = 0;
        zrf::Frame f;
        while (decoder.feed(chunk, pos, f))
            frames.append(f);
    }
    return frames;
}

bool sameFrames(const QList<zrf::Frame> &a, const QList<zrf::Frame> &b)
{
    if (a.size() != b.size())
        return false;
    for (qsizetype i = 0; i < a.size(); ++i) {
        if (a[i].command != b[i].command || a[i].payload != b[i].payload)
            return false;
    }
    return true;
}

} // namespace

class TestCodec : public QObject
{
    Q_OBJECT
private slots:
    void encodesPeriodAndEscapes();
    void decodesBodies_data();
    void decodesBodies();
    void streamsAcrossChunks();
    void streamMatchesReferenceOnRandomBytes();
    void randomRoundTrip();
    void boundedWithoutEndByte();
    void unpacksDoubles();
    void parsesIpv4_data();
    void parsesIpv4();
    void cleansHosts();
    void choosesLocalBind();
    void recognisesInstrumentPorts();
};

void TestCodec::encodesPeriodAndEscapes()
{
    QCOMPARE(zrf::encodeFrame(0x25, zrf::packDouble(1000.0)), hex("F925080000000000408F40FA"));
    // Each special byte is escaped; the length counts unescaped bytes.
    QCOMPARE(zrf::encodeFrame(0x0F, hex("FAF9FB01")), hex("F90F04FBFDFBFCFBFE01FA"));
    QCOMPARE(zrf::encodeFrame(0x23, {}), hex("F92300FA"));
    // Only the first 255 payload bytes are sent.
    const QByteArray long300(300, 'a');
    const QByteArray frame = zrf::encodeFrame(0x0B, long300);
    QCOMPARE(quint8(frame.at(2)), quint8(255));
    QCOMPARE(frame.size(), 3 + 255 + 1);
}

void TestCodec::decodesBodies_data()
{
    QTest::addColumn<QByteArray>("stream");
    QTest::addColumn<int>("command");
    QTest::addColumn<QByteArray>("payload");
    QTest::newRow("empty payload") << hex("F92300FA") << 0x23 << QByteArray();
    QTest::newRow("escaped end byte") << hex("F90B01FBFDFA") << 0x0B << hex("FA");
    QTest::newRow("inner start restarts") << hex("F923F92300FA") << 0x23 << QByteArray();
    QTest::newRow("empty body") << hex("F9FA") << 0x02 << QByteArray();
    QTest::newRow("no length byte") << hex("F923FA") << 0x02 << QByteArray();
    QTest::newRow("length says more") << hex("F92310") + QByteArray(8, 1) + hex("FA") << 0x02 << QByteArray();
    QTest::newRow("bad escape") << hex("F90B01FB01FA") << 0x02 << QByteArray();
    QTest::newRow("trailing escape") << hex("F90B01FBFA") << 0x02 << QByteArray();
    QTest::newRow("escape then start") << hex("F90B0141FBF92300FA") << 0x02 << QByteArray();
    QTest::newRow("length FF stays unset") << hex("F923FF00FA") << 0x23 << QByteArray();
    QTest::newRow("garbage before start") << hex("0102FA03F92300FA") << 0x23 << QByteArray();
}

void TestCodec::decodesBodies()
{
    QFETCH(QByteArray, stream);
    QFETCH(int, command);
    QFETCH(QByteArray, payload);
    QByteArray buffer = stream;
    const QList<zrf::Frame> reference = zrf::extractFrames(buffer);
    QCOMPARE(reference.size(), 1);
    QCOMPARE(int(reference[0].command), command);
    QCOMPARE(reference[0].payload, payload);
    QVERIFY(buffer.isEmpty());
    QVERIFY(sameFrames(streamFrames({stream}), reference));
}

void TestCodec::streamsAcrossChunks()
{
    const QByteArray a = zrf::encodeFrame(0x23, zrf::packDoubles({1, 2, 3, 4, 5, 6, 7, 8}));
    const QByteArray b = zrf::encodeFrame(0x26, zrf::packDoubles({0.5}));
    // Partial frame: nothing yet, then the rest completes it.
    zrf::FrameDecoder decoder;
    qsizetype pos = 0;
    zrf::Frame f;
    const QByteArray first = a.left(10);
    QVERIFY(!decoder.feed(first, pos, f));
    QVERIFY(decoder.inFrame());
    const QByteArray rest = a.mid(10) + b;
    pos = 0;
    QVERIFY(decoder.feed(rest, pos, f));
    QCOMPARE(int(f.command), 0x23);
    QCOMPARE(f.payload.size(), 64);
    // Two frames in one chunk come out in order.
    QVERIFY(decoder.feed(rest, pos, f));
    QCOMPARE(int(f.command), 0x26);
    QCOMPARE(pos, rest.size());

    // The reference extractor keeps an incomplete frame for the next chunk.
    QByteArray buffer = QByteArray("junk") + a.left(5);
    QVERIFY(zrf::extractFrames(buffer).isEmpty());
    QCOMPARE(buffer, a.left(5));
}

void TestCodec::streamMatchesReferenceOnRandomBytes()
{
    // Bytes drawn mostly from the special values stress every decoder branch.
    auto *rng = QRandomGenerator::global();
    const unsigned char alphabet[] = {0xF9, 0xFA, 0xFB, 0xFC, 0xFD, 0xFE, 0xFF, 0x00, 0x01, 0x02, 0x23, 0x41};
    for (int round = 0; round < 2000; ++round) {
        QByteArray stream;
        const int len = rng->bounded(1, 80);
        for (int i = 0; i < len; ++i)
            stream.append(char(alphabet[rng->bounded(int(sizeof alphabet))]));
        QByteArray buffer = stream;
        const QList<zrf::Frame> reference = zrf::extractFrames(buffer);
        QList<QByteArray> chunks;
        for (qsizetype at = 0; at < stream.size();) {
            const int n = rng->bounded(1, 6);
            chunks.append(stream.mid(at, n));
            at += n;
        }
        QVERIFY2(sameFrames(streamFrames(chunks), reference), stream.toHex(' ').constData());
    }
}

void TestCodec::randomRoundTrip()
{
    auto *rng = QRandomGenerator::global();
    QList<zrf::Frame> sent;
    QByteArray stream;
    for (int i = 0; i < 500; ++i) {
        // Codes and lengths the wire can carry: not F9, FA, FF and not 0x02.
        unsigned char cmd;
        do {
            cmd = static_cast<unsigned char>(rng->bounded(256));
        } while (cmd == 0xF9 || cmd == 0xFA || cmd == 0xFF || cmd == 0x02);
        int len;
        do {
            len = rng->bounded(256);
        } while (len == 0xF9 || len == 0xFA || len == 0xFF);
        QByteArray payload(len, Qt::Uninitialized);
        for (char &c : payload)
            c = char(rng->bounded(256));
        sent.append({cmd, payload});
        stream += zrf::encodeFrame(cmd, payload);
    }
    QList<QByteArray> chunks;
    for (qsizetype at = 0; at < stream.size();) {
        const int n = rng->bounded(1, 700);
        chunks.append(stream.mid(at, n));
        at += n;
    }
    QVERIFY(sameFrames(streamFrames(chunks), sent));
}

void TestCodec::boundedWithoutEndByte()
{
    // A peer that opens a frame and never ends it must not grow memory.
    zrf::FrameDecoder decoder;
    QByteArray chunk(64 * 1024, 'x');
    chunk[0] = char(zrf::kStart);
    qsizetype maxHeld = 0;
    zrf::Frame f;
    for (int i = 0; i < 64; ++i) { // 4 MiB
        qsizetype pos = 0;
        QVERIFY(!decoder.feed(chunk, pos, f));
        maxHeld = qMax(maxHeld, decoder.heldBytes());
        chunk[0] = 'x';
    }
    QVERIFY(maxHeld <= zrf::kMaxPayload);
    // The long frame restarts at the next start byte and a valid reply still decodes.
    const QByteArray tail = zrf::encodeFrame(0x24, zrf::packDouble(50.0));
    qsizetype pos = 0;
    QVERIFY(decoder.feed(tail, pos, f));
    QCOMPARE(int(f.command), 0x24);
    QCOMPARE(f.payload, zrf::packDouble(50.0));
}

void TestCodec::unpacksDoubles()
{
    QList<double> out{42.0};
    for (int size : {0, 7, 12}) {
        QVERIFY(!zrf::unpackDoubles(QByteArray(size, 0), &out));
        QVERIFY(out.isEmpty());
    }
    const QList<double> values{0.0, -1.5, 1e300, 12345.678, 1000.0, 0.001, -0.0, 7.0};
    QVERIFY(zrf::unpackDoubles(zrf::packDoubles(values), &out));
    QCOMPARE(out, values);
    // Little-endian on the wire whatever the host is.
    QCOMPARE(zrf::packDouble(1.0), hex("000000000000F03F"));
}

void TestCodec::parsesIpv4_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("valid");
    QTest::addColumn<QString>("normalised");
    QTest::newRow("plain") << "10.0.0.1" << true << "10.0.0.1";
    QTest::newRow("zeros and blanks") << "  010.000.000.001 " << true << "10.0.0.1";
    QTest::newRow("three parts") << "10.0.0" << false << "";
    QTest::newRow("five parts") << "10.0.0.1.5" << false << "";
    QTest::newRow("empty part") << "10..0.1" << false << "";
    QTest::newRow("256") << "10.0.0.256" << false << "";
    QTest::newRow("negative") << "10.0.0.-1" << false << "";
    QTest::newRow("letter") << "10.0.0.a" << false << "";
    QTest::newRow("empty") << "" << false << "";
}

void TestCodec::parsesIpv4()
{
    QFETCH(QString, text);
    QFETCH(bool, valid);
    QFETCH(QString, normalised);
    QString out = QStringLiteral("untouched");
    QCOMPARE(ipv4::parseIpv4(text, &out), valid);
    QCOMPARE(out, valid ? normalised : QStringLiteral("untouched"));
}

void TestCodec::cleansHosts()
{
    QCOMPARE(ipv4::cleanHost(QStringLiteral("  192.168.001.010:1234 ")), QStringLiteral("192.168.1.10"));
    QCOMPARE(ipv4::cleanHost(QStringLiteral(" lab-counter ")), QStringLiteral("lab-counter"));
    QCOMPARE(ipv4::cleanHost(QStringLiteral("10.0.0.1 : 99")), QStringLiteral("10.0.0.1"));
    QCOMPARE(ipv4::cleanHost(QString()), QString());
}

void TestCodec::choosesLocalBind()
{
    NetInterface lo{QStringLiteral("lo"), true, true, false,
                    {{QHostAddress(QStringLiteral("192.168.7.1")), QHostAddress(QStringLiteral("255.255.255.0"))}}};
    NetInterface down{QStringLiteral("eth9"), false, false, false,
                      {{QHostAddress(QStringLiteral("192.168.7.2")), QHostAddress(QStringLiteral("255.255.255.0"))}}};
    NetInterface eth{QStringLiteral("eth0"), true, false, false,
                     {{QHostAddress(QStringLiteral("fe80::1")), QHostAddress(QStringLiteral("ffff:ffff::"))},
                      {QHostAddress(QStringLiteral("10.1.2.3")), QHostAddress(QStringLiteral("0.0.0.0"))},
                      {QHostAddress(QStringLiteral("192.168.7.20")), QHostAddress(QStringLiteral("255.255.255.0"))}}};
    const QList<NetInterface> all{lo, down, eth};
    QCOMPARE(localBindFor(QStringLiteral("192.168.7.99"), all), QHostAddress(QStringLiteral("192.168.7.20")));
    QVERIFY(localBindFor(QStringLiteral("172.16.0.1"), all).isNull());
    QVERIFY(localBindFor(QStringLiteral("not-an-address"), all).isNull());
}

void TestCodec::recognisesInstrumentPorts()
{
    SerialPortEntry byId;
    byId.hasVendorId = byId.hasProductId = true;
    byId.vendorId = 0x0483;
    byId.productId = 0x5740;
    QVERIFY(isLikelyDevice(byId));
    SerialPortEntry otherId = byId;
    otherId.productId = 0x5741;
    QVERIFY(!isLikelyDevice(otherId));
    SerialPortEntry byText;
    byText.description = QStringLiteral("stm32 virtual comport");
    QVERIFY(isLikelyDevice(byText));
    SerialPortEntry byMaker;
    byMaker.manufacturer = QStringLiteral("STMicroelectronics.");
    QVERIFY(isLikelyDevice(byMaker));
    QVERIFY(!isLikelyDevice(SerialPortEntry{}));
}

QTEST_GUILESS_MAIN(TestCodec)
#include "tst_codec.moc"
