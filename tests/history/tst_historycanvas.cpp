// The history's drawing: at 30 s it is today's TraceCanvas drawing; at any
// span up to 24 h the level-of-detail drawing looks like the drawing of every
// point; the image scrolls as time moves on and pans.

#include "HistoryCanvas.h"
#include "PerSecond.h"

#include <QtTest>

#include <cmath>
#include <random>

namespace {

constexpr qint64 kT0 = 1700000000000;
const double kNan = qQNaN();

const QList<QColor> kColors{QColor("#FF4300"), QColor("#0075B9"), QColor("#FFC000"), QColor("#7E3095"),
                            QColor("#6CBF00"), QColor("#FF0000"), QColor("#009CC3"), QColor("#FF8000")};

TraceCanvas::Style style(double timeStepMs = 5000)
{
    TraceCanvas::Style s{QColor("#2C2C2C"), QColor("#666666"), QColor("#444444"), kColors};
    s.timeStepMs = timeStepMs;
    return s;
}

// Channel c at reading i of n: a wave with noise, each channel its own
// trouble: 2 breaks for a stretch, 3 has lone points between NaNs, 5 has
// single NaNs now and then, 6 has zeros (skipped by the log line).
double value(int c, qsizetype i, qsizetype n, std::mt19937_64 &rng)
{
    const double phase = 6.283 * double(i) / double(n);
    std::normal_distribution<double> noise(0, 1);
    const double wave = 1500 + 1000 * c + 300 * std::sin(3 * phase + c);
    switch (c) {
    case 2: return (i * 10 / n) == 4 ? kNan : wave + 20 * noise(rng);
    case 3: return (i / 40) % 9 == 5 ? (i % 2 ? kNan : wave) : wave + 40 * noise(rng);
    case 5: return rng() % 500 == 0 ? kNan : wave + 5 * noise(rng);
    case 6: return rng() % 300 == 0 ? 0 : wave + 100 * noise(rng);
    default: return wave + 60 * noise(rng);
    }
}

// n readings every gateMs, a little uneven, ending at kT0.
void fill(ReadingHistory &h, qsizetype n, int gateMs, quint64 seed = 1)
{
    std::mt19937_64 rng(seed);
    Reading r;
    r.periodMs = gateMs;
    for (qsizetype i = 0; i < n; ++i) {
        for (int c = 0; c < Reading::kChannels; ++c)
            r.counts[c] = value(c, i, n, rng);
        r.utcMs = kT0 - (n - 1 - i) * gateMs + qint64(rng() % 3);
        h.append(r);
    }
}

TraceScale scaleAt(int width, double spanMs, double rightMs, bool log)
{
    return TraceScale(width, 240, spanMs, rightMs, log ? chartscale::Range{500, 12000} : chartscale::Range{0, 10000}, log);
}

bool near(QRgb p, QRgb q, int tolerance)
{
    return std::abs(qRed(p) - qRed(q)) <= tolerance && std::abs(qGreen(p) - qGreen(q)) <= tolerance
           && std::abs(qBlue(p) - qBlue(q)) <= tolerance;
}

// The colours a drawing is made of: background, grid and channels.
QList<QRgb> palette()
{
    const TraceCanvas::Style s = style();
    QList<QRgb> out{s.background.rgb(), s.grid.rgb(), s.minorGrid.rgb()};
    for (const QColor &c : s.colors)
        out.append(c.rgb());
    return out;
}

// Solid pixels of a (within the tolerance of a colour of the palette) that
// b has nowhere within one pixel. Blends at the lines' antialiased edges
// and crossings are left out: how many segments overlap there is not the
// point; where the lines are, where they break and what they reach is.
QList<QPoint> unmatched(const QImage &a, const QImage &b, int skipColumns = 0)
{
    constexpr int kTolerance = 40;
    const QList<QRgb> colors = palette();
    QList<QPoint> out;
    for (int y = 0; y < a.height(); ++y) {
        for (int x = skipColumns; x < a.width(); ++x) {
            const QRgb p = a.pixel(x, y);
            const auto solid = std::find_if(colors.begin(), colors.end(), [&](QRgb c) { return near(p, c, kTolerance); });
            if (solid == colors.end())
                continue;
            bool found = false;
            for (int dy = -1; dy <= 1 && !found; ++dy) {
                for (int dx = -1; dx <= 1 && !found; ++dx) {
                    const int u = x + dx, v = y + dy;
                    found = u >= 0 && v >= 0 && u < b.width() && v < b.height() && near(*solid, b.pixel(u, v), kTolerance);
                }
            }
            if (!found)
                out.append(QPoint(x, y));
        }
    }
    return out;
}

// Whether two images show the same drawing: no 2 x 2 block of pixels that
// either lacks, and few such pixels at all. Empty when they do.
QString sameDrawing(const QImage &a, const QImage &b, int skipColumns = 0)
{
    QList<QPoint> points = unmatched(a, b, skipColumns) + unmatched(b, a, skipColumns);
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

} // namespace

class TestHistoryCanvas : public QObject
{
    Q_OBJECT
private slots:
    // At any span the level-of-detail drawing shows what drawing every point
    // shows, to within a pixel: lines, gaps, lone points, the log line over
    // zeros.
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
        fill(h, qsizetype(spanMs / gateMs) + 50, gateMs);
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

    // At 30 s the drawing is today's: the trace plot's window and canvas
    // given the same readings draw the same pixels, whole or scrolled on
    // reading by reading (but for the leftmost columns, where the window has
    // already let go of the readings before its edge).
    void thirtySecondsAsToday_data()
    {
        QTest::addColumn<bool>("log");
        QTest::addColumn<int>("width");
        QTest::newRow("linear") << false << 600;
        QTest::newRow("log") << true << 600;
        QTest::newRow("wide") << false << 1000;
    }
    void thirtySecondsAsToday()
    {
        QFETCH(bool, log);
        QFETCH(int, width);
        ReadingHistory h;
        TraceWindow w(8, 30000);
        std::mt19937_64 rng(3);
        HistoryCanvas scrolled;
        const QList<bool> all(8, true);
        double now = 0;
        for (int i = 0; i < 1500; ++i) {
            Reading r;
            for (int c = 0; c < Reading::kChannels; ++c)
                r.counts[c] = value(c, i, 1500, rng);
            r.utcMs = kT0 + 50 * i + (i % 3);
            now = double(r.utcMs);
            h.append(r);
            w.append(now, QList<double>(r.counts.begin(), r.counts.end()));
            if (i >= 1300) {
                const bool whole = scrolled.draw(h, scaleAt(width, 30000, now, log), style(), all);
                QVERIFY(whole == (i == 1300));
            }
        }
        QVERIFY(scrolled.drewEveryPoint());
        TraceCanvas today;
        today.draw(w, scaleAt(width, 30000, now, log), style(), all);
        QCOMPARE(largestDifference(scrolled.image(), today.image(), 2), 0);
    }

    // Following the newest reading at a span of an hour, or panning back and
    // forth at one zoom, the image scrolls and draws only what changed, and
    // shows what a whole drawing shows.
    void scrolling_data()
    {
        QTest::addColumn<bool>("everyPoint");
        QTest::newRow("level of detail") << false;
        QTest::newRow("every point") << true;
    }
    void scrolling()
    {
        QFETCH(bool, everyPoint);
        const double span = everyPoint ? 60e3 : 3600e3;
        const int gate = 200;
        ReadingHistory h;
        fill(h, qsizetype(2 * span / gate), gate, 5);
        const QList<bool> all(8, true);
        HistoryCanvas canvas;
        QVERIFY(canvas.draw(h, scaleAt(600, span, double(kT0), false), style(span / 6), all));
        QCOMPARE(canvas.drewEveryPoint(), everyPoint);
        std::mt19937_64 rng(6);
        double right = double(kT0);
        for (int k = 0; k < 60; ++k) {
            // New readings at the right edge, then the view follows.
            Reading r;
            for (int c = 0; c < Reading::kChannels; ++c)
                r.counts[c] = value(c, k, 60, rng);
            r.utcMs = kT0 + qint64(k + 1) * gate * 10;
            h.append(r);
            right = double(r.utcMs);
            QVERIFY2(!canvas.draw(h, scaleAt(600, span, right, false), style(span / 6), all), "a reading redrew all");
        }
        const double px = span / 600;
        for (double pan : {-5.0, -130.0, 70.0, -1.0, 3.0}) {
            right += pan * px;
            QVERIFY2(!canvas.draw(h, scaleAt(600, span, right, false), style(span / 6), all), "a pan redrew all");
        }
        HistoryCanvas whole;
        QVERIFY(whole.draw(h, scaleAt(600, span, right, false), style(span / 6), all));
        const int difference = largestDifference(canvas.image(), whole.image(), 0);
        QVERIFY2(difference <= (everyPoint ? 2 : 0), qPrintable(QString::number(difference)));
    }

    // A clear, an eviction or another zoom redraws everything.
    void redrawsWhole()
    {
        ReadingHistory h(3 * ReadingHistory::chunkBytes());
        fill(h, 3 * ReadingHistory::kChunkReadings, 50, 7);
        const QList<bool> all(8, true);
        const TraceScale s = scaleAt(600, 600e3, double(kT0), false);
        HistoryCanvas canvas;
        QVERIFY(canvas.draw(h, s, style(), all));
        QVERIFY(!canvas.draw(h, s, style(), all));
        QVERIFY(canvas.draw(h, scaleAt(600, 500e3, double(kT0), false), style(), all));
        Reading r;
        r.utcMs = kT0 + 50;
        h.append(r); // a new chunk: the oldest goes
        QVERIFY(h.evicted() > 0);
        QVERIFY(canvas.draw(h, s, style(), all));
        h.clear();
        h.append(r);
        QVERIFY(canvas.draw(h, s, style(), all));
    }

    // Held still: rows from `end` on are not drawn, as if not there yet, and
    // readings that come meanwhile redraw nothing.
    void heldEnd_data()
    {
        QTest::addColumn<double>("spanMs");
        QTest::newRow("every point") << 30e3;
        QTest::newRow("level of detail") << 3600e3;
    }
    void heldEnd()
    {
        QFETCH(double, spanMs);
        const qsizetype held = qsizetype(spanMs / 200) + 100;
        ReadingHistory all;
        fill(all, held + 40, 200, 9);
        ReadingHistory truncated; // only the rows held
        for (qsizetype i = 0; i < held; ++i)
            truncated.append(all.reading(i));
        // Right edge a little past the last row held, so that the rows after
        // it would be in view.
        const double right = double(all.timeKey(held - 1)) + 5000;
        const TraceScale s = scaleAt(600, spanMs, right, false);
        const QList<bool> shown(8, true);
        HistoryCanvas held1;
        held1.draw(all, s, style(spanMs / 6), shown, {held, false});
        HistoryCanvas want;
        want.draw(truncated, s, style(spanMs / 6), shown);
        QCOMPARE(largestDifference(held1.image(), want.image(), 0), 0);
        const QImage before = held1.image();
        for (qsizetype i = 0; i < 30; ++i) {
            Reading r = all.reading(held + i);
            r.utcMs = kT0 + 200 * (i + 1);
            all.append(r);
        }
        QVERIFY(!held1.draw(all, s, style(spanMs / 6), shown, {held, false}));
        QCOMPARE(largestDifference(held1.image(), before, 0), 0);
    }

    // Per second: a history drawn per second looks as one whose counts are
    // already those rates at a gate of a second; readings of no known
    // period are gaps. Periods change inside pixel columns at long spans.
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
        ReadingHistory counts, rates;
        std::mt19937_64 rng(10);
        const int periods[] = {50, 200, 0, 2000, 100};
        const qsizetype n = qsizetype(spanMs / 150) + 50;
        qint64 t = kT0 - qint64(spanMs) - 10000;
        for (qsizetype i = 0; i < n; ++i) {
            Reading r;
            r.periodMs = periods[(i * 7 / n) % 5];
            t += r.periodMs ? r.periodMs / 2 + 50 : 100;
            r.utcMs = t;
            Reading rate = r;
            rate.periodMs = 1000;
            for (int c = 0; c < Reading::kChannels; ++c) {
                r.counts[c] = value(c, i, n, rng) / 20;
                rate.counts[c] = r.periodMs ? persecond::rate(r.counts[c], r.periodMs) : kNan;
            }
            counts.append(r);
            rates.append(rate);
        }
        const TraceScale s = TraceScale(600, 240, spanMs, double(t), log ? chartscale::Range{5, 2e5} : chartscale::Range{0, 2e5}, log);
        HistoryCanvas perSecond, plain;
        perSecond.draw(counts, s, style(spanMs / 6), QList<bool>(8, true), {-1, true});
        plain.draw(rates, s, style(spanMs / 6), QList<bool>(8, true));
        QCOMPARE(perSecond.drewEveryPoint(), plain.drewEveryPoint());
        if (plain.drewEveryPoint()) {
            QCOMPARE(largestDifference(perSecond.image(), plain.image(), 0), 0);
        } else {
            // Where a column holds two periods its lowest and highest points
            // are timed within each period's part: the same look, not the
            // same pixels.
            const QString difference = sameDrawing(perSecond.image(), plain.image());
            QVERIFY2(difference.isEmpty(), qPrintable(difference));
        }
    }
};

QTEST_MAIN(TestHistoryCanvas)
#include "tst_historycanvas.moc"
