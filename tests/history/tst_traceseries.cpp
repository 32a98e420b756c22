// The time view's data apart from its drawing, fed as the session feeds it.

#include "../common/RecordingMaker.h"
#include "../common/TestReadingSource.h"
#include "RunningStats.h"
#include "TraceSeries.h"

#include <QBuffer>
#include <QTemporaryDir>
#include <QTimeZone>
#include <QtTest>

namespace {

const double kNan = qQNaN();
const double kT0 = 1.7e12; // a clock reading, ms since the epoch

QVariantList filled(double v) { return QVariantList(8, v); }

QStringList csvLines(const QByteArray &table) { return QString::fromLatin1(table).split(u'\n', Qt::SkipEmptyParts); }

} // namespace

class TestTraceSeries : public QObject
{
    Q_OBJECT
private slots:
    // The series keeps each reading as taken: the export carries its own
    // period and levels, elapsed seconds on the steady clock from the first
    // row shown, only rows inside the window, and the frozen rows while
    // paused whatever came after. A sweep's readings and a closed link stay
    // out of it.
    void windowExport()
    {
        TraceSeries series;
        TestReadingSource source;
        series.setSource(&source);
        source.push(filled(1), kT0 - 40000, 50);                 // before the window: left out
        source.push(filled(5), kT0, 50, filled(100));
        source.push(filled(7), kT0 + 250, 50, filled(100), true); // sweep: not drawn here
        source.push({kNan, 1e308, -qInf(), -0.0}, kT0 + 500, 500); // levels unknown
        QCOMPARE(series.readingCount(), 2);
        series.setPaused(true);
        source.push(filled(9), kT0 + 90000, 2000, filled(300));  // long after: pruned live, frozen kept
        const QStringList rows = csvLines(series.csvTable());
        QCOMPARE(rows.size(), 3);
        QCOMPARE(rows.at(0).toLatin1() + '\n', readingrow::csvHeader());
        QCOMPARE(rows.at(1).section(u',', 1), QStringLiteral("0.000,50,5,5,5,5,5,5,5,5,100,100,100,100,100,100,100,100,0"));
        QCOMPARE(rows.at(2).section(u',', 1), QStringLiteral("0.500,500,nan,1e+308,-inf,-0,0,0,0,0,,,,,,,,,0"));
        series.setPaused(false);
        QCOMPARE(csvLines(series.csvTable()).mid(1).join(u'|').count(QStringLiteral(",2000,")), 1);
        source.end(QStringLiteral("Remote host closed the connection"));
        QVERIFY(!series.hasData());
        QCOMPARE(series.readingCount(), 0);
    }

    // Spans: the last spanMs up to the newest reading (all: from the
    // oldest), with exactly the readings inside; an export holds those rows.
    void spans_data()
    {
        QTest::addColumn<double>("spanMs");
        QTest::addColumn<int>("readings");
        QTest::newRow("30 s") << 30e3 << 31;
        QTest::newRow("2 min") << 120e3 << 121;
        QTest::newRow("10 min") << 600e3 << 601;
        QTest::newRow("1 h") << 3600e3 << 3601;
        QTest::newRow("all") << 0.0 << 5000;
    }
    void spans()
    {
        QFETCH(double, spanMs);
        QFETCH(int, readings);
        TraceSeries series;
        TestReadingSource source;
        series.setSource(&source);
        source.pushWave(5000, kT0, 1000, 1000);
        const double newest = kT0 + 4999e3;
        QSignalSpy spanChanged(&series, &TraceSeries::spanMsChanged);
        series.setSpanMs(spanMs);
        QCOMPARE(spanChanged.size(), spanMs == 30e3 ? 0 : 1);
        QCOMPARE(series.spanMs(), spanMs);
        QCOMPARE(series.readingCount(), readings);
        QCOMPARE(series.readingAt(readings - 1).utcMs, qint64(newest));
        if (spanMs > 0) {
            QCOMPARE(series.timeMax(), newest);
            QCOMPARE(series.timeMin(), newest - spanMs);
        } else {
            QCOMPARE(series.timeMin(), double(kT0));
            QVERIFY(series.timeMax() >= newest);
        }
        const QStringList rows = csvLines(series.csvTable());
        QCOMPARE(rows.size(), readings + 1);
        QCOMPARE(rows.at(1).section(u',', 1, 1), QStringLiteral("0.000"));
        QVERIFY(rows.last().startsWith(QDateTime::fromMSecsSinceEpoch(qint64(newest), QTimeZone::utc()).toUTC().toString(Qt::ISODateWithMs)));
    }

    // An export saves the span shown, exact: each row the reading as taken
    // with its own period and levels, elapsed seconds from the first row on
    // the steady clock; the writer for the export's thread writes the same
    // bytes, from its own copy, whatever comes into the history after.
    void spanExport()
    {
        TraceSeries series;
        TestReadingSource source;
        series.setSource(&source);
        std::mt19937_64 rng(3);
        QList<QVariantList> pushed;
        for (int i = 0; i < 600; ++i) {
            QVariantList c = TestReadingSource::wave(i, rng);
            if (i == 300)
                c = {kNan, qInf(), -qInf(), -0.0, 1e308, 4.9e-324, 0.1, 7};
            pushed.append(c);
            const bool levels = i >= 250;
            source.push(c, kT0 + 1000 * i, i < 320 ? 1000 : 250, levels ? QVariantList(8, 120 + i / 100) : QVariantList());
        }
        series.setSpanMs(120e3); // readings 479 to 599
        series.setPaused(true);
        QCOMPARE(series.readingCount(), 121);
        const QStringList rows = csvLines(series.csvTable());
        QCOMPARE(rows.size(), 122);
        const qint64 startNs = series.readingAt(0).monotonicNs;
        for (int k = 0; k < 121; ++k) {
            const Reading r = series.readingAt(k);
            QCOMPARE(r.utcMs, kT0 + 1000 * (479 + k));
            QCOMPARE(rows.at(k + 1).toLatin1() + '\n', readingrow::csvRow(r, readingrow::elapsedSeconds(r, startNs)));
        }
        const CsvTable::Writer writer = series.csvWriter();
        QVERIFY(writer);
        for (int i = 0; i < 10; ++i)
            source.push(QVariantList(8, 5), kT0 + 1000 * (600 + i), 1000);
        QBuffer out;
        out.open(QIODevice::WriteOnly);
        QVERIFY(writer(out));
        QCOMPARE(out.data(), series.csvTable());

        // The special counts come back exactly.
        series.setPaused(false);
        series.setSpanMs(0);
        const QStringList all = csvLines(series.csvTable());
        QCOMPARE(all.size(), 611);
        QCOMPARE(all.at(301).section(u',', 3, 10), QStringLiteral("nan,inf,-inf,-0,1e+308,5e-324,0.1,7"));
        QCOMPARE(all.at(301).section(u',', 2, 2), QStringLiteral("1000"));
        QCOMPARE(all.at(400).section(u',', 2, 2), QStringLiteral("250"));
    }

    // The statistics of the span shown are the history's (and a running
    // accumulator's over the same readings), follow the span, and while
    // readings come are worked out at a modest pace, not for each reading.
    void statistics()
    {
        TraceSeries series;
        TestReadingSource source;
        series.setSource(&source);
        std::mt19937_64 rng(4);
        RunningStats running;
        for (int i = 0; i < 300; ++i) {
            source.push(TestReadingSource::wave(i, rng), kT0 + 1000 * i, i < 150 ? 1000 : 100);
            if (i >= 180)
                running.add(series.history().reading(series.history().size() - 1));
        }
        series.setSpanMs(119e3); // readings 181 to 299
        QSignalSpy changed(&series, &TraceSeries::spanStatsChanged);
        series.setStatsEnabled(true);
        QVERIFY(changed.wait(1000));
        const QVariantList stats = series.spanStats();
        QCOMPARE(stats.size(), 8);
        RunningStats want;
        for (int k = 0; k < series.readingCount(); ++k)
            want.add(series.readingAt(k));
        QCOMPARE(want.readings(), qint64(120));
        for (int c = 0; c < 8; ++c) {
            const QVariantMap m = stats.at(c).toMap();
            const ChannelStats s = want.channel(c);
            QCOMPARE(m.value(QStringLiteral("count")).toDouble(), double(s.count));
            QCOMPARE(m.value(QStringLiteral("nonFinite")).toDouble(), double(s.nonFinite));
            QCOMPARE(m.value(QStringLiteral("min")).toDouble(), s.min);
            QCOMPARE(m.value(QStringLiteral("max")).toDouble(), s.max);
            QVERIFY(qFuzzyCompare(m.value(QStringLiteral("mean")).toDouble(), s.mean));
            QVERIFY(qFuzzyCompare(m.value(QStringLiteral("stddev")).toDouble(), s.stddev));
            QVERIFY(qFuzzyCompare(m.value(QStringLiteral("rate")).toDouble(), s.rate));
        }
        QCOMPARE(stats.at(2).toMap().value(QStringLiteral("nonFinite")).toDouble(), 2.0);
        // Readings as fast as they come: a few updates, not one for each.
        changed.clear();
        QElapsedTimer clock;
        clock.start();
        for (int i = 300; i < 900; ++i) {
            source.push(TestReadingSource::wave(i, rng), kT0 + 1000 * i, 100);
            QTest::qWait(1);
        }
        QTRY_VERIFY(!changed.isEmpty());
        QVERIFY2(changed.size() <= 2 + clock.elapsed() / TraceSeries::kStatsIntervalMs,
                 qPrintable(QString::number(changed.size())));
        QCOMPARE(series.spanStats().at(0).toMap().value(QStringLiteral("count")).toDouble(), 120.0);
    }

    // A link that closes while the series is held stays on screen until Live;
    // the next link's readings go into a history of their own meanwhile.
    // Past its memory budget the oldest readings go and the series says so.
    void closedWhileHeldAndDropped()
    {
        TraceSeries series;
        TestReadingSource source;
        series.setSource(&source);
        source.pushWave(100, kT0, 1000, 1000);
        series.setPaused(true);
        source.end(QStringLiteral("lost"));
        QVERIFY(series.hasData());
        QCOMPARE(series.readingCount(), 31);
        source.pushWave(10, kT0 + 500e3, 1000, 1000);
        QCOMPARE(series.readingAt(0).utcMs, kT0 + 69000);
        series.setPaused(false);
        QCOMPARE(series.readingCount(), 10);
        QCOMPARE(series.readingAt(0).utcMs, kT0 + 500000);

        series.setHistoryBudget(3 * ReadingHistory::chunkBytes() + 4096);
        QVERIFY(!series.hasData());
        QSignalSpy dropped(&series, &TraceSeries::droppedChanged);
        source.pushWave(4 * ReadingHistory::kChunkReadings, kT0, 50, 50);
        QCOMPARE(series.droppedReadings(), double(ReadingHistory::kChunkReadings));
        QCOMPARE(series.oldestTime(), kT0 + 50.0 * ReadingHistory::kChunkReadings);
        QCOMPARE(dropped.size(), 2); // the first reading, then the first chunk dropped
        source.end();
        QCOMPARE(series.droppedReadings(), 0.0);
        QVERIFY(std::isnan(series.oldestTime()));
    }

    // A recording shown instead of the link: all of it, from its start, as
    // it is read; the link's readings are kept meanwhile and shown again
    // when it is closed, at the span shown before.
    void recording()
    {
        QTemporaryDir dir;
        QFile file(dir.filePath(QStringLiteral("r.csv")));
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write(sampleRecording(3)) > 0);
        file.close();
        TraceSeries series;
        TestReadingSource source;
        series.setSource(&source);
        source.push(filled(5), kT0);
        series.setSpanMs(120e3);
        QSignalSpy shown(&series, &TraceSeries::shownChanged);
        series.openFile(QUrl::fromLocalFile(file.fileName()));
        QVERIFY(series.fileShown() && !shown.isEmpty() && shown.last().at(0).toBool());
        QTRY_VERIFY(!series.fileLoading());
        source.push(filled(6), kT0 + 1000);
        QCOMPARE((QList<double>{series.spanMs(), double(series.readingCount()), series.readingAt(2).counts[0]}),
                 (QList<double>{0, 3, sampleReading(2).counts[0]}));
        series.closeFile();
        QCOMPARE((QList<double>{series.spanMs(), double(series.readingCount()), series.readingAt(1).counts[0]}),
                 (QList<double>{120e3, 2, 6}));
    }
};

QTEST_GUILESS_MAIN(TestTraceSeries)
#include "tst_traceseries.moc"
