// What the time view shows of a history: the lines at the span's edge and
// their values between readings; how pans and zooms move it and where they
// stop; "all"; held views while readings go on; counts per second.

#include "ChartScale.h"
#include "HistoryView.h"
#include "PerSecond.h"
#include "SpanExtent.h"

#include <QtTest>

#include <cmath>
#include <cstring>
#include <random>

namespace {

constexpr qint64 kT0 = 1700000000000;
const double kNan = qQNaN();

// Channel c at reading i, each channel its own trouble: 1 counts below 1
// (skipped by the log line), 2 a stretch of NaN, 3 lone points between
// NaN and Inf, 5 zeros now and then, 6 all zero.
double value(int c, qsizetype i, std::mt19937_64 &rng)
{
    std::uniform_real_distribution<double> u(0, 1);
    switch (c) {
    case 1: return double(rng() % 4) / 2;
    case 2: return (i / 150) % 4 == 2 ? kNan : 200 + double(rng() % 50);
    case 3: return (i / 20) % 5 == 3 ? (i % 2 ? kNan : 40) : (u(rng) < 0.1 ? qInf() : double(rng() % 10));
    case 5: return u(rng) < 0.05 ? 0 : 1000 + double(rng() % 100);
    case 6: return 0;
    default: return 1000 * (c + 1) + 300 * std::sin(double(i) / 50) + double(rng() % 60);
    }
}

Reading reading(qsizetype i, qint64 utcMs, int periodMs, std::mt19937_64 &rng)
{
    Reading r;
    for (int c = 0; c < Reading::kChannels; ++c)
        r.counts[c] = value(c, i, rng);
    r.utcMs = utcMs;
    r.monotonicNs = utcMs * 1000000;
    r.periodMs = periodMs;
    return r;
}

// n readings gateMs apart ending at kT0.
void fill(ReadingHistory &h, qsizetype n, int gateMs, quint64 seed = 1)
{
    std::mt19937_64 rng(seed);
    for (qsizetype i = 0; i < n; ++i)
        h.append(reading(i, kT0 - (n - 1 - i) * gateMs, gateMs, rng));
}

bool same(double a, double b)
{
    return a == b || (std::isnan(a) && std::isnan(b));
}

using L = QList<double>;

// Readings at the given times (ms from kT0), channel 0 taking the given counts.
void feed(ReadingHistory &h, const L &times, const L &counts)
{
    for (qsizetype i = 0; i < times.size(); ++i) {
        Reading r;
        r.counts[0] = counts.at(i);
        r.utcMs = kT0 + qint64(times.at(i));
        h.append(r);
    }
}

} // namespace

class TestHistoryView : public QObject
{
    Q_OBJECT
private slots:
    // Live at 30 s a line comes in from its one point before the span's
    // edge, nothing older: the Y extent takes that point (the log line's may
    // be older, past counts it skips, unless a break comes between).
    void edgeOfTheSpan_data()
    {
        QTest::addColumn<L>("times");
        QTest::addColumn<L>("counts");
        QTest::addColumn<L>("linear"); // lo, hi
        QTest::addColumn<L>("log");    // lo, hi; none: no line
        const L t{0, 10000, 20000, 40000, 45000};
        QTest::newRow("the point before the edge") << t << L{9, 3, 3, 3, 3} << L{3, 3} << L{3, 3};
        QTest::newRow("log: an older point") << t << L{5, 0, 0, 0, 7} << L{0, 7} << L{5, 7};
        QTest::newRow("zeros: no log line") << t << L{0, 0, 0, 0, 0} << L{0, 0} << L{};
        QTest::newRow("a gap inside") << L{0, 10000, 20000, 25000, 40000, 45000} << L{3, 4, 5, kNan, 6, 7} << L{4, 7}
                                      << L{4, 7};
        QTest::newRow("a break before the edge") << L{0, 10000, 40000, 41000, 42000} << L{5, -qInf(), 0, 8, 9}
                                                 << L{0, 9} << L{8, 9};
        QTest::newRow("after a long pause") << L{0, 100000} << L{2, 4} << L{2, 4} << L{2, 4};
    }
    void edgeOfTheSpan()
    {
        QFETCH(L, times);
        QFETCH(L, counts);
        QFETCH(L, linear);
        QFETCH(L, log);
        ReadingHistory h;
        feed(h, times, counts);
        HistoryView view;
        QList<bool> shown(8, false);
        shown[0] = true;
        for (const bool isLog : {false, true}) {
            const ValueSpan got = HistoryView::extent(h, view.firstRow(h), view.lastRow(h), view.endRow(h), shown,
                                                      isLog, false);
            const L want = isLog ? log : linear;
            QCOMPARE(got.isEmpty() ? L() : (L{got.lo, got.hi}), want);
        }
    }

    // A line's value at a time: exact at a point (the first of two at one
    // time), interpolated between points, nothing outside the line or in its
    // gaps, the raw count beyond the draw limit.
    void valueAt_data()
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
        QTest::newRow("shared time: the first") << t << v << false << 10.0 << 100.0;
        QTest::newRow("after a shared time") << t << v << false << 15.0 << 60.0;
        QTest::newRow("in a gap") << L{0, 10, 20} << L{4, kNan, 6} << false << 5.0 << kNan;
        QTest::newRow("a lone point between gaps") << L{0, 10, 20} << L{kNan, 8, kNan} << false << 10.0 << 8.0;
        QTest::newRow("log skips counts below 1") << L{0, 10, 20} << L{10, 0, 30} << true << 5.0 << 15.0;
        QTest::newRow("raw beyond the draw limit") << L{0, 10} << L{1e308, 1e308} << false << 5.0 << 1e308;
    }
    void valueAt()
    {
        QFETCH(L, times);
        QFETCH(L, counts);
        QFETCH(bool, log);
        QFETCH(double, t);
        QFETCH(double, value);
        ReadingHistory h;
        feed(h, times, counts);
        const double got = HistoryView::valueAt(h, 0, log, false, double(kT0) + t, h.size());
        QVERIFY2(same(got, value), qPrintable(QString::number(got)));
    }

    // Pans and zooms: a pan holds the view and moves it by the time given,
    // no further back than the oldest reading at the left edge and no
    // further on than the newest one held; a zoom keeps the time under the
    // pointer where it is (held) or the newest reading at the right edge
    // (live, staying live). Readings that come while held change nothing
    // shown; Live shows them.
    void panAndZoom()
    {
        ReadingHistory h;
        fill(h, 7200, 1000); // two hours, the newest at kT0
        const double newest = double(kT0), oldest = double(kT0) - 7199e3;
        HistoryView view;
        view.setSpan(h, 600e3);
        QCOMPARE(view.rightEdge(h), newest);
        QVERIFY(!view.isHeld());

        view.pan(h, -60e3);
        QVERIFY(view.isHeld());
        QCOMPARE(view.rightEdge(h), newest - 60e3);
        QCOMPARE(view.lastRow(h) - view.firstRow(h), qsizetype(601)); // both edges on a reading
        std::mt19937_64 rng(3);
        for (int i = 0; i < 50; ++i)
            h.append(reading(i, kT0 + 1000 * (i + 1), 1000, rng));
        QCOMPARE(view.endRow(h), qsizetype(7200));
        QCOMPARE(view.rightEdge(h), newest - 60e3);

        view.pan(h, -1e9);
        QCOMPARE(view.rightEdge(h), oldest + 600e3);
        QCOMPARE(view.firstRow(h), qsizetype(0));
        view.pan(h, 1e9);
        QCOMPARE(view.rightEdge(h), newest); // not into the readings that came since
        view.pan(h, qInf());
        QCOMPARE(view.rightEdge(h), newest);

        // Held: the anchor stays at its place on the axis.
        view.pan(h, -3000e3);
        const double right = view.rightEdge(h);
        const double anchor = right - 150e3; // a quarter of the span from the right
        view.zoom(h, anchor, 0.5);
        QCOMPARE(view.spanSetting(), 300e3);
        QCOMPARE(view.rightEdge(h), anchor + 75e3);
        view.zoom(h, anchor, 1e-9);
        QCOMPARE(view.spanSetting(), HistoryView::kMinSpanMs);
        view.zoom(h, anchor, 0);      // no zoom
        view.zoom(h, anchor, qQNaN()); // no zoom
        QCOMPARE(view.spanSetting(), HistoryView::kMinSpanMs);

        // Live: the newest reading stays at the right edge.
        view.follow();
        QCOMPARE(view.rightEdge(h), double(kT0) + 50000);
        QCOMPARE(view.endRow(h), h.size());
        view.zoom(h, anchor, 120);
        QVERIFY(!view.isHeld());
        QCOMPARE(view.spanSetting(), 120e3);
        QCOMPARE(view.rightEdge(h), double(kT0) + 50000);
        view.zoom(h, anchor, 1e12);
        QCOMPARE(view.spanSetting(), HistoryView::kMaxSpanMs);

        // A span chosen while held keeps the right edge.
        view.pan(h, -100e3);
        const double heldRight = view.rightEdge(h);
        view.setSpan(h, 3600e3);
        QCOMPARE(view.rightEdge(h), heldRight);
        QCOMPARE(view.leftEdge(h), heldRight - 3600e3);
    }

    // "All": from the oldest reading over a round span at least as long as
    // the history (30 s at least), growing in steps as the history does, so
    // the right edge stays put between them; with no readings it ends where
    // the view was cleared.
    void all()
    {
        ReadingHistory h;
        HistoryView view;
        view.setSpan(h, 0);
        QCOMPARE(view.spanSetting(), 0.0);
        view.setEmptyRightEdge(double(kT0));
        QCOMPARE(view.rightEdge(h), double(kT0));
        QCOMPARE(view.span(h), HistoryView::kAllMinSpanMs);
        fill(h, 96, 1000); // 95 s
        const double oldest = double(kT0) - 95000;
        QCOMPARE(view.span(h), 100e3);
        QCOMPARE(view.rightEdge(h), oldest + 100e3);
        QCOMPARE(view.firstRow(h), qsizetype(0));
        QCOMPARE(view.lastRow(h), h.size());
        std::mt19937_64 rng(4);
        h.append(reading(0, kT0 + 4000, 1000, rng)); // 99 s: the same span
        QCOMPARE(view.rightEdge(h), oldest + 100e3);
        h.append(reading(0, kT0 + 6000, 1000, rng)); // 101 s: a quarter more
        QCOMPARE(view.span(h), 125e3);
        // Held, it stays as it was; a pan turns it into a span of its own.
        view.hold(h);
        h.append(reading(0, kT0 + 90000, 1000, rng));
        QCOMPARE(view.span(h), 125e3);
        view.pan(h, -10e3);
        QCOMPARE(view.spanSetting(), 125e3);
        QCOMPARE(view.rightEdge(h), oldest + 115e3);
    }

    // Held while the oldest readings are dropped for the budget: the rows
    // held shrink from the old end, down to none.
    void heldWhileEvicted()
    {
        ReadingHistory h(3 * ReadingHistory::chunkBytes() + 4096);
        fill(h, ReadingHistory::kChunkReadings * 2, 50);
        HistoryView view;
        view.setSpan(h, 0);
        view.hold(h);
        const qsizetype held = view.endRow(h);
        std::mt19937_64 rng(5);
        for (qsizetype i = 0; i < ReadingHistory::kChunkReadings * 2; ++i)
            h.append(reading(i, kT0 + 50 * (i + 1), 50, rng));
        QVERIFY(h.evicted() > 0);
        QCOMPARE(view.endRow(h), held - qsizetype(h.evicted()));
        for (qsizetype i = 0; i < ReadingHistory::kChunkReadings * 2; ++i)
            h.append(reading(i, kT0 + 50 * (i + 9000), 50, rng));
        QCOMPARE(view.endRow(h), qsizetype(0));
        QVERIFY(view.lastRow(h) <= view.endRow(h));
    }

    // Per second: each count over its own gate, across changes of period;
    // a reading of no known period has no value; the rate axis reaches down
    // to one count over the longest gate.
    void perSecond()
    {
        ReadingHistory h;
        std::mt19937_64 rng(6);
        const int periods[] = {50, 200, 2000, 0, 1000};
        qint64 t = kT0;
        QList<Reading> in;
        for (qsizetype i = 0; i < 3000; ++i) {
            const int period = periods[(i / 450) % 5];
            t += period ? period : 100;
            in.append(reading(i, t, period, rng));
            h.append(in.last());
        }
        const QList<bool> all(8, true);
        for (bool log : {false, true}) {
            for (const auto &[from, to] : QList<QPair<qsizetype, qsizetype>>{{0, 3000}, {440, 460}, {1300, 2000}}) {
                ValueSpan want;
                for (int c = 0; c < Reading::kChannels; ++c) {
                    for (qsizetype i = from; i < to; ++i) {
                        const double v = in.at(i).counts[c];
                        if (LineSummary::onLine(v, log) && in.at(i).periodMs > 0)
                            want.add(chartscale::drawValue(persecond::rate(v, in.at(i).periodMs)));
                    }
                    const ReadingHistory::LinePoint before = h.pointBefore(c, log, from);
                    if (before.isValid() && in.at(before.index).periodMs > 0)
                        want.add(chartscale::drawValue(persecond::rate(before.v, in.at(before.index).periodMs)));
                    const ReadingHistory::LinePoint after = h.pointAfter(c, log, to);
                    if (after.isValid() && in.at(after.index).periodMs > 0)
                        want.add(chartscale::drawValue(persecond::rate(after.v, in.at(after.index).periodMs)));
                }
                const ValueSpan got = HistoryView::extent(h, from, to, h.size(), all, log, true);
                QVERIFY2(got == want, qPrintable(QStringLiteral("log %1 [%2, %3): %4..%5, want %6..%7")
                                                     .arg(log).arg(from).arg(to).arg(got.lo).arg(got.hi)
                                                     .arg(want.lo).arg(want.hi)));
            }
        }
        // On a reading and between two across a change of period.
        const qsizetype a = 449, b = 450;
        QCOMPARE(HistoryView::valueAt(h, 0, false, true, double(in.at(a).utcMs), h.size()),
                 in.at(a).counts[0] * 20);
        const double mid = (double(in.at(a).utcMs) + double(in.at(b).utcMs)) / 2;
        QCOMPARE(HistoryView::valueAt(h, 0, false, true, mid, h.size()),
                 0.5 * in.at(a).counts[0] * 20 + 0.5 * in.at(b).counts[0] * 5);
        QVERIFY(std::isnan(HistoryView::valueAt(h, 0, false, true, double(in.at(1400).utcMs), h.size())));
        QCOMPARE(HistoryView::rateFloor(h, 0, 3000), 0.5);
        QCOMPARE(HistoryView::rateFloor(h, 0, 400), 1.0);
    }

    // The extent kept from reading to reading is the extent worked out anew,
    // exactly: following the newest reading at spans short and long, over
    // extremes leaving on the left, after pans, zooms, evictions, a clear,
    // and as channels, the log line and per second are switched.
    void spanExtentFollows_data()
    {
        QTest::addColumn<double>("spanMs");
        QTest::newRow("30 s") << 30e3;
        QTest::newRow("20 min") << 1200e3;
        QTest::newRow("1 h: whole chunks inside") << 3600e3;
    }
    void spanExtentFollows()
    {
        QFETCH(double, spanMs);
        ReadingHistory h(4 * ReadingHistory::chunkBytes() + 8192);
        HistoryView view;
        view.setSpan(h, spanMs);
        SpanExtent kept;
        std::mt19937_64 rng(7);
        QList<bool> shown(8, true);
        bool log = false, perSecond = false;
        bool evicted = false;
        qint64 t = kT0;
        for (qsizetype i = 0; i < 6 * ReadingHistory::kChunkReadings; ++i) {
            Reading r = reading(i, t += 100, i % 3000 < 1500 ? 100 : (i % 7 == 0 ? 0 : 1000), rng);
            if (i % 211 == 0) // spikes that then leave on the left
                r.counts[i % 8] = i % 2 ? 1e9 : 1.5;
            h.append(r);
            evicted = evicted || h.evicted() > 0;
            switch (rng() % 400) {
            case 0: shown[rng() % 8] = !shown[rng() % 8]; break;
            case 1: log = !log; break;
            case 2: perSecond = !perSecond; break;
            case 3: view.pan(h, -double(rng() % 600000)); break;
            case 4: view.zoom(h, double(t) - 5000, rng() % 2 ? 0.5 : 2); break;
            case 5: view.follow(); break;
            default: break;
            }
            if (i == ReadingHistory::kChunkReadings / 2) {
                h.clear();
                view.follow();
                view.setEmptyRightEdge(double(t));
            }
            const qsizetype from = view.firstRow(h), to = view.lastRow(h), end = view.endRow(h);
            const ValueSpan got = kept.update(h, from, to, end, shown, log, perSecond);
            const ValueSpan want = HistoryView::extent(h, from, to, end, shown, log, perSecond);
            if (!(got == want))
                QFAIL(qPrintable(QStringLiteral("reading %1 [%2, %3): %4..%5, want %6..%7")
                                     .arg(i).arg(from).arg(to).arg(got.lo).arg(got.hi).arg(want.lo).arg(want.hi)));
        }
        QVERIFY(evicted);
    }
};

QTEST_GUILESS_MAIN(TestHistoryView)
#include "tst_historyview.moc"
