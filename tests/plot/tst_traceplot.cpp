// The time view's plot item over a series fed by a test source of
// readings as the session feeds them: the count axis range, pans, zooms and
// Live in its pixels, read-outs per second, and its drawing as readings come.

#include "../common/TestReadingSource.h"
#include "ChartScale.h"
#include "TracePlot.h"

#include <QQuickWindow>
#include <QtQuickTest/quicktest.h>
#include <QtTest>

namespace {

using L = QList<double>;
const double kNan = qQNaN();
const double kT0 = 1.7e12; // a clock reading, ms since the epoch

const QStringList kColors{QStringLiteral("#FF4300"), QStringLiteral("#0075B9"), QStringLiteral("#FFC000"),
                          QStringLiteral("#7E3095"), QStringLiteral("#6CBF00"), QStringLiteral("#FF0000"),
                          QStringLiteral("#009CC3"), QStringLiteral("#FF8000")};

// The plot of a series in a window of its own, drawn as the scene draws it.
struct Shown {
    QQuickWindow window;
    TraceSeries series;
    TracePlot *plot;
    explicit Shown(int width = 900, int height = 380)
    {
        window.resize(width, height);
        plot = new TracePlot(window.contentItem());
        plot->setSize(QSizeF(width, height));
        plot->setSeries(&series);
        QVariantList colors;
        for (const QString &c : kColors)
            colors.append(c);
        plot->setColors(colors);
        window.show();
    }
    bool drawn() { return QTest::qWaitForWindowExposed(&window) && QQuickTest::qWaitForPolish(plot); }
};

} // namespace

class TestTracePlot : public QObject
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
        TraceSeries series;
        TracePlot plot;
        plot.setSeries(&series);
        TestReadingSource source;
        series.setSource(&source);
        plot.setChannelVisible(shown);
        for (qsizetype i = 0; i < counts.size(); ++i)
            source.push(QVariantList(8, counts.at(i)), kT0 + 50 * i);
        QCOMPARE(plot.yMin(), linear.at(0));
        QCOMPARE(plot.yMax(), linear.at(1));
        plot.setLogarithmic(true);
        QCOMPARE(plot.yMin(), log.at(0));
        QCOMPARE(plot.yMax(), log.at(1));
    }

    // A pan holds the plot and moves it by its pixels; a zoom keeps the
    // time under the pointer where it is. Held, readings keep coming into
    // the history but nothing shown changes; Live shows them.
    void panZoomLive()
    {
        Shown shown;
        TracePlot &plot = *shown.plot;
        TraceSeries &series = shown.series;
        TestReadingSource source;
        series.setSource(&source);
        source.pushWave(4000, kT0, 1000, 1000);
        series.setSpanMs(600e3);
        QVERIFY(shown.drawn());
        const double width = plot.plotArea().width();
        QVERIFY(width > 500);
        const double newest = kT0 + 3999e3;
        QCOMPARE(plot.timeForX(width) >= newest, true);

        QSignalSpy paused(&series, &TraceSeries::pausedChanged);
        plot.pan(-width / 4); // a quarter of the span back
        QVERIFY(series.paused());
        QCOMPARE(paused.size(), 1);
        QCOMPARE(series.timeMax(), newest - 150e3);
        const double x = width / 3;
        const double atX = plot.timeForX(x);
        plot.zoomAt(x, 0.5);
        QCOMPARE(series.spanMs(), 300e3);
        QVERIFY(std::abs(plot.timeForX(x) - atX) <= 300e3 / width); // within a pixel column
        QVERIFY(shown.drawn());

        const int count = series.readingCount();
        const double yMax = plot.yMax();
        const double timeMax = series.timeMax();
        for (int i = 0; i < 20; ++i)
            source.push(QVariantList(8, 1e6), newest + 1000 * (i + 1), 1000);
        QCOMPARE(series.readingCount(), count);
        QCOMPARE(series.timeMax(), timeMax);
        QCOMPARE(plot.yMax(), yMax);
        QCOMPARE(series.history().size(), qsizetype(4020));

        series.setPaused(false); // Live
        QCOMPARE(series.timeMax(), newest + 20000);
        QVERIFY(plot.yMax() > 1e6);
        QCOMPARE(plot.valueAt(0, newest + 20000), 1e6);
        // A pan at most back to the oldest reading, at most on to the newest.
        plot.pan(-1e7);
        QCOMPARE(series.timeMin(), double(kT0));
        plot.pan(1e7);
        QCOMPARE(series.timeMax(), newest + 20000);
    }

    // Per second: each count over its own gate, in the read-out and the
    // range; the log axis reaches down to one count over the longest gate.
    void perSecond()
    {
        TraceSeries series;
        TracePlot plot;
        plot.setSeries(&series);
        TestReadingSource source;
        series.setSource(&source);
        source.push(QVariantList(8, 100), kT0, 50);
        source.push(QVariantList(8, 300), kT0 + 1000, 2000);
        source.push(QVariantList(8, 1), kT0 + 2000, 2000);
        QCOMPARE(plot.valueAt(3, kT0), 100.0);
        plot.setPerSecond(true);
        QCOMPARE(plot.valueAt(3, kT0), 2000.0);
        QCOMPARE(plot.valueAt(3, kT0 + 1000), 150.0);
        QCOMPARE(plot.valueAt(3, kT0 + 500), 1075.0);
        QCOMPARE(plot.yMax(), chartscale::paddedLinearRange(0.5, 2000).max);
        plot.setLogarithmic(true);
        QCOMPARE(plot.yMin(), 0.5);
        QCOMPARE(plot.valueAt(3, kT0 + 2000), 0.5);
        plot.setPerSecond(false);
        QCOMPARE(plot.yMin(), 1.0);
    }

    // Drawn through the item, strip by strip as readings come, the plot
    // area is what one whole drawing of the same span gives (but for the
    // leftmost columns, as far as a line's pen reaches).
    void drawnOnAsWhole_data()
    {
        QTest::addColumn<bool>("log");
        QTest::newRow("linear") << false;
        QTest::newRow("log") << true;
    }
    void drawnOnAsWhole()
    {
        QFETCH(bool, log);
        Shown shown;
        TracePlot &plot = *shown.plot;
        TestReadingSource source;
        shown.series.setSource(&source);
        plot.setLogarithmic(log);
        for (int k = 0; k < 12; ++k) {
            source.pushWave(100, kT0 + 5000.0 * k, 50, 50, quint64(k));
            QVERIFY(shown.drawn()); // drawn whole once, then strip by strip
        }
        const HistoryCanvas &canvas = plot.canvas();
        HistoryCanvas whole;
        QVERIFY(whole.draw(shown.series.history(), canvas.scale(), canvas.style(), QList<bool>(8, true)));
        // Square caps reach past the left edge, where a strip drawn before
        // scrolled and a whole drawing cut the pen a little differently.
        const QRect right(4, 0, whole.image().width() - 4, whole.image().height());
        QCOMPARE(canvas.image().copy(right), whole.image().copy(right));
    }
};

QTEST_MAIN(TestTracePlot)
#include "tst_traceplot.moc"
