// The scene against an instrument of the hardest doubles and texts full of markup (never interpreted):
// every view keeps its loop turning with bounded memory; a loop still for 15 s ends the run at once.

#include "../common/SceneRig.h"
#include "../common/SessionProbe.h"

#include <QTimer>
#include <QtTest>

#include <atomic>
#include <chrono>
#include <thread>

namespace {

const QString kIp = QStringLiteral("<b>10.0.0.1</b>");
const QString kMask = QStringLiteral("<img src=\"file:///etc/hostname\">");
const QString kGateway = QStringLiteral("<a href=\"x\">gw</a>&amp;");
constexpr int kPlainText = 0; // Text.PlainText

// Ends the run with a message when the GUI thread's event loop stops turning.
class Watchdog
{
public:
    ~Watchdog()
    {
        m_stop = true;
        m_thread.join();
    }
    void beat() { m_beat = true; }

private:
    std::atomic<bool> m_beat{true};
    std::atomic<bool> m_stop{false};
    std::thread m_thread{[this] {
        for (int quiet = 0; !m_stop;) {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            quiet = m_beat.exchange(false) ? 0 : quiet + 1;
            if (quiet > 150)
                qFatal("the event loop has not turned for 15 s");
        }
    }};
};

// Text items at or below `o` (object and visual children) holding markup without being plain text.
void findRichTexts(QObject *o, QSet<QObject *> &seen, QStringList &out)
{
    if (!o || seen.contains(o))
        return;
    seen.insert(o);
    const QString text = o->property("text").toString();
    if (o->inherits("QQuickText") && (text.contains('<') || text.contains('&')) && o->property("textFormat").toInt() != kPlainText)
        out.append(QStringLiteral("%1 \"%2\"").arg(o->objectName(), text));
    QList<QObject *> children = o->children();
    if (auto *item = qobject_cast<QQuickItem *>(o))
        children += QList<QObject *>(item->childItems().cbegin(), item->childItems().cend());
    for (QObject *c : std::as_const(children))
        findRichTexts(c, seen, out);
}

} // namespace

class HostileTest : public QObject
{
    Q_OBJECT

    SceneRig m_rig;
    QTimer m_probe; // beats the watchdog from the event loop
    Watchdog m_watchdog;
    qint64 m_rssStart = 0;

    void show(int view) { m_rig.window->findChild<QObject *>(QStringLiteral("views"))->setProperty("currentIndex", view); }

    // Readings of these counts for a while, drawn, then the loop must still answer.
    void feed(const QList<QList<double>> &rows, int ms = 1500)
    {
        m_rig.sim.setCountRotation(rows);
        QTest::qWait(ms);
        QVERIFY(!m_rig.window->grabWindow().isNull());
        bool back = false;
        QMetaObject::invokeMethod(this, [&back] { back = true; }, Qt::QueuedConnection);
        QTRY_VERIFY_WITH_TIMEOUT(back, 5000);
        qInfo("RSS %lld kB", rssKiB());
        QVERIFY2(rssKiB() - m_rssStart < 100 * 1024, qPrintable(QStringLiteral("RSS grew to %1 kB").arg(rssKiB())));
        QVERIFY(m_rig.session.connected());
    }

private slots:
    void initTestCase()
    {
        m_rig.sim.setPeriodMs(20); // polled at the 50 ms floor
        m_rig.sim.setNetwork(false, kIp, kMask, kGateway);
        // A USB descriptor is written by the device too.
        m_rig.session.setSerialPortSource([] {
            SerialPortEntry e;
            e.name = QStringLiteral("<b>ttyACM0</b>");
            e.description = QStringLiteral("<font color=red>STM32</font><br>");
            return QList<SerialPortEntry>{e};
        });
        m_rig.session.setNetInterfaceSource([] { return QList<NetInterface>{}; });
        QVERIFY(m_rig.load(QStringLiteral("127.0.0.220")));
        QVERIFY(m_rig.connectTcp());
        QTRY_VERIFY(SessionProbe(m_rig.session).pollTimerActive());
        connect(&m_probe, &QTimer::timeout, this, [this] { m_watchdog.beat(); });
        QTest::qWait(500);
        m_rssStart = rssKiB();
        m_probe.start(20);
    }

    // The readings that once stalled the charts, then the whole rotation on every view, and log Y.
    void views_data()
    {
        QTest::addColumn<int>("view");
        QTest::addColumn<QList<QList<double>>>("rows");
        QTest::addColumn<bool>("fresh"); // only these readings in the time window
        QTest::addColumn<QString>("log"); // the chart whose log Y is on
        const auto all = [](double v) { return QList<QList<double>>{QList<double>(8, v)}; };
        const auto one = [](double v) { return QList<QList<double>>{{v, 50, 2000, 0, 1, 0, 0, 0}}; };
        const QList<QList<double>> extreme = SimInstrument::extremeCountRows();
        QTest::newRow("cards") << 0 << extreme << false << QString();
        QTest::newRow("time, 8.8e307") << 1 << one(8.8e307) << true << QString();
        QTest::newRow("time, constant 3e15") << 1 << all(3e15) << true << QString();
        QTest::newRow("time, rotation") << 1 << extreme << false << QString();
        QTest::newRow("bars, 9.3e307") << 2 << one(9.3e307) << true << QString();
        QTest::newRow("bars, rotation") << 2 << extreme << false << QString();
        QTest::newRow("time, log") << 1 << extreme << false << QStringLiteral("timeView");
        QTest::newRow("bars, log") << 2 << extreme << false << QStringLiteral("histogramView");
    }
    void views()
    {
        QFETCH(int, view);
        QFETCH(QList<QList<double>>, rows);
        QFETCH(bool, fresh);
        QFETCH(QString, log);
        if (fresh) { // a new link: the time view starts from an empty window
            m_rig.session.disconnectFromDevice();
            m_rig.session.connectToDevice(true);
            QTRY_VERIFY(SessionProbe(m_rig.session).pollTimerActive());
        }
        show(view);
        QObject *logButton = log.isEmpty() ? nullptr : m_rig.item(log)->property("logYButton").value<QObject *>();
        if (logButton)
            logButton->setProperty("checked", true);
        feed(rows);
        if (logButton)
            logButton->setProperty("checked", false);
    }

    // A sweep whose readings are the hard values: the plot skips what it cannot draw.
    void sweep()
    {
        show(3);
        m_rig.sim.setCountRotation(SimInstrument::extremeCountRows());
        QMetaObject::invokeMethod(m_rig.item(QStringLiteral("startButton")), "clicked");
        QTRY_VERIFY(m_rig.session.calibrationRunning());
        QTRY_VERIFY_WITH_TIMEOUT(!m_rig.session.calibrationRunning(), 60000);
        feed(SimInstrument::extremeCountRows(), 300);
        qInfo("RSS %lld kB at start, %lld kB at end", m_rssStart, rssKiB());
    }

    // The network fields, the status bar's labels, the port labels: plain text whatever they show.
    void instrumentTextsStayPlain()
    {
        QTRY_COMPARE(m_rig.session.netmask(), kMask);
        QStringList problems;
        for (const char *name : {"statusLabel", "errorLabel"}) {
            auto *label = m_rig.window->findChild<QObject *>(QLatin1String(name));
            if (!label || label->property("textFormat").toInt() != kPlainText)
                problems.append(QStringLiteral("%1 is missing or not Text.PlainText").arg(QLatin1String(name)));
        }
        const auto scan = [&] {
            QSet<QObject *> seen;
            findRichTexts(m_rig.window, seen, problems);
            findRichTexts(m_rig.window->contentItem(), seen, problems);
        };
        // A text input never interprets markup: what is shown is the raw text.
        QVERIFY(QMetaObject::invokeMethod(m_rig.stack->property("currentItem").value<QObject *>(), "openSettings"));
        QTRY_VERIFY(!m_rig.stack->property("busy").toBool() && m_rig.stack->property("depth").toInt() == 2);
        auto *page = m_rig.stack->property("currentItem").value<QObject *>();
        for (const auto &field : {std::pair{"ipField", kIp}, {"maskField", kMask}, {"gatewayField", kGateway}}) {
            auto *input = page->findChild<QObject *>(QLatin1String(field.first));
            QVERIFY2(input && input->inherits("QQuickTextInput"), field.first);
            QCOMPARE(input->property("displayText").toString(), field.second);
        }
        scan();
        // The serial ports are listed by label once the link is down.
        m_rig.session.disconnectFromDevice();
        QTRY_VERIFY_WITH_TIMEOUT(!m_rig.session.ports().isEmpty(), 3000);
        QTest::qWait(50);
        scan();
        QVERIFY2(problems.isEmpty(), qPrintable(problems.join("; ")));
    }
};

SCENE_TEST_MAIN(HostileTest)
#include "tst_hostile.moc"
