// An instrument gone wild: one second after the link opens (the opening
// exchange is through by then), zrf-sim --flood pours unsolicited count
// frames into it as fast as the client takes them, while the client's
// session polls at a 50 ms gate. Prints the resident memory before the link
// opens, its peak above that during the flood, what stays above it once the
// link is closed, the bytes the process read per second during the flood,
// and the count polls per second of it (20 is the gate's pace).
//
//   bench_flood ZRF_SIM [SECONDS] [LABEL]
//
// Only the session's public calls are used, so the same source builds
// against older trees (bench/link/run-flood compares two). The simulator
// listens on 127.0.0.233.
#include "DeviceSession.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTimer>

#include <cstdio>

namespace {

const char *const kHost = "127.0.0.233";
constexpr int kFloodDelayMs = 1000;

// A field of /proc/self/status or /proc/self/io, in KiB or bytes as given there.
qint64 procField(const char *file, const QByteArray &name)
{
    QFile f(QString::fromLatin1(file));
    if (!f.open(QIODevice::ReadOnly))
        return -1;
    const QList<QByteArray> lines = f.readAll().split('\n');
    for (const QByteArray &line : lines) {
        if (line.startsWith(name + ':'))
            return line.mid(name.size() + 1).trimmed().split(' ').constFirst().toLongLong();
    }
    return -1;
}

qint64 rssKiB() { return procField("/proc/self/status", "VmRSS"); }
qint64 readBytes() { return procField("/proc/self/io", "rchar"); }

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    if (argc < 2) {
        std::fprintf(stderr, "usage: bench_flood ZRF_SIM [SECONDS] [LABEL]\n");
        return 2;
    }
    const int seconds = argc > 2 ? QByteArray(argv[2]).toInt() : 20;
    const QByteArray label = argc > 3 ? QByteArray(argv[3]) : QByteArray("session");

    // A 50 ms gate from the first exchange on.
    QTemporaryDir dir;
    QFile state(dir.filePath(QStringLiteral("state.json")));
    if (!state.open(QIODevice::WriteOnly)
        || state.write("{\"thresholds\": [0.1,0.1,0.1,0.1,0.1,0.1,0.1,0.1], \"periodMs\": 50, \"dhcp\": false, "
                       "\"ip\": \"192.168.1.50\", \"netmask\": \"255.255.255.0\", \"gateway\": \"192.168.1.1\"}")
               <= 0)
        return 1;
    state.close();
    QProcess sim;
    sim.setProcessChannelMode(QProcess::SeparateChannels);
    sim.start(QString::fromLocal8Bit(argv[1]),
              {QStringLiteral("--listen"), QStringLiteral("%1:1234").arg(QLatin1String(kHost)),
               QStringLiteral("--state"), state.fileName(), QStringLiteral("--flood"),
               QString::number(kFloodDelayMs)});
    if (!sim.waitForReadyRead(5000) || !sim.readLine().startsWith("listening")) {
        std::fprintf(stderr, "bench_flood: the simulator did not start\n");
        return 1;
    }
    DeviceSession session;
    // Each poll is answered at once by the next frame of the flood: one
    // reading per poll sent.
    qint64 polls = 0;
    QObject::connect(&session, &DeviceSession::countsChanged, [&] { ++polls; });
    session.setSerialPortSource([] { return QList<SerialPortEntry>{}; });
    session.setNetInterfaceSource([] { return QList<NetInterface>{}; });
    session.setTcpHost(QString::fromLatin1(kHost));

    const qint64 startRss = rssKiB();
    qint64 peakRss = startRss;
    qint64 startRead = 0;
    qint64 startPolls = 0;
    QElapsedTimer clock;
    QTimer sampler;
    sampler.setInterval(50);
    QObject::connect(&sampler, &QTimer::timeout, [&] { peakRss = std::max(peakRss, rssKiB()); });
    sampler.start();
    session.connectToDevice(true);
    // Counted from a moment into the flood, when it runs at full speed.
    QTimer::singleShot(kFloodDelayMs + 500, &app, [&] {
        clock.start();
        startPolls = polls;
        startRead = readBytes();
    });

    qint64 floodPolls = 0;
    qint64 floodRead = 0;
    double floodSeconds = 0;
    QTimer::singleShot(kFloodDelayMs + 500 + seconds * 1000, &app, [&] {
        floodSeconds = clock.elapsed() / 1000.0;
        floodPolls = polls - startPolls;
        floodRead = readBytes() - startRead;
        sampler.stop();
        peakRss = std::max(peakRss, rssKiB());
        session.disconnectFromDevice();
        sim.terminate();
        sim.waitForFinished(5000);
        // What the heap gives back shows once the link is gone.
        QTimer::singleShot(2000, &app, [&] {
            std::printf("%-8s flood %.1f s: RSS at start %.1f MiB, peak +%.1f MiB, after +%.1f MiB; "
                        "read %.0f MB/s; %.1f polls/s (gate pace 20)\n",
                        label.constData(), floodSeconds, startRss / 1024.0, (peakRss - startRss) / 1024.0,
                        (rssKiB() - startRss) / 1024.0, floodRead / 1e6 / floodSeconds, floodPolls / floodSeconds);
            std::fflush(stdout);
            app.quit();
        });
    });
    const int code = app.exec();
    if (sim.state() != QProcess::NotRunning) {
        sim.kill();
        sim.waitForFinished(2000);
    }
    return code;
}
