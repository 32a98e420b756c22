// Figures of the history, for a day at the 50 ms gate (1,728,000 readings
// of eight channels). Below the item:
//   - memory: resident set before and after filling it, and the store's own count;
//   - append: time per reading, one at a time (as the GUI thread takes them)
//     and in bulk (as a file loader hands them over), and the slowest single one;
//   - statistics of the 24 h span, all eight channels;
//   - frames of a 24 h span at 1000 x 400 device pixels while panning and
//     zooming: the Y range of the span (as the plot works it out) and the
//     drawing, median and 99th percentile; full redraws on their own;
//   - a frame while following the newest reading at 30 s and at 24 h.
// Through the real item (the time view's TracePlot in a window of its own,
// drawn by Qt Quick's software scene graph), its history filled with a day
// of readings first:
//   - live CPU while a reading comes every 50 ms, with a 30 s, 1 h and 24 h
//     span, in turns in the same run (CPU seconds of the process per second);
//   - frames over the 24 h history while panning and zooming: from the call
//     to the frame rendered, median and 99th percentile;
//   - the statistics of the 24 h span as the statistics strip asks for them.
// Frame and statistics times are the thread's CPU time, which a machine
// shared with other work leaves alone; the wall-clock times are printed
// beside them.
//
//   bench_history [--readings=N] [--frames=N] [--live-seconds=S] [--rounds=N] [--item-only]
//                 [--live-only=SPAN_MS]
// --item-only leaves out the figures below the item; --live-only measures
// the live CPU at one span alone (to profile it).
// The last lines are the ones bench/history/run compares from run to run.
#include "HistoryCanvas.h"
#include "TracePlot.h"
#include "TraceSeries.h"

#include <QDateTime>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QGuiApplication>
#include <QQuickWindow>
#include <QTimer>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <random>
#include <vector>

namespace {

constexpr qint64 kT0 = 1700000000000;
constexpr int kGateMs = 50;

double rssMiB()
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return 0;
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').first().toDouble() / 1024.0;
    }
    return 0;
}

// Counts as a counter gives them: Poisson-like noise around levels from a
// dark channel to a bright one, slow drift, a NaN now and then.
class Source
{
public:
    explicit Source(quint64 seed) : m_rng(seed) {}
    Reading next(qsizetype i)
    {
        static const double levels[] = {1e3, 5e3, 2e4, 1e5, 50, 5, 0.2, 1e6};
        Reading r;
        const double drift = 1 + 0.1 * std::sin(double(i) * 2e-5);
        for (int c = 0; c < Reading::kChannels; ++c) {
            const double mean = levels[c] * drift;
            const double v = std::max(0.0, std::round(mean + std::sqrt(mean) * m_noise(m_rng)));
            r.counts[c] = m_rng() % 100000 == 0 ? qQNaN() : v;
        }
        r.utcMs = kT0 + qint64(i) * kGateMs;
        r.monotonicNs = qint64(i) * kGateMs * 1000000;
        r.periodMs = kGateMs;
        r.thresholdsMv.fill(120);
        r.levelsKnown = true;
        return r;
    }

private:
    std::mt19937_64 m_rng;
    std::normal_distribution<double> m_noise{0, 1};
};

double cpuNs()
{
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return double(t.tv_sec) * 1e9 + double(t.tv_nsec);
}

// The whole process: the GUI thread and whatever threads the scene graph uses.
double processCpuS()
{
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return double(t.tv_sec) + double(t.tv_nsec) / 1e9;
}

// Times of many short calls, in buckets of 10 ns up to 1 ms.
class Histogram
{
public:
    void add(double ns)
    {
        ++m_buckets[size_t(std::clamp(ns / 10, 0.0, double(m_buckets.size() - 1)))];
        ++m_count;
        m_sum += ns;
        m_max = std::max(m_max, ns);
    }
    double mean() const { return m_count ? m_sum / double(m_count) : 0; }
    double max() const { return m_max; }
    double percentile(double p) const
    {
        const quint64 want = quint64(std::ceil(p * double(m_count)));
        quint64 seen = 0;
        for (size_t i = 0; i < m_buckets.size(); ++i) {
            seen += m_buckets[i];
            if (seen >= want)
                return double(i + 1) * 10;
        }
        return m_max;
    }

private:
    std::vector<quint64> m_buckets = std::vector<quint64>(100000);
    quint64 m_count = 0;
    double m_sum = 0;
    double m_max = 0;
};

double percentile(std::vector<double> v, double p)
{
    if (v.empty())
        return 0;
    std::sort(v.begin(), v.end());
    const size_t k = std::min(v.size() - 1, size_t(std::ceil(p * double(v.size()))) - (p > 0 ? 1 : 0));
    return v[k];
}

HistoryCanvas::Style style()
{
    HistoryCanvas::Style s{QColor("#2C2C2C"), QColor("#666666"), QColor("#444444"),
                         {QColor("#FF4300"), QColor("#0075B9"), QColor("#FFC000"), QColor("#7E3095"),
                          QColor("#6CBF00"), QColor("#FF0000"), QColor("#009CC3"), QColor("#FF8000")}};
    s.timeStepMs = 3600e3;
    return s;
}

// The Y range the plot takes for a span: the lines' extent, padded.
chartscale::Range yRange(const ReadingHistory &h, double t0, double t1)
{
    const qsizetype a = h.lowerBound(t0), b = h.upperBound(t1);
    double lo = qInf(), hi = -qInf();
    for (int c = 0; c < Reading::kChannels; ++c) {
        const LineSummary s = h.summary(c, false, a, b);
        if (s.points > 0) {
            lo = std::min(lo, chartscale::drawValue(s.all.lo));
            hi = std::max(hi, chartscale::drawValue(s.all.hi));
        }
    }
    return lo <= hi ? chartscale::paddedLinearRange(lo, hi) : chartscale::paddedLinearRange(qQNaN(), qQNaN());
}

// A source the bench hands readings to, as the session does.
class BenchSource : public ReadingSource
{
public:
    void take(const Reading &r) { emit readingTaken(r); }
};

struct ItemFigures {
    double storeMiB = 0;
    double liveCpu[3] = {};
    double frameP50 = 0;
    double frameP99 = 0;
    double statsMs = 0;
};

// Runs the event loop until the window has rendered a frame (or a second
// has gone by); false on the time-out.
bool nextFrame(QQuickWindow &window)
{
    QEventLoop loop;
    bool rendered = false;
    const auto done = QObject::connect(&window, &QQuickWindow::frameSwapped, &loop, [&] {
        rendered = true;
        loop.quit();
    });
    QTimer::singleShot(1000, &loop, &QEventLoop::quit);
    loop.exec();
    QObject::disconnect(done);
    return rendered;
}

ItemFigures measureItem(qsizetype readings, int frames, double liveSeconds, int rounds, double liveOnly)
{
    ItemFigures out;
    QQuickWindow window;
    window.resize(900, 330); // the time view's plot in the 980 x 460 window
    // Filled before it is put in the window: a plot in a window works out
    // its range for every reading.
    TraceSeries series;
    TracePlot plot;
    plot.setSize(QSizeF(900, 330));
    plot.setColors({QColor("#FF4300"), QColor("#0075B9"), QColor("#FFC000"), QColor("#7E3095"), QColor("#6CBF00"),
                    QColor("#FF0000"), QColor("#009CC3"), QColor("#FF8000")});
    plot.setSeries(&series);
    BenchSource source;
    series.setSource(&source);

    // A day of readings up to now, while nothing is shown.
    const qint64 now = QDateTime::currentMSecsSinceEpoch();
    Source make(3);
    qsizetype i = 0;
    for (; i < readings; ++i) {
        Reading r = make.next(i);
        r.utcMs = now - (readings - i) * kGateMs;
        source.take(r);
    }
    out.storeMiB = double(series.history().bytes()) / 1048576;
    plot.setParentItem(window.contentItem());
    window.show();
    nextFrame(window);

    // Live: a reading every 50 ms, stamped when it comes, each span in turn.
    const double spans[3] = {30e3, 3600e3, 86400e3};
    const char *names[3] = {"30s", "1h", "24h"};
    double cpu[3] = {};
    double wall[3] = {};
    QTimer gate;
    gate.setTimerType(Qt::PreciseTimer);
    gate.setInterval(kGateMs);
    QObject::connect(&gate, &QTimer::timeout, [&] {
        Reading r = make.next(i++);
        r.utcMs = QDateTime::currentMSecsSinceEpoch();
        r.monotonicNs = Reading::steadyNowNs();
        source.take(r);
    });
    gate.start();
    for (int round = 0; round < rounds; ++round) {
        for (int k = 0; k < 3; ++k) {
            if (liveOnly > 0 && spans[k] != liveOnly)
                continue;
            series.setSpanMs(spans[k]);
            QEventLoop settle; // the first drawing of the span, whole
            QTimer::singleShot(2000, &settle, &QEventLoop::quit);
            settle.exec();
            QElapsedTimer clock;
            clock.start();
            const double cpu0 = processCpuS();
            QEventLoop run;
            QTimer::singleShot(int(liveSeconds * 1000), &run, &QEventLoop::quit);
            run.exec();
            cpu[k] += processCpuS() - cpu0;
            wall[k] += double(clock.nsecsElapsed()) / 1e9;
        }
    }
    gate.stop();
    if (liveOnly > 0)
        return out;
    for (int k = 0; k < 3; ++k) {
        out.liveCpu[k] = cpu[k] / wall[k];
        std::printf("item live %s: %.4f CPU s per s over %.0f s (%.2f of the 30 s figure)\n", names[k],
                    out.liveCpu[k], wall[k], out.liveCpu[k] / (cpu[0] / wall[0]));
    }

    // Pans and zooms over the day, held: from the call to the frame rendered.
    series.setSpanMs(86400e3);
    series.setPaused(true);
    nextFrame(window);
    std::vector<double> frameMs, frameWallMs;
    std::mt19937_64 rng(4);
    std::uniform_real_distribution<double> u(0, 1);
    const double width = plot.plotArea().width();
    int missed = 0;
    for (int k = 0; k < frames; ++k) {
        QElapsedTimer clock;
        clock.start();
        const double cpu0 = cpuNs();
        const int step = k % 4;
        if (step == 3) { // a wheel step around the pointer, in or out
            const double span = series.spanMs();
            const double factor = span < 0.6 * 86400e3 ? 1.25 : (span >= 86400e3 ? 0.8 : (u(rng) < 0.5 ? 0.8 : 1.25));
            plot.zoomAt(width * u(rng), factor);
        } else { // a drag: a few pixels, or a fling
            plot.pan((step == 2 ? 150 : 7) * (u(rng) - 0.5));
        }
        if (!nextFrame(window))
            ++missed;
        frameMs.push_back((cpuNs() - cpu0) / 1e6);
        frameWallMs.push_back(double(clock.nsecsElapsed()) / 1e6);
    }
    out.frameP50 = percentile(frameMs, 0.5);
    out.frameP99 = percentile(frameMs, 0.99);
    std::printf("item frames 24h, %.0f x %.0f px, pans and zooms, CPU: median %.2f ms, p99 %.2f ms, worst %.2f ms "
                "(wall clock: median %.2f ms, p99 %.2f ms; %d without a frame)\n",
                plot.plotArea().width(), plot.plotArea().height(), out.frameP50, out.frameP99,
                percentile(frameMs, 1.0), percentile(frameWallMs, 0.5), percentile(frameWallMs, 0.99), missed);

    // The statistics strip's figures over the day (live again: the last 24 h).
    series.setPaused(false);
    series.setSpanMs(86400e3);
    std::vector<double> statsMs;
    volatile double sink = 0;
    for (int k = 0; k < 200; ++k) {
        const double cpu0 = cpuNs();
        const SpanStats s = series.currentStats();
        statsMs.push_back((cpuNs() - cpu0) / 1e6);
        sink = sink + s[0].mean;
    }
    out.statsMs = percentile(statsMs, 0.5);
    std::printf("item stats 24h (%d readings), CPU: median %.4f ms, p99 %.4f ms\n", series.readingCount(), out.statsMs,
                percentile(statsMs, 0.99));
    return out;
}

} // namespace

// The figures below the item; the store's own count of its memory, MiB.
double measureBelowItem(qsizetype readings, int frames)
{
    const double dayMs = double(readings) * kGateMs;

    // ---- memory and append, one at a time ---------------------------------
    const double rssBefore = rssMiB();
    auto history = std::make_unique<ReadingHistory>();
    ReadingHistory &h = *history;
    Source source(1);
    Histogram appendNs;
    {
        QElapsedTimer clock;
        // Readings are made in batches, so that only appending is timed.
        std::vector<Reading> batch(4096);
        for (qsizetype i = 0; i < readings;) {
            const qsizetype n = std::min<qsizetype>(qsizetype(batch.size()), readings - i);
            for (qsizetype k = 0; k < n; ++k)
                batch[size_t(k)] = source.next(i + k);
            for (qsizetype k = 0; k < n; ++k) {
                clock.start();
                h.append(batch[size_t(k)]);
                appendNs.add(double(clock.nsecsElapsed()));
            }
            i += n;
        }
        batch = std::vector<Reading>();
    }
    const double rssAfter = rssMiB();
    const double storeMiB = double(h.bytes()) / 1048576;
    std::printf("readings: %lld (%.1f h at %d ms), evicted %llu\n", static_cast<long long>(h.size()),
                dayMs / 3600e3, kGateMs, static_cast<unsigned long long>(h.evicted()));
    std::printf("memory: store %.1f MiB (%.1f bytes a reading; budget %.0f MiB, %lld readings at most), "
                "resident %.1f -> %.1f MiB (%+.1f MiB)\n",
                double(h.bytes()) / 1048576, double(h.bytes()) / double(h.size()), double(h.budgetBytes()) / 1048576,
                static_cast<long long>(h.budgetBytes() / ReadingHistory::chunkBytes() * ReadingHistory::kChunkReadings),
                rssBefore, rssAfter, rssAfter - rssBefore);
    std::printf("append: one at a time, mean %.0f ns, median %.0f ns, p99.9 %.1f us, slowest %.1f us "
                "(a leaf of 256 readings summed up, or a new chunk)\n",
                appendNs.mean(), appendNs.percentile(0.5), appendNs.percentile(0.999) / 1000, appendNs.max() / 1000);

    // ---- bulk append (a second store, timed apart from making the readings)
    {
        ReadingHistory bulk;
        Source again(1);
        std::vector<Reading> batch(65536);
        double ns = 0;
        QElapsedTimer clock;
        for (qsizetype i = 0; i < readings;) {
            const qsizetype n = std::min<qsizetype>(qsizetype(batch.size()), readings - i);
            for (qsizetype k = 0; k < n; ++k)
                batch[size_t(k)] = again.next(i + k);
            clock.start();
            bulk.append(batch.data(), n);
            ns += double(clock.nsecsElapsed());
            i += n;
        }
        std::printf("append: %.0f ns a reading in bulk (%.0f ms for the day)\n", ns / double(readings), ns / 1e6);
    }

    // ---- statistics of the whole day --------------------------------------
    std::vector<double> statsMs;
    {
        volatile double sink = 0;
        for (int k = 0; k < 200; ++k) {
            const double cpu0 = cpuNs();
            const qsizetype a = h.lowerBound(double(kT0) + k), b = h.upperBound(double(kT0) + dayMs);
            const SpanStats s = h.stats(a, b);
            statsMs.push_back((cpuNs() - cpu0) / 1e6);
            sink = sink + s[0].mean;
        }
        RunningStats pass;
        const double cpu0 = cpuNs();
        for (qsizetype i = 0; i < h.size(); ++i)
            pass.add(h.reading(i));
        std::printf("stats 24h, 8 channels, CPU: median %.4f ms, p99 %.4f ms (one pass over every reading: %.0f ms)\n",
                    percentile(statsMs, 0.5), percentile(statsMs, 0.99), (cpuNs() - cpu0) / 1e6);
    }

    // ---- frames over 24 h: pans and zooms ---------------------------------
    const QList<bool> all(8, true);
    const int width = 1000, height = 400;
    std::vector<double> frameMs, fullMs, frameWallMs;
    {
        HistoryCanvas canvas;
        std::mt19937_64 rng(2);
        std::uniform_real_distribution<double> u(0, 1);
        double right = double(kT0) + dayMs;
        double span = dayMs;
        QElapsedTimer clock;
        for (int k = 0; k < frames; ++k) {
            const int step = k % 4;
            if (step == 3) { // zoom by a wheel step around the pointer, in or out
                const double pointer = right - span * u(rng);
                const double factor = span < 0.6 * dayMs ? 1.25 : (span >= dayMs ? 0.8 : (u(rng) < 0.5 ? 0.8 : 1.25));
                const double next = std::min(dayMs, span * factor);
                right = pointer + (right - pointer) * next / span;
                span = next;
            } else { // a drag: a few columns, or a fling
                const double px = (step == 2 ? 150 : 7) * (u(rng) - 0.5);
                right += px * span / width;
            }
            right = std::clamp(right, double(kT0) + span * 0.5, double(kT0) + dayMs + span * 0.5);
            clock.start();
            const double cpu0 = cpuNs();
            const chartscale::Range y = yRange(h, right - span, right);
            const TraceScale scale(width, height, span, right, y, false);
            const bool whole = canvas.draw(h, scale, style(), all);
            const double ms = (cpuNs() - cpu0) / 1e6;
            frameWallMs.push_back(double(clock.nsecsElapsed()) / 1e6);
            frameMs.push_back(ms);
            if (whole)
                fullMs.push_back(ms);
        }
        std::printf("frames 24h, %d x %d px, pans and zooms, CPU: median %.2f ms, p99 %.2f ms, worst %.2f ms "
                    "(%zu of %d drawn whole: median %.2f ms, p99 %.2f ms)\n",
                    width, height, percentile(frameMs, 0.5), percentile(frameMs, 0.99), percentile(frameMs, 1.0),
                    fullMs.size(), frames, percentile(fullMs, 0.5), percentile(fullMs, 0.99));
        std::printf("frames 24h, wall clock: median %.2f ms, p99 %.2f ms, worst %.2f ms\n", percentile(frameWallMs, 0.5),
                    percentile(frameWallMs, 0.99), percentile(frameWallMs, 1.0));
    }

    // ---- following the newest reading -------------------------------------
    for (double span : {30e3, dayMs}) {
        HistoryCanvas canvas;
        std::vector<double> ms;
        qsizetype i = h.size() + qsizetype(h.evicted());
        for (int k = 0; k < 200; ++k, ++i) {
            h.append(source.next(i));
            const double right = double(h.timeKey(h.size() - 1));
            const double cpu0 = cpuNs();
            const chartscale::Range y = yRange(h, right - span, right);
            canvas.draw(h, TraceScale(width, height, span, right, y, false), style(), all);
            if (k > 0)
                ms.push_back((cpuNs() - cpu0) / 1e6);
        }
        std::printf("live %s: a frame per reading, CPU: median %.3f ms, p99 %.3f ms (every point: %s)\n",
                    span < 60e3 ? "30s" : "24h", percentile(ms, 0.5), percentile(ms, 0.99),
                    canvas.drewEveryPoint() ? "yes" : "no");
    }

    return storeMiB;
}

int main(int argc, char **argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    // The scene graph the client takes without a graphics card.
    if (qEnvironmentVariableIsEmpty("QT_QUICK_BACKEND"))
        qputenv("QT_QUICK_BACKEND", "software");
    QGuiApplication app(argc, argv);
    qsizetype readings = 1728000;
    int frames = 400;
    double liveSeconds = 20;
    int rounds = 2;
    bool itemOnly = false;
    double liveOnly = 0;
    for (const QString &a : app.arguments().mid(1)) {
        if (a.startsWith(QLatin1String("--readings=")))
            readings = std::max<qsizetype>(1000, a.mid(11).toLongLong());
        else if (a.startsWith(QLatin1String("--frames=")))
            frames = std::max(10, a.mid(9).toInt());
        else if (a.startsWith(QLatin1String("--live-seconds=")))
            liveSeconds = std::max(1.0, a.mid(15).toDouble());
        else if (a.startsWith(QLatin1String("--rounds=")))
            rounds = std::max(1, a.mid(9).toInt());
        else if (a == QLatin1String("--item-only"))
            itemOnly = true;
        else if (a.startsWith(QLatin1String("--live-only=")))
            liveOnly = a.mid(12).toDouble();
        else {
            std::fprintf(stderr, "usage: bench_history [--readings=N] [--frames=N] [--live-seconds=S] [--rounds=N] "
                                 "[--item-only] [--live-only=SPAN_MS]\n");
            return 2;
        }
    }
    double storeMiB = 0;
    if (!itemOnly)
        storeMiB = measureBelowItem(readings, frames);

    // ---- through the item ----------------------------------------------------
    const ItemFigures item = measureItem(readings, frames, liveSeconds, rounds, liveOnly);
    if (itemOnly)
        storeMiB = item.storeMiB;

    std::printf("history: live cpu 30s: %.4f\n", item.liveCpu[0]);
    std::printf("history: live cpu 1h: %.4f\n", item.liveCpu[1]);
    std::printf("history: live cpu 24h: %.4f\n", item.liveCpu[2]);
    std::printf("history: frame p50 24h: %.2f ms\n", item.frameP50);
    std::printf("history: frame p99 24h: %.2f ms\n", item.frameP99);
    std::printf("history: memory 24h: %.1f MiB\n", storeMiB);
    std::printf("history: stats 24h: %.3f ms\n", item.statsMs);
    return 0;
}
