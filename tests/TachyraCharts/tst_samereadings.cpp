// One reading, one row: a recording, an exported window and tachyra-cli,
// all on the same instrument, write the same columns with the same meaning
// (time of arrival, period and levels in force, elapsed seconds on the
// steady clock), because each takes the reading the session stamped.

#include "../common/LoopbackRig.h"
#include "CountRecorder.h"
#include "DeviceSession.h"
#include "ReadingRow.h"
#include "SimInstrument.h"
#include "TraceSeries.h"

#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

namespace {

const QString kAddress = QStringLiteral("127.0.0.79");

using Row = QStringList;

QList<Row> rows(const QByteArray &csv)
{
    QList<Row> out;
    for (const QByteArray &line : csv.split('\n')) {
        if (!line.isEmpty())
            out.append(QString::fromLatin1(line).split(u','));
    }
    return out;
}

// Elapsed seconds from one row to the next, against the wall-clock difference.
void checkElapsed(const QList<Row> &table, const char *what)
{
    for (qsizetype i = 2; i < table.size(); ++i) {
        const double elapsed = table[i][1].toDouble() - table[i - 1][1].toDouble();
        const qint64 wall = QDateTime::fromString(table[i - 1][0], Qt::ISODateWithMs)
                                .msecsTo(QDateTime::fromString(table[i][0], Qt::ISODateWithMs));
        QVERIFY2(std::abs(elapsed * 1000 - double(wall)) <= 3, qPrintable(QStringLiteral("%1 row %2: %3 s after %4 ms")
                                                                        .arg(QLatin1String(what)).arg(i).arg(elapsed).arg(wall)));
    }
}

} // namespace

class TestSameReadings : public QObject
{
    Q_OBJECT
private slots:
    void recordingExportAndTool()
    {
        SimInstrument sim;
        sim.setPeriodMs(50);
        const QList<double> levels{0.1274, 0.25, 0.3333, 0.5, 0.05, 0.9, 1.0, 0.0};
        sim.setThresholds(levels);
        QVERIFY(sim.listenTcp(QHostAddress(kAddress), DeviceSession::kTcpPort));
        DeviceSession session;
        isolate(session);
        CountRecorder recorder(&session);
        TraceSeries series;
        series.setSource(&session);
        session.setTcpHost(kAddress);
        session.connectToDevice(true);
        QTRY_VERIFY_WITH_TIMEOUT(session.connected() && session.dacLevelsKnown() && session.periodMs() == 50, 5000);

        QTemporaryDir dir;
        const QString recording = dir.filePath(QStringLiteral("recording.csv"));
        QVERIFY(recorder.start(QUrl::fromLocalFile(recording)));
        QProcess tool;
        tool.start(QStringLiteral(TACHYRA_CLI), {QStringLiteral("counts"), QStringLiteral("--tcp"), kAddress,
                                                 QStringLiteral("--count"), QStringLiteral("20")});
        QVERIFY(tool.waitForStarted());
        QTest::qWait(1500);
        recorder.stop();
        const QList<Row> exported = rows(series.csvTable());
        QTRY_VERIFY(recorder.message().startsWith(QLatin1String("Recording saved"))); // its last rows on disk
        QFile file(recording);
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QList<Row> recorded = rows(file.readAll());
        QTRY_VERIFY_WITH_TIMEOUT(tool.state() == QProcess::NotRunning, 10000);
        QCOMPARE(tool.exitCode(), 0);
        const QList<Row> printed = rows(tool.readAllStandardOutput());

        const Row header = rows(readingrow::csvHeader()).constFirst();
        QCOMPARE(recorded.constFirst(), header);
        QCOMPARE(exported.constFirst(), header);
        QCOMPARE(printed.constFirst(), header);
        QVERIFY(recorded.size() > 15 && printed.size() == 21);

        // The window's rows are the recording's, column for column but the
        // elapsed seconds, which count from each file's own start.
        QHash<QString, Row> byTime;
        for (const Row &r : recorded.mid(1))
            byTime.insert(r[0], r);
        int shared = 0;
        for (const Row &r : exported.mid(1)) {
            if (!byTime.contains(r[0]))
                continue;
            ++shared;
            QCOMPARE(r.mid(2), byTime.value(r[0]).mid(2));
        }
        QVERIFY(shared > 15);
        // Period and levels in force, to the microvolt, in every file.
        Row settings{QStringLiteral("50")};
        for (double v : levels)
            settings.append(QString::fromLatin1(readingrow::formatDouble(Reading::levelMv(v))));
        for (const QList<Row> *table : {&recorded, &exported, &printed}) {
            for (const Row &r : table->mid(1))
                QCOMPARE(r.mid(2, 1) + r.mid(11, 8), settings);
        }
        checkElapsed(recorded, "recording");
        checkElapsed(exported, "export");
        checkElapsed(printed, "tool");
    }

    // A recording opened again holds the readings as the session took them,
    // the hard doubles bit for bit; elapsed times to the ms a row keeps.
    void recordingOpensAsTaken()
    {
        SimInstrument sim;
        sim.setPeriodMs(50);
        const double inf = std::numeric_limits<double>::infinity();
        sim.setCountRotation({{qQNaN(), inf, -inf, -0.0, 1e15 + 1, 0.1, 5e-324, 1.7976931348623157e308},
                              {1, 2, 3, 4, 5, 6, 7, 8}});
        QVERIFY(sim.listenTcp(QHostAddress(kAddress), DeviceSession::kTcpPort));
        DeviceSession session;
        isolate(session);
        CountRecorder recorder(&session);
        session.setTcpHost(kAddress);
        session.connectToDevice(true);
        QTRY_VERIFY_WITH_TIMEOUT(session.connected() && session.dacLevelsKnown(), 5000);

        QTemporaryDir dir;
        const QString recording = dir.filePath(QStringLiteral("recording.csv"));
        QList<Reading> taken;
        bool collecting = false;
        connect(&session, &ReadingSource::readingTaken, this, [&](const Reading &r) {
            if (collecting)
                taken.append(r);
        });
        QVERIFY(recorder.start(QUrl::fromLocalFile(recording)));
        collecting = true;
        QTest::qWait(1200);
        collecting = false;
        recorder.stop();
        session.disconnectFromDevice();
        QVERIFY(taken.size() > 10);
        QTRY_VERIFY(recorder.message().startsWith(QLatin1String("Recording saved")));

        TraceSeries series;
        series.openFile(QUrl::fromLocalFile(recording));
        QVERIFY(series.fileShown());
        QTRY_VERIFY(!series.fileLoading());
        QCOMPARE(series.fileProblems(), QStringList());
        QCOMPARE(series.readingCount(), int(taken.size()));
        bool sawHard = false;
        for (int i = 0; i < series.readingCount(); ++i) {
            Reading back = series.readingAt(i);
            const Reading &want = taken.at(i);
            // Rows count from the recording's start: compared from the first row on.
            const qint64 sinceFirst = want.monotonicNs - taken.constFirst().monotonicNs;
            QVERIFY2(std::abs(back.monotonicNs - series.readingAt(0).monotonicNs - sinceFirst) <= 1000000,
                     qPrintable(QString::number(i)));
            back.monotonicNs = want.monotonicNs;
            QVERIFY2(back == want, qPrintable(QString::fromLatin1(readingrow::csvRow(back, 0) + readingrow::csvRow(want, 0))));
            sawHard = sawHard || std::isnan(want.counts[0]);
        }
        QVERIFY(sawHard);
    }
};

QTEST_MAIN(TestSameReadings)
#include "tst_samereadings.moc"
