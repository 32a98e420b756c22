// The time view's plot item and the chart data objects of the scene, fed
// by a test source of readings as the session feeds them: the history at
// every span, pans, zooms and Live, exports of a span, counts per second,
// the statistics of the span, and at 30 s the drawing of the trace window.

#include "../common/TestReadingSource.h"
#include "BarReadings.h"
#include "ChartScale.h"
#include "ReadingRow.h"
#include "RunningStats.h"
#include "SweepPoints.h"
#include "TraceCanvas.h"
#include "TracePlot.h"

#include <QBuffer>
#include <QQuickWindow>
#include <QtCharts/QLineSeries>
#include <QTimeZone>
#include <QtQuickTest/quicktest.h>
#include <QtTest>

#include <random>

namespace {

using L = QList<double>;
const double kNan = qQNaN();
const double kT0 = 1.7e12; // a clock reading, ms since the epoch

QVariantList filled(double v) { return QVariantList(8, v); }

QStringList csvLines(const QByteArray &table) { return QString::fromLatin1(table).split(u'\n', Qt::SkipEmptyParts); }

const QStringList kColors{QStringLiteral("#FF4300"), QStringLiteral("#0075B9"), QStringLiteral("#FFC000"),
                          QStringLiteral("#7E3095"), QStringLiteral("#6CBF00"), QStringLiteral("#FF0000"),
                          QStringLiteral("#009CC3"), QStringLiteral("#FF8000")};

// Counts of one reading: channel c a wave with noise; 2 breaks now and
// then, 5 has zeros (skipped by the log line).
QVariantList counts(qsizetype i, std::mt19937_64 &rng)
{
    QVariantList out;
    for (int c = 0; c < 8; ++c) {
        double v = 1000 * (c + 1) + 200 * std::sin(double(i) / 40 + c) + double(rng() % 50);
        if ((c == 2 && i % 97 == 5) || (c == 5 && i % 13 == 0))
            v = c == 2 ? kNan : 0;
        out.append(v);
    }
    return out;
}

// The plot in a window of its own, drawn as the scene draws it.
struct Shown {
    QQuickWindow window;
    TracePlot *plot;
    explicit Shown(int width = 900, int height = 380)
    {
        window.resize(width, height);
        plot = new TracePlot(window.contentItem());
        plot->setSize(QSizeF(width, height));
        QVariantList colors;
        for (const QString &c : kColors)
            colors.append(c);
        plot->setColors(colors);
        window.show();
    }
    bool drawn() { return QTest::qWaitForWindowExposed(&window) && QQuickTest::qWaitForPolish(plot); }
};

// Readings with times from t0 on, every gateMs.
void pushReadings(TestReadingSource &source, qsizetype n, double t0, int gateMs, int periodMs, quint64 seed = 1)
{
    std::mt19937_64 rng(seed);
    for (qsizetype i = 0; i < n; ++i)
        source.push(counts(i, rng), t0 + double(i) * gateMs, periodMs);
}

} // namespace

class TestChartItems : public QObject
{
    Q_OBJECT
private slots:
    // The Y range follows the lines of the channels shown, in the mode shown.
    void rescale_data()
    {
        QTest::addColumn<L>("counts"); // one reading per entry, all channels alike
        QTest::addColumn<QList<bool>>("shown");
        QTest::addColumn<L>("linear"); // min, max
        QTest::addColumn<L>("log");
        const QList<bool> all(8, true);
        QTest::newRow("constant: span raised to 1") << L{5000, 5000} << all << L{4999.85, 5001} << L{5000, 5750};
        QTest::newRow("padded 15 %, never below 0") << L{100, 1100} << all << L{0, 1250} << L{100, 1265};
        QTest::newRow("all hidden") << L{100, 1100} << QList<bool>(8, false) << L{0, 1} << L{1, 10};
        QTest::newRow("below 1: no log line") << L{0, 0.5} << all << L{0, 1} << L{1, 10};
        QTest::newRow("log: a count below 1 is not on the line") << L{0.5, 100} << all << L{0, 114.925} << L{100, 115};
        QTest::newRow("not finite: ignored") << L{kNan, 50, qInf(), 60} << all << L{48.5, 61.5} << L{50, 69};
        QTest::newRow("too large: clamped for drawing") << L{1e308, 1e308} << all << L{1e300, 1e300} << L{1e300, 1.15e300};
    }
    void rescale()
    {
        QFETCH(L, counts);
        QFETCH(QList<bool>, shown);
        QFETCH(L, linear);
        QFETCH(L, log);
        TracePlot plot;
        TestReadingSource source;
        plot.setSource(&source);
        plot.setChannelVisible(shown);
        for (qsizetype i = 0; i < counts.size(); ++i)
            source.push(QVariantList(8, counts.at(i)), kT0 + 50 * i);
        QCOMPARE(plot.yMin(), linear.at(0));
        QCOMPARE(plot.yMax(), linear.at(1));
        plot.setLogarithmic(true);
        QCOMPARE(plot.yMin(), log.at(0));
        QCOMPARE(plot.yMax(), log.at(1));
    }

    // The plot keeps each reading as taken: the export carries its own
    // period and levels, elapsed seconds on the steady clock from the first
    // row shown, only rows inside the window, and the frozen rows while
    // paused whatever came after. A sweep's readings and a closed link stay
    // out of it.
    void windowExport()
    {
        TracePlot plot;
        TestReadingSource source;
        plot.setSource(&source);
        source.push(filled(1), kT0 - 40000, 50);                 // before the window: left out
        source.push(filled(5), kT0, 50, filled(100));
        source.push(filled(7), kT0 + 250, 50, filled(100), true); // sweep: not drawn here
        source.push({kNan, 1e308, -qInf(), -0.0}, kT0 + 500, 500); // levels unknown
        QCOMPARE(plot.readingCount(), 2);
        plot.setPaused(true);
        source.push(filled(9), kT0 + 90000, 2000, filled(300));  // long after: pruned live, frozen kept
        const QStringList rows = csvLines(plot.csvTable());
        QCOMPARE(rows.size(), 3);
        QCOMPARE(rows.at(0).toLatin1() + '\n', readingrow::csvHeader());
        QCOMPARE(rows.at(1).section(u',', 1), QStringLiteral("0.000,50,5,5,5,5,5,5,5,5,100,100,100,100,100,100,100,100,0"));
        QCOMPARE(rows.at(2).section(u',', 1), QStringLiteral("0.500,500,nan,1e+308,-inf,-0,0,0,0,0,,,,,,,,,0"));
        plot.setPaused(false);
        QCOMPARE(csvLines(plot.csvTable()).mid(1).join(u'|').count(QStringLiteral(",2000,")), 1);
        source.end(QStringLiteral("Remote host closed the connection"));
        QVERIFY(!plot.hasData());
        QCOMPARE(plot.readingCount(), 0);
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
        TracePlot plot;
        TestReadingSource source;
        plot.setSource(&source);
        pushReadings(source, 5000, kT0, 1000, 1000);
        const double newest = kT0 + 4999e3;
        QSignalSpy spanChanged(&plot, &TracePlot::spanMsChanged);
        plot.setSpanMs(spanMs);
        QCOMPARE(spanChanged.size(), spanMs == 30e3 ? 0 : 1);
        QCOMPARE(plot.spanMs(), spanMs);
        QCOMPARE(plot.readingCount(), readings);
        QCOMPARE(plot.readingAt(readings - 1).utcMs, qint64(newest));
        if (spanMs > 0) {
            QCOMPARE(plot.timeMax(), newest);
            QCOMPARE(plot.timeMin(), newest - spanMs);
        } else {
            QCOMPARE(plot.timeMin(), double(kT0));
            QVERIFY(plot.timeMax() >= newest);
        }
        const QStringList rows = csvLines(plot.csvTable());
        QCOMPARE(rows.size(), readings + 1);
        QCOMPARE(rows.at(1).section(u',', 1, 1), QStringLiteral("0.000"));
        QVERIFY(rows.last().startsWith(QDateTime::fromMSecsSinceEpoch(qint64(newest), QTimeZone::utc()).toUTC().toString(Qt::ISODateWithMs)));
    }

    // A pan holds the plot and moves it by its pixels; a zoom keeps the
    // time under the pointer where it is. Held, readings keep coming into
    // the history but nothing shown changes; Live shows them.
    void panZoomLive()
    {
        Shown shown;
        TracePlot &plot = *shown.plot;
        TestReadingSource source;
        plot.setSource(&source);
        pushReadings(source, 4000, kT0, 1000, 1000);
        plot.setSpanMs(600e3);
        QVERIFY(shown.drawn());
        const double width = plot.plotArea().width();
        QVERIFY(width > 500);
        const double newest = kT0 + 3999e3;
        QCOMPARE(plot.timeForX(width) >= newest, true);

        QSignalSpy paused(&plot, &TracePlot::pausedChanged);
        plot.pan(-width / 4); // a quarter of the span back
        QVERIFY(plot.paused());
        QCOMPARE(paused.size(), 1);
        QCOMPARE(plot.timeMax(), newest - 150e3);
        const double x = width / 3;
        const double atX = plot.timeForX(x);
        plot.zoomAt(x, 0.5);
        QCOMPARE(plot.spanMs(), 300e3);
        QVERIFY(std::abs(plot.timeForX(x) - atX) <= 300e3 / width); // within a pixel column
        QVERIFY(shown.drawn());

        const int count = plot.readingCount();
        const double yMax = plot.yMax();
        const double timeMax = plot.timeMax();
        std::mt19937_64 rng(2);
        for (int i = 0; i < 20; ++i)
            source.push(QVariantList(8, 1e6), newest + 1000 * (i + 1), 1000);
        QCOMPARE(plot.readingCount(), count);
        QCOMPARE(plot.timeMax(), timeMax);
        QCOMPARE(plot.yMax(), yMax);
        QCOMPARE(plot.history().size(), qsizetype(4020));

        plot.setPaused(false); // Live
        QCOMPARE(plot.timeMax(), newest + 20000);
        QVERIFY(plot.yMax() > 1e6);
        QCOMPARE(plot.valueAt(0, newest + 20000), 1e6);
        // A pan at most back to the oldest reading, at most on to the newest.
        plot.pan(-1e7);
        QCOMPARE(plot.timeMin(), double(kT0));
        plot.pan(1e7);
        QCOMPARE(plot.timeMax(), newest + 20000);
    }

    // An export saves the span shown, exact: each row the reading as taken
    // with its own period and levels, elapsed seconds from the first row on
    // the steady clock; the writer for the export's thread writes the same
    // bytes, from its own copy, whatever comes into the history after.
    void spanExport()
    {
        TracePlot plot;
        TestReadingSource source;
        plot.setSource(&source);
        std::mt19937_64 rng(3);
        QList<QVariantList> pushed;
        for (int i = 0; i < 600; ++i) {
            QVariantList c = counts(i, rng);
            if (i == 300)
                c = {kNan, qInf(), -qInf(), -0.0, 1e308, 4.9e-324, 0.1, 7};
            pushed.append(c);
            const bool levels = i >= 250;
            source.push(c, kT0 + 1000 * i, i < 320 ? 1000 : 250, levels ? QVariantList(8, 120 + i / 100) : QVariantList());
        }
        plot.setSpanMs(120e3); // readings 479 to 599
        plot.setPaused(true);
        QCOMPARE(plot.readingCount(), 121);
        const QStringList rows = csvLines(plot.csvTable());
        QCOMPARE(rows.size(), 122);
        const qint64 startNs = plot.readingAt(0).monotonicNs;
        for (int k = 0; k < 121; ++k) {
            const Reading r = plot.readingAt(k);
            QCOMPARE(r.utcMs, kT0 + 1000 * (479 + k));
            QCOMPARE(rows.at(k + 1).toLatin1() + '\n', readingrow::csvRow(r, readingrow::elapsedSeconds(r, startNs)));
        }
        const CsvTable::Writer writer = plot.csvWriter();
        QVERIFY(writer);
        for (int i = 0; i < 10; ++i)
            source.push(QVariantList(8, 5), kT0 + 1000 * (600 + i), 1000);
        QBuffer out;
        out.open(QIODevice::WriteOnly);
        QVERIFY(writer(out));
        QCOMPARE(out.data(), plot.csvTable());

        // The special counts come back exactly.
        plot.setPaused(false);
        plot.setSpanMs(0);
        const QStringList all = csvLines(plot.csvTable());
        QCOMPARE(all.size(), 611);
        QCOMPARE(all.at(301).section(u',', 3, 10), QStringLiteral("nan,inf,-inf,-0,1e+308,5e-324,0.1,7"));
        QCOMPARE(all.at(301).section(u',', 2, 2), QStringLiteral("1000"));
        QCOMPARE(all.at(400).section(u',', 2, 2), QStringLiteral("250"));
    }

    // Per second: each count over its own gate, in the read-out and the
    // range; the log axis reaches down to one count over the longest gate.
    void perSecond()
    {
        TracePlot plot;
        TestReadingSource source;
        plot.setSource(&source);
        source.push(QVariantList(8, 100), kT0, 50);
        source.push(QVariantList(8, 300), kT0 + 1000, 2000);
        source.push(QVariantList(8, 1), kT0 + 2000, 2000);
        QCOMPARE(plot.valueAt(3, kT0), 100.0);
        plot.setPerSecond(true);
        QCOMPARE(plot.valueAt(3, kT0), 2000.0);
        QCOMPARE(plot.valueAt(3, kT0 + 1000), 150.0);
        QCOMPARE(plot.valueAt(3, kT0 + 500), 1075.0);
        QCOMPARE(plot.yMax(), chartscale::paddedLinearRange(0.5, 2000).max);
        plot.setLogarithmic(true);
        QCOMPARE(plot.yMin(), 0.5);
        QCOMPARE(plot.valueAt(3, kT0 + 2000), 0.5);
        plot.setPerSecond(false);
        QCOMPARE(plot.yMin(), 1.0);
    }

    // The statistics of the span shown are the history's (and a running
    // accumulator's over the same readings), follow the span, and while
    // readings come are worked out at a modest pace, not for each reading.
    void statistics()
    {
        TracePlot plot;
        TestReadingSource source;
        plot.setSource(&source);
        std::mt19937_64 rng(4);
        RunningStats running;
        for (int i = 0; i < 300; ++i) {
            source.push(counts(i, rng), kT0 + 1000 * i, i < 150 ? 1000 : 100);
            if (i >= 180)
                running.add(plot.history().reading(plot.history().size() - 1));
        }
        plot.setSpanMs(119e3); // readings 181 to 299
        QSignalSpy changed(&plot, &TracePlot::spanStatsChanged);
        plot.setStatsEnabled(true);
        QVERIFY(changed.wait(1000));
        const QVariantList stats = plot.spanStats();
        QCOMPARE(stats.size(), 8);
        RunningStats want;
        for (int k = 0; k < plot.readingCount(); ++k)
            want.add(plot.readingAt(k));
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
            source.push(counts(i, rng), kT0 + 1000 * i, 100);
            QTest::qWait(1);
        }
        QTRY_VERIFY(!changed.isEmpty());
        QVERIFY2(changed.size() <= 2 + clock.elapsed() / TracePlot::kStatsIntervalMs,
                 qPrintable(QString::number(changed.size())));
        QCOMPARE(plot.spanStats().at(0).toMap().value(QStringLiteral("count")).toDouble(), 120.0);
    }

    // At 30 s the plot draws what the trace window and its canvas drew,
    // pixel for pixel (but for the leftmost columns, as far as a line's pen
    // reaches, where the window had let go of the readings before its edge).
    void thirtySecondsAsToday_data()
    {
        QTest::addColumn<bool>("log");
        QTest::newRow("linear") << false;
        QTest::newRow("log") << true;
    }
    void thirtySecondsAsToday()
    {
        QFETCH(bool, log);
        Shown shown;
        TracePlot &plot = *shown.plot;
        TestReadingSource source;
        plot.setSource(&source);
        plot.setLogarithmic(log);
        TraceWindow window(8, 30000);
        std::mt19937_64 rng(5);
        for (qsizetype i = 0; i < 1200; ++i) {
            const QVariantList c = counts(i, rng);
            const double t = kT0 + 50.0 * double(i) + double(i % 3);
            source.push(c, t, 50);
            QList<double> values;
            for (const QVariant &v : c)
                values.append(v.toDouble());
            window.append(t, values);
            if (i % 100 == 99)
                QVERIFY(shown.drawn()); // drawn whole once, then strip by strip
        }
        QVERIFY(shown.drawn());
        TraceCanvas today;
        today.draw(window, plot.canvas().scale(), plot.canvas().style(), QList<bool>(8, true));
        const QImage &a = plot.canvas().image();
        const QImage &b = today.image();
        QCOMPARE(a.size(), b.size());
        int worst = 0;
        for (int y = 0; y < a.height(); ++y) {
            for (int x = 4; x < a.width(); ++x) {
                const QRgb p = a.pixel(x, y), q = b.pixel(x, y);
                worst = std::max({worst, std::abs(qRed(p) - qRed(q)), std::abs(qGreen(p) - qGreen(q)),
                                  std::abs(qBlue(p) - qBlue(q))});
            }
        }
        QCOMPARE(worst, 0);
    }

    // A link that closes while the plot is held stays on screen until Live;
    // the next link's readings go into a history of their own meanwhile.
    // Past its memory budget the oldest readings go and the plot says so.
    void closedWhileHeldAndDropped()
    {
        TracePlot plot;
        TestReadingSource source;
        plot.setSource(&source);
        pushReadings(source, 100, kT0, 1000, 1000);
        plot.setPaused(true);
        source.end(QStringLiteral("lost"));
        QVERIFY(plot.hasData());
        QCOMPARE(plot.readingCount(), 31);
        pushReadings(source, 10, kT0 + 500e3, 1000, 1000);
        QCOMPARE(plot.readingAt(0).utcMs, kT0 + 69000);
        plot.setPaused(false);
        QCOMPARE(plot.readingCount(), 10);
        QCOMPARE(plot.readingAt(0).utcMs, kT0 + 500000);

        plot.setHistoryBudget(3 * ReadingHistory::chunkBytes() + 4096);
        QVERIFY(!plot.hasData());
        QSignalSpy dropped(&plot, &TracePlot::droppedChanged);
        pushReadings(source, 4 * ReadingHistory::kChunkReadings, kT0, 50, 50);
        QCOMPARE(plot.droppedReadings(), double(ReadingHistory::kChunkReadings));
        QCOMPARE(plot.oldestTime(), kT0 + 50.0 * ReadingHistory::kChunkReadings);
        QCOMPARE(dropped.size(), 2); // the first reading, then the first chunk dropped
        source.end();
        QCOMPARE(plot.droppedReadings(), 0.0);
        QVERIFY(std::isnan(plot.oldestTime()));
    }

    // The bars take the latest reading outside a sweep, with the ranges the
    // chart arithmetic gives; off screen the latest waits; the end of the
    // link brings the empty chart back.
    void bars()
    {
        BarReadings bars;
        TestReadingSource source;
        bars.setSource(&source);
        QSignalSpy updated(&bars, &BarReadings::updated);
        source.push({0, 50, 2000, kNan, -3});
        const chartscale::Bars expected = chartscale::bars({0, 50, 2000, kNan, -3, 0, 0, 0}, 8);
        QCOMPARE(bars.values().mid(0, 3), (L{0, 50, 2000}));
        QVERIFY(std::isnan(bars.values().at(3)));
        QCOMPARE(bars.values().at(4), 0.0);
        QCOMPARE((L{bars.linearMin(), bars.linearMax(), bars.logMin(), bars.logMax()}),
                 (L{expected.linear.min, expected.linear.max, expected.log.min, expected.log.max}));
        source.push(filled(9), qQNaN(), 1000, {}, true);
        QCOMPARE(bars.values().at(0), 0.0);
        bars.setActive(false);
        source.push(filled(3));
        source.push(filled(4));
        QCOMPARE(updated.size(), 1);
        bars.setActive(true);
        QCOMPARE(bars.values(), L(8, 4));
        // Per second: each count over its reading's gate, the latest kept.
        source.push(filled(3), qQNaN(), 250);
        bars.setPerSecond(true);
        QCOMPARE(bars.values(), L(8, 12));
        QCOMPARE(bars.linearMax(), chartscale::bars(QList<double>(8, 12), 8).linear.max);
        source.push({100, kNan}, qQNaN(), 2000);
        QCOMPARE(bars.values().at(0), 50.0);
        QVERIFY(std::isnan(bars.values().at(1)));
        QCOMPARE(bars.values().at(2), 0.0);
        bars.setPerSecond(false);
        QCOMPARE(bars.values().at(0), 100.0);
        source.end();
        QCOMPARE((L{bars.values().at(2), bars.linearMin(), bars.linearMax(), bars.logMin(), bars.logMax()}),
                 (L{0, 0, 1, 1, 10}));
    }

    // Every point goes to the export; only drawable ones to the lines (log:
    // counts of at least 1), ranges grow from the drawn counts, and the raw
    // count stays behind each drawn point.
    void sweepPoints()
    {
        SweepPoints points;
        TestReadingSource source;
        QLineSeries lin, log;
        points.setSource(&source);
        points.setLinearSeries(&lin);
        points.setLogSeries(&log);
        points.clear(3);
        for (const auto &[mv, count] : QList<std::pair<double, double>>{{100, 7}, {110, kNan}, {120, 0.5}, {130, 1e308}})
            source.pushSweepPoint(3, mv, count);
        QCOMPARE((QList<int>{points.count(), points.drawnCount(), int(lin.count()), int(log.count())}),
                 (QList<int>{4, 3, 3, 2}));
        QCOMPARE(lin.at(2), QPointF(130, 1e300));
        QCOMPARE(points.countAt(2, false), 1e308);
        QCOMPARE(points.countAt(1, true), 1e308);
        QVERIFY(std::isnan(points.countAt(3, false)));
        const chartscale::Range r = chartscale::paddedLinearRange(0.5, 1e300);
        QCOMPARE((L{points.linearMin(), points.linearMax()}), (L{r.min, r.max}));
        const QStringList rows = csvLines(points.csvTable());
        QCOMPARE(rows.size(), 5);
        QCOMPARE(rows.at(0), QStringLiteral("channel,threshold_mv,count,time_utc"));
        QVERIFY2(rows.at(2).startsWith(QStringLiteral("3,110,nan,")), qPrintable(rows.at(2)));
        points.clear(1);
        QCOMPARE((QList<int>{points.count(), int(lin.count()), points.channel()}), (QList<int>{0, 0, 1}));
        QCOMPARE((L{points.linearMin(), points.linearMax(), points.logMin(), points.logMax()}), (L{0, 1, 1, 10}));
    }
};

QTEST_MAIN(TestChartItems)
#include "tst_traceplot.moc"
