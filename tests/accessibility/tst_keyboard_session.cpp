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

#include "../common/LoopbackRig.h"
#include "CountRecorder.h"
#include "SceneSetup.h"

#include <QApplication>
#include <QDir>
#include <QQmlApplicationEngine>
#include <QQuickItem>
#include <QQuickStyle>
#include <QQuickWindow>
#include <QTemporaryDir>
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
        switch (event->type()) {
        case QEvent::MouseButtonPress:
        case QEvent::MouseButtonRelease:
        case QEvent::MouseButtonDblClick:
        case QEvent::MouseMove:
        case QEvent::Wheel:
        case QEvent::TouchBegin:
        case QEvent::TabletPress:
            ++count;
            break;
        default:
            break;
        }
        return QObject::eventFilter(watched, event);
    }
};

QList<double> doubles(const QByteArray &payload)
{
    QList<double> out;
    return zrf::unpackDoubles(payload, &out) ? out : QList<double>{};
}

} // namespace

class KeyboardSessionTest : public QObject
{
    Q_OBJECT

    SimInstrument m_sim;
    DeviceSession m_session;
    CountRecorder m_recorder{&m_session};
    QQmlApplicationEngine *m_engine = nullptr;
    QQuickWindow *m_window = nullptr;
    QObject *m_stack = nullptr;
    PointerCounter m_pointer;
    QString m_shots = qEnvironmentVariable("TACHYRA_FOCUS_SHOTS");

    // Keys go to the window that has the focus: a dialog may have one of its own.
    void key(int key, Qt::KeyboardModifiers modifiers = Qt::NoModifier)
    {
        QWindow *target = QGuiApplication::focusWindow();
        QTest::keyClick(target ? target : m_window, Qt::Key(key), modifiers);
    }
    void type(const QString &text)
    {
        key(Qt::Key_A, Qt::ControlModifier);
        QWindow *target = QGuiApplication::focusWindow();
        for (const QChar c : text)
            QTest::keyClick(target ? target : m_window, c.toLatin1());
    }

    // The focused item and its ancestors.
    QList<QQuickItem *> focusChain() const
    {
        QList<QQuickItem *> out;
        auto *focused = qobject_cast<QQuickItem *>(QGuiApplication::focusObject());
        for (QQuickItem *i = focused ? focused : m_window->activeFocusItem(); i; i = i->parentItem())
            out.append(i);
        return out;
    }
    bool focusIn(const QString &objectName) const
    {
        const QList<QQuickItem *> chain = focusChain();
        return std::any_of(chain.cbegin(), chain.cend(), [&](QQuickItem *i) { return i->objectName() == objectName; });
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
        if (dialog != m_window) {
            QTest::qWait(300);
            m_window->requestActivate();
            return QTest::qWaitForWindowActive(m_window);
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
        QVERIFY(m_window->grabWindow().save(path));
        qInfo("screenshot %s", qPrintable(path));
    }

    QQuickItem *item(const QString &objectName) const
    {
        return m_window->findChild<QQuickItem *>(objectName);
    }

    QList<zrf::Frame> sent(unsigned char command) const
    {
        QList<zrf::Frame> out;
        for (const zrf::Frame &f : m_sim.received()) {
            if (f.command == command)
                out.append(f);
        }
        return out;
    }

private slots:
    void initTestCase()
    {
        QVERIFY(m_sim.listenTcp(QHostAddress(kAddress), DeviceSession::kTcpPort));
        m_sim.setPeriodMs(1000);
        isolate(m_session);
        m_engine = new QQmlApplicationEngine;
        scenesetup::publish(*m_engine, &m_session, &m_session, &m_recorder);
        m_engine->load(QUrl(QStringLiteral("qrc:/qt/qml/TachyraApp/Main.qml")));
        QVERIFY(!m_engine->rootObjects().isEmpty());
        m_window = qobject_cast<QQuickWindow *>(m_engine->rootObjects().constFirst());
        QVERIFY(m_window);
        m_window->installEventFilter(&m_pointer);
        m_window->requestActivate();
        QVERIFY(QTest::qWaitForWindowActive(m_window));
        m_stack = m_window->findChild<QObject *>(QStringLiteral("pageStack"));
        QVERIFY(m_stack);
    }

    void cleanupTestCase()
    {
        delete m_engine; // before the session its bindings read
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
        QTRY_VERIFY(m_recorder.recording());
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
        QTRY_VERIFY(!m_recorder.recording() && m_recorder.message().startsWith(QLatin1String("Recording saved")));
        // A reading every 100 ms for over 5 s, each a line after the header.
        QFile file(m_recorder.filePath());
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

    // What the instrument was asked to set, and that no pointer was used.
    void requests()
    {
        const QList<zrf::Frame> periods = sent(zrf::kPeriodSet);
        QVERIFY(!periods.isEmpty());
        QCOMPARE(doubles(periods.constLast().payload), QList<double>{100});
        QList<QList<double>> levels;
        for (const zrf::Frame &f : sent(zrf::kSdac))
            levels.append(doubles(f.payload));
        // Channel 2 from the settings, channel 0 through the sweep's points,
        // and last channel 0 from the plot.
        const QList<double> ch2{2, 0.25};
        QVERIFY(levels.contains(ch2));
        QList<double> swept;
        for (const QList<double> &l : levels.mid(levels.indexOf(ch2))) {
            if (l.value(0) == 0 && (swept.isEmpty() || l.value(1) > swept.constLast()))
                swept.append(l.value(1));
        }
        QCOMPARE(swept.mid(0, 11), (QList<double>{0, 0.1, 0.2, 0.3, 0.4, 0.5, 0.6, 0.7, 0.8, 0.9, 1.0}));
        QCOMPARE(levels.constLast(), (QList<double>{0, 0.3}));
        QCOMPARE(m_pointer.count, 0);
    }
};

int main(int argc, char **argv)
{
    // The save dialogs propose the home folder: one of the test's own.
    QTemporaryDir home;
    qputenv("HOME", home.path().toLocal8Bit());
    QQuickStyle::setStyle(QStringLiteral("MyStyle"));
    QApplication app(argc, argv);
    KeyboardSessionTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_keyboard_session.moc"
