// The time view's trace plot below the item: the window of readings, the
// mapping between readings and pixels, and the cached image that scrolls.

#include "TraceCanvas.h"

#include <QtTest>

#include <cmath>

namespace {

using Points = QList<QPointF>;
using L = QList<double>;
const double kNan = qQNaN();
const double kT0 = 1.7e12; // a clock reading, ms since the epoch

// The points a channel's line passes through, in order; a gap shows as a
// point with NaN y.
Points line(const TraceWindow &w, int channel, bool log)
{
    Points out;
    w.forEachSegment(channel, log, 0, [&](const TraceWindow::Point &a, const TraceWindow::Point &b) {
        if (out.isEmpty() || out.constLast() != QPointF(a.t, a.v)) {
            if (!out.isEmpty())
                out.append(QPointF(a.t, kNan));
            out.append(QPointF(a.t, a.v));
        }
        out.append(QPointF(b.t, b.v));
    });
    return out;
}

// Readings at the given times (ms from kT0), channel 0 taking the given counts.
TraceWindow feed(const L &times, const L &counts)
{
    TraceWindow w(2, 30000);
    for (qsizetype i = 0; i < times.size(); ++i)
        w.append(kT0 + times.at(i), {counts.at(i), 1});
    return w;
}

Points at(const L &times, const L &values)
{
    Points out;
    for (qsizetype i = 0; i < times.size(); ++i)
        out.append(QPointF(kT0 + times.at(i), values.at(i)));
    return out;
}

// Comparable text, NaN included.
QString text(const Points &points)
{
    QStringList parts;
    for (const QPointF &p : points)
        parts.append(QStringLiteral("(%1, %2)").arg(p.x() - kT0).arg(p.y()));
    return parts.join(u' ');
}

const QList<QColor> kColors{QColor("#FF4300"), QColor("#0075B9"), QColor("#FFC000"), QColor("#7E3095"),
                            QColor("#6CBF00"), QColor("#FF0000"), QColor("#009CC3"), QColor("#FF8000")};

TraceCanvas::Style style() { return {QColor("#2C2C2C"), QColor("#666666"), QColor("#444444"), kColors}; }

// Channel c of reading i: eight well separated, wavy lines.
double wave(int c, int i)
{
    return 1000 + 1100 * c + 300 * std::sin(i * 0.37 + c);
}

// Largest difference of any colour component, outside the leftmost columns.
int largestDifference(const QImage &a, const QImage &b, int skipColumns)
{
    int worst = 0;
    for (int y = 0; y < a.height(); ++y) {
        for (int x = skipColumns; x < a.width(); ++x) {
            const QRgb p = a.pixel(x, y), q = b.pixel(x, y);
            for (int d : {qRed(p) - qRed(q), qGreen(p) - qGreen(q), qBlue(p) - qBlue(q)})
                worst = std::max(worst, std::abs(d));
        }
    }
    return worst;
}

bool near(QRgb p, const QColor &c, int tolerance)
{
    return std::abs(qRed(p) - c.red()) + std::abs(qGreen(p) - c.green()) + std::abs(qBlue(p) - c.blue()) <= tolerance;
}

// Pixels of the image within tolerance of a colour.
int pixelsOf(const QImage &image, const QColor &c, int tolerance)
{
    int n = 0;
    for (int i = 0; i < image.width() * image.height(); ++i)
        n += near(image.pixel(i % image.width(), i / image.width()), c, tolerance);
    return n;
}

} // namespace

class TestTraceWindow : public QObject
{
    Q_OBJECT
private slots:
    // Exactly one point before the window's edge stays, so each line runs out
    // past the left of the plot; the log line keeps its own, which may be
    // older than every row kept, and a count that is not finite breaks a line.
    void pruning_data()
    {
        QTest::addColumn<L>("times");
        QTest::addColumn<L>("counts");
        QTest::addColumn<Points>("linear");
        QTest::addColumn<Points>("log");
        const L t{0, 10000, 20000, 40000, 45000}, kept{10000, 20000, 40000, 45000};
        QTest::newRow("one point before the edge") << t << L{3, 3, 3, 3, 3} << at(kept, {3, 3, 3, 3}) << at(kept, {3, 3, 3, 3});
        QTest::newRow("log keeps an older point") << t << L{5, 0, 0, 0, 7} << at(kept, {0, 0, 0, 7}) << at({0, 45000}, {5, 7});
        QTest::newRow("zeros: no log line") << t << L{0, 0, 0, 0, 0} << at(kept, {0, 0, 0, 0}) << Points();
        const Points gap = at({10000, 20000, 40000, 40000, 45000}, {4, 5, kNan, 6, 7});
        QTest::newRow("a gap") << L{0, 10000, 20000, 25000, 40000, 45000} << L{3, 4, 5, kNan, 6, 7} << gap << gap;
        QTest::newRow("a gap before the edge ends the log line's old point")
            << L{0, 10000, 40000, 41000, 42000} << L{5, -qInf(), 0, 8, 9} << at({40000, 41000, 42000}, {0, 8, 9})
            << at({41000, 42000}, {8, 9});
        QTest::newRow("after a long pause the line comes from the last point")
            << L{0, 100000} << L{2, 4} << at({0, 100000}, {2, 4}) << at({0, 100000}, {2, 4});
    }
    void pruning()
    {
        QFETCH(L, times);
        QFETCH(L, counts);
        QFETCH(Points, linear);
        QFETCH(Points, log);
        const TraceWindow w = feed(times, counts);
        QCOMPARE(text(line(w, 0, false)), text(linear));
        QCOMPARE(text(line(w, 0, true)), text(log));
    }

    // Value at a time along a line: interpolated within a segment, nothing
    // outside the line or in its gaps, raw counts beyond the draw limit.
    void interpolation_data()
    {
        QTest::addColumn<L>("times");
        QTest::addColumn<L>("counts");
        QTest::addColumn<bool>("log");
        QTest::addColumn<double>("t");
        QTest::addColumn<double>("value");
        const L t{0, 10, 10, 20}, v{0, 100, 50, 70};
        QTest::newRow("empty") << L{} << L{} << false << 0.0 << kNan;
        QTest::newRow("before") << t << v << false << -1.0 << kNan;
        QTest::newRow("after") << t << v << false << 21.0 << kNan;
        QTest::newRow("single") << L{5} << L{7} << false << 5.0 << 7.0;
        QTest::newRow("inside") << t << v << false << 2.5 << 25.0;
        QTest::newRow("shared time: first wins") << t << v << false << 10.0 << 100.0;
        QTest::newRow("second segment") << t << v << false << 15.0 << 60.0;
        QTest::newRow("vertical") << L{3, 3} << L{1, 9} << false << 3.0 << 9.0;
        QTest::newRow("in a gap") << L{0, 10, 20} << L{4, kNan, 6} << false << 5.0 << kNan;
        QTest::newRow("beside a gap, at a lone point") << L{0, 10, 20} << L{kNan, 8, kNan} << false << 10.0 << 8.0;
        QTest::newRow("log skips counts below 1") << L{0, 10, 20} << L{10, 0, 30} << true << 5.0 << 15.0;
        QTest::newRow("raw beyond the draw limit") << L{0, 10} << L{1e308, 1e308} << false << 5.0 << 1e308;
    }
    void interpolation()
    {
        QFETCH(L, times);
        QFETCH(L, counts);
        QFETCH(bool, log);
        QFETCH(double, t);
        QFETCH(double, value);
        const TraceWindow w = feed(times, counts);
        const double got = w.valueAt(0, log, kT0 + t);
        QVERIFY2(got == value || (std::isnan(got) && std::isnan(value)), qPrintable(QString::number(got)));
    }

    // Times and counts to pixels and back; the time axis is whole columns of
    // absolute time, so the same time lands on the same pixel fraction
    // whatever the right edge.
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
        QFETCH(bool, log);
        QFETCH(double, value);
        QFETCH(double, y);
        const chartscale::Range r = log ? chartscale::Range{10, 1000} : chartscale::Range{100, 1100};
        const TraceScale s(600, 200, 30000, kT0 + 20, r, log);
        QCOMPARE(s.msPerPixel(), 50.0);
        QCOMPARE(s.timeForX(600), kT0 + 50); // right edge rounded up to a whole column
        QCOMPARE(s.xForTime(kT0 + 25), 599.5);
        const TraceScale later(600, 200, 30000, kT0 + 1000, r, log);
        QCOMPARE(later.xForTime(kT0 + 25), 599.5 - 19);
        const double got = s.yForValue(value);
        QVERIFY2(qFuzzyCompare(1 + got, 1 + y) || (std::isnan(got) && std::isnan(y)), qPrintable(QString::number(got)));
        if (!std::isnan(y))
            QVERIFY(qFuzzyCompare(s.valueForY(y), value));
    }

    // Counts: linear every interval from 0 with a minor line halfway, the top
    // and bottom of the range included (a constant count and the empty plot
    // are labelled at their top); log at the powers with nine minor lines
    // between them, those below the first power included.
    void countTicks_data()
    {
        QTest::addColumn<bool>("log");
        QTest::addColumn<L>("range");
        QTest::addColumn<L>("major");
        QTest::addColumn<L>("minorEnds"); // first and last
        QTest::newRow("linear") << false << L{0, 1.15} << L{0, 0.5, 1} << L{0.25, 0.75};
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
        const TraceScale::Ticks t = TraceScale(600, 200, 30000, kT0, {range.at(0), range.at(1)}, log).yTicks(3);
        QCOMPARE(t.major, major);
        QCOMPARE((L{t.minor.constFirst(), t.minor.constLast()}), minorEnds);
    }

    void ticks()
    {
        // Time: the shortest step that keeps labels apart, on round times.
        const TraceScale s(600, 200, 30000, kT0 + 20, {0, 1}, false);
        QCOMPARE(s.timeStep(80), 5000.0);
        QCOMPARE(s.timeStep(1e9), 14 * 86400e3);
        const QList<double> times = s.timeTicks(5000);
        QVERIFY(times.size() == 6 && std::fmod(times.first(), 5000) == 0.0);
        // Long spans: hours and days, on round local times (here 5:30 ahead of UTC).
        const TraceScale day(1000, 200, 86400e3, kT0, {0, 1}, false);
        QCOMPARE(day.timeStep(120), 3 * 3600e3);
        QCOMPARE(TraceScale(1000, 200, 7 * 86400e3, kT0, {0, 1}, false).timeStep(120), 86400e3);
        const double offset = 5.5 * 3600e3;
        const QList<double> hours = day.timeTicks(3 * 3600e3, -offset);
        QCOMPARE(hours.size(), 8);
        for (double t : hours)
            QCOMPARE(std::fmod(t + offset, 3 * 3600e3), 0.0);
        QVERIFY(day.timeTicks(3600e3, qQNaN()).isEmpty());
        // A rate axis may start below 1: down to its floor, decades below 1 labelled.
        const TraceScale rates(600, 200, 30000, kT0, {0.05, 200}, true, 0.02);
        QCOMPARE(rates.yRange().min, 0.05);
        QCOMPARE(rates.yTicks(5).major, (L{0.1, 1, 10, 100}));
        QCOMPARE(TraceScale(600, 200, 30000, kT0, {0.001, 200}, true, 0.02).yRange().min, 0.02);
        QCOMPARE(TraceScale(600, 200, 30000, kT0, {0.05, 200}, true).yRange().min, 1.0);
        // Hover tags of nearly equal values are spread downwards.
        L tags{10, 12, 20, 50, 100};
        TraceScale::spreadApart(tags, 16);
        QCOMPARE(tags, (L{10, 26, 42, 58, 100}));
    }

    // After the image has scrolled through 200 readings it shows what a
    // full drawing of the same window shows, outside the leftmost columns
    // (segments pruned off the left still reach into those).
    void scrolledEqualsFullRepaint()
    {
        TraceWindow w(8, 30000);
        TraceCanvas scrolled;
        const auto scaleAt = [](double now, bool log = false) {
            return TraceScale(600, 200, 30000, now, log ? chartscale::Range{500, 10000} : chartscale::Range{0, 10000}, log);
        };
        const QList<bool> all(8, true);
        int i = 0;
        double now = kT0;
        const auto reading = [](int k) {
            L counts;
            for (int c = 0; c < 8; ++c)
                counts.append(wave(c, k));
            return counts;
        };
        const auto read = [&] {
            now = kT0 + 50 * i + (i % 3); // readings are not evenly spaced
            w.append(now, reading(i++));
        };
        for (int k = 0; k < 700; ++k)
            read();
        QVERIFY(scrolled.draw(w, scaleAt(now), style(), all));
        for (int k = 0; k < 200; ++k) {
            read();
            QVERIFY2(!scrolled.draw(w, scaleAt(now), style(), all), "a reading redrew the whole image");
        }
        TraceCanvas full;
        QVERIFY(full.draw(w, scaleAt(now), style(), all));
        const int difference = largestDifference(scrolled.image(), full.image(), 2);
        QVERIFY2(difference <= 2, qPrintable(QString::number(difference)));

        // The lines reach the newest point, here one second after the one before.
        const double before = now;
        const int last = i - 1;
        now += 1000;
        w.append(now, reading(0));
        QVERIFY(!scrolled.draw(w, scaleAt(now), style(), all));
        const TraceScale &s = scrolled.scale();
        QVERIFY(s.xForTime(now) > 599 && s.xForTime(now) <= 600);
        for (int c = 0; c < 8; ++c) {
            for (double f : {0.5, 0.9}) {
                const double x = s.xForTime(before + f * 1000);
                const double y = s.yForValue(wave(c, last) + f * (wave(c, 0) - wave(c, last)));
                QVERIFY2(near(scrolled.image().pixel(int(x), int(y)), kColors.at(c), 60), qPrintable(QString::number(c)));
            }
        }

        // Hiding a channel and switching to log each redraw everything.
        QList<bool> some = all;
        some[3] = false;
        QVERIFY(pixelsOf(scrolled.image(), kColors.at(3), 30) > 500);
        QVERIFY(scrolled.draw(w, scaleAt(now), style(), some));
        QCOMPARE(pixelsOf(scrolled.image(), kColors.at(3), 30), 0);
        QVERIFY(scrolled.draw(w, scaleAt(now, true), style(), some));
        TraceCanvas log;
        log.draw(w, scaleAt(now, true), style(), some);
        QCOMPARE(largestDifference(scrolled.image(), log.image(), 0), 0);
    }

    // A count that is not finite leaves a gap in its channel's line only.
    void gapsForNonFiniteCounts()
    {
        TraceWindow w(2, 30000);
        for (int k = 0; k <= 6; ++k)
            w.append(kT0 + 5000 * k, {k == 3 ? kNan : 4600.0, k == 3 ? qInf() : 2300.0});
        TraceCanvas canvas;
        const TraceScale s(600, 200, 30000, kT0 + 30000, {0, 10000}, false);
        canvas.draw(w, s, style(), {true, true});
        const int y0 = int(s.yForValue(4600)), y1 = int(s.yForValue(2300));
        QVERIFY(near(canvas.image().pixel(int(s.xForTime(kT0 + 7500)), y0), kColors.at(0), 60));
        for (double t = kT0 + 10000 + 1000; t <= kT0 + 20000 - 1000; t += 500) {
            const int x = int(s.xForTime(t));
            QVERIFY2(!near(canvas.image().pixel(x, y0), kColors.at(0), 150), qPrintable(QString::number(x)));
            QVERIFY(!near(canvas.image().pixel(x, y1), kColors.at(1), 150));
        }
        QVERIFY(near(canvas.image().pixel(int(s.xForTime(kT0 + 22500)), y0), kColors.at(0), 60));
    }
};

QTEST_MAIN(TestTraceWindow)
#include "tst_tracewindow.moc"
