// Figures for the recorder, in-process against the simulated instrument on
// 127.0.0.232 (run it inside a network namespace of its own):
//   1. CPU seconds per second of the whole process polling at the 50 ms gate,
//      without and with a recording (phases alternate, twice each), and the
//      time a row holds the event loop (writing and syncing it to disk);
//   2. a simulated day at 50 ms: 1,728,000 rows handed to the recorder as
//      fast as it takes them: bytes and time per row, resident memory.
//
//   bench_record [--phase-seconds=N] [--rows=N] [--dir=PATH] [--day-dir=PATH]
//     --dir      folder of the live recording (default: the current folder)
//     --day-dir  folder of the day's file (default /dev/shm: the client's own
//                cost, not the disk's; the per-row sync cost is figure 1's)
#include "CountRecorder.h"
#include "DeviceSession.h"
#include "SimInstrument.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QTimer>
#include <QUrl>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <sys/resource.h>

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
    QTimer::singleShot(ms, QCoreApplication::instance(), &QCoreApplication::quit);
    QCoreApplication::exec();
    return (cpuSeconds() - before) / (double(wall.nsecsElapsed()) / 1e9);
}

QString option(const QStringList &args, const QString &name, const QString &fallback)
{
    for (const QString &a : args) {
        if (a.startsWith(name + '='))
            return a.mid(name.size() + 1);
    }
    return fallback;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    const int phaseMs = option(args, QStringLiteral("--phase-seconds"), QStringLiteral("30")).toInt() * 1000;
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

    // 1. Live polling with and without a recording.
    const QString livePath = liveDir.filePath(QStringLiteral("bench-record-live.csv"));
    double idle = 0, recording = 0;
    for (int round = 0; round < 2; ++round) {
        idle += cpuOver(phaseMs) / 2;
        recorder.start(QUrl::fromLocalFile(livePath));
        recording += cpuOver(phaseMs) / 2;
        recorder.stop();
    }
    std::sort(rowNs.begin(), rowNs.end());
    const auto pct = [&](double p) { return rowNs.isEmpty() ? 0.0 : rowNs.at(qsizetype(p * double(rowNs.size() - 1))) / 1e3; };
    std::printf("live at the 50 ms gate (%s, %d s phases x 2):\n", qPrintable(liveDir.path()), phaseMs / 1000);
    std::printf("  CPU without recording  %.4f s/s\n", idle);
    std::printf("  CPU with recording     %.4f s/s\n", recording);
    std::printf("  recording adds         %.2f %% of a core\n", (recording - idle) * 100);
    std::printf("  event loop held per row (write + sync): median %.0f us, 95%% %.0f us, max %.0f us (%lld rows)\n",
                pct(0.5), pct(0.95), pct(1.0), qlonglong(rowNs.size()));
    QFile::remove(livePath);

    // 2. A day of rows at 50 ms, as fast as the recorder takes them.
    QObject::disconnect(before);
    QObject::disconnect(after);
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
        if ((i + 1) % (dayRows / 4) == 0)
            rss.append(rssMiB());
    }
    const double seconds = double(clock.nsecsElapsed()) / 1e9;
    const double cpu = cpuSeconds() - cpu0;
    const qint64 rows = recorder.rowCount();
    recorder.stop();
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
    return rows == dayRows ? 0 : 1;
}
