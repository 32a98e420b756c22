// The operator's scene with the real session against an instrument that
// answers count reads with NaN, infinities, 1e308, denormals and a narrow
// range far from zero. Every view must keep its event loop turning with
// bounded memory; a screenshot of each goes to SHOT_DIR for a person to look
// at. The stalls and round trips are printed, not asserted against a time
// (the machine may be busy): a loop that stands still for 15 s ends the run
// at once, before a chart stuck counting ticks eats the machine's memory.

#include "../common/SessionProbe.h"
#include "../common/LoopbackRig.h"
#include "CountRecorder.h"
#include "SceneSetup.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QQmlApplicationEngine>
#include <QQuickItem>
#include <QQuickStyle>
#include <QQuickWindow>
#include <QTimer>
#include <QtTest>

#include <atomic>
#include <chrono>
#include <thread>

namespace {

const QString kAddress = QStringLiteral("127.0.0.220");

// Ends the run with a message when the GUI thread's event loop stops turning.
class Watchdog
{
public:
    Watchdog()
        : m_thread([this] {
              int quiet = 0;
              while (!m_stop) {
                  std::this_thread::sleep_for(std::chrono::milliseconds(100));
                  quiet = m_beat.exchange(false) ? 0 : quiet + 1;
                  if (quiet > 150)
                      qFatal("the event loop has not turned for 15 s");
              }
          })
    {
    }
    ~Watchdog()
    {
        m_stop = true;
        m_thread.join();
    }
    void beat() { m_beat = true; }

private:
    std::atomic<bool> m_beat{true};
    std::atomic<bool> m_stop{false};
    std::thread m_thread;
};

} // namespace

class HostileTest : public QObject
{
    Q_OBJECT

    SimInstrument m_sim;
    DeviceSession m_session;
    CountRecorder m_recorder{&m_session};
    QQmlApplicationEngine *m_engine = nullptr;
    QQuickWindow *m_window = nullptr;
    QObject *m_views = nullptr;
    // The event loop's worst stall, seen by a timer that should fire every 20 ms.
    QTimer m_probe;
    QElapsedTimer m_sinceTick;
    qint64 m_worstGapMs = 0;
    Watchdog m_watchdog;
    qint64 m_rssStart = 0;

    void show(int view) { m_views->setProperty("currentIndex", view); }

    void shot(const QString &name)
    {
        QDir().mkpath(QStringLiteral(SHOT_DIR));
        const QString path = QStringLiteral(SHOT_DIR "/%1.png").arg(name);
        QVERIFY(m_window->grabWindow().save(path));
        qInfo("screenshot %s", qPrintable(path));
    }

    // Readings of these counts for a while (the worst stall counted once the
    // view has settled), then the loop must still answer at once.
    void feed(const QList<QList<double>> &rows, int ms = 1200)
    {
        m_sim.setCountRotation(rows);
        QTest::qWait(300);
        m_worstGapMs = 0;
        m_sinceTick.restart();
        QTest::qWait(ms);
        QElapsedTimer roundTrip;
        roundTrip.start();
        bool back = false;
        QMetaObject::invokeMethod(this, [&back] { back = true; }, Qt::QueuedConnection);
        QTRY_VERIFY_WITH_TIMEOUT(back, 5000);
        qInfo("round trip %lld ms, worst stall %lld ms (probe every 20 ms), RSS %lld kB", roundTrip.elapsed(),
              m_worstGapMs, rssKiB());
        QVERIFY2(rssKiB() - m_rssStart < 100 * 1024, qPrintable(QStringLiteral("RSS grew to %1 kB").arg(rssKiB())));
        QVERIFY(m_session.connected());
    }

private slots:
    void initTestCase()
    {
        QVERIFY(m_sim.listenTcp(QHostAddress(kAddress), DeviceSession::kTcpPort));
        m_sim.setPeriodMs(20); // polled at the 50 ms floor
        isolate(m_session);
        m_engine = new QQmlApplicationEngine(this);
        scenesetup::publish(*m_engine, &m_session, &m_session, &m_recorder);
        m_engine->load(QUrl(QStringLiteral("qrc:/qt/qml/TachyraApp/Main.qml")));
        QVERIFY(!m_engine->rootObjects().isEmpty());
        m_window = qobject_cast<QQuickWindow *>(m_engine->rootObjects().constFirst());
        QVERIFY(m_window);
        QVERIFY(QTest::qWaitForWindowExposed(m_window));
        m_views = m_window->findChild<QObject *>(QStringLiteral("views"));
        QVERIFY(m_views);

        m_session.setTcpHost(kAddress);
        m_session.connectToDevice(true);
        QTRY_VERIFY(m_session.connected());
        QTRY_VERIFY(SessionProbe(m_session).pollTimerActive());
        m_probe.setTimerType(Qt::PreciseTimer);
        connect(&m_probe, &QTimer::timeout, this, [this] {
            m_worstGapMs = qMax(m_worstGapMs, m_sinceTick.restart());
            m_watchdog.beat();
        });
        QTest::qWait(500);
        m_rssStart = rssKiB();
        m_sinceTick.start();
        m_probe.start(20);
    }

    // The readings that stalled the charts: one huge count on the bar chart,
    // a slightly smaller one on the time view, a large constant on the time
    // view; then the whole rotation of hard values on every view.
    void views_data()
    {
        QTest::addColumn<int>("view");
        QTest::addColumn<QList<QList<double>>>("rows");
        QTest::addColumn<bool>("fresh"); // only these readings in the time window
        const auto all = [](double v) { return QList<QList<double>>{QList<double>(8, v)}; };
        const auto one = [](double v) { return QList<QList<double>>{{v, 50, 2000, 0, 1, 0, 0, 0}}; };
        const QList<QList<double>> extreme = SimInstrument::extremeCountRows();
        QTest::newRow("cards") << 0 << extreme << false;
        QTest::newRow("time, 8.8e307") << 1 << one(8.8e307) << true;
        QTest::newRow("time, constant 3e15") << 1 << all(3e15) << true;
        QTest::newRow("time, rotation") << 1 << extreme << false;
        QTest::newRow("bars, 9.3e307") << 2 << one(9.3e307) << true;
        QTest::newRow("bars, rotation") << 2 << extreme << false;
    }
    void views()
    {
        QFETCH(int, view);
        QFETCH(QList<QList<double>>, rows);
        QFETCH(bool, fresh);
        if (fresh) { // a new link: the time view starts from an empty window
            m_session.disconnectFromDevice();
            m_session.connectToDevice(true);
            QTRY_VERIFY(SessionProbe(m_session).pollTimerActive());
        }
        show(view);
        feed(rows);
        shot(QString::fromLatin1(QTest::currentDataTag()).replace(QRegularExpression(QStringLiteral(",? ")), QStringLiteral("-")));
    }

    // Log Y on the two charts with the same readings.
    void logAxes()
    {
        for (int view : {1, 2}) {
            show(view);
            auto *item = m_window->findChild<QQuickItem *>(view == 1 ? QStringLiteral("timeView") : QStringLiteral("histogramView"));
            QVERIFY(item);
            auto *log = item->property("logYButton").value<QObject *>();
            QVERIFY(log);
            log->setProperty("checked", true);
            feed(SimInstrument::extremeCountRows());
            shot(view == 1 ? QStringLiteral("time-log") : QStringLiteral("bars-log"));
            log->setProperty("checked", false);
        }
    }

    // A sweep whose readings are the hard values: the plot skips what it cannot draw.
    void sweep()
    {
        show(3);
        auto *start = m_window->findChild<QQuickItem *>(QStringLiteral("startButton"));
        QVERIFY(start);
        m_sim.setCountRotation(SimInstrument::extremeCountRows());
        QMetaObject::invokeMethod(start, "clicked");
        QTRY_VERIFY(m_session.calibrationRunning());
        QTRY_VERIFY_WITH_TIMEOUT(!m_session.calibrationRunning(), 60000);
        feed(SimInstrument::extremeCountRows(), 300);
        shot(QStringLiteral("sweep"));
        qInfo("RSS %lld kB at start, %lld kB at end", m_rssStart, rssKiB());
    }

    void cleanupTestCase()
    {
        delete m_engine; // before the session it binds to
        m_engine = nullptr;
    }
};

int main(int argc, char **argv)
{
    QQuickStyle::setStyle(QStringLiteral("MyStyle"));
    QApplication app(argc, argv);
    HostileTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_hostile.moc"
