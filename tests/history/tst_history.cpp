// The history store against plain passes over the same readings, and the time view over it.

#include "../common/ReadingMaker.h"
#include "ChartScale.h"
#include "HistoryView.h"
#include "PerSecond.h"
#include "SpanExtent.h"

#include <QThread>
#include <QtTest>

using namespace readingmaker;
Q_DECLARE_METATYPE(Setup)

namespace {

using Readings = QList<Reading>;
using L = QList<double>;
constexpr qsizetype kChunk = ReadingHistory::kChunkReadings;

bool sameBits(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; }
bool same(double a, double b) { return a == b || (std::isnan(a) && std::isnan(b)); }

// The line by its definition: runs of points between breaks.
LineSummary bruteSummary(const QList<double> &v, bool log)
{
    LineSummary s;
    QList<QPair<ValueSpan, int>> runs; // span, points
    bool breakSince = false;           // since the last point
    for (double x : v) {
        if (!std::isfinite(x)) {
            s.breakBefore = s.breakBefore || runs.isEmpty();
            breakSince = true;
            continue;
        }
        if (log && !(x >= 1))
            continue;
        if (runs.isEmpty() || breakSince)
            runs.append({ValueSpan(), 0});
        runs.last().first.add(x);
        ++runs.last().second;
        s.all.add(x);
        ++s.points;
        breakSince = false;
    }
    s.breakAfter = breakSince;
    if (runs.isEmpty())
        return s;
    const auto sat = [](int n) { return quint8(std::min(n, 2)); };
    s.head = runs.first().first;
    s.headPoints = sat(runs.first().second);
    s.tail = runs.last().first;
    s.tailPoints = sat(runs.last().second);
    s.breakInside = runs.size() > 1;
    for (qsizetype r = 1; r + 1 < runs.size(); ++r) {
        if (runs.at(r).second >= 2)
            s.middle.add(runs.at(r).first);
    }
    return s;
}

QList<double> channelOf(const Readings &readings, int c, qsizetype from, qsizetype to)
{
    QList<double> out;
    for (qsizetype i = from; i < to; ++i)
        out.append(readings.at(i).counts[c]);
    return out;
}

// M4 rows of [a, b): first, last, first and last lowest, first and last highest (-1: none).
QList<qsizetype> m4(const QList<double> &v, bool log, qsizetype a, qsizetype b)
{
    QList<qsizetype> out(6, -1);
    for (qsizetype i = a; i < b; ++i) {
        if (!LineSummary::onLine(v.at(i), log))
            continue;
        if (out[0] < 0)
            out.fill(i);
        out[1] = i;
        out[2] = v.at(i) < v.at(out[2]) ? i : out[2];
        out[3] = v.at(i) <= v.at(out[3]) ? i : out[3];
        out[4] = v.at(i) > v.at(out[4]) ? i : out[4];
        out[5] = v.at(i) >= v.at(out[5]) ? i : out[5];
    }
    return out;
}

// Two passes in long double about the first finite count: counts near 1e15 keep their last digit.
ChannelStats twoPass(const Readings &readings, int c, qsizetype from, qsizetype to)
{
    ChannelStats s;
    long double sum = 0, rateSum = 0, squares = 0;
    double shift = 0;
    for (qsizetype i = from; i < to; ++i) {
        const Reading &r = readings.at(i);
        const double x = r.counts[c];
        if (!std::isfinite(x)) {
            ++s.nonFinite;
            continue;
        }
        if (++s.count == 1)
            shift = s.min = s.max = x;
        sum += (long double)x - shift;
        s.min = std::min(s.min, x);
        s.max = std::max(s.max, x);
        if (r.periodMs > 0) {
            rateSum += x / (r.periodMs / 1000.0L);
            ++s.rateCount;
        }
    }
    if (s.count == 0)
        return s;
    const long double mean = sum / s.count;
    for (qsizetype i = from; i < to; ++i) {
        const double x = readings.at(i).counts[c];
        if (std::isfinite(x))
            squares += ((long double)x - shift - mean) * ((long double)x - shift - mean);
    }
    s.mean = double(shift + mean);
    if (s.count > 1)
        s.stddev = double(std::sqrt(squares / (s.count - 1)));
    if (s.rateCount > 0)
        s.rate = double(rateSum / s.rateCount);
    return s;
}

// Statistics agree: counts exactly, the rest to rounding.
bool agree(const ChannelStats &got, const ChannelStats &want)
{
    const auto close = [](double g, double w, double scale, double tolerance) {
        return std::isnan(w) ? std::isnan(g) : std::fabs(g - w) <= tolerance * scale;
    };
    const double scale = std::fabs(want.mean) + (std::isnan(want.stddev) ? 0 : want.stddev);
    return got.count == want.count && got.nonFinite == want.nonFinite && got.rateCount == want.rateCount
           && same(got.min, want.min) && same(got.max, want.max) && close(got.mean, want.mean, scale, 1e-12)
           && close(got.stddev, want.stddev, want.stddev, 1e-9) && close(got.rate, want.rate, std::fabs(want.rate), 1e-12);
}

// Random spans, with the edges that matter: whole chunks, leaves, empty, all.
QList<QPair<qsizetype, qsizetype>> spans(qsizetype n, int count, quint64 seed)
{
    std::mt19937_64 rng(seed);
    QList<QPair<qsizetype, qsizetype>> out{{0, n}, {0, 0}, {n, n}, {0, kChunk}, {kChunk, 2 * kChunk}, {5, 6}, {255, 257}};
    for (int k = 0; k < count; ++k) {
        qsizetype a = qsizetype(rng() % quint64(n + 1));
        qsizetype b = k % 3 == 0 ? std::min(n, a + qsizetype(rng() % 600)) // short, as a pixel column
                                 : qsizetype(rng() % quint64(n + 1));
        out.append({std::min(a, b), std::max(a, b)});
    }
    return out;
}

} // namespace

class TestHistory : public QObject
{
    Q_OBJECT
private slots:
    // Readings come back bit for bit; the time key never goes back (utcMs may) and lookups go by it. Past
    // the budget the oldest whole chunks go, bytes and all, and a view held part way shrinks from the old end.
    void store_data()
    {
        QTest::addColumn<double>("budgetChunks");
        QTest::addColumn<Setup>("setup");
        QTest::addColumn<int>("count");
        QTest::addColumn<bool>("bulk");
        QTest::newRow("special doubles") << 6.0 << Setup{Counts::Specials} << 9000 << false;
        QTest::newRow("settings change often") << 6.0 << Setup{Counts::Mixed, 50, 7} << 9000 << false;
        QTest::newRow("clock set back") << 6.0 << Setup{Counts::Mixed, 50, 0, 300} << 9000 << false;
        QTest::newRow("clock set back at a chunk's start") << 6.0 << Setup{Counts::Mixed, 50, 0, int(kChunk)} << 9000 << false;
        QTest::newRow("bulk") << 6.0 << Setup{Counts::Specials, 50, 1000, 1000} << 9000 << true;
        QTest::newRow("one reading") << 6.0 << Setup{} << 1 << false;
        QTest::newRow("within the budget") << 6.0 << Setup{} << int(4 * kChunk) << false;
        QTest::newRow("just past") << 4.0 << Setup{} << int(4 * kChunk + 1) << false;
        QTest::newRow("far past") << 3.0 << Setup{} << int(11 * kChunk + 100) << false;
        // Settings runs grow inside a chunk: budgets that leave little room at a chunk's start.
        for (double b : {4.0, 2.6, 3.1, 3.5})
            QTest::addRow("settings change every reading, %g chunks", b) << b << Setup{Counts::Mixed, 50, 1} << int(11 * kChunk) << false;
        QTest::newRow("clock back in every chunk") << 4.0 << Setup{Counts::Mixed, 50, 0, 1000} << int(11 * kChunk) << false;
        QTest::newRow("a budget below two chunks") << 0.0 << Setup{} << int(5 * kChunk) << false;
    }
    void store()
    {
        QFETCH(double, budgetChunks);
        QFETCH(Setup, setup);
        QFETCH(int, count);
        QFETCH(bool, bulk);
        const Readings in = make(count, setup, 2);
        ReadingHistory h(qint64(budgetChunks * double(ReadingHistory::chunkBytes())) + 4096);
        QCOMPARE(h.lowerBound(0), qsizetype(0));
        HistoryView view;
        view.setSpan(h, 0);
        qint64 mostBytes = 0;
        qsizetype keptAtFirstEviction = 0;
        const qsizetype heldAt = std::min<qsizetype>(count, 2 * kChunk + 5);
        const auto append = [&](qsizetype from, qsizetype to) {
            if (bulk)
                h.append(in.constData() + from, to - from);
            for (qsizetype i = from; !bulk && i < to; ++i) {
                h.append(in.at(i));
                mostBytes = std::max(mostBytes, h.bytes());
                if (h.evicted() > 0 && !keptAtFirstEviction)
                    keptAtFirstEviction = h.size();
            }
        };
        append(0, heldAt);
        view.hold(h);
        // A slice into the chunk being written keeps its rows through appends, eviction and a clear, read from another thread too.
        const qsizetype sliceFrom = h.size() / 3, slicedAt = qsizetype(h.evicted()) + sliceFrom;
        const ReadingHistory::Slice slice = h.slice(sliceFrom, h.size());
        QCOMPARE(slice.size(), h.size() - sliceFrom);
        QCOMPARE(h.slice(-10, 1).size(), qsizetype(1));
        const auto sliceMismatch = [&] {
            for (qsizetype i = 0; i < slice.size(); ++i) {
                if (!(slice.reading(i) == in.at(slicedAt + i)))
                    return i;
            }
            return qsizetype(-1);
        };
        qsizetype mismatch = -2;
        QThread *reader = QThread::create([&] { mismatch = sliceMismatch(); });
        reader->start();
        append(heldAt, count);
        reader->wait();
        delete reader;
        QCOMPARE(mismatch, qsizetype(-1));
        mostBytes = std::max(mostBytes, h.bytes());
        QVERIFY2(mostBytes <= h.budgetBytes(), qPrintable(QStringLiteral("%1 > %2").arg(mostBytes).arg(h.budgetBytes())));
        QVERIFY(h.size() >= keptAtFirstEviction); // what an evicted chunk held no longer counts
        QCOMPARE(h.appended(), quint64(count));
        QCOMPARE(h.evicted() % kChunk, quint64(0));
        QCOMPARE(h.evicted() > 0, budgetChunks < 6);
        const qsizetype gone = qsizetype(h.evicted());
        QVERIFY(h.size() > 0);
        QCOMPARE(h.size(), count - gone);
        QList<qint64> keys{in.first().utcMs};
        for (qsizetype i = 0; i < in.size(); ++i)
            keys.append(std::max(keys.last(), in.at(i).utcMs));
        keys.remove(0, 1 + gone);
        for (qsizetype i = 0; i < h.size(); ++i) {
            QVERIFY2(h.reading(i) == in.at(gone + i), qPrintable(QString::number(i)));
            QCOMPARE(h.timeKey(i), keys.at(i));
            for (int c = 0; c < Reading::kChannels; ++c)
                QVERIFY(sameBits(h.count(i, c), in.at(gone + i).counts[c]));
        }
        std::mt19937_64 rng(4);
        for (int k = 0; k < 1000; ++k) {
            const double t = double(keys.first() - 100) + double(rng() % quint64(keys.last() - keys.first() + 200)) + (k % 2 ? 0.5 : 0.0);
            QCOMPARE(h.lowerBound(t), std::lower_bound(keys.begin(), keys.end(), t, [](qint64 key, double v) { return double(key) < v; }) - keys.begin());
            QCOMPARE(h.upperBound(t), std::upper_bound(keys.begin(), keys.end(), t, [](double v, qint64 key) { return v < double(key); }) - keys.begin());
        }
        QCOMPARE(h.lowerBound(-qInf()), qsizetype(0));
        QCOMPARE(h.lowerBound(qInf()), h.size());
        QVERIFY(h.reading(h.size()) == Reading());
        for (int c : {0, 4}) // the pyramid still answers for what is left
            QVERIFY(h.summary(c, false, 0, h.size()) == bruteSummary(channelOf(in, c, gone, in.size()), false));
        if (!setup.clockBackEvery) { // what is left costs what the same readings cost anew
            ReadingHistory anew(h.budgetBytes());
            anew.append(in.constData() + gone, h.size());
            QCOMPARE(h.bytes(), anew.bytes());
        }
        QCOMPARE(view.endRow(h), std::max<qsizetype>(0, heldAt - gone));
        QVERIFY(view.lastRow(h) <= view.endRow(h));
        h.clear();
        QCOMPARE(h.evicted(), quint64(0));
        QCOMPARE(h.bytes(), ReadingHistory().bytes());
        QCOMPARE(sliceMismatch(), qsizetype(-1));
        QVERIFY(slice.reading(slice.size()) == Reading());
        QVERIFY(h.isEmpty());
        h.append(in.last());
        QVERIFY(h.reading(0) == in.last());
        QCOMPARE(h.timeKey(0), in.last().utcMs);
    }

    // Lines, end points, M4 columns and neighbouring points over any span, against one pass.
    void lines_data()
    {
        QTest::addColumn<int>("kind");
        QTest::addColumn<quint64>("seed");
        QTest::newRow("mixed") << int(Counts::Mixed) << quint64(5);
        QTest::newRow("special doubles") << int(Counts::Specials) << quint64(7);
    }
    void lines()
    {
        QFETCH(int, kind);
        QFETCH(quint64, seed);
        ReadingHistory h;
        const Readings in = fill(h, 4 * kChunk + 300, {Counts(kind)}, seed);
        const auto spanList = spans(in.size(), 150, seed);
        for (int c = 0; c < Reading::kChannels; ++c) {
            const QList<double> all = channelOf(in, c, 0, in.size());
            for (bool log : {false, true}) {
                // The nearest point on the line from i on (step 1) or back, not past a break.
                const auto nearest = [&](qsizetype i, int step) {
                    for (; i >= 0 && i < all.size() && std::isfinite(all.at(i)); i += step) {
                        if (LineSummary::onLine(all.at(i), log))
                            return i;
                    }
                    return qsizetype(-1);
                };
                for (const auto &[from, to] : spanList) {
                    const QString where = QStringLiteral(" channel %1 log %2 [%3, %4)").arg(c).arg(log).arg(from).arg(to);
                    QVERIFY2(h.summary(c, log, from, to) == bruteSummary(all.mid(from, to - from), log), qPrintable(where));
                    const QList<qsizetype> want = m4(all, log, from, to);
                    QVERIFY2(h.firstPoint(c, log, from, to).index == want[0] && h.lastPoint(c, log, from, to).index == want[1], qPrintable(where));
                    const qsizetype bounds[] = {from, (from + to) / 2, to};
                    ReadingHistory::Column cols[2];
                    h.columns(c, log, bounds, 2, cols);
                    for (int k = 0; k < 2; ++k) {
                        const ReadingHistory::Column &col = cols[k];
                        QVERIFY2(col.line == h.summary(c, log, bounds[k], bounds[k + 1]) && (col.line.points == 0 || col.low.v == col.line.all.lo), qPrintable(where));
                        QVERIFY2((QList<qsizetype>{col.first.index, col.last.index, col.low.index, col.lowLast.index, col.high.index, col.highLast.index})
                                     == m4(all, log, bounds[k], bounds[k + 1]), qPrintable(where));
                    }
                    const qsizetype after = nearest(from, 1);
                    QCOMPARE(h.pointBefore(c, log, from).index, nearest(from - 1, -1));
                    QCOMPARE(h.pointAfter(c, log, from).index, after);
                    QCOMPARE(h.pointAfter(c, log, from, to).index, after < to ? after : -1); // rows from `to` on left out
                }
            }
        }
    }

    // Span and running statistics against two passes; period runs cut only where the period changes.
    void stats_data()
    {
        QTest::addColumn<Setup>("setup");
        QTest::newRow("mixed") << Setup{};
        QTest::newRow("period changes") << Setup{Counts::Mixed, 50, 333};
        QTest::newRow("period changes every few readings") << Setup{Counts::Mixed, 50, 3};
        QTest::newRow("1e15, differing by 1") << Setup{Counts::Huge};
        QTest::newRow("1e15 and period changes") << Setup{Counts::Huge, 50, 1000};
    }
    void stats()
    {
        QFETCH(Setup, setup);
        ReadingHistory h;
        const Readings in = fill(h, 4 * kChunk + 77, setup, 10);
        std::vector<ReadingHistory::PeriodRun> runs, wantRuns;
        for (const auto &[from, to] : spans(in.size(), 60, 11)) {
            RunningStats running;
            wantRuns.clear();
            for (qsizetype i = from; i < to; ++i) {
                running.add(in.at(i));
                QCOMPARE(h.periodAt(i), in.at(i).periodMs);
                if (wantRuns.empty() || wantRuns.back().periodMs != in.at(i).periodMs)
                    wantRuns.push_back({i, in.at(i).periodMs});
            }
            h.periodRuns(from, to, &runs);
            QVERIFY(std::equal(runs.begin(), runs.end(), wantRuns.begin(), wantRuns.end(),
                               [](const auto &a, const auto &b) { return a.from == b.from && a.periodMs == b.periodMs; }));
            QCOMPARE(running.readings(), to - from);
            const SpanStats span = h.stats(from, to);
            for (int c = 0; c < Reading::kChannels; ++c) {
                const ChannelStats want = twoPass(in, c, from, to);
                const QString where = QStringLiteral(" channel %1 [%2, %3)").arg(c).arg(from).arg(to);
                QVERIFY2(agree(span[c], want), qPrintable(where));
                QVERIFY2(agree(running.channel(c), want), qPrintable(where));
            }
        }
        QCOMPARE(h.periodAt(-1), 0);
        QCOMPARE(h.periodAt(h.size()), 0);
    }

    // A line's value at a time: exact at a point, interpolated between, NaN off the line.
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

    // Pans hold the view within the readings held; zooms keep the anchor (held) or the newest (live).
    void panAndZoom()
    {
        ReadingHistory h;
        fill(h, 7200, {Counts::Mixed, 1000}); // two hours, the newest at kT0
        const double newest = double(kT0), oldest = double(kT0) - 7199e3;
        HistoryView view;
        view.setSpan(h, 600e3);
        QCOMPARE(view.rightEdge(h), newest);
        QVERIFY(!view.isHeld());

        view.pan(h, -60e3);
        QVERIFY(view.isHeld());
        QCOMPARE(view.rightEdge(h), newest - 60e3);
        QCOMPARE(view.lastRow(h) - view.firstRow(h), qsizetype(601)); // both edges on a reading
        const Readings more = make(50, {Counts::Mixed, 1000}, 3, kT0 + 1000);
        h.append(more.constData(), more.size());
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
        const double anchor = view.rightEdge(h) - 150e3; // a quarter of the span from the right
        view.zoom(h, anchor, 0.5);
        QCOMPARE(view.spanSetting(), 300e3);
        QCOMPARE(view.rightEdge(h), anchor + 75e3);
        view.zoom(h, anchor, 1e-9);
        QCOMPARE(view.spanSetting(), HistoryView::kMinSpanMs);
        view.zoom(h, anchor, 0);       // no zoom
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

    // "All": a round span from the oldest reading, grown in steps so the right edge stays put between.
    void all()
    {
        ReadingHistory h;
        HistoryView view;
        view.setSpan(h, 0);
        QCOMPARE(view.spanSetting(), 0.0);
        view.setEmptyRightEdge(double(kT0));
        QCOMPARE(view.rightEdge(h), double(kT0));
        QCOMPARE(view.span(h), HistoryView::kAllMinSpanMs);
        fill(h, 96, {Counts::Mixed, 1000}); // 95 s
        const double oldest = double(kT0) - 95000;
        QCOMPARE(view.span(h), 100e3);
        QCOMPARE(view.rightEdge(h), oldest + 100e3);
        QCOMPARE(view.firstRow(h), qsizetype(0));
        QCOMPARE(view.lastRow(h), h.size());
        feed(h, {4000}, {1}); // 99 s: the same span
        QCOMPARE(view.rightEdge(h), oldest + 100e3);
        feed(h, {6000}, {1}); // 101 s: a quarter more
        QCOMPARE(view.span(h), 125e3);
        // Held, it stays as it was; a pan turns it into a span of its own.
        view.hold(h);
        feed(h, {90000}, {1});
        QCOMPARE(view.span(h), 125e3);
        view.pan(h, -10e3);
        QCOMPARE(view.spanSetting(), 125e3);
        QCOMPARE(view.rightEdge(h), oldest + 115e3);
    }

    // The Y extent of rows: their points and those the line comes from and goes on to, as drawn; per
    // second each count over its own gate (none without a known period), values and the floor too.
    void extent()
    {
        ReadingHistory h;
        const Readings in = fill(h, 3000, {Counts::Mixed, 500, 450}, 6); // periods of 500, 2000 and unknown ms
        const QList<QPair<qsizetype, qsizetype>> rows{{0, 3000}, {440, 460}, {1300, 2000}, {2990, 3000}, {7, 7}};
        for (const bool perSecond : {false, true}) {
            for (const bool log : {false, true}) {
                for (const auto &[from, to] : rows) {
                    const QString where = QStringLiteral("per second %1 log %2 [%3, %4)").arg(perSecond).arg(log).arg(from).arg(to);
                    ValueSpan wantAll;
                    for (int c = 0; c < Reading::kChannels; ++c) {
                        ValueSpan want;
                        const auto add = [&](qsizetype i, double v) {
                            if (i >= 0 && LineSummary::onLine(v, log) && (!perSecond || in.at(i).periodMs > 0))
                                want.add(chartscale::drawValue(perSecond ? persecond::rate(v, in.at(i).periodMs) : v));
                        };
                        for (qsizetype i = from; i < to; ++i)
                            add(i, in.at(i).counts[c]);
                        for (const ReadingHistory::LinePoint &p : {h.pointBefore(c, log, from), h.pointAfter(c, log, to)})
                            add(p.index, p.v);
                        QList<bool> only(8, false);
                        only[c] = true;
                        QVERIFY2(HistoryView::extent(h, from, to, h.size(), only, log, perSecond) == want,
                                 qPrintable(where + QStringLiteral(" channel %1").arg(c)));
                        wantAll.add(want);
                    }
                    QVERIFY2(HistoryView::extent(h, from, to, h.size(), QList<bool>(8, true), log, perSecond) == wantAll, qPrintable(where));
                }
            }
        }
        // On a reading and between two across a change of period.
        const Reading &a = in.at(449), &b = in.at(450);
        QCOMPARE(HistoryView::valueAt(h, 0, false, true, double(a.utcMs), h.size()), a.counts[0] * 2);
        QCOMPARE(HistoryView::valueAt(h, 0, false, true, (double(a.utcMs) + double(b.utcMs)) / 2, h.size()),
                 0.5 * a.counts[0] * 2 + 0.5 * b.counts[0] * 0.5);
        QVERIFY(std::isnan(HistoryView::valueAt(h, 0, false, true, double(in.at(1000).utcMs), h.size())));
        QCOMPARE(HistoryView::rateFloor(h, 0, 3000), 0.5);
        QCOMPARE(HistoryView::rateFloor(h, 0, 400), 1.0);
    }

    // The extent kept from reading to reading equals the one worked out anew, whatever the view does.
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
        const Readings in = make(6 * kChunk, {Counts::Mixed, 100}, 7, kT0 + 100);
        for (qsizetype i = 0; i < in.size(); ++i) {
            Reading r = in.at(i);
            r.periodMs = i % 3000 < 1500 ? 100 : (i % 7 == 0 ? 0 : 1000);
            if (i % 211 == 0) // spikes that then leave on the left
                r.counts[i % 8] = i % 2 ? 1e9 : 1.5;
            h.append(r);
            switch (rng() % 400) {
            case 0: shown[rng() % 8] = !shown[rng() % 8]; break;
            case 1: log = !log; break;
            case 2: perSecond = !perSecond; break;
            case 3: view.pan(h, -double(rng() % 600000)); break;
            case 4: view.zoom(h, double(r.utcMs) - 5000, rng() % 2 ? 0.5 : 2); break;
            case 5: view.follow(); break;
            default: break;
            }
            if (i == kChunk / 2) {
                h.clear();
                view.follow();
                view.setEmptyRightEdge(double(r.utcMs));
            }
            const qsizetype from = view.firstRow(h), to = view.lastRow(h), end = view.endRow(h);
            const ValueSpan got = kept.update(h, from, to, end, shown, log, perSecond);
            const ValueSpan want = HistoryView::extent(h, from, to, end, shown, log, perSecond);
            QVERIFY2(got == want, qPrintable(QStringLiteral("reading %1 [%2, %3)").arg(i).arg(from).arg(to)));
        }
        QVERIFY(h.evicted() > 0); // chunks went after the clear
    }
};

QTEST_GUILESS_MAIN(TestHistory)
#include "tst_history.moc"
