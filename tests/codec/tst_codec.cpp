#include "Ipv4.h"
#include "NetInterfaces.h"
#include "SerialPortEntry.h"
#include "zrf.h"

#include <QRandomGenerator>
#include <QtTest>

namespace {

QByteArray hex(const char *text) { return QByteArray::fromHex(text); }

// Each frame as its command byte followed by its payload, for easy comparing.
QList<QByteArray> flat(const QList<zrf::Frame> &frames)
{
    QList<QByteArray> out;
    for (const zrf::Frame &f : frames)
        out.append(char(f.command) + f.payload);
    return out;
}

// Runs the streaming decoder over `stream` cut into pieces of 1..maxChunk bytes.
QList<QByteArray> streamed(const QByteArray &stream, int maxChunk)
{
    zrf::FrameDecoder decoder;
    QList<zrf::Frame> frames;
    zrf::Frame f;
    for (qsizetype at = 0; at < stream.size();) {
        const QByteArray chunk = stream.mid(at, QRandomGenerator::global()->bounded(1, maxChunk + 1));
        at += chunk.size();
        for (qsizetype pos = 0; decoder.feed(chunk, pos, f);)
            frames.append(f);
    }
    return flat(frames);
}

} // namespace

class TestCodec : public QObject
{
    Q_OBJECT
private slots:
    void encodesPeriodAndEscapes()
    {
        QCOMPARE(zrf::encodeFrame(0x25, zrf::packDouble(1000.0)), hex("F925080000000000408F40FA"));
        // Each special byte is escaped; the length counts unescaped bytes.
        QCOMPARE(zrf::encodeFrame(0x0F, hex("FAF9FB01")), hex("F90F04FBFDFBFCFBFE01FA"));
        // Only the first 255 payload bytes are sent.
        const QByteArray frame = zrf::encodeFrame(0x0B, QByteArray(300, 'a'));
        QCOMPARE(quint8(frame.at(2)), quint8(255));
        QCOMPARE(frame.size(), 3 + 255 + 1);
    }

    void decodes_data()
    {
        QTest::addColumn<QByteArray>("stream");
        QTest::addColumn<QList<QByteArray>>("frames"); // command byte + payload each
        QTest::addColumn<QByteArray>("left");          // what the extractor keeps
        const QByteArray counts = zrf::packDoubles({1, 2, 3, 4, 5, 6, 7, 8});
        const QByteArray a = zrf::encodeFrame(0x23, counts);
        const QByteArray b = zrf::encodeFrame(0x26, zrf::packDouble(0.5));
        QTest::newRow("empty payload") << hex("F92300FA") << QList<QByteArray>{"\x23"} << QByteArray();
        QTest::newRow("escaped end byte") << hex("F90B01FBFDFA") << QList<QByteArray>{hex("0BFA")} << QByteArray();
        QTest::newRow("two frames") << a + b << flat({{0x23, counts}, {0x26, zrf::packDouble(0.5)}})
                                    << QByteArray();
        QTest::newRow("junk, partial frame") << "junk" + a.left(5) << QList<QByteArray>{} << a.left(5);
        QTest::newRow("inner start restarts") << hex("F923F92300FA") << QList<QByteArray>{"\x23"} << QByteArray();
        QTest::newRow("garbage before start") << hex("0102FA03F92300FA") << QList<QByteArray>{"\x23"} << QByteArray();
        QTest::newRow("length FF stays unset") << hex("F923FF00FA") << QList<QByteArray>{"\x23"} << QByteArray();
        // Invalid bodies decode as code 0x02 with no payload.
        const QList<QByteArray> bad{"\x02"};
        QTest::newRow("empty body") << hex("F9FA") << bad << QByteArray();
        QTest::newRow("no length byte") << hex("F923FA") << bad << QByteArray();
        QTest::newRow("length says more") << hex("F92310") + QByteArray(8, 1) + hex("FA") << bad << QByteArray();
        QTest::newRow("bad escape") << hex("F90B01FB01FA") << bad << QByteArray();
        QTest::newRow("trailing escape") << hex("F90B01FBFA") << bad << QByteArray();
        QTest::newRow("escape then start") << hex("F90B0141FBF92300FA") << bad << QByteArray();
    }

    void decodes()
    {
        QFETCH(QByteArray, stream);
        QFETCH(QList<QByteArray>, frames);
        QFETCH(QByteArray, left);
        QByteArray buffer = stream;
        QCOMPARE(flat(zrf::extractFrames(buffer)), frames);
        QCOMPARE(buffer, left);
        QCOMPARE(streamed(stream, int(stream.size())), frames);
        QCOMPARE(streamed(stream, 1), frames);
    }

    // Streams of mostly special bytes decode alike in both decoders; wire-safe frames survive any cut.
    void randomStreams()
    {
        auto *rng = QRandomGenerator::global();
        const char alphabet[] = "\xF9\xFA\xFB\xFC\xFD\xFE\xFF\x01\x02\x23\x41";
        for (int round = 0; round < 2000; ++round) {
            QByteArray stream;
            for (int i = rng->bounded(1, 80); i > 0; --i)
                stream.append(alphabet[rng->bounded(int(sizeof alphabet))]); // includes the NUL
            QByteArray buffer = stream;
            QVERIFY2(streamed(stream, 5) == flat(zrf::extractFrames(buffer)), stream.toHex(' ').constData());
        }
        QList<zrf::Frame> sent;
        QByteArray stream;
        const auto wireSafe = [](int v) { return v != 0xF9 && v != 0xFA && v != 0xFF; };
        while (sent.size() < 500) {
            const int cmd = rng->bounded(256), len = rng->bounded(256);
            if (!wireSafe(cmd) || cmd == 0x02 || !wireSafe(len))
                continue;
            QByteArray payload(len, Qt::Uninitialized);
            for (char &c : payload)
                c = char(rng->bounded(256));
            sent.append({static_cast<unsigned char>(cmd), payload});
            stream += zrf::encodeFrame(cmd, payload);
        }
        QCOMPARE(streamed(stream, 700), flat(sent));
    }

    void boundedWithoutEndByte()
    {
        // A peer that opens a frame and never ends it must not grow memory.
        zrf::FrameDecoder decoder;
        QByteArray chunk(64 * 1024, 'x');
        chunk[0] = char(zrf::kStart);
        zrf::Frame f;
        for (int i = 0; i < 64; ++i) { // 4 MiB
            qsizetype pos = 0;
            QVERIFY(!decoder.feed(chunk, pos, f) && decoder.heldBytes() <= zrf::kMaxPayload);
            chunk[0] = 'x';
        }
        // The long frame restarts at the next start byte and a valid reply still decodes.
        qsizetype pos = 0;
        QVERIFY(decoder.feed(zrf::encodeFrame(0x24, zrf::packDouble(50.0)), pos, f));
        QCOMPARE(flat({f}), flat({{0x24, zrf::packDouble(50.0)}}));
    }

    void unpacksDoubles()
    {
        QList<double> out{42.0};
        for (int size : {0, 7, 12})
            QVERIFY(!zrf::unpackDoubles(QByteArray(size, 0), &out) && out.isEmpty());
        const QList<double> values{0.0, -1.5, 1e300, 12345.678, 1000.0, 0.001, -0.0, 7.0};
        QVERIFY(zrf::unpackDoubles(zrf::packDoubles(values), &out));
        QCOMPARE(out, values);
        QCOMPARE(zrf::packDouble(1.0), hex("000000000000F03F")); // little-endian on any host
    }

    // The strict parse (empty: refused), the home box's (trimmed), the settings fields' (as typed), and hostness.
    void typedAddresses_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("strict");
        QTest::addColumn<QString>("home");
        QTest::addColumn<QString>("keep");
        QTest::addColumn<bool>("host");
        QTest::newRow("plain") << "10.0.0.1" << "10.0.0.1" << "10.0.0.1" << "10.0.0.1" << true;
        QTest::newRow("leading zeros") << "010.001.000.009" << "10.1.0.9" << "10.1.0.9" << "10.1.0.9" << true;
        QTest::newRow("padded") << "  192.168.001.010 " << "192.168.1.10" << "192.168.1.10" << "192.168.1.10" << true;
        QTest::newRow("lenient digits") << "12ab.1.2.3" << "" << "12.1.2.3" << "12.1.2.3" << true;
        QTest::newRow("blank inside a piece") << "1. 2.3.4" << "1.2.3.4" << "1.2.3.4" << "1.2.3.4" << true;
        QTest::newRow("three pieces") << " 1.2.3 " << "" << "1.2.3" << " 1.2.3 " << false;
        QTest::newRow("out of range") << " 1.2.3.256" << "" << "1.2.3.256" << " 1.2.3.256" << false;
        QTest::newRow("negative") << "1.2.3.-4" << "" << "1.2.3.-4" << "1.2.3.-4" << false;
        QTest::newRow("minus zero") << "1.2.3.-0" << "1.2.3.0" << "1.2.3.0" << "1.2.3.0" << true;
        QTest::newRow("empty piece") << "1..3.4" << "" << "1..3.4" << "1..3.4" << false;
        QTest::newRow("all zeros") << "000.0.0.0" << "0.0.0.0" << "0.0.0.0" << "0.0.0.0" << false;
        QTest::newRow("empty") << "" << "" << "" << "" << false;
        QTest::newRow("five pieces") << "1.2.3.4.5" << "" << "1.2.3.4.5" << "1.2.3.4.5" << false;
        QTest::newRow("a dot at the end") << "10.0.0.7." << "" << "10.0.0.7." << "10.0.0.7." << false;
        QTest::newRow("a letter") << "10.0.0.a" << "" << "10.0.0.a" << "10.0.0.a" << false;
    }
    void typedAddresses()
    {
        QFETCH(QString, text);
        QFETCH(QString, strict);
        QFETCH(QString, home);
        QFETCH(QString, keep);
        QFETCH(bool, host);
        QString out = QStringLiteral("untouched");
        QCOMPARE(ipv4::parseIpv4(text, &out), !strict.isEmpty());
        QCOMPARE(out, strict.isEmpty() ? QStringLiteral("untouched") : strict);
        QCOMPARE(ipv4::normalizeLenient(text, text.trimmed()), home);
        QCOMPARE(ipv4::normalizeLenient(text, text), keep);
        QCOMPARE(ipv4::isHostAddress(text), host);
    }

    void choosesLocalBind()
    {
        const auto entry = [](const char *ip, const char *mask) {
            return NetAddressEntry{QHostAddress(QLatin1String(ip)), QHostAddress(QLatin1String(mask))};
        };
        const QList<NetInterface> all{
            {QStringLiteral("lo"), true, true, false, {entry("192.168.7.1", "255.255.255.0")}},
            {QStringLiteral("eth9"), false, false, false, {entry("192.168.7.2", "255.255.255.0")}},
            {QStringLiteral("eth0"), true, false, false,
             {entry("fe80::1", "ffff:ffff::"), entry("10.1.2.3", "0.0.0.0"), entry("192.168.7.20", "255.255.255.0")}}};
        QCOMPARE(localBindFor(QStringLiteral("192.168.7.99"), all), QHostAddress(QStringLiteral("192.168.7.20")));
        QVERIFY(localBindFor(QStringLiteral("172.16.0.1"), all).isNull());
        QVERIFY(localBindFor(QStringLiteral("not-an-address"), all).isNull());
    }

    void recognisesInstrumentPorts()
    {
        SerialPortEntry port{{}, {}, {}, true, true, 0x0483, 0x5740};
        QVERIFY(isLikelyDevice(port));
        port.productId = 0x5741;
        QVERIFY(!isLikelyDevice(port));
        QVERIFY(isLikelyDevice({{}, QStringLiteral("stm32 virtual comport"), {}, false, false, 0, 0}));
        QVERIFY(isLikelyDevice({{}, {}, QStringLiteral("STMicroelectronics."), false, false, 0, 0}));
    }
};

QTEST_GUILESS_MAIN(TestCodec)
#include "tst_codec.moc"
