// `serve` in process: metrics, --metrics addresses, HTTP answers, the link kept open (sim on 127.0.0.240 to .247).

#include "../common/LoopbackRig.h"
#include "InstrumentMetrics.h"
#include "MetricsEndpoint.h"
#include "Reading.h"
#include "ServeCommand.h"
#include "Version.h"

#include <QtTest>

#include <limits>

namespace {

using Rows = QList<std::array<double, 8>>;
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

// An exposition's values by "name" or "name/channel", "/no-instrument-label" added where that label lacks.
QMap<QString, QString> samples(const std::string &text, const QString &instrument = QStringLiteral("bench 3"))
{
    static const QRegularExpression sample(QStringLiteral("^(tachyra_\\w+)(\\{.*\\})? (\\S+)$"),
                                           QRegularExpression::MultilineOption);
    static const QRegularExpression channel(QStringLiteral("channel=\"(\\d+)\""));
    QMap<QString, QString> out;
    for (auto it = sample.globalMatch(QString::fromStdString(text)); it.hasNext();) {
        const QRegularExpressionMatch m = it.next();
        const QString labels = m.captured(2), ch = channel.match(labels).captured(1);
        QString key = m.captured(1);
        if (!labels.contains(QStringLiteral("instrument=\"%1\"").arg(instrument)))
            key += QStringLiteral("/no-instrument-label");
        out.insert(ch.isEmpty() ? key : key + QLatin1Char('/') + ch, m.captured(3));
    }
    return out;
}

Reading reading(std::array<double, 8> counts, qint64 utcMs = 1700000000250)
{
    Reading r;
    r.counts = counts;
    r.utcMs = utcMs;
    r.periodMs = 100;
    return r;
}

// The status of one raw request's answer (0: none; -1: a GET sent after it answered too, as kept alive).
int status(quint16 port, const QByteArray &request)
{
    QTcpSocket s;
    s.connectToHost(QHostAddress(QStringLiteral("127.0.0.240")), port);
    if (!s.waitForConnected(2000))
        return 0;
    s.write(request + "GET /metrics HTTP/1.1\r\nHost: x\r\n\r\n");
    QByteArray answer;
    while (s.state() == QAbstractSocket::ConnectedState && s.waitForReadyRead(3000))
        answer += s.readAll();
    answer += s.readAll();
    if (answer.count("HTTP/1.") > 1)
        return -1;
    return answer.startsWith("HTTP/1.") ? answer.mid(9, 3).toInt() : 0;
}

} // namespace

class TestMetrics : public QObject
{
    Q_OBJECT
private slots:
    void counts_data()
    {
        QTest::addColumn<Rows>("readings");
        QTest::addColumn<QStringList>("totals");   // tachyra_counts_total per channel
        QTest::addColumn<QStringList>("invalid");  // tachyra_invalid_counts_total per channel
        QTest::addColumn<QStringList>("last");     // tachyra_gate_counts per channel
        const std::array<double, 8> plain{0, 1, 2.5, 1e6, 7, 8, 9, 10};
        QTest::newRow("summed") << Rows{plain, plain, plain}
                                << QStringList{"0", "3", "7.5", "3000000", "21", "24", "27", "30"}
                                << QStringList(8, "0")
                                << QStringList{"0", "1", "2.5", "1000000", "7", "8", "9", "10"};
        // Non-finite and negative counts out of the sum, before a good one and after; the gauge as sent.
        QTest::newRow("not counts") << Rows{{2, 2, 2, 2, -0.0, 4.9e-324, kNaN, 1}, {kNaN, kInf, -kInf, -3, 2, 2, 5, 1}}
                                    << QStringList{"2", "2", "2", "2", "2", "2", "5", "2"}
                                    << QStringList{"1", "1", "1", "1", "0", "0", "1", "0"}
                                    << QStringList{"Nan", "+Inf", "-Inf", "-3", "2", "2", "5", "1"};
        // A sum that would overflow keeps its last finite value.
        QTest::newRow("overflow") << Rows{{1.5e308, 1, 1, 1, 1, 1, 1, 1}, {1.5e308, 1, 1, 1, 1, 1, 1, 1}}
                                  << QStringList{"1.5e+308", "2", "2", "2", "2", "2", "2", "2"}
                                  << QStringList{"1", "0", "0", "0", "0", "0", "0", "0"}
                                  << QStringList{"1.5e+308", "1", "1", "1", "1", "1", "1", "1"};
    }

    void counts()
    {
        QFETCH(Rows, readings);
        QFETCH(QStringList, totals);
        QFETCH(QStringList, invalid);
        QFETCH(QStringList, last);
        InstrumentMetrics m(QStringLiteral("bench 3"));
        m.setLinkUp(true);
        for (const auto &counts : readings)
            m.takeReading(reading(counts));
        const auto s = samples(m.exposition());
        for (int ch = 0; ch < 8; ++ch) {
            QCOMPARE(s.value(QStringLiteral("tachyra_counts_total/%1").arg(ch)), totals.at(ch));
            QCOMPARE(s.value(QStringLiteral("tachyra_invalid_counts_total/%1").arg(ch)), invalid.at(ch));
            QCOMPARE(s.value(QStringLiteral("tachyra_gate_counts/%1").arg(ch)), last.at(ch));
        }
        QCOMPARE(s.value("tachyra_readings_total"), QString::number(readings.size()));
        QCOMPARE(s.value("tachyra_last_reading_timestamp_seconds"), "1700000000.25");
    }

    // The instrument's state only while the link is up; counters and the last reading's time throughout.
    void linkStates()
    {
        InstrumentMetrics m(QStringLiteral("bench 3"));
        const auto series = [&m] { return samples(m.exposition()); };
        QCOMPARE(series().value("tachyra_build_info"), "1");
        QVERIFY(QString::fromStdString(m.exposition()).contains(QStringLiteral("version=\"%1\"").arg(tachyra::kVersion)));

        m.setLinkUp(true);
        m.setPeriodMs(250);
        m.takeReading(reading({1, 1, 1, 1, 1, 1, 1, 1}));
        QCOMPARE(series().value("tachyra_gate_period_seconds"), "0.25");
        QVERIFY(!series().contains("tachyra_threshold_volts/0")); // unknown so far
        m.setLevels(std::array<double, 8>{0.11, 0.12, 0.13, 0.14, 0.15, 0.16, 0.17, 1.0});
        QCOMPARE(series().value("tachyra_threshold_volts/0"), "0.11");
        QCOMPARE(series().value("tachyra_threshold_volts/7"), "1");
        m.setLevels(std::nullopt);
        QVERIFY(!series().contains("tachyra_threshold_volts/0"));
        m.setLevels(std::array<double, 8>{});

        m.setLinkUp(false);
        auto down = series();
        for (const char *gone : {"tachyra_gate_period_seconds", "tachyra_threshold_volts/3", "tachyra_gate_counts/3"})
            QVERIFY2(!down.contains(gone), gone);
        QCOMPARE(down.value("tachyra_counts_total/3"), "1");
        QCOMPARE(down.value("tachyra_readings_total"), "1");
        QCOMPARE(down.value("tachyra_last_reading_timestamp_seconds"), "1700000000.25");
        QVERIFY(std::none_of(down.keyBegin(), down.keyEnd(), [](const QString &k) { return k.contains("no-instrument"); }));

        m.setLinkUp(true);
        m.takeReading(reading({2, 2, 2, 2, 2, 2, 2, 2}));
        QCOMPARE(series().value("tachyra_gate_counts/3"), "2");
        QCOMPARE(series().value("tachyra_counts_total/3"), "3");
    }

    void listenAddress_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("hostPort"); // empty: refused
        const char *const rows[][2] = {
            {"9472", "127.0.0.1:9472"}, {" 0.0.0.0:9472 ", "0.0.0.0:9472"}, {"127.000.0.010:80", "127.0.0.10:80"},
            {"localhost:1", "127.0.0.1:1"}, {"[::1]:65535", "[::1]:65535"}, {"[::]:9472", "[::]:9472"},
            // Refused: ports out of range or none, host names, bad IPv4, IPv6 unbracketed or scoped, signs.
            {"127.0.0.1:0", ""}, {"65536", ""}, {"-1", ""}, {"127.0.0.1:", ""}, {"", ""}, {"example.org:9472", ""},
            {"127.0.0.256:9472", ""}, {"::1:9472", ""}, {"[fe80::1%eth0]:9472", ""}, {"[127.0.0.1]:9472", ""},
            {"+9472", ""}};
        for (const auto &row : rows)
            QTest::addRow("'%s'", row[0]) << QString::fromLatin1(row[0]) << QString::fromLatin1(row[1]);
    }

    void listenAddress()
    {
        QFETCH(QString, text);
        QFETCH(QString, hostPort);
        QString why;
        const auto a = MetricsEndpoint::parseAddress(text, &why);
        QCOMPARE(a ? a->hostPort() : QString(), hostPort);
        QCOMPARE(why.isEmpty(), !hostPort.isEmpty());
    }

    // Read-only: GET /metrics is served, nothing else.
    void httpRequests_data()
    {
        QTest::addColumn<QByteArray>("request");
        QTest::addColumn<int>("status");
        const std::pair<const char *, int> rows[] = {
            {"GET /metrics HTTP/1.1\r\nHost: x\r\n\r\n", 200}, {"DELETE /metrics HTTP/1.1\r\n\r\n", 405},
            {"POST /metrics HTTP/1.1\r\nContent-Length: 3\r\n\r\nabc", 405}, {"HEAD /metrics HTTP/1.1\r\n\r\n", 405},
            {"GET /metrics/x HTTP/1.1\r\n\r\n", 404}, {"POST /period HTTP/1.1\r\nContent-Length: 0\r\n\r\n", 404}};
        for (const auto &[request, status] : rows)
            QTest::addRow("%s", QByteArray(request).split('\r').first().constData()) << QByteArray(request) << status;
        QTest::newRow("oversized header") << QByteArray("GET /metrics HTTP/1.1\r\nX: ")
                + QByteArray(MetricsEndpoint::kMaxRequestBytes, 'a') + "\r\n\r\n" << 400;
    }

    void httpRequests()
    {
        QFETCH(QByteArray, request);
        QFETCH(int, status);
        static InstrumentMetrics metrics(QStringLiteral("bench 3"));
        static MetricsEndpoint endpoint;
        QString error;
        if (!endpoint.listening())
            QVERIFY2(endpoint.start({QStringLiteral("127.0.0.240"), 0}, metrics.collectable(), &error), qPrintable(error));
        QCOMPARE(::status(endpoint.port(), request), status);
    }

    // Nothing listens: failures counted, the back-off doubling; lost, opened again after a second (the back-off
    // starts over once up); then an opening without counts, which is no link either.
    void linkComesLostAndBack()
    {
        Rig rig(QStringLiteral("127.0.0.241"));
        rig.serve->start({LinkTarget::Kind::Tcp, rig.address});
        QTRY_VERIFY_WITH_TIMEOUT(rig.value("tachyra_connect_failures_total") == "2", 4000);
        QElapsedTimer sinceSecond;
        sinceSecond.start();
        QTRY_VERIFY_WITH_TIMEOUT(rig.value("tachyra_connect_failures_total") == "3", 5000);
        QVERIFY2(sinceSecond.elapsed() >= 1500, "the third try comes 2 s after the second");
        QCOMPARE(rig.value("tachyra_link_up"), "0");
        QCOMPARE(rig.messages.count(QStringLiteral("cannot open 127.0.0.241: Connection refused; trying again, "
                                                   "backing off up to 30 s")),
                 3); // the output drops the repeat; the command says it each time
        QVERIFY(rig.sim.listenTcp(QHostAddress(rig.address), DeviceSession::kTcpPort));
        QTRY_VERIFY_WITH_TIMEOUT(rig.serve->linkUp(), 6000); // the fourth try, 4 s after the third
        QTRY_VERIFY(rig.value("tachyra_readings_total").toInt() >= 3);
        QCOMPARE(rig.value("tachyra_gate_period_seconds"), "0.05");
        QCOMPARE(rig.value("tachyra_threshold_volts/2"), "0.13");
        QVERIFY(rig.said("link to 127.0.0.241 open"));

        rig.sim.closeConnections();
        QTRY_COMPARE(rig.value("tachyra_link_up"), "0");
        QCOMPARE(rig.value("tachyra_link_losses_total"), "1");
        QVERIFY(!rig.series().contains("tachyra_gate_counts/0"));
        QVERIFY(rig.said("link to 127.0.0.241 lost: Remote host closed the connection; opening it again"));
        QTRY_VERIFY_WITH_TIMEOUT(rig.serve->linkUp(), 3000);
        const int before = rig.value("tachyra_readings_total").toInt();
        QTRY_VERIFY(rig.value("tachyra_readings_total").toInt() > before);
        QCOMPARE(rig.value("tachyra_link_losses_total"), "1");
        QCOMPARE(rig.value("tachyra_connect_failures_total"), "3");
        QVERIFY(rig.said("link to 127.0.0.241 open again"));

        setFault(rig.sim, &SimFaults::rejectCommand, int(zrf::kCountQuery));
        rig.sim.closeConnections();
        QTRY_VERIFY_WITH_TIMEOUT(rig.value("tachyra_connect_failures_total") == "4", 5000);
        QVERIFY(rig.said("127.0.0.241 opened but sent no counts; trying again, backing off up to 30 s"));
        QCOMPARE(rig.value("tachyra_link_up"), "0");
        QTRY_VERIFY(!rig.session.connected());
    }

    // An open socket with nothing answering is no link: opened anew after three time-outs in a row.
    void silentInstrument()
    {
        Rig rig(QStringLiteral("127.0.0.242"));
        QVERIFY(rig.sim.listenTcp(QHostAddress(rig.address), DeviceSession::kTcpPort));
        rig.serve->start({LinkTarget::Kind::Tcp, rig.address});
        QTRY_VERIFY_WITH_TIMEOUT(rig.serve->linkUp(), 5000);
        setFault(rig.sim, &SimFaults::silent, true);
        QTRY_COMPARE_WITH_TIMEOUT(rig.value("tachyra_link_up"), "0", 4 * DeviceSession::kCommandTimeoutMs);
        QCOMPARE(rig.value("tachyra_reply_timeouts_total"), QString::number(ServeCommand::kSilentTimeouts));
        QCOMPARE(rig.value("tachyra_link_losses_total"), "1");
        QVERIFY(rig.said("127.0.0.242 answered none of 3 requests in a row; opening the link again"));
        rig.sim.setFaults({});
        QTRY_VERIFY_WITH_TIMEOUT(rig.serve->linkUp(), 3 * DeviceSession::kCommandTimeoutMs + ServeCommand::kFirstRetryMs);
        // Replies lost between readings are no silence: each reading starts the count again.
        const int timeouts = rig.value("tachyra_reply_timeouts_total").toInt();
        setFault(rig.sim, &SimFaults::dropEvery, 2);
        QTRY_VERIFY_WITH_TIMEOUT(rig.value("tachyra_reply_timeouts_total").toInt() >= timeouts + ServeCommand::kSilentTimeouts,
                                 5 * DeviceSession::kCommandTimeoutMs);
        QCOMPARE(rig.value("tachyra_link_losses_total"), "1");
    }

private:
    struct Rig {
        explicit Rig(const QString &addr, quint16 httpPort = 0) : address(addr)
        {
            isolate(session);
            sim.setPeriodMs(50);
            sim.setThresholds({0.11, 0.12, 0.13, 0.14, 0.15, 0.16, 0.17, 0.18});
            serve = std::make_unique<ServeCommand>(session, ServeCommand::Options{{addr, httpPort}, addr});
            QObject::connect(serve.get(), &ServeCommand::message, [this](const QString &m) { messages << m; });
        }
        QMap<QString, QString> series() const { return samples(serve->metrics().exposition(), address); }
        QString value(const QString &key) const { return series().value(key); }
        bool said(const QString &text) const { return messages.contains(text); }

        QString address;
        SimInstrument sim;
        DeviceSession session;
        std::unique_ptr<ServeCommand> serve;
        QStringList messages;
    };
};

QTEST_GUILESS_MAIN(TestMetrics)
#include "tst_metrics.moc"
