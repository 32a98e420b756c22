// The time view's data apart from its drawing, fed as the session feeds it.

#include "../common/RecordingMaker.h"
#include "../common/TestReadingSource.h"
#include "RunningStats.h"
#include "TraceSeries.h"

#include <QBuffer>
#include <QTemporaryDir>
#include <QtTest>

namespace {

const double kT0 = 1.7e12; // a clock reading, ms since the epoch

QVariantList filled(double v) { return QVariantList(8, v); }

} // namespace

class TestTraceSeries : public QObject
{
    Q_OBJECT
private slots:
    // A span holds exactly the readings of its last spanMs (all: from the oldest); its export, those as
    // taken (no sweep's), fixed while held, its writer the same bytes.
    void spans()
    {
        TraceSeries series;
        TestReadingSource source;
        series.setSource(&source);
        std::mt19937_64 rng(3);
        for (int i = 0; i < 600; ++i) {
            source.push(TestReadingSource::wave(i, rng), kT0 + 1000 * i, i < 520 ? 1000 : 250,
                        i >= 500 ? filled(120 + i / 50) : QVariantList());
            if (i == 550)
                source.push(filled(7), kT0 + 550500, 1000, {}, true); // a sweep's
        }
        QSignalSpy spanChanged(&series, &TraceSeries::spanMsChanged);
        series.setSpanMs(30e3); // as it was
        QCOMPARE(spanChanged.size(), 0);
        series.setSpanMs(120e3); // readings 479 to 599
        QCOMPARE(spanChanged.size(), 1);
        QCOMPARE((QList<double>{series.timeMin(), series.timeMax()}), (QList<double>{kT0 + 479e3, kT0 + 599e3}));
        series.setPaused(true);
        QCOMPARE(series.readingCount(), 121);
        const QByteArray table = series.csvTable();
        QByteArray want = readingrow::csvHeader();
        const qint64 startNs = series.readingAt(0).monotonicNs;
        for (int k = 0; k < 121; ++k) {
            const Reading r = series.readingAt(k);
            QCOMPARE(r.utcMs, kT0 + 1000 * (479 + k));
            want += readingrow::csvRow(r, readingrow::elapsedSeconds(r, startNs));
        }
        QCOMPARE(table, want);
        source.pushWave(5, kT0 + 600e3, 1000, 1000);
        QCOMPARE(series.csvTable(), table);
        const CsvTable::Writer writer = series.csvWriter();
        QVERIFY(writer);
        source.pushWave(5, kT0 + 605e3, 1000, 1000);
        QBuffer out;
        out.open(QIODevice::WriteOnly);
        QVERIFY(writer(out));
        QCOMPARE(out.data(), table);
        series.setPaused(false);
        QCOMPARE(series.readingAt(series.readingCount() - 1).utcMs, qint64(kT0 + 609e3));
        series.setSpanMs(0);
        QCOMPARE(series.readingCount(), 610);
        QCOMPARE(series.csvTable().count('\n'), 611);
        QVERIFY(series.timeMin() == kT0 && series.timeMax() > kT0 + 609e3);
    }

    // The span's statistics are a running accumulator's over its readings, updated at a modest pace.
    void statistics()
    {
        TraceSeries series;
        TestReadingSource source;
        series.setSource(&source);
        std::mt19937_64 rng(4);
        for (int i = 0; i < 300; ++i)
            source.push(TestReadingSource::wave(i, rng), kT0 + 1000 * i, i < 150 ? 1000 : 100);
        series.setSpanMs(119e3); // readings 181 to 299
        QSignalSpy changed(&series, &TraceSeries::spanStatsChanged);
        series.setStatsEnabled(true);
        QVERIFY(changed.wait(1000));
        const QVariantList stats = series.spanStats();
        QCOMPARE(stats.size(), 8);
        RunningStats want;
        for (int k = 0; k < series.readingCount(); ++k)
            want.add(series.readingAt(k));
        for (int c = 0; c < 8; ++c) {
            const QVariantMap m = stats.at(c).toMap();
            const ChannelStats s = want.channel(c);
            for (const auto &[key, v] : {std::pair{"count", double(s.count)}, {"nonFinite", double(s.nonFinite)}, {"min", s.min},
                                         {"max", s.max}, {"mean", s.mean}, {"stddev", s.stddev}, {"rate", s.rate}})
                QVERIFY2(qFuzzyCompare(m.value(QLatin1String(key)).toDouble(), v), key);
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

    // A link closed while held stays until Live (the next one fills its own history); over budget the
    // oldest readings go and are counted; closed while live, nothing is left.
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
        QVERIFY(std::isnan(series.oldestTime()) && !series.hasData() && series.readingCount() == 0);
    }

    // A recording replaces the link's readings, which come back with their span when it closes.
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
