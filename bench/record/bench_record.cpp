// Figures for the recorder, in-process against the simulated instrument on
// 127.0.0.232 (run it inside a network namespace of its own):
//   1. CPU seconds per second of the whole process polling at the 50 ms gate,
//      without and with a recording (phases alternate, twice each), and the
//      time the recorder's slot holds the event loop per reading;
//   2. slow disks: every sync of the process made to take 0, 80, 300 and
//      2000 ms, a recording at the 50 ms gate for each: the poll cadence and
//      the event loop's longest stall (a 1 ms timer's worst lateness) without
//      and with the recording, and the rows in the file against the readings
//      taken (the same readings, in order);
//   3. a simulated day at 50 ms: 1,728,000 rows handed to the recorder as
//      fast as it takes them: bytes and time per row, resident memory.
//
//   bench_record [--phase-seconds=N] [--slow-seconds=N] [--sync-ms=A,B,..]
//                [--rows=N] [--dir=PATH] [--day-dir=PATH]
//     --dir      folder of the live recordings (default: the current folder)
//     --day-dir  folder of the day's file (default /dev/shm: the client's own
//                cost, not the disk's)
// Exit status 1 when a slow disk cost a reading or slowed the polling.
#include "CountRecorder.h"
#include "DeviceSession.h"
#include "ReadingRow.h"
#include "SimInstrument.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QTimer>
#include <QUrl>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <thread>
#include <unistd.h>

namespace {
std::atomic<int> s_syncMs{0};
} // namespace

// Every sync of the process (the recorder's) takes this long, then is made.
extern "C" int fdatasync(int fd)
{
    if (const int ms = s_syncMs.load())
        std::this_thread::sleep_for(std::chrono::milliseconds(ms));
    return int(syscall(SYS_fdatasync, fd));
}

namespace {

double cpuSeconds()
{
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) + double(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

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

// Runs the event loop for `ms` and returns the CPU seconds used meanwhile.
double cpuOver(int ms)
{
    const double before = cpuSeconds();
    QElapsedTimer wall;
    wall.start();
    // Precise: a coarse 10 s timer may end up to half a second early.
    QTimer::singleShot(ms, Qt::PreciseTimer, QCoreApplication::instance(), &QCoreApplication::quit);
    QCoreApplication::exec();
    return (cpuSeconds() - before) / (double(wall.nsecsElapsed()) / 1e9);
}

// How the event loop fared over a phase: readings and their spacing, and
// the worst lateness of a 1 ms timer.
struct Cadence {
    qint64 readings = 0;
    double meanMs = 0;
    double maxMs = 0;
    double stallMs = 0;
};

Cadence cadenceOver(DeviceSession &session, int ms)
{
    QList<qint64> at;
    const auto c = QObject::connect(&session, &DeviceSession::readingTaken,
                                    [&at](const Reading &r) { at.append(r.monotonicNs); });
    QTimer tick;
    tick.setTimerType(Qt::PreciseTimer);
    tick.setInterval(1);
    QElapsedTimer since;
    qint64 worstNs = 0;
    QObject::connect(&tick, &QTimer::timeout, [&] {
        worstNs = std::max(worstNs, since.nsecsElapsed() - 1000000);
        since.restart();
    });
    since.start();
    tick.start();
    cpuOver(ms);
    QObject::disconnect(c);
    Cadence out;
    out.readings = at.size();
    out.stallMs = double(worstNs) / 1e6;
    for (qsizetype i = 1; i < at.size(); ++i)
        out.maxMs = std::max(out.maxMs, double(at[i] - at[i - 1]) / 1e6);
    if (at.size() > 1)
        out.meanMs = double(at.constLast() - at.constFirst()) / 1e6 / double(at.size() - 1);
    return out;
}

// A row without its elapsed seconds (which count from the file's own start).
QByteArray rowKey(const QByteArray &line)
{
    QList<QByteArray> cells = line.split(',');
    if (cells.size() > 1)
        cells.removeAt(1);
    return cells.join(',');
}

QString option(const QStringList &args, const QString &name, const QString &fallback)
{
    for (const QString &a : args) {
        if (a.startsWith(name + '='))
            return a.mid(name.size() + 1);
    }
    return fallback;
}

// Runs the loop until the recorder has closed its file (every row on disk),
// at most `ms`.
bool waitSaved(CountRecorder &recorder, int ms)
{
    QElapsedTimer wait;
    wait.start();
    while (wait.elapsed() < ms) {
        if (!recorder.recording() && recorder.message().startsWith(QLatin1String("Recording saved")))
            return true;
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 20);
    }
    return false;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    const int phaseMs = option(args, QStringLiteral("--phase-seconds"), QStringLiteral("30")).toInt() * 1000;
    const int slowMs = option(args, QStringLiteral("--slow-seconds"), QStringLiteral("10")).toInt() * 1000;
    const QStringList syncList = option(args, QStringLiteral("--sync-ms"), QStringLiteral("0,80,300,2000"))
                                     .split(',', Qt::SkipEmptyParts);
    const qint64 dayRows = option(args, QStringLiteral("--rows"), QStringLiteral("1728000")).toLongLong();
    const QDir liveDir(option(args, QStringLiteral("--dir"), QDir::currentPath()));
    const QDir dayDir(option(args, QStringLiteral("--day-dir"), QStringLiteral("/dev/shm")));
    const QString address = QStringLiteral("127.0.0.232");

    SimInstrument sim;
    sim.setPeriodMs(50);
    sim.setThresholds({0.125, 0.25, 0.333, 0.5, 0.05, 0.9, 1.0, 0.0});
    if (!sim.listenTcp(QHostAddress(address), DeviceSession::kTcpPort)) {
        std::fprintf(stderr, "cannot listen on %s:1234\n", qPrintable(address));
        return 1;
    }
    DeviceSession session;
    session.setSerialPortSource([] { return QList<SerialPortEntry>{}; });
    session.setNetInterfaceSource([] { return QList<NetInterface>{}; });
    // Around the recorder's own slot: connected before and after it.
    QElapsedTimer rowClock;
    QList<qint64> rowNs;
    const auto before = QObject::connect(&session, &DeviceSession::readingTaken, [&] { rowClock.start(); });
    CountRecorder recorder(&session);
    const auto after = QObject::connect(&session, &DeviceSession::readingTaken, [&] {
        if (recorder.recording())
            rowNs.append(rowClock.nsecsElapsed());
    });
    session.setTcpHost(address);
    session.connectToDevice(true);
    QElapsedTimer wait;
    wait.start();
    while (!(session.connected() && session.dacLevelsKnown() && session.periodMs() == 50) && wait.elapsed() < 5000)
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
    if (!session.connected()) {
        std::fprintf(stderr, "no link to the simulated instrument\n");
        return 1;
    }
    bool good = true;

    // 1. Live polling with and without a recording.
    const QString livePath = liveDir.filePath(QStringLiteral("bench-record-live.csv"));
    if (phaseMs > 0) {
        double idle = 0, recording = 0;
        for (int round = 0; round < 2; ++round) {
            idle += cpuOver(phaseMs) / 2;
            recorder.start(QUrl::fromLocalFile(livePath));
            recording += cpuOver(phaseMs) / 2;
            recorder.stop();
            waitSaved(recorder, 10000);
        }
        std::sort(rowNs.begin(), rowNs.end());
        const auto pct = [&](double p) { return rowNs.isEmpty() ? 0.0 : rowNs.at(qsizetype(p * double(rowNs.size() - 1))) / 1e3; };
        std::printf("live at the 50 ms gate (%s, %d s phases x 2):\n", qPrintable(liveDir.path()), phaseMs / 1000);
        std::printf("  CPU without recording  %.4f s/s\n", idle);
        std::printf("  CPU with recording     %.4f s/s\n", recording);
        std::printf("  recording adds         %.2f %% of a core\n", (recording - idle) * 100);
        std::printf("  event loop held per reading by the recorder: median %.0f us, 95%% %.0f us, max %.0f us (%lld rows)\n",
                    pct(0.5), pct(0.95), pct(1.0), qlonglong(rowNs.size()));
        QFile::remove(livePath);
    }
    QObject::disconnect(before);
    QObject::disconnect(after);

    // 2. Slow disks: the cadence without and with a recording, and every
    // reading taken while recording in the file, in order.
    if (slowMs > 0 && !syncList.isEmpty()) {
        const Cadence idle = cadenceOver(session, slowMs);
        std::printf("slow disks, 50 ms gate, %d s each (%s):\n", slowMs / 1000, qPrintable(liveDir.path()));
        std::printf("  sync ms  recording  polls  every ms (max)   longest stall ms  rows/readings  same rows\n");
        std::printf("  %7s  %9s  %5lld  %8.1f (%6.1f)  %16.1f\n", "-", "no", qlonglong(idle.readings), idle.meanMs,
                    idle.maxMs, idle.stallMs);
        for (const QString &ms : syncList) {
            s_syncMs = ms.toInt();
            QList<QByteArray> taken;
            const auto collect = QObject::connect(&session, &DeviceSession::readingTaken, [&](const Reading &r) {
                if (recorder.recording())
                    taken.append(rowKey(readingrow::csvRow(r, 0).chopped(1)));
            });
            if (!recorder.start(QUrl::fromLocalFile(livePath))) {
                std::fprintf(stderr, "%s\n", qPrintable(recorder.message()));
                return 1;
            }
            const Cadence rec = cadenceOver(session, slowMs);
            recorder.stop();
            QObject::disconnect(collect);
            const bool saved = waitSaved(recorder, 30000);
            QFile file(livePath);
            QList<QByteArray> rows;
            if (file.open(QIODevice::ReadOnly)) {
                rows = file.readAll().split('\n');
                rows.removeFirst(); // the header
                rows.removeLast();  // after the last newline
            }
            for (QByteArray &row : rows)
                row = rowKey(row);
            const bool same = saved && rows == taken;
            std::printf("  %7d  %9s  %5lld  %8.1f (%6.1f)  %16.1f  %6lld/%-6lld  %s\n", ms.toInt(), "yes",
                        qlonglong(rec.readings), rec.meanMs, rec.maxMs, rec.stallMs, qlonglong(rows.size()),
                        qlonglong(taken.size()), same ? "yes" : "NO");
            // Within a poll's worth of the cadence without recording.
            good = good && same && rec.meanMs < idle.meanMs * 1.1;
            file.close();
            QFile::remove(livePath);
        }
        s_syncMs = 0;
    }

    // 3. A day of rows at 50 ms, as fast as the recorder takes them.
    if (dayRows <= 0)
        return good ? 0 : 1;
    // Only the day's rows from here: the link's own readings stop.
    session.disconnectFromDevice();
    const QString dayPath = dayDir.filePath(QStringLiteral("bench-record-day.csv"));
    if (!recorder.start(QUrl::fromLocalFile(dayPath))) {
        std::fprintf(stderr, "%s\n", qPrintable(recorder.message()));
        return 1;
    }
    Reading reading;
    reading.periodMs = 50;
    reading.levelsKnown = true;
    QList<double> rss{rssMiB()};
    QElapsedTimer clock;
    clock.start();
    const double cpu0 = cpuSeconds();
    for (qint64 i = 0; i < dayRows && recorder.recording(); ++i) {
        // Counts as an instrument sends them: whole numbers that drift, now and then a fraction.
        for (int ch = 0; ch < 8; ++ch)
            reading.counts[ch] = std::floor(5000 + 4000 * std::sin(double(i) / (1000 + 97 * ch))) + (i % 997 == 0 ? 0.5 : 0);
        reading.utcMs = QDateTime::currentMSecsSinceEpoch();
        reading.monotonicNs = Reading::steadyNowNs();
        reading.sweep = i % 20000 < 100;
        emit session.readingTaken(reading);
        // No more ahead of the disk than the recorder holds.
        while (i + 1 - recorder.rowCount() > 30000)
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 1);
        if ((i + 1) % (dayRows / 4) == 0)
            rss.append(rssMiB());
    }
    recorder.stop();
    waitSaved(recorder, 60000);
    const double seconds = double(clock.nsecsElapsed()) / 1e9;
    const double cpu = cpuSeconds() - cpu0;
    const qint64 rows = recorder.rowCount();
    const qint64 bytes = QFileInfo(dayPath).size();
    std::printf("a day at 50 ms (%s): %lld rows, %.1f MiB\n", qPrintable(dayPath), qlonglong(rows), bytes / 1048576.0);
    std::printf("  %.1f bytes per row, %.2f us per row (%.2f us CPU), %.1f s in all\n",
                double(bytes) / double(qMax<qint64>(rows, 1)), seconds * 1e6 / double(qMax<qint64>(rows, 1)),
                cpu * 1e6 / double(qMax<qint64>(rows, 1)), seconds);
    std::printf("  resident memory at 0, 25, 50, 75, 100 %%:");
    for (double m : std::as_const(rss))
        std::printf(" %.1f", m);
    std::printf(" MiB\n");
    QFile::remove(dayPath);
    return rows == dayRows && good ? 0 : 1;
}
