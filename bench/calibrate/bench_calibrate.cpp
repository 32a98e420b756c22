// All-channel calibration against eight single sweeps, side by side: 8 × 101
// points (0 to 1000 mV in 10 mV) at a 50 ms gate over loopback TCP to the
// simulated instrument (127.0.0.253). Prints each run's time, the time of a
// point, and the all-channel run against its steps plus one set of mutes and
// one restore, as the single sweeps measure them (target: at most 1.05 ×).
#include "DeviceSession.h"
#include "SimInstrument.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <functional>

namespace {

constexpr int kGateMs = 50;
constexpr int kStepMv = 10;
constexpr int kPoints = 1000 / kStepMv + 1;

struct Run {
    double totalMs = 0;
    QList<double> pointAtMs; // each point's time since the run's start
};

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const QString address = QStringLiteral("127.0.0.253");
    SimInstrument sim;
    if (!sim.listenTcp(QHostAddress(address), DeviceSession::kTcpPort)) {
        std::fprintf(stderr, "cannot listen on %s:1234\n", qPrintable(address));
        return 1;
    }
    sim.setPeriodMs(kGateMs);
    sim.setDetectorModel(true);
    DeviceSession session;
    session.setSerialPortSource([] { return QList<SerialPortEntry>{}; });
    session.setNetInterfaceSource([] { return QList<NetInterface>{}; });

    QElapsedTimer clock;
    Run *current = nullptr;
    QObject::connect(&session, &DeviceSession::sweepPointTaken, &app, [&](const SweepPoint &) {
        if (current)
            current->pointAtMs.append(clock.nsecsElapsed() / 1e6);
    });
    // One calibration of `channels`, then `next`.
    const auto calibrate = [&](Run &run, const QList<int> &channels, std::function<void()> next) {
        current = &run;
        clock.start();
        session.startCalibrationOf(channels, 0, 1000, kStepMv, [&run, &clock, next](const Outcome &o) {
            run.totalMs = clock.nsecsElapsed() / 1e6;
            if (!o.ok())
                std::fprintf(stderr, "calibration failed: %s\n", qPrintable(o.message));
            next();
        });
    };

    Run all;
    QList<Run> singles(DeviceSession::kChannelCount);
    std::function<void(int)> single = [&](int ch) {
        if (ch == DeviceSession::kChannelCount) {
            calibrate(all, {0, 1, 2, 3, 4, 5, 6, 7}, [&] { app.quit(); });
            return;
        }
        calibrate(singles[ch], {ch}, [&, ch] { single(ch + 1); });
    };
    session.setTcpHost(address);
    session.connectToDevice(true, [&](const Outcome &o) {
        if (!o.ok()) {
            std::fprintf(stderr, "cannot open: %s\n", qPrintable(o.message));
            app.exit(1);
            return;
        }
        single(0);
    });
    if (app.exec() != 0)
        return 1;

    // A single sweep: its points (first to last, plus one point's time) and
    // the rest, which is its seven mutes and its restore.
    double singlesMs = 0, stepsMs = 0, overheadMs = 0;
    for (const Run &r : singles) {
        const double perPoint = (r.pointAtMs.last() - r.pointAtMs.first()) / (r.pointAtMs.size() - 1);
        singlesMs += r.totalMs;
        stepsMs += r.pointAtMs.size() * perPoint;
        overheadMs += r.totalMs - r.pointAtMs.size() * perPoint;
    }
    const double reference = stepsMs + overheadMs / DeviceSession::kChannelCount;
    std::printf("gate %d ms, %d channels x %d points\n", kGateMs, DeviceSession::kChannelCount, kPoints);
    std::printf("eight single sweeps: %.0f ms (points %.0f ms, mutes and restores %.0f ms, %.2f ms a point)\n",
                singlesMs, stepsMs, overheadMs, stepsMs / (DeviceSession::kChannelCount * kPoints));
    std::printf("all-channel calibration: %.0f ms, %lld points (%.3f x eight single sweeps)\n", all.totalMs,
                qlonglong(all.pointAtMs.size()), all.totalMs / singlesMs);
    std::printf("against its steps plus one set of mutes and one restore (%.0f ms): %.3f x (target <= 1.05)\n",
                reference, all.totalMs / reference);
    return 0;
}
