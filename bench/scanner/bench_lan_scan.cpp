// How long a scan of a /24 and of a /22 takes against its floor: with 64
// probes in flight and unanswered neighbours holding each probe for its full
// 400 ms, n targets need ceil(n / 64) rounds of 400 ms. One simulated
// instrument answers; the rest of the subnet is silent.

#include "NetnsSandbox.h"
#include "TcpLanScanner.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QTimer>

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace {

constexpr int kRuns = 3;

// Runs in the client namespace: scans the system's interfaces kRuns times.
int measure(const QString &label)
{
    const int targets = int(TcpLanScanner::collectTargets(systemNetInterfaces()).size());
    const int rounds = (targets + TcpLanScanner::kMaxInFlight - 1) / TcpLanScanner::kMaxInFlight;
    const double floorSec = rounds * TcpLanScanner::kProbeLimitMs / 1000.0;
    QList<double> secs;
    int found = 0;
    for (int run = 0; run < kRuns; ++run) {
        TcpLanScanner scanner;
        QEventLoop loop;
        QObject::connect(&scanner, &TcpLanScanner::scanningChanged, &loop, [&] {
            if (!scanner.scanning())
                loop.quit();
        });
        QTimer::singleShot(60000, &loop, &QEventLoop::quit);
        QElapsedTimer clock;
        clock.start();
        scanner.start();
        if (scanner.scanning())
            loop.exec();
        secs.append(clock.nsecsElapsed() / 1e9);
        found = int(scanner.hosts().size());
    }
    std::sort(secs.begin(), secs.end());
    const double median = secs.at(secs.size() / 2);
    std::printf("%s: %d targets, %d found, %d rounds, floor %.2f s, median of %d %.3f s "
                "(min %.3f, max %.3f), ratio %.3f\n",
                qPrintable(label), targets, found, rounds, floorSec, kRuns, median, secs.first(),
                secs.last(), median / floorSec);
    std::fflush(stdout);
    return found == 1 ? 0 : 1;
}

int runCase(const QString &label, const QString &clientCidr, const QString &instrumentCidr)
{
    NetnsSandbox ns(clientCidr, instrumentCidr);
    if (!ns.setUp(QStringLiteral(ZRF_SIM_PATH)) || !ns.enterClient()) {
        std::fprintf(stderr, "bench_lan_scan: setup failed: %s\n", qPrintable(ns.error()));
        return 1;
    }
    if (!ns.confined()) {
        std::fprintf(stderr, "bench_lan_scan: not inside its own namespace; not scanning\n");
        return 1;
    }
    return measure(label);
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const QString why = NetnsSandbox::unavailableReason();
    if (!why.isEmpty()) {
        std::fprintf(stderr, "bench_lan_scan %s\n", qPrintable(why));
        return 1;
    }
    int failures = 0;
    failures += runCase(QStringLiteral("/24"), QStringLiteral("10.231.77.1/24"), QStringLiteral("10.231.77.2/24"));
    failures += runCase(QStringLiteral("/22"), QStringLiteral("10.231.76.1/22"), QStringLiteral("10.231.77.2/22"));
    return failures == 0 ? 0 : 1;
}
