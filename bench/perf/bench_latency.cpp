// Reply-to-countsChanged latency: the simulated instrument runs on its own
// thread, as a real instrument would be on its own side of the link; the time
// from a COUN? request reaching it (it replies at once) to the session
// emitting countsChanged is what the scene waits for on every reading.
//
//   bench_latency tcp|pty [readings]
#include "DeviceSession.h"
#include "SimInstrument.h"

#include <QCoreApplication>
#include <QMutex>
#include <QThread>
#include <QTimer>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <deque>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

// The only loopback address this bench listens on.
const char *const kHost = "127.0.0.231";

double percentile(std::vector<double> sorted, double p)
{
    if (sorted.empty())
        return 0.0;
    std::sort(sorted.begin(), sorted.end());
    const size_t i = std::min(sorted.size() - 1, size_t(p * double(sorted.size() - 1) + 0.5));
    return sorted[i];
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const QByteArray mode = argc > 1 ? QByteArray(argv[1]) : QByteArray("tcp");
    const int wanted = argc > 2 ? std::max(10, QByteArray(argv[2]).toInt()) : 1000;
    if (mode != "tcp" && mode != "pty") {
        std::fprintf(stderr, "usage: bench_latency tcp|pty [readings]\n");
        return 2;
    }

    QThread simThread;
    simThread.start();
    auto *sim = new SimInstrument;
    sim->moveToThread(&simThread);

    // Request arrival times, stamped on the instrument's thread.
    QMutex mutex;
    std::deque<Clock::time_point> arrivals;
    QObject::connect(
        sim, &SimInstrument::requestReceived, sim,
        [&](unsigned char command, const QByteArray &) {
            if (command != zrf::kCountQuery)
                return;
            const auto now = Clock::now();
            QMutexLocker lock(&mutex);
            arrivals.push_back(now);
        },
        Qt::DirectConnection);

    bool listening = false;
    QString ptyPath;
    QMetaObject::invokeMethod(
        sim,
        [&] {
            sim->setPeriodMs(50);
            if (mode == "tcp")
                listening = sim->listenTcp(QHostAddress(QString::fromLatin1(kHost)), 1234);
            else
                ptyPath = sim->openPty();
        },
        Qt::BlockingQueuedConnection);
    if (mode == "tcp" && !listening) {
        std::fprintf(stderr, "cannot listen on %s:1234\n", kHost);
        return 1;
    }
    if (mode == "pty" && ptyPath.isEmpty()) {
        std::fprintf(stderr, "no pseudo-terminal\n");
        return 1;
    }

    DeviceSession session;
    session.setNetInterfaceSource([] { return QList<NetInterface>{}; });
    session.setSerialPortSource([ptyPath] {
        QList<SerialPortEntry> ports;
        if (!ptyPath.isEmpty()) {
            SerialPortEntry e;
            e.name = ptyPath;
            e.description = QStringLiteral("STM32 Virtual ComPort");
            ports.append(e);
        }
        return ports;
    });

    std::vector<double> latencies;
    latencies.reserve(size_t(wanted));
    int unmatched = 0;
    QObject::connect(&session, &DeviceSession::countsChanged, &app, [&] {
        const auto now = Clock::now();
        Clock::time_point sent;
        {
            QMutexLocker lock(&mutex);
            if (arrivals.empty()) {
                ++unmatched;
                return;
            }
            sent = arrivals.front();
            arrivals.pop_front();
        }
        latencies.push_back(std::chrono::duration<double, std::micro>(now - sent).count());
        if (int(latencies.size()) >= wanted)
            app.quit();
    });

    if (mode == "tcp") {
        session.setTcpHost(QString::fromLatin1(kHost));
        session.connectToDevice(true);
    } else {
        session.setPortName(ptyPath);
        session.connectToDevice(false);
    }
    // 50 ms polling: 1000 readings take about 50 s; give it twice that.
    QTimer::singleShot(wanted * 100 + 5000, &app, [&] { app.exit(1); });
    const int rc = app.exec();
    session.disconnectFromDevice();

    QMetaObject::invokeMethod(sim, [&] { delete sim; }, Qt::BlockingQueuedConnection);
    simThread.quit();
    simThread.wait();

    if (latencies.empty()) {
        std::fprintf(stderr, "no readings over %s\n", mode.constData());
        return 1;
    }
    // The first reading follows the opening exchange; leave it out.
    if (latencies.size() > 1)
        latencies.erase(latencies.begin());
    std::printf("latency %s readings=%zu median_us=%.1f p99_us=%.1f max_us=%.1f unmatched=%d%s\n",
                mode.constData(), latencies.size(), percentile(latencies, 0.5),
                percentile(latencies, 0.99), percentile(latencies, 1.0), unmatched,
                rc == 0 ? "" : " (timed out)");
    return rc;
}
