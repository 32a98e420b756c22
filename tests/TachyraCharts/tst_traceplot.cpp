// The time view's plot item and the chart data objects of the scene, fed
// by a test source of readings as the session feeds them.

#include "../common/TestReadingSource.h"
#include "BarReadings.h"
#include "ChartScale.h"
#include "ReadingRow.h"
#include "SweepPoints.h"
#include "TracePlot.h"

#include <QtCharts/QLineSeries>
#include <QtTest>

namespace {

using L = QList<double>;
const double kNan = qQNaN();
const double kT0 = 1.7e12; // a clock reading, ms since the epoch

QVariantList filled(double v) { return QVariantList(8, v); }

QStringList csvLines(const QByteArray &table) { return QString::fromLatin1(table).split(u'\n', Qt::SkipEmptyParts); }

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
