// The sweep analysis: hostile curves, and valleys on the detector model.

#include "DetectorModel.h"
#include "ThresholdAnalysis.h"

#include <QtTest>

#include <algorithm>
#include <random>

using namespace calibration;

Q_DECLARE_METATYPE(calibration::Reason)
Q_DECLARE_METATYPE(std::vector<calibration::SweepPoint>)

namespace {

constexpr double kGateSeconds = 1.0; // the instrument's default gate: 10^4 to 10^5 pulses above the noise
constexpr double kStepMv = 10;

// A 0 to 1000 mV sweep of a channel, one gate per level.
std::vector<SweepPoint> sweep(const detector::Channel &c, std::mt19937_64 &rng, double gateSeconds = kGateSeconds)
{
    std::vector<SweepPoint> points;
    for (int i = 0; i * kStepMv <= 1000; ++i) {
        const double mv = i * kStepMv;
        const double mean = detector::rateAbove(c, mv) * gateSeconds;
        points.push_back({mv, mean > 0 ? double(std::poisson_distribution<long long>(mean)(rng)) : 0.0});
    }
    return points;
}

std::vector<SweepPoint> curve(double (*count)(double mv))
{
    std::vector<SweepPoint> points;
    for (int i = 0; i * kStepMv <= 1000; ++i)
        points.push_back({i * kStepMv, count(i * kStepMv)});
    return points;
}

std::vector<SweepPoint> with(std::vector<SweepPoint> points, std::size_t at, SweepPoint p)
{
    points[at] = p;
    return points;
}

// No peaks: only the noise and the exponential tail, so a spectrum that only falls.
detector::Channel tailOnly(int index)
{
    detector::Channel c = detector::channel(index);
    c.tailShare = 1;
    return c;
}

bool same(double a, double b) { return a == b || (std::isnan(a) && std::isnan(b)); }

} // namespace

class TestCalibration : public QObject
{
    Q_OBJECT
private slots:
    void hostileCurves_data()
    {
        QTest::addColumn<std::vector<SweepPoint>>("points");
        QTest::addColumn<Reason>("reason");
        const double nan = std::numeric_limits<double>::quiet_NaN();
        const double inf = std::numeric_limits<double>::infinity();
        std::mt19937_64 rng(1);
        const std::vector<SweepPoint> good = sweep(detector::channel(0), rng);
        QCOMPARE(analyseSweep(good).reason, Reason::Valley); // the rows below spoil a good curve

        QTest::newRow("empty") << std::vector<SweepPoint>{} << Reason::TooFewLevels;
        QTest::newRow("single point") << std::vector<SweepPoint>{{100, 500}} << Reason::TooFewLevels;
        QTest::newRow("five levels") << std::vector<SweepPoint>(good.begin(), good.begin() + 5) << Reason::TooFewLevels;
        QTest::newRow("one level many times") << std::vector<SweepPoint>(50, {100, 500}) << Reason::TooFewLevels;
        QTest::newRow("all zero") << curve([](double) { return 0.0; }) << Reason::TooFewCounts;
        QTest::newRow("flat") << curve([](double) { return 1000.0; }) << Reason::Flat;
        QTest::newRow("rising") << curve([](double mv) { return 10 * mv; }) << Reason::Rising;
        QTest::newRow("a step up") << with(good, 60, {600, 1e5}) << Reason::Rising;
        QTest::newRow("NaN count") << with(good, 7, {70, nan}) << Reason::UnusablePoints;
        QTest::newRow("infinite count") << with(good, 7, {70, inf}) << Reason::UnusablePoints;
        QTest::newRow("negative count") << with(good, 7, {70, -1}) << Reason::UnusablePoints;
        QTest::newRow("huge count") << with(good, 7, {70, 1e300}) << Reason::UnusablePoints;
        QTest::newRow("NaN level") << with(good, 7, {nan, 100}) << Reason::UnusablePoints;
        QTest::newRow("too many points") << std::vector<SweepPoint>(kMaxPoints + 1, {100, 500}) << Reason::TooManyPoints;
        QTest::newRow("noise only") << curve([](double mv) { return std::round(1e7 * std::erfc(mv / 20)); })
                                    << Reason::NoSecondPeak;
        std::mt19937_64 tail(2);
        QTest::newRow("falling without a second peak") << sweep(tailOnly(3), tail) << Reason::NoSecondPeak;
        QTest::newRow("a hundred times fewer counts") << sweep(detector::channel(0), rng, 0.01) << Reason::TooFewCounts;
    }

    void hostileCurves()
    {
        QFETCH(std::vector<SweepPoint>, points);
        QFETCH(Reason, reason);
        const ChannelAnalysis a = analyseSweep(points);
        QCOMPARE(a.reason, reason);
        QVERIFY(!a.hasSuggestion());
        QVERIFY(std::isnan(a.valleyMv) && std::isnan(a.bandLowMv) && std::isnan(a.bandHighMv));
        QVERIFY(a.significance >= 0 && a.significance < kSignificance);
        for (const SpectrumPoint &p : a.spectrum)
            QVERIFY(std::isfinite(p.thresholdMv) && std::isfinite(p.perMv) && std::isfinite(p.errorPerMv));
        QVERIFY(!reasonText(a).empty() && reasonText(a).find('%') == std::string::npos);
    }

    // 20 seeds of the eight channels: at least 95 % of suggestions in the true band, none without peaks.
    void detectorValleys()
    {
        int inside = 0, total = 0;
        for (int seed = 0; seed < 20; ++seed) {
            std::mt19937_64 rng(1000 + seed);
            for (int ch = 0; ch < detector::kChannels; ++ch) {
                const detector::Channel c = detector::channel(ch);
                const detector::ValleyBand band = detector::trueValleyBand(c, kStepMv);
                std::vector<SweepPoint> points = sweep(c, rng);
                const ChannelAnalysis a = analyseSweep(points);
                ++total;
                if (a.hasSuggestion() && a.suggestedMv >= band.lowMv && a.suggestedMv <= band.highMv)
                    ++inside;
                else
                    qInfo("seed %d CH %d: %s (true band %.0f to %.0f mV)", seed, ch, reasonText(a).c_str(),
                          band.lowMv, band.highMv);
                if (a.hasSuggestion()) {
                    QVERIFY(a.bandLowMv <= a.suggestedMv && a.suggestedMv <= a.bandHighMv);
                    QVERIFY(a.noiseEdgeMv <= a.bandLowMv && a.bandHighMv < a.firstPeakMv);
                    QVERIFY(a.significance >= kSignificance && a.uncertaintyMv > 0);
                    QCOMPARE(reasonText(a).find("valley at "), std::size_t(0));
                }
                if (seed == 0) { // the order of the points does not matter
                    std::vector<SweepPoint> shuffled = points;
                    std::shuffle(shuffled.begin(), shuffled.end(), rng);
                    const ChannelAnalysis b = analyseSweep(shuffled);
                    QVERIFY(same(a.suggestedMv, b.suggestedMv) && a.reason == b.reason);
                    // Levels a hundred times as high, the last at the limit: the valley moves with them.
                    for (SweepPoint &p : shuffled)
                        p.thresholdMv *= 100;
                    const double scaled = analyseSweep(shuffled).suggestedMv;
                    QVERIFY2(same(scaled, 100 * a.suggestedMv) || std::fabs(scaled - 100 * a.suggestedMv) < 1e-6,
                             qPrintable(QString::number(scaled)));
                }
                QVERIFY(!analyseSweep(sweep(tailOnly(ch), rng)).hasSuggestion());
            }
        }
        qInfo("suggestion inside the true valley band: %d of %d (%.1f %%)", inside, total, 100.0 * inside / total);
        QVERIFY(inside >= 0.95 * total);
    }
};

QTEST_GUILESS_MAIN(TestCalibration)
#include "tst_thresholdanalysis.moc"
