// The history store: exact readback, eviction at the budget, lookup by time,
// the pyramid's line summaries and statistics against plain passes over the
// same readings.

#include "ReadingHistory.h"

#include <QThread>
#include <QtTest>

#include <cmath>
#include <cstring>
#include <limits>
#include <random>

namespace {

using Readings = QList<Reading>;
constexpr qint64 kT0 = 1700000000000; // ms since the epoch
constexpr qsizetype kChunk = ReadingHistory::kChunkReadings;
const double kNan = std::numeric_limits<double>::quiet_NaN();
const double kInf = std::numeric_limits<double>::infinity();

// How the counts of a test run look, channel by channel.
enum class Counts {
    Mixed,    // each channel its own kind of trouble (see count())
    Huge,     // around 1e15, differing by 1
    Specials, // NaN with payloads, ±Inf, -0, 1e308, denormals
};

// Channel c's count at reading i: 0 noise around 1000; 1 values around 1
// (the log line skips some); 2 rare NaN; 3 frequent NaN and Inf, so lone
// points between breaks; 4 long stretches of NaN; 5 ±1e100 and -0; 6 zeros
// (no log line); 7 noise with rare zeros.
double count(Counts kind, int c, qsizetype i, std::mt19937_64 &rng)
{
    std::uniform_real_distribution<double> u(0, 1);
    if (kind == Counts::Huge)
        return 1e15 + double(rng() % 2);
    if (kind == Counts::Specials) {
        static const double specials[] = {kNan, -kNan, kInf, -kInf, -0.0, 0.0, 1e308, -1e308,
                                          std::numeric_limits<double>::denorm_min(), 1.5, 12345678901234567.0};
        double v = specials[rng() % std::size(specials)];
        if (std::isnan(v) && rng() % 2) { // a NaN with a payload of its own
            quint64 bits;
            std::memcpy(&bits, &v, sizeof bits);
            bits |= (rng() & 0xffff);
            std::memcpy(&v, &bits, sizeof bits);
        }
        return v;
    }
    switch (c) {
    case 0: return std::round(1000 + 30 * (u(rng) - 0.5));
    case 1: return double(rng() % 4) / 2; // 0, 0.5, 1, 1.5
    case 2: return u(rng) < 0.01 ? kNan : 200 + double(rng() % 50);
    case 3: return u(rng) < 0.3 ? (rng() % 2 ? kNan : kInf) : double(rng() % 10);
    case 4: return (i / 700) % 3 == 1 ? kNan : double(rng() % 1000);
    case 5: return rng() % 3 == 0 ? -0.0 : (rng() % 2 ? 1e100 : -1e100) * u(rng);
    case 6: return 0;
    default: return u(rng) < 0.05 ? 0 : double(rng() % 100000);
    }
}

struct Setup {
    Counts kind = Counts::Mixed;
    int settingsEvery = 0;  // readings between changes of period and levels (0: never)
    int clockBackEvery = 0; // readings between clocks set back by 10 s (0: never)
};

Readings makeReadings(qsizetype n, const Setup &setup, quint64 seed)
{
    std::mt19937_64 rng(seed);
    Readings out;
    out.reserve(n);
    qint64 utc = kT0;
    int period = 50;
    double level = 120;
    for (qsizetype i = 0; i < n; ++i) {
        Reading r;
        for (int c = 0; c < Reading::kChannels; ++c)
            r.counts[c] = count(setup.kind, c, i, rng);
        if (setup.settingsEvery && i % setup.settingsEvery == 0 && i > 0) {
            period = period == 50 ? 200 : (period == 200 ? 0 : 50); // 0: not known
            level += 0.001;
        }
        utc += period ? period : 50;
        if (setup.clockBackEvery && i % setup.clockBackEvery == 0 && i > 0)
            utc -= 10000;
        r.utcMs = utc;
        r.monotonicNs = qint64(i) * 50000000 + qint64(rng() % 1000);
        r.periodMs = period;
        r.thresholdsMv.fill(level);
        r.levelsKnown = i % 5000 > 10;
        r.sweep = setup.settingsEvery && (i / setup.settingsEvery) % 2 == 1;
        out.append(r);
    }
    return out;
}

bool sameBits(double a, double b)
{
    return std::memcmp(&a, &b, sizeof a) == 0;
}

// ---- the line by its definition: runs of points between breaks ------------

struct Run {
    ValueSpan span;
    int points = 0;
};

LineSummary bruteSummary(const QList<double> &v, bool log)
{
    LineSummary s;
    QList<Run> runs;
    bool breakSince = false; // since the last point
    for (double x : v) {
        if (!std::isfinite(x)) {
            if (runs.isEmpty())
                s.breakBefore = true;
            breakSince = true;
            continue;
        }
        if (log && !(x >= 1))
            continue;
        if (runs.isEmpty() || breakSince)
            runs.append(Run());
        runs.last().span.add(x);
        ++runs.last().points;
        s.all.add(x);
        ++s.points;
        breakSince = false;
    }
    s.breakAfter = breakSince;
    if (runs.isEmpty())
        return s;
    const auto sat = [](int n) { return quint8(std::min(n, 2)); };
    s.head = runs.first().span;
    s.headPoints = sat(runs.first().points);
    s.tail = runs.last().span;
    s.tailPoints = sat(runs.last().points);
    s.breakInside = runs.size() > 1;
    for (qsizetype r = 1; r + 1 < runs.size(); ++r) {
        if (runs.at(r).points >= 2)
            s.middle.add(runs.at(r).span);
    }
    return s;
}

QString describe(const LineSummary &s)
{
    const auto span = [](const ValueSpan &v) {
        return v.isEmpty() ? QStringLiteral("-") : QStringLiteral("[%1 %2]").arg(v.lo).arg(v.hi);
    };
    return QStringLiteral("n=%1 all%2 head%3/%4 tail%5/%6 mid%7 before=%8 after=%9 inside=%10")
        .arg(s.points)
        .arg(span(s.all), span(s.head))
        .arg(s.headPoints)
        .arg(span(s.tail))
        .arg(s.tailPoints)
        .arg(span(s.middle))
        .arg(s.breakBefore)
        .arg(s.breakAfter)
        .arg(s.breakInside);
}

QList<double> channelOf(const Readings &readings, int c, qsizetype from, qsizetype to)
{
    QList<double> out;
    for (qsizetype i = from; i < to; ++i)
        out.append(readings.at(i).counts[c]);
    return out;
}

// ---- statistics by two passes ----------------------------------------------

// Sums in long double about the first finite count, so that counts near
// 1e15 keep their last digit.
ChannelStats twoPass(const Readings &readings, int c, qsizetype from, qsizetype to)
{
    ChannelStats s;
    long double sum = 0, rateSum = 0;
    double shift = 0;
    for (qsizetype i = from; i < to; ++i) {
        const Reading &r = readings.at(i);
        const double x = r.counts[c];
        if (!std::isfinite(x)) {
            ++s.nonFinite;
            continue;
        }
        if (++s.count == 1)
            shift = x;
        sum += (long double)x - shift;
        s.min = s.count == 1 ? x : std::min(s.min, x);
        s.max = s.count == 1 ? x : std::max(s.max, x);
        if (r.periodMs > 0) {
            rateSum += x / (r.periodMs / 1000.0L);
            ++s.rateCount;
        }
    }
    if (s.count == 0)
        return s;
    const long double mean = sum / s.count;
    long double squares = 0;
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

bool close(double got, double want, double scale, double tolerance)
{
    if (std::isnan(want))
        return std::isnan(got);
    return std::fabs(got - want) <= tolerance * scale;
}

QString text(const ChannelStats &s)
{
    return QStringLiteral("n=%1 nf=%2 mean=%3 sd=%4 min=%5 max=%6 rate=%7 (%8)")
        .arg(s.count)
        .arg(s.nonFinite)
        .arg(s.mean, 0, 'g', 17)
        .arg(s.stddev, 0, 'g', 17)
        .arg(s.min, 0, 'g', 17)
        .arg(s.max, 0, 'g', 17)
        .arg(s.rate, 0, 'g', 17)
        .arg(s.rateCount);
}

// Statistics agree: counts exactly, the rest to rounding.
QString compare(const ChannelStats &got, const ChannelStats &want)
{
    const double scale = std::fabs(want.mean) + (std::isnan(want.stddev) ? 0 : want.stddev);
    const bool same = got.count == want.count && got.nonFinite == want.nonFinite && got.rateCount == want.rateCount
                      && (got.min == want.min || (std::isnan(got.min) && std::isnan(want.min)))
                      && (got.max == want.max || (std::isnan(got.max) && std::isnan(want.max)))
                      && close(got.mean, want.mean, scale, 1e-12) && close(got.stddev, want.stddev, want.stddev, 1e-9)
                      && close(got.rate, want.rate, std::fabs(want.rate), 1e-12);
    return same ? QString() : text(got) + QStringLiteral("\n   want ") + text(want);
}

// Random spans, with the edges that matter: whole chunks, leaves, empty, all.
QList<QPair<qsizetype, qsizetype>> spans(qsizetype n, int count, quint64 seed)
{
    std::mt19937_64 rng(seed);
    QList<QPair<qsizetype, qsizetype>> out{{0, n}, {0, 0}, {n, n}, {0, kChunk}, {kChunk, 2 * kChunk}, {5, 6}, {255, 257}};
    for (int k = 0; k < count; ++k) {
        qsizetype a = qsizetype(rng() % quint64(n + 1));
        qsizetype b = qsizetype(rng() % quint64(n + 1));
        if (k % 3 == 0) // short spans, as a pixel column
            b = std::min(n, a + qsizetype(rng() % 600));
        out.append({std::min(a, b), std::max(a, b)});
    }
    return out;
}

} // namespace

class TestReadingHistory : public QObject
{
    Q_OBJECT
private slots:
    // Each reading comes back bit for bit with the settings in force, single
    // or in bulk; the key never goes back, utcMs stays as it came.
    void readback_data()
    {
        QTest::addColumn<int>("kind");
        QTest::addColumn<int>("settingsEvery");
        QTest::addColumn<int>("clockBackEvery");
        QTest::addColumn<bool>("bulk");
        QTest::addColumn<int>("count");
        QTest::newRow("special doubles") << int(Counts::Specials) << 0 << 0 << false << 9000;
        QTest::newRow("settings change often") << int(Counts::Mixed) << 7 << 0 << false << 9000;
        QTest::newRow("clock set back") << int(Counts::Mixed) << 0 << 300 << false << 9000;
        QTest::newRow("clock set back at a chunk's start") << int(Counts::Mixed) << 0 << int(kChunk) << false << 9000;
        QTest::newRow("bulk") << int(Counts::Specials) << 1000 << 1000 << true << 9000;
        QTest::newRow("one reading") << int(Counts::Mixed) << 0 << 0 << false << 1;
    }
    void readback()
    {
        QFETCH(int, kind);
        QFETCH(int, settingsEvery);
        QFETCH(int, clockBackEvery);
        QFETCH(bool, bulk);
        QFETCH(int, count);
        const Readings in = makeReadings(count, {Counts(kind), settingsEvery, clockBackEvery}, 1);
        ReadingHistory h;
        if (bulk) {
            h.append(in.constData(), in.size());
        } else {
            for (const Reading &r : in)
                h.append(r);
        }
        QCOMPARE(h.size(), in.size());
        QCOMPARE(h.evicted(), quint64(0));
        qint64 key = in.first().utcMs;
        for (qsizetype i = 0; i < in.size(); ++i) {
            QVERIFY2(h.reading(i) == in.at(i), qPrintable(QString::number(i)));
            key = std::max(key, in.at(i).utcMs);
            QCOMPARE(h.timeKey(i), key);
            for (int c = 0; c < Reading::kChannels; ++c)
                QVERIFY(sameBits(h.count(i, c), in.at(i).counts[c]));
        }
        QVERIFY(h.reading(in.size()) == Reading());
        h.clear();
        QVERIFY(h.isEmpty());
        h.append(in.last());
        QVERIFY(h.reading(0) == in.last());
        QCOMPARE(h.timeKey(0), in.last().utcMs);
    }

    // Past the budget whole chunks of the oldest readings go and are counted;
    // what stays reads back exactly and the bytes stay within the budget,
    // however often the settings change or the clock goes back.
    void eviction_data()
    {
        QTest::addColumn<int>("budgetChunks");
        QTest::addColumn<int>("settingsEvery");
        QTest::addColumn<int>("clockBackEvery");
        QTest::addColumn<int>("count");
        QTest::newRow("within the budget") << 6 << 0 << 0 << int(4 * kChunk);
        QTest::newRow("just past") << 4 << 0 << 0 << int(4 * kChunk + 1);
        QTest::newRow("far past") << 3 << 0 << 0 << int(11 * kChunk + 100);
        QTest::newRow("settings change every reading") << 4 << 1 << 0 << int(11 * kChunk);
        QTest::newRow("clock back in every chunk") << 4 << 0 << 1000 << int(11 * kChunk);
        QTest::newRow("a budget below two chunks") << 0 << 0 << 0 << int(5 * kChunk);
    }
    void eviction()
    {
        QFETCH(int, budgetChunks);
        QFETCH(int, settingsEvery);
        QFETCH(int, clockBackEvery);
        QFETCH(int, count);
        const qint64 budget = budgetChunks * ReadingHistory::chunkBytes() + 4096;
        const Readings in = makeReadings(count, {Counts::Mixed, settingsEvery, clockBackEvery}, 2);
        ReadingHistory h(budget);
        qint64 mostBytes = 0;
        for (const Reading &r : in) {
            h.append(r);
            mostBytes = std::max(mostBytes, h.bytes());
        }
        QVERIFY2(mostBytes <= h.budgetBytes(), qPrintable(QStringLiteral("%1 > %2").arg(mostBytes).arg(h.budgetBytes())));
        QCOMPARE(h.appended(), quint64(count));
        QCOMPARE(h.evicted() % kChunk, quint64(0));
        QVERIFY(h.size() > 0);
        if (budgetChunks >= 6)
            QCOMPARE(h.evicted(), quint64(0));
        else
            QVERIFY(h.evicted() > 0);
        for (qsizetype i : {qsizetype(0), qsizetype(1), h.size() / 2, h.size() - 1})
            QVERIFY2(h.reading(i) == in.at(qsizetype(h.evicted()) + i), qPrintable(QString::number(i)));
        // The pyramid still answers for what is left.
        const qsizetype first = qsizetype(h.evicted());
        for (int c : {0, 4}) {
            QCOMPARE(describe(h.summary(c, false, 0, h.size())),
                     describe(bruteSummary(channelOf(in, c, first, in.size()), false)));
        }
        h.clear();
        QCOMPARE(h.evicted(), quint64(0));
        QVERIFY(h.bytes() < ReadingHistory::chunkBytes());
    }

    // Lookup by time on the key, also where the clock went back.
    void lookup_data()
    {
        QTest::addColumn<int>("clockBackEvery");
        QTest::newRow("steady clock") << 0;
        QTest::newRow("clock set back") << 777;
    }
    void lookup()
    {
        QFETCH(int, clockBackEvery);
        const Readings in = makeReadings(3 * kChunk + 10, {Counts::Mixed, 0, clockBackEvery}, 3);
        ReadingHistory h;
        h.append(in.constData(), in.size());
        QList<qint64> keys;
        for (qsizetype i = 0; i < h.size(); ++i)
            keys.append(h.timeKey(i));
        std::mt19937_64 rng(4);
        const qint64 first = keys.first(), last = keys.last();
        for (int k = 0; k < 2000; ++k) {
            const double t = double(first - 100) + double(rng() % quint64(last - first + 200)) + (k % 2 ? 0.5 : 0.0);
            const qsizetype lower = std::lower_bound(keys.begin(), keys.end(), t,
                                                     [](qint64 key, double v) { return double(key) < v; }) - keys.begin();
            const qsizetype upper = std::upper_bound(keys.begin(), keys.end(), t,
                                                     [](double v, qint64 key) { return v < double(key); }) - keys.begin();
            QCOMPARE(h.lowerBound(t), lower);
            QCOMPARE(h.upperBound(t), upper);
        }
        QCOMPARE(h.lowerBound(-qInf()), qsizetype(0));
        QCOMPARE(h.lowerBound(qInf()), h.size());
        QCOMPARE(ReadingHistory().lowerBound(0), qsizetype(0));
    }

    // The pyramid's line over any span equals the line by its definition,
    // as do a column's first and last points and the points the line comes
    // from and runs on to at a span's edges.
    void lines_data()
    {
        QTest::addColumn<int>("kind");
        QTest::addColumn<quint64>("seed");
        QTest::newRow("mixed") << int(Counts::Mixed) << quint64(5);
        QTest::newRow("mixed, other seed") << int(Counts::Mixed) << quint64(6);
        QTest::newRow("special doubles") << int(Counts::Specials) << quint64(7);
    }
    void lines()
    {
        QFETCH(int, kind);
        QFETCH(quint64, seed);
        const Readings in = makeReadings(4 * kChunk + 300, {Counts(kind), 0, 0}, seed);
        ReadingHistory h;
        h.append(in.constData(), in.size());
        const auto spanList = spans(in.size(), 150, seed);
        for (int c = 0; c < Reading::kChannels; ++c) {
            const QList<double> all = channelOf(in, c, 0, in.size());
            for (bool log : {false, true}) {
                for (const auto &[from, to] : spanList) {
                    const QList<double> v = all.mid(from, to - from);
                    const QString where = QStringLiteral("channel %1 log %2 [%3, %4)").arg(c).arg(log).arg(from).arg(to);
                    QCOMPARE(describe(h.summary(c, log, from, to)) + u' ' + where, describe(bruteSummary(v, log)) + u' ' + where);

                    // First and last point of the span, as M4 takes them.
                    qsizetype first = -1, last = -1;
                    for (qsizetype i = from; i < to; ++i) {
                        if (LineSummary::onLine(all.at(i), log)) {
                            last = i;
                            if (first < 0)
                                first = i;
                        }
                    }
                    QCOMPARE(h.firstPoint(c, log, from, to).index, first);
                    QCOMPARE(h.lastPoint(c, log, from, to).index, last);
                    if (first >= 0) {
                        QVERIFY(sameBits(h.firstPoint(c, log, from, to).v, all.at(first)));
                        QCOMPARE(h.firstPoint(c, log, from, to).t, double(h.timeKey(first)));
                    }

                    // The neighbours across the span's start.
                    qsizetype before = -1;
                    for (qsizetype i = from - 1; i >= 0 && std::isfinite(all.at(i)); --i) {
                        if (LineSummary::onLine(all.at(i), log)) {
                            before = i;
                            break;
                        }
                    }
                    qsizetype after = -1;
                    for (qsizetype i = from; i < all.size() && std::isfinite(all.at(i)); ++i) {
                        if (LineSummary::onLine(all.at(i), log)) {
                            after = i;
                            break;
                        }
                    }
                    QCOMPARE(h.pointBefore(c, log, from).index, before);
                    QCOMPARE(h.pointAfter(c, log, from).index, after);
                    // Rows from `to` on left out: the next point only if before them.
                    QCOMPARE(h.pointAfter(c, log, from, to).index, after < to ? after : -1);
                }
            }
        }
    }

    // Columns: each the summary of its rows, with the M4 points (first,
    // last, first and last lowest, first and last highest) found by a pass
    // over the rows, for columns from empty to wider than a chunk.
    void columns_data()
    {
        QTest::addColumn<int>("widest");
        QTest::newRow("narrow") << 7;
        QTest::newRow("about a leaf") << 700;
        QTest::newRow("wider than a chunk") << 9000;
    }
    void columns()
    {
        QFETCH(int, widest);
        const Readings in = makeReadings(5 * kChunk, {Counts::Mixed, 0, 0}, 8);
        ReadingHistory h;
        h.append(in.constData(), in.size());
        QList<qsizetype> bounds{0};
        std::mt19937_64 rng(9);
        while (bounds.last() < h.size())
            bounds.append(std::min(h.size(), bounds.last() + qsizetype(rng() % quint64(widest))));
        QList<ReadingHistory::Column> cols(bounds.size() - 1);
        for (int c = 0; c < Reading::kChannels; ++c) {
            for (bool log : {false, true}) {
                h.columns(c, log, bounds.constData(), int(cols.size()), cols.data());
                for (qsizetype k = 0; k < cols.size(); ++k) {
                    const qsizetype a = bounds.at(k), b = bounds.at(k + 1);
                    const ReadingHistory::Column &col = cols.at(k);
                    QVERIFY(col.line == h.summary(c, log, a, b));
                    qsizetype first = -1, last = -1, low = -1, lowLast = -1, high = -1, highLast = -1;
                    for (qsizetype i = a; i < b; ++i) {
                        const double v = in.at(i).counts[c];
                        if (!LineSummary::onLine(v, log))
                            continue;
                        if (first < 0)
                            first = low = lowLast = high = highLast = i;
                        last = i;
                        const double lo = in.at(low).counts[c], hi = in.at(high).counts[c];
                        if (v < lo)
                            low = i;
                        if (v <= lo)
                            lowLast = i;
                        if (v > hi)
                            high = i;
                        if (v >= hi)
                            highLast = i;
                    }
                    const QString where = QStringLiteral("channel %1 log %2 [%3, %4)").arg(c).arg(log).arg(a).arg(b);
                    const QList<qsizetype> got{col.first.index, col.last.index, col.low.index, col.lowLast.index,
                                               col.high.index, col.highLast.index};
                    const QList<qsizetype> want{first, last, low, lowLast, high, highLast};
                    QVERIFY2(got == want, qPrintable(where));
                    if (first >= 0)
                        QCOMPARE(col.low.v, col.line.all.lo);
                }
            }
        }
    }

    // Statistics of any span against two passes over the same readings, and
    // a running accumulator fed the same readings one by one.
    void stats_data()
    {
        QTest::addColumn<int>("kind");
        QTest::addColumn<int>("settingsEvery");
        QTest::newRow("mixed") << int(Counts::Mixed) << 0;
        QTest::newRow("period changes") << int(Counts::Mixed) << 333;
        QTest::newRow("1e15, differing by 1") << int(Counts::Huge) << 0;
        QTest::newRow("1e15 and period changes") << int(Counts::Huge) << 1000;
    }
    void stats()
    {
        QFETCH(int, kind);
        QFETCH(int, settingsEvery);
        const Readings in = makeReadings(4 * kChunk + 77, {Counts(kind), settingsEvery, 0}, 10);
        ReadingHistory h;
        h.append(in.constData(), in.size());
        for (const auto &[from, to] : spans(in.size(), 60, 11)) {
            RunningStats running;
            for (qsizetype i = from; i < to; ++i)
                running.add(in.at(i));
            QCOMPARE(running.readings(), to - from);
            const SpanStats span = h.stats(from, to);
            for (int c = 0; c < Reading::kChannels; ++c) {
                const ChannelStats want = twoPass(in, c, from, to);
                const QString where = QStringLiteral(" channel %1 [%2, %3)").arg(c).arg(from).arg(to);
                QVERIFY2(compare(span[c], want).isEmpty(), qPrintable(compare(span[c], want) + where));
                QVERIFY2(compare(running.channel(c), want).isEmpty(), qPrintable(compare(running.channel(c), want) + where));
            }
        }
    }

    // The rows of each gate period: runs cut only where the period changes
    // (levels and the sweep flag change within them), over any span.
    void periods_data()
    {
        QTest::addColumn<int>("settingsEvery");
        QTest::newRow("one period") << 0;
        QTest::newRow("changes now and then") << 999;
        QTest::newRow("changes every few readings") << 3;
    }
    void periods()
    {
        QFETCH(int, settingsEvery);
        const Readings in = makeReadings(3 * kChunk, {Counts::Mixed, settingsEvery, 0}, 12);
        ReadingHistory h;
        h.append(in.constData(), in.size());
        std::vector<ReadingHistory::PeriodRun> runs;
        for (const auto &[from, to] : spans(in.size(), 100, 13)) {
            h.periodRuns(from, to, &runs);
            std::vector<ReadingHistory::PeriodRun> want;
            for (qsizetype i = from; i < to; ++i) {
                QCOMPARE(h.periodAt(i), in.at(i).periodMs);
                if (want.empty() || want.back().periodMs != in.at(i).periodMs)
                    want.push_back({i, in.at(i).periodMs});
            }
            QCOMPARE(runs.size(), want.size());
            for (size_t k = 0; k < runs.size(); ++k)
                QVERIFY(runs[k].from == want[k].from && runs[k].periodMs == want[k].periodMs);
        }
        QCOMPARE(h.periodAt(-1), 0);
        QCOMPARE(h.periodAt(h.size()), 0);
    }

    // A slice reads back its rows exactly, the last chunk's too, whatever the
    // history does afterwards: more readings, eviction of its chunks, a
    // clear; and from another thread while the history goes on.
    void slices()
    {
        const Readings in = makeReadings(6 * kChunk + 123, {Counts::Specials, 500, 0}, 14);
        ReadingHistory h(4 * ReadingHistory::chunkBytes() + 4096);
        const qsizetype firstPart = 3 * kChunk + 50;
        h.append(in.constData(), firstPart);
        const qsizetype from = 1000, to = firstPart; // into the chunk still being written
        const ReadingHistory::Slice slice = h.slice(from, to);
        QCOMPARE(slice.size(), to - from);
        QCOMPARE(h.slice(5, 5).size(), qsizetype(0));
        QCOMPARE(h.slice(-10, 2).size(), qsizetype(2));
        const auto check = [&] {
            for (qsizetype i = 0; i < slice.size(); ++i) {
                if (!(slice.reading(i) == in.at(from + i)))
                    return i;
            }
            return qsizetype(-1);
        };
        QCOMPARE(check(), qsizetype(-1));
        qsizetype mismatch = -2;
        QThread *reader = QThread::create([&] { mismatch = check(); });
        reader->start();
        h.append(in.constData() + firstPart, in.size() - firstPart); // evicts the slice's first chunks
        reader->wait();
        delete reader;
        QCOMPARE(mismatch, qsizetype(-1));
        QVERIFY(h.evicted() > quint64(from));
        h.clear();
        QCOMPARE(check(), qsizetype(-1));
        QVERIFY(slice.reading(slice.size()) == Reading());
    }
};

QTEST_GUILESS_MAIN(TestReadingHistory)
#include "tst_readinghistory.moc"
