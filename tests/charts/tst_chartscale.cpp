// Axis ranges and ticks: ordinary counts keep their ranges; any double gives an axis that can be drawn.

#include "ChartScale.h"

#include <QtTest>

#include <cmath>
#include <limits>
#include <tuple>

using namespace chartscale;

namespace {

const double kNan = std::numeric_limits<double>::quiet_NaN();
const double kInf = std::numeric_limits<double>::infinity();
const double kMax = std::numeric_limits<double>::max();
const double kDenorm = std::numeric_limits<double>::denorm_min();

// The value axis's tick walk from 0: ticks counted, or a large number when it stalls or runs away.
int axisTicks(const Range &r, double interval)
{
    const double first = -std::floor(-r.min / interval) * interval;
    int n = 0;
    for (double v = first; v <= r.max; v += interval) {
        if (++n > 1000 || v + interval == v)
            return 100000;
    }
    return n;
}

// A range an axis gets: drawable, kept by the setters' repair, walked in few ticks whose half step moves.
void checkAxis(const Range &r, int desired, const QString &where)
{
    QVERIFY2(std::isfinite(r.min) && std::isfinite(r.max) && r.min < r.max, qPrintable(where));
    const Range again = linearRange(r.min, r.max);
    QVERIFY2(again.min == r.min && again.max == r.max, qPrintable(where));
    const double interval = tickInterval(r.min, r.max, desired);
    QVERIFY2(std::isfinite(interval) && interval > 0, qPrintable(where));
    QVERIFY2(r.min + interval / 2 != r.min && r.max + interval / 2 != r.max, qPrintable(where));
    QVERIFY2(axisTicks(r, interval) <= kMaxTicks + 1, qPrintable(where));
}

// Every property an axis needs, for the range functions fed with (a, b).
void checkAll(double a, double b, int desired)
{
    const QString where = QStringLiteral("(%1, %2)").arg(a, 0, 'g', 17).arg(b, 0, 'g', 17);
    for (const Range &r : {linearRange(a, b), paddedLinearRange(a, b), logRange(a, b), paddedLogRange(a, b)})
        checkAxis(r, desired, where);
    for (const Range &r : {logRange(a, b), paddedLogRange(a, b)}) {
        QVERIFY2(r.min >= 1 && std::log10(r.max) > std::log10(r.min), qPrintable(where));
        const double base = logBase(r.min, r.max);
        QVERIFY2(std::isfinite(base) && base >= 10, qPrintable(where));
        QVERIFY2((std::log10(r.max) - std::log10(r.min)) / std::log10(base) <= kMaxTicks, qPrintable(where));
    }
}

void checkBars(const QList<double> &counts)
{
    const Bars b = bars(counts, counts.size());
    checkAxis(b.linear, 5, QStringLiteral("bars"));
    checkAxis(b.log, 5, QStringLiteral("bars"));
    QVERIFY(b.log.min >= 1);
    QCOMPARE(b.values.size(), counts.size());
    for (qsizetype i = 0; i < counts.size(); ++i) {
        QCOMPARE(std::isnan(b.values.at(i)), !std::isfinite(counts.at(i)));
        QVERIFY(!(b.values.at(i) < 0));
    }
}

} // namespace

class TestChartScale : public QObject
{
    Q_OBJECT
private slots:
    // What the views show for ordinary counts.
    void ordinary_data()
    {
        QTest::addColumn<double>("min");
        QTest::addColumn<double>("max");
        QTest::addColumn<int>("desired");
        QTest::addColumn<double>("interval");
        using Row = std::tuple<double, double, int, double>;
        for (const auto &[min, max, desired, interval] : std::initializer_list<Row>{
                 {0.0, 1.0, 5, 0.2}, {0.0, 1.0, 4, 0.2}, {0.0, 1.0, 3, 0.5}, {0.0, 2.0, 3, 0.5}, {0.0, 2.0, 2, 1.0},
                 {0.0, 2160.0, 5, 1000.0}, {4999.85, 5001.0, 5, 0.5}})
            QTest::addRow("%g..%g, %d ticks", min, max, desired) << min << max << desired << interval;
    }
    void ordinary()
    {
        QFETCH(double, min);
        QFETCH(double, max);
        QFETCH(int, desired);
        QFETCH(double, interval);
        QCOMPARE(tickInterval(min, max, desired), interval);
        QCOMPARE(logBase(1, 2700), 10.0);
    }

    // A rate's log axis starts at its floor, in (0, 1]; any other floor is 1.
    void logFloors_data()
    {
        QTest::addColumn<double>("floor");
        QTest::addColumn<double>("taken");
        QTest::newRow("one count in 2 s") << 0.5 << 0.5;
        QTest::newRow("one count in a minute") << 1.0 / 60 << 1.0 / 60;
        QTest::newRow("above 1") << 5.0 << 1.0;
        QTest::newRow("0") << 0.0 << 1.0;
        QTest::newRow("negative") << -1.0 << 1.0;
        QTest::newRow("NaN") << kNan << 1.0;
        QTest::newRow("tiny") << 1e-300 << 1e-12;
    }
    void logFloors()
    {
        QFETCH(double, floor);
        QFETCH(double, taken);
        QCOMPARE(logFloor(floor), taken);
        QCOMPARE(paddedLogRange(kNan, kNan, floor).min, taken);
        QCOMPARE(paddedLogRange(taken / 10, 100, floor).min, taken);
        QCOMPARE(logRange(taken * 2, 100, floor).min, taken * 2);
        QCOMPARE(paddedLogRange(taken * 3, 100, floor).min, taken * 3);
        QCOMPARE(paddedLogRange(taken * 3, 100, floor).max, 100 * 1.15);
        for (double a : {kNan, 0.0, 1e-200, taken, 1.0, 1e308}) {
            const Range r = paddedLogRange(a, 1e5, floor);
            QVERIFY(r.min >= taken && r.max > r.min && std::isfinite(r.max));
            QVERIFY(logBase(r.min, r.max, floor) >= 10);
        }
    }

    // Every pair of awkward values, in both orders.
    void extremes()
    {
        const QList<double> values = {kNan, kInf, -kInf, kMax, -kMax, kDenorm, -kDenorm, -0.0, 0.0,
                                      1e308, 9.3e307, 8.8e307, 3e15, 3e15 + 1, 2e15, 1e300, -1e300, 1e30, 1, 5000,
                                      // the last double of a binade: widening it crosses into a coarser one
                                      std::nextafter(std::ldexp(1.0, 513), 0.0)};
        for (double a : values) {
            for (double b : values) {
                for (int desired : {-1, 0, 3, 5, 1000})
                    checkAll(a, b, desired);
                if (QTest::currentTestFailed())
                    return;
            }
        }
        for (double v : values)
            checkBars(QList<double>(8, v));
        checkBars({kNan, kInf, -kInf, -0.0, kDenorm, 1e308, -1e308, 42});
        checkBars({});
    }
};

QTEST_APPLESS_MAIN(TestChartScale)
#include "tst_chartscale.moc"
