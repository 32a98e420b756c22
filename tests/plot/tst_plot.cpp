// The time plot: its scale, its cached image against drawing every point, and the item.

#include "../common/ReadingMaker.h"
#include "../common/TestReadingSource.h"
#include "ChartScale.h"
#include "HistoryCanvas.h"
#include "PerSecond.h"
#include "TracePlot.h"

#include <QQuickWindow>
#include <QtQuickTest/quicktest.h>
#include <QtTest>

using namespace readingmaker;

namespace {

using L = QList<double>;
using Readings = QList<Reading>;

const QList<QColor> kColors{QColor("#FF4300"), QColor("#0075B9"), QColor("#FFC000"), QColor("#7E3095"),
                            QColor("#6CBF00"), QColor("#FF0000"), QColor("#009CC3"), QColor("#FF8000")};

HistoryCanvas::Style style(double timeStepMs = 5000)
{
    HistoryCanvas::Style s{QColor("#2C2C2C"), QColor("#666666"), QColor("#444444"), kColors};
    s.timeStepMs = timeStepMs;
    return s;
}

// n readings of waves every gateMs, a little uneven, ending at kT0.
Readings fillWaves(ReadingHistory &h, qsizetype n, int gateMs, quint64 seed = 1) { return fill(h, n, {Counts::Waves, gateMs, 0, 0, true}, seed); }

TraceScale scaleAt(int width, double spanMs, double rightMs, bool log)
{
    return TraceScale(width, 240, spanMs, rightMs, log ? chartscale::Range{500, 12000} : chartscale::Range{0, 10000}, log);
}

bool near(QRgb p, QRgb q, int tolerance)
{
    return std::abs(qRed(p) - qRed(q)) <= tolerance && std::abs(qGreen(p) - qGreen(q)) <= tolerance
           && std::abs(qBlue(p) - qBlue(q)) <= tolerance;
}

// Empty when each solid (palette) pixel of either image has its colour within a pixel in the other,
// but for a few scattered ones; antialiased blends are left out: where lines are, break and reach counts.
QString sameDrawing(const QImage &a, const QImage &b)
{
    constexpr int kTolerance = 40;
    QList<QRgb> colors{style().background.rgb(), style().grid.rgb(), style().minorGrid.rgb()}; // and the channels'
    for (const QColor &c : kColors)
        colors.append(c.rgb());
    QList<QPoint> points;
    for (const auto &[p, q] : {std::pair{&a, &b}, std::pair{&b, &a}}) {
        for (int y = 0; y < p->height(); ++y) {
            for (int x = 0; x < p->width(); ++x) {
                const auto solid = std::find_if(colors.begin(), colors.end(), [&](QRgb c) { return near(p->pixel(x, y), c, kTolerance); });
                bool found = solid == colors.end();
                for (int d = 0; d < 9 && !found; ++d)
                    found = q->valid(x + d % 3 - 1, y + d / 3 - 1) && near(*solid, q->pixel(x + d % 3 - 1, y + d / 3 - 1), kTolerance);
                if (!found)
                    points.append(QPoint(x, y));
            }
        }
    }
    QSet<QPair<int, int>> set;
    for (const QPoint &p : points)
        set.insert({p.x(), p.y()});
    for (const QPoint &p : points) {
        if (set.contains({p.x() + 1, p.y()}) && set.contains({p.x(), p.y() + 1}) && set.contains({p.x() + 1, p.y() + 1}))
            return QStringLiteral("2 x 2 pixels differ at (%1, %2)").arg(p.x()).arg(p.y());
    }
    const qsizetype limit = qsizetype(a.width()) * a.height() / 200;
    if (points.size() > limit)
        return QStringLiteral("%1 pixels differ, more than %2").arg(points.size()).arg(limit);
    return {};
}

// The plot of a series fed by a test source; show() puts it in a window of its own, drawn as the scene draws it.
struct Fed {
    QQuickWindow window;
    TestReadingSource source;
    TraceSeries series;
    TracePlot plot;
    Fed()
    {
        plot.setSeries(&series);
        series.setSource(&source);
    }
    void show()
    {
        window.resize(900, 380);
        plot.setParentItem(window.contentItem());
        plot.setSize(QSizeF(900, 380));
        QVariantList colors;
        for (const QColor &c : kColors)
            colors.append(c.name());
        plot.setColors(colors);
        window.show();
    }
    bool drawn() { return QTest::qWaitForWindowExposed(&window) && QQuickTest::qWaitForPolish(&plot); }
};

} // namespace

class TestPlot : public QObject
{
    Q_OBJECT
private slots:
    // Times and counts to pixels and back; a time lands on the same pixel fraction whatever the right edge.
    void mapping_data()
    {
        QTest::addColumn<bool>("log");
        QTest::addColumn<double>("value");
        QTest::addColumn<double>("y");
        QTest::newRow("linear bottom") << false << 100.0 << 200.0;
        QTest::newRow("linear top") << false << 1100.0 << 0.0;
        QTest::newRow("log decade") << true << 100.0 << 100.0;
        QTest::newRow("log top") << true << 1000.0 << 0.0;
        QTest::newRow("log: not drawable") << true << 0.0 << kNan;
    }
    void mapping()
    {
        const double t0 = double(kT0);
        QFETCH(bool, log);
        QFETCH(double, value);
        QFETCH(double, y);
        const chartscale::Range r = log ? chartscale::Range{10, 1000} : chartscale::Range{100, 1100};
        const TraceScale s(600, 200, 30000, t0 + 20, r, log);
        QCOMPARE(s.msPerPixel(), 50.0);
        QCOMPARE(s.timeForX(600), t0 + 50); // right edge rounded up to a whole column
        QCOMPARE(s.xForTime(t0 + 25), 599.5);
        const TraceScale later(600, 200, 30000, t0 + 1000, r, log);
        QCOMPARE(later.xForTime(t0 + 25), 599.5 - 19);
        const double got = s.yForValue(value);
        QVERIFY2(qFuzzyCompare(1 + got, 1 + y) || (std::isnan(got) && std::isnan(y)), qPrintable(QString::number(got)));
        if (!std::isnan(y))
            QVERIFY(qFuzzyCompare(s.valueForY(y), value));
    }

    // Linear ticks from 0 with a minor halfway, the range's ends included; log at powers, nine minors between.
    void countTicks_data()
    {
        QTest::addColumn<bool>("log");
        QTest::addColumn<L>("range");
        QTest::addColumn<L>("major");
        QTest::addColumn<L>("minorEnds"); // first and last
        QTest::newRow("empty plot") << false << L{0, 1} << L{0, 0.5, 1} << L{0.25, 0.75};
        QTest::newRow("constant counts") << false << L{4999.85, 5001} << L{5000, 5000.5, 5001} << L{5000.25, 5000.75};
        QTest::newRow("minor line below the first label") << false << L{0.1, 1.15} << L{0.5, 1} << L{0.25, 0.75};
        QTest::newRow("log") << true << L{5, 200} << L{10, 100} << L{5.5, 190};
    }
    void countTicks()
    {
        QFETCH(bool, log);
        QFETCH(L, range);
        QFETCH(L, major);
        QFETCH(L, minorEnds);
        const TraceScale::Ticks t = TraceScale(600, 200, 30000, double(kT0), {range.at(0), range.at(1)}, log).yTicks(3);
        QCOMPARE(t.major, major);
        QCOMPARE((L{t.minor.constFirst(), t.minor.constLast()}), minorEnds);
    }

    void ticks()
    {
        const double t0 = double(kT0);
        // Time: the shortest step that keeps labels apart, on round times.
        const TraceScale s(600, 200, 30000, t0 + 20, {0, 1}, false);
        QCOMPARE(s.timeStep(80), 5000.0);
        QCOMPARE(s.timeStep(1e9), 14 * 86400e3);
        const QList<double> times = s.timeTicks(5000);
        QVERIFY(times.size() == 6 && std::fmod(times.first(), 5000) == 0.0);
        // Long spans: hours and days, on round local times (here 5:30 ahead of UTC).
        const TraceScale day(1000, 200, 86400e3, t0, {0, 1}, false);
        QCOMPARE(day.timeStep(120), 3 * 3600e3);
        QCOMPARE(TraceScale(1000, 200, 7 * 86400e3, t0, {0, 1}, false).timeStep(120), 86400e3);
        const double offset = 5.5 * 3600e3;
        const QList<double> hours = day.timeTicks(3 * 3600e3, -offset);
        QCOMPARE(hours.size(), 8);
        for (double t : hours)
            QCOMPARE(std::fmod(t + offset, 3 * 3600e3), 0.0);
        QVERIFY(day.timeTicks(3600e3, qQNaN()).isEmpty());
        // A rate axis may start below 1: down to its floor, decades below 1 labelled.
        const TraceScale rates(600, 200, 30000, t0, {0.05, 200}, true, 0.02);
        QCOMPARE(rates.yRange().min, 0.05);
        QCOMPARE(rates.yTicks(5).major, (L{0.1, 1, 10, 100}));
        // Hover tags of nearly equal values are spread downwards.
        L tags{10, 12, 20, 50, 100};
        TraceScale::spreadApart(tags, 16);
        QCOMPARE(tags, (L{10, 26, 42, 58, 100}));
    }

    // On a log axis zeros are off the line, drawn as if left out: past the view's edges too, and in a redraw.
    // A hidden channel is not drawn.
    void zerosOffTheLogLine()
    {
        for (const double everyPointLimit : {qInf(), 0.0}) {
            ReadingHistory h, without, none; // without the zeros; without any reading
            HistoryCanvas canvas, want;
            canvas.setEveryPointLimit(everyPointLimit);
            want.setEveryPointLimit(everyPointLimit);
            const auto same = [&](double rightMs, const QList<bool> &shown = QList<bool>(8, true)) {
                const TraceScale s = scaleAt(600, 60e3, double(kT0) + rightMs, true);
                canvas.draw(h, s, style(), shown);
                want.draw(shown.at(0) ? without : none, s, style(), shown);
                return canvas.image() == want.image();
            };
            for (int k = 0; k <= 95; ++k) {
                const bool zero = (k > 18 && k < 22) || (k > 81 && k < 85) || k > 90;
                feed(h, {1000.0 * k}, {k == 50 ? qInf() : zero ? 0.0 : 1000.0});
                if (!zero)
                    feed(without, {1000.0 * k}, {k == 50 ? kNan : 1000.0}); // an infinity breaks the line as NaN does
                QVERIFY(k != 90 || same(81300)); // zeros just past both edges
            }
            QVERIFY(same(97000));
            feed(h, {96000}, {1000}), feed(without, {96000}, {1000});
            QVERIFY(same(97000)); // redrawn from the last point on the line
            QVERIFY(same(97000, {false}));
        }
    }
    // At any span the level-of-detail drawing shows what drawing every point shows, to within a pixel.
    void levelOfDetail_data()
    {
        QTest::addColumn<double>("spanMs");
        QTest::addColumn<int>("gateMs");
        QTest::addColumn<int>("width");
        QTest::addColumn<bool>("log");
        QTest::newRow("2 min") << 120e3 << 50 << 600 << false;
        QTest::newRow("10 min") << 600e3 << 50 << 600 << false;
        QTest::newRow("1 h, log") << 3600e3 << 200 << 600 << true;
        QTest::newRow("6 h") << 21600e3 << 1000 << 600 << false;
        QTest::newRow("24 h") << 86400e3 << 2000 << 600 << false;
        QTest::newRow("24 h, narrow: whole leaves per column") << 86400e3 << 1000 << 200 << false;
        QTest::newRow("24 h, narrow, log") << 86400e3 << 1000 << 200 << true;
    }
    void levelOfDetail()
    {
        QFETCH(double, spanMs);
        QFETCH(int, gateMs);
        QFETCH(int, width);
        QFETCH(bool, log);
        ReadingHistory h;
        fillWaves(h, qsizetype(spanMs / gateMs) + 50, gateMs);
        const TraceScale s = scaleAt(width, spanMs, double(kT0), log);
        HistoryCanvas lod;
        lod.draw(h, s, style(spanMs / 6), QList<bool>(8, true));
        QVERIFY(!lod.drewEveryPoint());
        HistoryCanvas every;
        every.setEveryPointLimit(qInf());
        every.draw(h, s, style(spanMs / 6), QList<bool>(8, true));
        QVERIFY(every.drewEveryPoint());
        const QString difference = sameDrawing(every.image(), lod.image());
        QVERIFY2(difference.isEmpty(), qPrintable(difference));
    }

    // Held, rows from `end` on are not drawn and readings meanwhile redraw nothing; live, following new readings
    // or panning, the image scrolls, draws only what changed and ends as a whole drawing.
    void scrolling_data()
    {
        QTest::addColumn<double>("spanMs");
        QTest::addColumn<bool>("log");
        QTest::newRow("every point") << 60e3 << false;
        QTest::newRow("level of detail") << 3600e3 << false;
        QTest::newRow("level of detail, log") << 3600e3 << true;
    }
    void scrolling()
    {
        QFETCH(double, spanMs);
        QFETCH(bool, log);
        const int gate = 200;
        const qsizetype held = qsizetype(2 * spanMs / gate);
        ReadingHistory h, truncated; // the latter only the rows held
        truncated.append(fillWaves(h, held + 40, gate, 5).constData(), held);
        const auto draw = [&](HistoryCanvas &canvas, const ReadingHistory &rows, double right, qsizetype end) {
            return canvas.draw(rows, scaleAt(600, spanMs, right, log), style(spanMs / 6), QList<bool>(8, true), {end, false});
        };
        HistoryCanvas canvas, want;
        double right = double(h.timeKey(held - 1)) + 5000; // so the rows after those held would be in view
        QVERIFY(draw(canvas, h, right, held));
        QCOMPARE(canvas.drewEveryPoint(), spanMs < 600e3);
        draw(want, truncated, right, -1);
        QCOMPARE(canvas.image(), want.image());
        const Readings more = make(60, {Counts::Waves, gate * 10}, 6, kT0 + gate * 10);
        h.append(more.constData(), 30);
        QVERIFY(!draw(canvas, h, right, held));
        QCOMPARE(canvas.image(), want.image());
        right = double(more.at(29).utcMs);
        draw(canvas, h, right, -1); // live again
        for (const Reading &r : more.mid(30)) { // new readings, then the view follows
            h.append(r);
            right = double(r.utcMs);
            QVERIFY2(!draw(canvas, h, right, -1), "a reading redrew all");
        }
        const double px = spanMs / 600;
        for (double pan : {-5.0, -130.0, 70.0, -1.0, 3.0}) {
            right += pan * px;
            QVERIFY2(!draw(canvas, h, right, -1), "a pan redrew all");
        }
        HistoryCanvas whole;
        QVERIFY(draw(whole, h, right, -1));
        const int tolerance = spanMs < 600e3 ? 2 : 0; // every point: antialiasing scrolled by part of a pixel
        for (int y = 0; y < whole.image().height(); ++y) {
            for (int x = 0; x < whole.image().width(); ++x)
                QVERIFY2(near(canvas.image().pixel(x, y), whole.image().pixel(x, y), tolerance), qPrintable(QStringLiteral("(%1, %2)").arg(x).arg(y)));
        }
    }

    // A clear, an eviction, another zoom, a channel hidden or a log axis redraws everything.
    void redrawsWhole()
    {
        ReadingHistory h(3 * ReadingHistory::chunkBytes());
        fillWaves(h, 3 * ReadingHistory::kChunkReadings, 50, 7);
        const QList<bool> all(8, true);
        const TraceScale s = scaleAt(600, 600e3, double(kT0), false);
        HistoryCanvas canvas;
        QVERIFY(canvas.draw(h, s, style(), all));
        QVERIFY(canvas.draw(h, scaleAt(600, 500e3, double(kT0), false), style(), all));
        QVERIFY(canvas.draw(h, s, style(), all));
        feed(h, {50}, {0}); // a new chunk: the oldest goes
        QVERIFY(h.evicted() > 0);
        QVERIFY(canvas.draw(h, s, style(), all));
        h.clear();
        feed(h, {50}, {0});
        QVERIFY(canvas.draw(h, s, style(), all));
        QVERIFY(canvas.draw(h, s, style(), {false, true}));
        QVERIFY(canvas.draw(h, scaleAt(600, 600e3, double(kT0), true), style(), {false, true}));
    }

    // Drawn per second, counts look as those rates drawn plain (periods change inside columns at long spans).
    void perSecond_data()
    {
        QTest::addColumn<double>("spanMs");
        QTest::addColumn<bool>("log");
        QTest::newRow("30 s") << 30e3 << false;
        QTest::newRow("30 s, log") << 30e3 << true;
        QTest::newRow("1 h") << 3600e3 << false;
        QTest::newRow("1 h, log") << 3600e3 << true;
    }
    void perSecond()
    {
        QFETCH(double, spanMs);
        QFETCH(bool, log);
        const qsizetype n = qsizetype(spanMs / 150) + 50;
        const Readings in = make(n, {Counts::Waves, 100, int(n / 7)}, 10); // periods of 100, 400 and unknown ms
        ReadingHistory counts, rates;
        counts.append(in.constData(), n);
        for (Reading r : in) {
            for (double &v : r.counts)
                v = r.periodMs ? persecond::rate(v, r.periodMs) : kNan;
            r.periodMs = 1000;
            rates.append(r);
        }
        const TraceScale s(600, 240, spanMs, double(in.last().utcMs), log ? chartscale::Range{5, 2e5} : chartscale::Range{0, 2e5}, log);
        HistoryCanvas perSecond, plain;
        perSecond.draw(counts, s, style(spanMs / 6), QList<bool>(8, true), {-1, true});
        plain.draw(rates, s, style(spanMs / 6), QList<bool>(8, true));
        QCOMPARE(perSecond.drewEveryPoint(), plain.drewEveryPoint());
        if (plain.drewEveryPoint()) {
            QCOMPARE(perSecond.image(), plain.image());
        } else {
            // A column of two periods times its extremes within each part: the same look, not pixels.
            const QString difference = sameDrawing(perSecond.image(), plain.image());
            QVERIFY2(difference.isEmpty(), qPrintable(difference));
        }
    }

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
        QTest::newRow("too large: clamped for drawing") << L{1e308, 1e308} << all << L{1e300, 1e300} << L{1e300, 1.15e300};
    }
    void rescale()
    {
        QFETCH(L, counts);
        QFETCH(QList<bool>, shown);
        QFETCH(L, linear);
        QFETCH(L, log);
        Fed f;
        f.plot.setChannelVisible(shown);
        for (qsizetype i = 0; i < counts.size(); ++i)
            f.source.push(QVariantList(8, counts.at(i)), kT0 + 50 * i);
        QCOMPARE(f.plot.yMin(), linear.at(0));
        QCOMPARE(f.plot.yMax(), linear.at(1));
        f.plot.setLogarithmic(true);
        QCOMPARE(f.plot.yMin(), log.at(0));
        QCOMPARE(f.plot.yMax(), log.at(1));
    }

    // The read-out and range follow per second; a rate log axis reaches one count per longest gate.
    void readOutPerSecond()
    {
        Fed f;
        f.source.push(QVariantList(8, 100), kT0, 50);
        f.source.push(QVariantList(8, 1), kT0 + 2000, 2000);
        f.plot.setPerSecond(true);
        QCOMPARE(f.plot.valueAt(3, kT0), 2000.0);
        QCOMPARE(f.plot.yMax(), chartscale::paddedLinearRange(0.5, 2000).max);
        f.plot.setLogarithmic(true);
        QCOMPARE(f.plot.yMin(), 0.5);
        f.plot.setPerSecond(false);
        QCOMPARE(f.plot.yMin(), 1.0);
    }

    // Drawn strip by strip through the item, the plot equals one whole drawing (but at the left edge); a pan
    // moves the view by plot-area pixels and holds it, a zoom keeps the time under the pointer.
    void drawnOnAsWhole()
    {
        Fed shown;
        TracePlot &plot = shown.plot;
        shown.show();
        for (int k = 0; k < 12; ++k) {
            shown.source.pushWave(100, kT0 + 5000.0 * k, 50, 50, quint64(k));
            QVERIFY(shown.drawn()); // drawn whole once, then strip by strip
        }
        const HistoryCanvas &canvas = plot.canvas();
        HistoryCanvas whole;
        QVERIFY(whole.draw(shown.series.history(), canvas.scale(), canvas.style(), QList<bool>(8, true)));
        // Square caps past the left edge are cut differently by a scrolled strip and a whole drawing.
        const QRect right(4, 0, whole.image().width() - 4, whole.image().height());
        QCOMPARE(canvas.image().copy(right), whole.image().copy(right));

        const double width = plot.plotArea().width(), newest = shown.series.timeMax(), span = shown.series.spanMs();
        QVERIFY(width > 500);
        QSignalSpy paused(&shown.series, &TraceSeries::pausedChanged);
        plot.pan(-width / 4); // a quarter of the span back
        QCOMPARE(paused.size(), 1);
        QCOMPARE(shown.series.timeMax(), newest - span / 4);
        const double x = width / 3, atX = plot.timeForX(x);
        plot.zoomAt(x, 0.5);
        QCOMPARE(shown.series.spanMs(), span / 2);
        QVERIFY(std::abs(plot.timeForX(x) - atX) <= span / 2 / width);
    }
};

QTEST_MAIN(TestPlot)
#include "tst_plot.moc"
