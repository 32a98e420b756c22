// The scan over a real interface, from one network namespace to the simulator in another, its probe window full.

#include "DeviceSession.h"
#include "NetnsSandbox.h"

#include <QTcpSocket>
#include <QTest>

#include <cstdio>

namespace {
const QString kInstrument = QStringLiteral("10.231.77.2");
} // namespace

class TestScanNetns : public QObject
{
    Q_OBJECT
private slots:
    void scanFindsOnlyTheInstrument()
    {
        TcpLanScanner scanner;
        int mostInFlight = 0;
        connect(&scanner, &TcpLanScanner::progressChanged, this, [&] {
            int n = 0;
            for (const QTcpSocket *s : scanner.findChildren<QTcpSocket *>())
                n += s->state() != QAbstractSocket::UnconnectedState;
            mostInFlight = qMax(mostInFlight, n);
        });
        scanner.start();
        // Unanswered neighbours hang until their limit, so the window stays full.
        QCOMPARE(scanner.findChildren<QTcpSocket *>().size(), 64);
        QTRY_VERIFY_WITH_TIMEOUT(!scanner.scanning(), 15000);
        QCOMPARE(scanner.hosts(), QVariantList{QVariantMap({{"name", kInstrument}, {"label", kInstrument}})});
        QVERIFY(mostInFlight <= 64);
    }
};

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const auto fail = [](const QString &why) {
        std::fprintf(stderr, "FAIL: tst_scan_netns %s\n", qPrintable(why));
        return 1;
    };
    const QString why = NetnsSandbox::unavailableReason();
    if (!why.isEmpty())
        return fail(why);
    NetnsSandbox ns(QStringLiteral("10.231.77.1/24"), kInstrument + "/24");
    if (!ns.setUp(QStringLiteral(ZRF_SIM_PATH)) || !ns.enterClient())
        return fail("setup: " + ns.error());
    if (!ns.confined())
        return fail("is not inside its own namespace; not scanning");
    TestScanNetns test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_scan_netns.moc"
