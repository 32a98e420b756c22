// Poll cadence: with a 50 ms gate period, how many count readings reach the
// scene per second over loopback TCP, against the ideal 20 Hz.
#include "DeviceSession.h"
#include "SimInstrument.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTimer>
#include <cstdio>

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const int seconds = argc > 1 ? QByteArray(argv[1]).toInt() : 30;
    SimInstrument sim;
    if (!sim.listenTcp(QHostAddress(QStringLiteral("127.0.0.230")), 1234)) {
        std::fprintf(stderr, "cannot listen on 127.0.0.230:1234\n");
        return 1;
    }
    sim.setPeriodMs(50);
    DeviceSession session;
    session.setSerialPortSource([] { return QList<SerialPortEntry>{}; });
    session.setNetInterfaceSource([] { return QList<NetInterface>{}; });

    int readings = 0;
    QElapsedTimer clock;
    QObject::connect(&session, &DeviceSession::countsChanged, [&] {
        if (!clock.isValid())
            clock.start();
        ++readings;
    });
    QObject::connect(&session, &DeviceSession::periodMsChanged, [&] {
        readings = 0;
        clock.invalidate();
    });
    session.setTcpHost(QStringLiteral("127.0.0.230"));
    session.connectToDevice(true);
    QTimer::singleShot((seconds + 1) * 1000, &app, [&] {
        const double elapsed = clock.isValid() ? clock.elapsed() / 1000.0 : 0.0;
        const double rate = elapsed > 0 ? (readings - 1) / elapsed : 0.0;
        std::printf("poll cadence over %.1f s: %d readings, %.2f Hz (ideal 20.00 Hz, %.1f %%)\n",
                    elapsed, readings, rate, rate / 20.0 * 100.0);
        app.quit();
    });
    return app.exec();
}
