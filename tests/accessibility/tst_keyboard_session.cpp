// A whole session from the keyboard alone, against the simulated instrument
// on 127.0.0.122 with the real session and recorder: TCP and the host typed
// into the box, connect, the gate period and a threshold on the settings
// page, a recording of over 5 s across every view, the time window paused
// and exported, log Y, the bars saved, a sweep and a threshold taken from its
// plot, disconnect. No pointer event reaches the window; what the instrument
// was asked for is read back from the simulator.
//
// With TACHYRA_FOCUS_SHOTS set to a folder, a picture of the window is saved
// there at each page with the focus on one of its controls.

#include "../common/SceneRig.h"

#include <QDir>
#include <QtTest>

#include <functional>

namespace {

const QString kAddress = QStringLiteral("127.0.0.122");

// Counts the pointer events that reach a window.
class PointerCounter : public QObject
{
public:
    int count = 0;

protected:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        static const QSet<QEvent::Type> pointer{QEvent::MouseButtonPress, QEvent::MouseButtonRelease,
                                                QEvent::MouseButtonDblClick, QEvent::MouseMove,
                                                QEvent::Wheel, QEvent::TouchBegin, QEvent::TabletPress};
        count += pointer.contains(event->type());
        return QObject::eventFilter(watched, event);
    }
};

} // namespace

class KeyboardSessionTest : public QObject
{
    Q_OBJECT

    SceneRig m_rig;
    SimInstrument &m_sim = m_rig.sim;
    DeviceSession &m_session = m_rig.session;
    PointerCounter m_pointer;
    QString m_shots = qEnvironmentVariable("TACHYRA_FOCUS_SHOTS");

    void key(int key, Qt::KeyboardModifiers modifiers = Qt::NoModifier) { m_rig.key(key, modifiers); }
    void type(const QString &text)
    {
        key(Qt::Key_A, Qt::ControlModifier);
        QWindow *target = QGuiApplication::focusWindow();
        for (const QChar c : text)
            QTest::keyClick(target ? target : m_rig.window, c.toLatin1());
    }

    // The focused item or one of its ancestors is `objectName`.
    bool focusIn(const QString &objectName) const
    {
        auto *focused = qobject_cast<QQuickItem *>(QGuiApplication::focusObject());
        for (QQuickItem *i = focused ? focused : m_rig.window->activeFocusItem(); i; i = i->parentItem()) {
            if (i->objectName() == objectName)
                return true;
        }
        return false;
    }

    // Tab until the focus is where `there` says, as a person would.
    bool tabUntil(const std::function<bool()> &there)
    {
        for (int i = 0; i < 60; ++i) {
            key(Qt::Key_Tab);
            if (there())
                return true;
        }
        return false;
    }
    bool tabTo(const QString &objectName)
    {
        return tabUntil([&] { return focusIn(objectName); });
    }

    // A save dialog is open: Tab to its Save button and press it. A name
    // field left empty (Qt 6.8's dialog does not show the proposed name) gets
    // `name` typed into it. What Tab met is kept for the failure's message.
    QStringList m_metInDialog;
    bool saveInDialog(const QString &name)
    {
        QTest::qWait(300);
        m_metInDialog.clear();
        const bool found = tabUntil([&] {
            QObject *f = QGuiApplication::focusObject();
            QString text = f ? f->property("text").toString() : QString();
            m_metInDialog.append(f ? QStringLiteral("%1 '%2'").arg(QString::fromLatin1(f->metaObject()->className()), text)
                                   : QStringLiteral("nothing"));
            if (f && f->objectName() == QStringLiteral("fileNameTextField") && text.isEmpty())
                type(name);
            return text.remove(QLatin1Char('&')) == QStringLiteral("Save");
        });
        if (!found)
            return false;
        QWindow *dialog = QGuiApplication::focusWindow();
        key(Qt::Key_Space);
        // A dialog of its own window (Qt 6.8) hands the focus back through
        // the window manager, which the offscreen platform has not.
        if (dialog != m_rig.window) {
            QTest::qWait(300);
            m_rig.window->requestActivate();
            return QTest::qWaitForWindowActive(m_rig.window);
        }
        return true;
    }

    void shot(const QString &name)
    {
        if (m_shots.isEmpty())
            return;
        QTest::qWait(1200); // the focused control's tip opens after a second
        QDir().mkpath(m_shots);
        const QString path = m_shots + QStringLiteral("/%1.png").arg(name);
        QVERIFY(m_rig.window->grabWindow().save(path));
        qInfo("screenshot %s", qPrintable(path));
    }

    QQuickItem *item(const QString &objectName) const { return m_rig.item(objectName); }
    QObject *m_stack = nullptr;

private slots:
    void initTestCase()
    {
        m_sim.setPeriodMs(1000);
        isolate(m_session);
        QVERIFY(m_rig.load(kAddress));
        m_rig.window->installEventFilter(&m_pointer);
        m_stack = m_rig.stack;
    }

    void connectOverTcp()
    {
        QVERIFY(tabTo(QStringLiteral("tcpButton")));
        key(Qt::Key_Space);
        QVERIFY(item(QStringLiteral("tcpButton"))->property("checked").toBool());
        QTRY_VERIFY(!m_session.tcpScanning());
        QVERIFY(tabTo(QStringLiteral("portBox")));
        type(kAddress);
        QVERIFY(tabTo(QStringLiteral("connectButton")));
        shot(QStringLiteral("22-focus-home"));
        key(Qt::Key_Space);
        QTRY_VERIFY(m_session.connected());
        QCOMPARE(m_session.tcpHost(), kAddress);
    }

    // The gate period, then channel 2's threshold; Escape ends the edit, then leaves.
    void settings()
    {
        key(Qt::Key_Comma, Qt::ControlModifier);
        QTRY_COMPARE(m_stack->property("depth").toInt(), 2);
        QTRY_VERIFY(!m_stack->property("busy").toBool());
        QVERIFY(tabTo(QStringLiteral("periodBox")));
        type(QStringLiteral("100"));
        key(Qt::Key_Return);
        QVERIFY(tabTo(QStringLiteral("periodApply")));
        key(Qt::Key_Space);
        QTRY_COMPARE(m_sim.periodMs(), 100);
        QVERIFY(tabTo(QStringLiteral("channelBox2")));
        type(QStringLiteral("250"));
        key(Qt::Key_Return);
        QTRY_COMPARE(m_sim.thresholds().value(2), 0.25);
        shot(QStringLiteral("25-focus-settings"));
        key(Qt::Key_Escape);
        QCOMPARE(m_stack->property("depth").toInt(), 2);
        key(Qt::Key_Escape);
        QTRY_COMPARE(m_stack->property("depth").toInt(), 1);
    }

    // Recording while the views are looked at: time (paused, exported, log
    // Y on and off), bars (saved), for more than 5 s in all.
    void recordAcrossViews()
    {
        key(Qt::Key_R, Qt::ControlModifier);
        if (!m_shots.isEmpty()) {
            QTest::qWait(300);
            QVERIFY(tabTo(QStringLiteral("fileNameTextField")));
            shot(QStringLiteral("27-focus-save-dialog"));
        }
        QVERIFY2(saveInDialog(QStringLiteral("counts-keys.csv")), qPrintable(m_metInDialog.join(QStringLiteral(", "))));
        QTRY_VERIFY(m_rig.recorder.recording());
        QElapsedTimer recording;
        recording.start();

        QObject *time = item(QStringLiteral("timeView"));
        key(Qt::Key_2, Qt::ControlModifier);
        QTRY_VERIFY(time->property("visible").toBool());
        QTest::qWait(1000);
        key(Qt::Key_P, Qt::ControlModifier);
        QVERIFY(time->property("pauseButton").value<QObject *>()->property("checked").toBool());
        key(Qt::Key_E, Qt::ControlModifier);
        QVERIFY2(saveInDialog(QStringLiteral("counts-span-keys.csv")), qPrintable(m_metInDialog.join(QStringLiteral(", "))));
        QTRY_VERIFY(!QDir::home().entryList({QStringLiteral("counts-span-*.csv")}).isEmpty());
        key(Qt::Key_P, Qt::ControlModifier);
        QVERIFY(!time->property("pauseButton").value<QObject *>()->property("checked").toBool());
        key(Qt::Key_L, Qt::ControlModifier);
        QVERIFY(time->property("logMode").toBool());
        QVERIFY(tabTo(QStringLiteral("legendEntry3")));
        key(Qt::Key_Space);
        QCOMPARE(time->property("plot").value<QObject *>()->property("channelVisible").toList().value(3).toBool(), false);
        shot(QStringLiteral("23-focus-time"));
        key(Qt::Key_Space);
        key(Qt::Key_L, Qt::ControlModifier);
        QVERIFY(!time->property("logMode").toBool());

        QObject *bars = item(QStringLiteral("histogramView"));
        key(Qt::Key_3, Qt::ControlModifier);
        QVERIFY(focusIn(QStringLiteral("histogramButton")));
        QTRY_VERIFY(bars->property("visible").toBool() && !time->property("visible").toBool());
        QVERIFY(tabTo(QStringLiteral("exportButton")));
        shot(QStringLiteral("26-focus-bars"));
        key(Qt::Key_E, Qt::ControlModifier);
        QVERIFY2(saveInDialog(QStringLiteral("bars-keys.png")), qPrintable(m_metInDialog.join(QStringLiteral(", "))));
        QTRY_VERIFY(!QDir::home().entryList({QStringLiteral("bars-*.png")}).isEmpty());

        key(Qt::Key_1, Qt::ControlModifier);
        QTRY_VERIFY(item(QStringLiteral("cardsView"))->property("visible").toBool());
        QTest::qWait(qMax<qint64>(0, 5200 - recording.elapsed()));
        key(Qt::Key_R, Qt::ControlModifier);
        QTRY_VERIFY(!m_rig.recorder.recording() && m_rig.recorder.message().startsWith(QLatin1String("Recording saved")));
        // A reading every 100 ms for over 5 s, each a line after the header.
        QFile file(m_rig.recorder.filePath());
        QVERIFY(file.open(QIODevice::ReadOnly));
        const qsizetype rows = file.readAll().count('\n') - 1;
        QVERIFY2(rows >= 40, qPrintable(QString::number(rows)));
    }

    // A sweep of channel 0 in 100 mV steps, then 300 mV taken from its plot.
    void sweepAndTakeThreshold()
    {
        key(Qt::Key_4, Qt::ControlModifier);
        QTRY_VERIFY(item(QStringLiteral("calibrationView"))->property("visible").toBool());
        QVERIFY(tabTo(QStringLiteral("stepField")));
        type(QStringLiteral("100"));
        key(Qt::Key_Return);
        QVERIFY(tabTo(QStringLiteral("startButton")));
        QCOMPARE(item(QStringLiteral("stepField"))->property("value").toInt(), 100);
        key(Qt::Key_Space);
        QTRY_VERIFY(m_session.calibrationRunning());
        QTRY_VERIFY_WITH_TIMEOUT(!m_session.calibrationRunning(), 30000);
        QVERIFY(tabTo(QStringLiteral("plotKeys")));
        for (int i = 0; i < 3; ++i)
            key(Qt::Key_Right);
        shot(QStringLiteral("24-focus-calibration"));
        key(Qt::Key_Return);
        QObject *menu = item(QStringLiteral("calibrationView"))->property("menu").value<QObject *>();
        QTRY_VERIFY(menu->property("opened").toBool());
        shot(QStringLiteral("24-focus-calibration-menu"));
        key(Qt::Key_Return);
        QTRY_VERIFY(!menu->property("opened").toBool());
        QTRY_COMPARE(m_sim.thresholds().value(0), 0.3);
        QCOMPARE(m_sim.thresholds().value(2), 0.25);
    }

    void disconnect()
    {
        key(Qt::Key_K, Qt::ControlModifier);
        QTRY_VERIFY(!m_session.connected());
    }

    // No pointer was used.
    void noPointer() { QCOMPARE(m_pointer.count, 0); }
};

SCENE_TEST_MAIN(KeyboardSessionTest)
#include "tst_keyboard_session.moc"
