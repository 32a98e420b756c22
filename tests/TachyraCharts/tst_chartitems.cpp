// The bar chart's and the sweep's data objects, fed by a test source as the session feeds them.

#include "../common/TestReadingSource.h"
#include "BarReadings.h"
#include "ChartScale.h"
#include "ReadingRow.h"
#include "SweepPoints.h"

#include <QtCharts/QLineSeries>
#include <QtTest>

namespace {

using L = QList<double>;
const double kNan = qQNaN();

QVariantList filled(double v) { return QVariantList(8, v); }

QStringList csvLines(const QByteArray &table) { return QString::fromLatin1(table).split(u'\n', Qt::SkipEmptyParts); }

} // namespace

class TestChartItems : public QObject
{
    Q_OBJECT
private slots:
    // The latest reading outside a sweep, waiting while off screen; the link's end empties the chart.
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

    // Every point to the export, drawable ones to the lines (log: at least 1), each keeping its raw count;
    // a cleared run starts empty on its channels.
    void sweepPoints()
    {
        SweepPoints points;
        TestReadingSource source;
        QLineSeries lin, log;
        points.setSource(&source);
        points.setSeries(3, &lin, &log);
        points.clear(QList<int>{3});
        for (const auto &[mv, count] : QList<std::pair<double, double>>{{100, 7}, {110, kNan}, {120, 0.5}, {130, 1e308}})
            source.pushSweepPoint(3, mv, count);
        QCOMPARE((QList<int>{points.count(), points.drawnCount(), int(lin.count()), int(log.count())}),
                 (QList<int>{4, 3, 3, 2}));
        QCOMPARE(lin.at(2), QPointF(130, 1e300));
        QCOMPARE(points.countAt(3, 2, false), 1e308);
        QCOMPARE(points.countAt(3, 1, true), 1e308);
        QVERIFY(std::isnan(points.countAt(3, 3, false)));
        const chartscale::Range r = chartscale::paddedLinearRange(0.5, 1e300);
        QCOMPARE((L{points.linearMin(), points.linearMax()}), (L{r.min, r.max}));
        QStringList rows = csvLines(points.csvTable());
        QCOMPARE(rows.size(), 7); // and the headers of the spectrum and the suggestions, none analysed
        QCOMPARE(rows.at(0), QStringLiteral("channel,threshold_mv,count,time_utc"));
        QVERIFY2(rows.at(2).startsWith(QStringLiteral("3,110,nan,")), qPrintable(rows.at(2)));
        points.clear(QList<int>{1});
        QCOMPARE((QList<int>{points.count(), int(lin.count()), points.channel()}), (QList<int>{0, 0, 1}));
        QCOMPARE((L{points.linearMin(), points.linearMax(), points.logMin(), points.logMax()}), (L{0, 1, 1, 10}));

        // A run of two channels: each analysed as the next starts (the last on finish), spectra on request, bounded.
        QLineSeries lines[4];
        points.setSeries(0, &lines[0], &lines[1]);
        points.setSeries(2, &lines[2], &lines[3]);
        points.clear(QVariantList{0, 2});
        std::vector<calibration::SweepPoint> valley;
        for (int mv = 0; mv <= 1000; mv += 10) {
            // Noise falling off from 0 mV over a pulse-height peak at 300 mV.
            valley.push_back({double(mv), std::round(5e4 * std::exp(-mv / 25.0) + 2e4 / (1 + std::exp((mv - 300) / 40.0)))});
            source.pushSweepPoint(0, mv, valley.back().count);
        }
        source.pushSweepPoint(9, 5, 5);                                 // no such channel
        QCOMPARE(points.results().at(0).toMap().value("analysed"), false);
        for (int mv = 0; mv <= 100; mv += 10)
            source.pushSweepPoint(2, mv, 500);                           // flat: no valley
        const calibration::ChannelAnalysis want = calibration::analyseSweep(valley);
        QVERIFY(want.hasSuggestion());
        QCOMPARE(points.suggestionCount(), 1);
        QVariantMap first = points.results().at(0).toMap();
        QCOMPARE((QVariantList{first["channel"], first["suggestedMv"], first["levelMv"], first["bandLowMv"], first["quality"]}),
                 (QVariantList{0, want.suggestedMv, int(std::llround(want.suggestedMv)), want.bandLowMv, want.significance}));
        QCOMPARE(first["reason"].toString(), QString::fromStdString(calibration::reasonText(want)));
        QVERIFY(!points.results().at(1).toMap().value("analysed").toBool());
        points.finish();
        const QVariantMap flat = points.results().at(1).toMap();
        QCOMPARE((QVariantList{flat["analysed"], flat["hasSuggestion"], flat["levelMv"], flat["reasonKey"]}),
                 (QVariantList{true, false, -1, "flat"}));
        QVERIFY(std::isnan(flat["suggestedMv"].toDouble()));
        QCOMPARE(points.valueAt(0, 15, false), (valley[1].count + valley[2].count) / 2);

        points.setSpectrum(true);
        QCOMPARE(lines[0].count(), qsizetype(want.spectrum.size()));
        QCOMPARE(lines[0].at(3), QPointF(want.spectrum[3].thresholdMv, want.spectrum[3].perMv));
        QCOMPARE(points.spectrumPoints(0).size(), qsizetype(want.spectrum.size()));
        QVERIFY(points.linearMax() > want.spectrum[0].perMv && points.logMin() < 1);

        rows = csvLines(points.csvTable());
        const qsizetype spectra = rows.indexOf(QStringLiteral("channel,threshold_mv,counts_per_mv,error_per_mv"));
        QCOMPARE((QList<qsizetype>{rows.size(), spectra}), (QList<qsizetype>{1 + 101 + 11 + 1 + 100 + 10 + 1 + 2, 113}));
        QVERIFY(rows.at(spectra + 101 + 10 + 1).startsWith("0," + readingrow::formatDouble(want.suggestedMv) + ','));
        QVERIFY2(rows.last().startsWith(QStringLiteral("2,,,,,0,flat,\"no valley")), qPrintable(rows.last()));

        for (int i = 0; i < 5000; ++i)
            source.pushSweepPoint(2, i, 1);
        QCOMPARE(points.count(), 101 + int(calibration::kMaxPoints));
    }
};

QTEST_MAIN(TestChartItems)
#include "tst_chartitems.moc"
