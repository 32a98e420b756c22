// A whole session from the keyboard alone against the simulator (127.0.0.122, fixed counts); each page's
// accessibility tree read as tabled below. TACHYRA_FOCUS_SHOTS=DIR saves a picture of each page's focus.

#include "../common/SceneRig.h"

#include <QAccessible>
#include <QDir>
#include <QtTest>

#include <functional>

namespace {

const QString kAddress = QStringLiteral("127.0.0.122");
const QList<double> kCounts{1234, 1300, 25, 0, 98765, 5, 777, 4321};

bool isInteractive(QAccessible::Role role)
{
    static const QList<QAccessible::Role> roles = {
        QAccessible::PushButton, QAccessible::CheckBox, QAccessible::RadioButton, QAccessible::ComboBox,
        QAccessible::EditableText, QAccessible::SpinBox, QAccessible::Slider, QAccessible::PageTab,
        QAccessible::MenuItem, QAccessible::ButtonMenu, QAccessible::ButtonDropDown, QAccessible::Link,
        QAccessible::ListItem};
    return roles.contains(role);
}

void collect(QAccessibleInterface *iface, QList<QAccessibleInterface *> &out)
{
    if (!iface || !iface->isValid())
        return;
    out.append(iface);
    for (int i = 0; i < iface->childCount(); ++i)
        collect(iface->child(i), out);
}

QString line(QAccessibleInterface *n)
{
    const char *role = QMetaEnum::fromType<QAccessible::Role>().valueToKey(n->role());
    return QString::fromLatin1(role) + QStringLiteral(": ") + n->text(QAccessible::Name);
}

// A page's subtree as read, "role: name" per node; {ch} stands for eight lines, one per channel.
QStringList page(const char *lines, const QString &channel = {})
{
    QStringList out;
    for (const QString &l : QString::fromUtf8(lines).split(QStringLiteral("; "))) {
        for (int ch = 0; ch < (l == QLatin1String("{ch}") ? 8 : 0); ++ch) {
            const QString one = channel.arg(ch);
            out.append(one.contains(QLatin1String("%2")) ? one.arg(kCounts.at(ch)) : one);
        }
        if (l != QLatin1String("{ch}"))
            out.append(l);
    }
    return out;
}

const char kCalibration[] = "Pane: Calibration; StaticText: Sweep Parameter:; Separator: ; StaticText: Channel:; "
                            "ComboBox: Sweep channel: CH 0; StaticText: From (mV):; EditableText: Sweep from, mV; StaticText: To (mV):; "
                            "EditableText: Sweep to, mV; StaticText: Step (mV):; EditableText: Sweep step, mV; Button: Start; Button: Stop";

} // namespace

class KeyboardSessionTest : public QObject
{
    Q_OBJECT

    SceneRig m_rig;
    QString m_shots = qEnvironmentVariable("TACHYRA_FOCUS_SHOTS");

    void key(int key, Qt::KeyboardModifiers modifiers = Qt::NoModifier) { m_rig.key(key, modifiers); }
    void type(const QString &text)
    {
        key(Qt::Key_A, Qt::ControlModifier);
        QWindow *target = QGuiApplication::focusWindow();
        for (const QChar c : text)
            QTest::keyClick(target ? target : m_rig.window, c.toLatin1());
    }

    // The whole tree of the window as it is now.
    QList<QAccessibleInterface *> tree()
    {
        QAccessible::setActive(true);
        QList<QAccessibleInterface *> nodes;
        collect(QAccessible::queryAccessibleInterface(m_rig.window), nodes);
        return nodes;
    }
    QAccessibleInterface *node(const QString &wanted)
    {
        for (QAccessibleInterface *n : tree()) {
            if (line(n) == wanted)
                return n;
        }
        return nullptr;
    }
    // The names of the pages in the tree: a view's page is a pane, the cards a list.
    QStringList panes()
    {
        QStringList out;
        for (QAccessibleInterface *n : tree()) {
            if (n->role() == QAccessible::Pane || n->role() == QAccessible::List)
                out.append(n->text(QAccessible::Name));
        }
        return out;
    }
    bool allInSight()
    {
        const QList<QAccessibleInterface *> nodes = tree();
        return std::none_of(nodes.cbegin(), nodes.cend(), [](QAccessibleInterface *n) { return n->state().invisible; });
    }

    // The control a node stands for: itself or, for a spin box's text, the box.
    static QQuickItem *control(QQuickItem *item)
    {
        QQuickItem *parent = item->parentItem();
        return parent && parent->property("contentItem").value<QQuickItem *>() == item ? parent : item;
    }
    static bool showsFocusMark(QObject *node)
    {
        const auto marks = control(qobject_cast<QQuickItem *>(node))->findChildren<QQuickItem *>(QStringLiteral("focusMark"));
        return std::any_of(marks.cbegin(), marks.cend(), [](QQuickItem *m) { return m->isVisible(); });
    }
    // The enabled stop of the tree that holds the keyboard's focus.
    QAccessibleInterface *focused(const QList<QAccessibleInterface *> &stops)
    {
        for (QQuickItem *item = m_rig.window->activeFocusItem(); item; item = item->parentItem()) {
            for (QAccessibleInterface *stop : stops) {
                if (stop->object() == item)
                    return stop;
            }
        }
        return nullptr;
    }

    // The page `name` alone in sight, read as `expected`, every control named; Tab walks the enabled
    // controls in the tree's order, round and round, each with the focus mark; Shift+Tab walks back.
    void checkPage(const QString &name, const QStringList &expected)
    {
        QTRY_COMPARE(panes(), QStringList{name});
        QTRY_VERIFY(allInSight());
        QList<QAccessibleInterface *> stops, own;
        QStringList want, lines;
        for (QAccessibleInterface *n : tree()) {
            auto *item = qobject_cast<QQuickItem *>(n->object());
            QVERIFY2(!isInteractive(n->role()) || !n->text(QAccessible::Name).isEmpty(), qPrintable(line(n)));
            if (isInteractive(n->role()) && item && item->isEnabled()
                && (item->activeFocusOnTab() || control(item)->activeFocusOnTab())) {
                stops.append(n);
                want.append(line(n));
            }
            if (n->text(QAccessible::Name) == name && (n->role() == QAccessible::Pane || n->role() == QAccessible::List))
                collect(n, own);
        }
        for (QAccessibleInterface *n : own)
            lines.append(line(n));
        QVERIFY2(lines == expected, qPrintable(lines.join(QStringLiteral("; "))));
        QVERIFY(stops.size() > 2);
        qobject_cast<QQuickItem *>(stops.constFirst()->object())->forceActiveFocus(Qt::TabFocusReason);
        for (const bool forth : {true, false}) {
            QStringList walked{want.constFirst()};
            for (int i = 0; i < stops.size(); ++i) {
                key(forth ? Qt::Key_Tab : Qt::Key_Backtab, forth ? Qt::NoModifier : Qt::ShiftModifier);
                QAccessibleInterface *at = focused(stops);
                QVERIFY2(at, qPrintable(QStringLiteral("key %1 went to %2").arg(i).arg(QDebug::toString(m_rig.window->activeFocusItem()))));
                QVERIFY2(showsFocusMark(at->object()), qPrintable(line(at)));
                walked.insert(forth ? walked.size() : 0, line(at));
            }
            QCOMPARE(walked, want + want.mid(0, 1));
        }
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
    bool tabTo(const QString &objectName) { return tabUntil([&] { return focusIn(objectName); }); }

    // Tab to an open save dialog's Save and press it; an empty name field (Qt 6.8) gets `name`.
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
        // A dialog's own window (Qt 6.8) hands the focus back through a window manager: none here.
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

private slots:
    void initTestCase()
    {
        m_rig.sim.setFixedCounts(kCounts);
        isolate(m_rig.session);
        QVERIFY(m_rig.load(kAddress));
    }

    // Before the link, one page in sight: the cards, with no reading.
    void disconnected()
    {
        QVERIFY(allInSight());
        QCOMPARE(panes(), QStringList{QStringLiteral("Channel cards")});
        for (const QString &wanted : page("Window: Velmora; Button: Minimize; Button: Maximize; Button: Close; StaticText: Disconnected"))
            QVERIFY2(node(wanted), qPrintable(wanted));
        QAccessibleInterface *card = node(QStringLiteral("ListItem: CH 3, no reading"));
        QVERIFY(card && qIsNaN(card->valueInterface()->currentValue().toDouble()));
    }

    void connectOverTcp()
    {
        QVERIFY(tabTo(QStringLiteral("tcpButton")));
        key(Qt::Key_Space);
        QTRY_VERIFY(!m_rig.session.tcpScanning());
        QVERIFY(tabTo(QStringLiteral("portBox")));
        type(kAddress);
        QVERIFY(tabTo(QStringLiteral("connectButton")));
        shot(QStringLiteral("22-focus-home"));
        key(Qt::Key_Space);
        QTRY_VERIFY(m_rig.session.connected() && m_rig.session.countsLive());
        checkPage(QStringLiteral("Channel cards"), page("List: Channel cards; {ch}", QStringLiteral("ListItem: CH %1, %2 counts per gate")));
    }

    // The gate period (100 ms for the recording), then channel 2's threshold; Escape ends the edit, then leaves.
    void settings()
    {
        key(Qt::Key_Comma, Qt::ControlModifier);
        QTRY_COMPARE(m_rig.stack->property("depth").toInt(), 2);
        QTRY_VERIFY(!m_rig.stack->property("busy").toBool());
        checkPage(QStringLiteral("Settings"),
                  page("Pane: Settings; Button: Back; StaticText: Settings; Grouping: Gate Period, ms; SpinBox: Gate period, ms; "
                       "Button: Apply gate period; Grouping: Comparator thresholds (All channels); "
                       "SpinBox: Threshold of all channels, mV; Button: Set all; {ch}; Separator: ; Grouping: Network; "
                       "ComboBox: Network mode: Static; EditableText: IP address; EditableText: Netmask; EditableText: Gateway; "
                       "Button: Apply network settings; ScrollBar: Scroll the settings",
                       QStringLiteral("SpinBox: CH %1 threshold, mV")));
        QVERIFY(tabTo(QStringLiteral("periodBox")));
        type(QStringLiteral("100"));
        key(Qt::Key_Return);
        QVERIFY(tabTo(QStringLiteral("periodApply")));
        key(Qt::Key_Space);
        QTRY_COMPARE(m_rig.sim.periodMs(), 100);
        QVERIFY(tabTo(QStringLiteral("channelBox2")));
        type(QStringLiteral("250"));
        key(Qt::Key_Return);
        QTRY_COMPARE(m_rig.sim.thresholds().value(2), 0.25);
        shot(QStringLiteral("25-focus-settings"));
        key(Qt::Key_Escape);
        QCOMPARE(m_rig.stack->property("depth").toInt(), 2);
        key(Qt::Key_Escape);
        QTRY_COMPARE(m_rig.stack->property("depth").toInt(), 1);
    }

    // Recording over 5 s while the time view (presses, pause, export, log Y) and the bars (saved) show.
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

        QObject *time = m_rig.item(QStringLiteral("timeView"));
        key(Qt::Key_2, Qt::ControlModifier);
        checkPage(QStringLiteral("Counts vs time"),
                  page("Pane: Counts vs time; Chart: Counts of every channel over time; Grouping: Legend; {ch}; "
                       "Button: Last 30 seconds; Button: Last 2 minutes; Button: Last 10 minutes; Button: Last hour; "
                       "Button: Last 6 hours; Button: Last 24 hours; Button: All readings; "
                       "Button: Live: follow the newest reading; CheckBox: Statistics of the span shown; "
                       "CheckBox: Pause; Button: Export span…; CheckBox: Logarithmic Y axis",
                       QStringLiteral("CheckBox: CH %1")));
        // A press on a view's button shows it (again: stays on); a legend box's press or toggle switches it.
        const auto checked = [&](const QString &name) { return node(QStringLiteral("CheckBox: ") + name)->state().checked; };
        const auto press = [&](const QString &name, const QString &action = QAccessibleActionInterface::pressAction()) {
            node(QStringLiteral("CheckBox: ") + name)->actionInterface()->doAction(action);
        };
        QVERIFY(checked(QStringLiteral("Counts vs time")) && !checked(QStringLiteral("Cards")) && !checked(QStringLiteral("Pause")));
        press(QStringLiteral("Bar chart"));
        QTRY_COMPARE(panes(), QStringList{QStringLiteral("Bar chart")});
        press(QStringLiteral("Bar chart"));
        QVERIFY(checked(QStringLiteral("Bar chart")));
        press(QStringLiteral("Counts vs time"));
        QTRY_COMPARE(panes(), QStringList{QStringLiteral("Counts vs time")});
        QVERIFY(!checked(QStringLiteral("Bar chart")) && checked(QStringLiteral("CH 2")));
        press(QStringLiteral("CH 2"), QAccessibleActionInterface::toggleAction());
        QVERIFY(!checked(QStringLiteral("CH 2")));
        press(QStringLiteral("CH 2"));
        QVERIFY(checked(QStringLiteral("CH 2")));

        key(Qt::Key_P, Qt::ControlModifier);
        QVERIFY(time->property("pauseButton").value<QObject *>()->property("checked").toBool() && checked(QStringLiteral("Pause")));
        key(Qt::Key_E, Qt::ControlModifier);
        QVERIFY2(saveInDialog(QStringLiteral("counts-span-keys.csv")), qPrintable(m_metInDialog.join(QStringLiteral(", "))));
        QTRY_VERIFY(!QDir::home().entryList({QStringLiteral("counts-span-*.csv")}).isEmpty());
        press(QStringLiteral("Pause"));
        QVERIFY(!time->property("pauseButton").value<QObject *>()->property("checked").toBool());
        key(Qt::Key_L, Qt::ControlModifier);
        QVERIFY(time->property("logMode").toBool());
        QVERIFY(tabTo(QStringLiteral("legendEntry3"))); // Space or Return switches its channel
        QObject *plot = time->property("plot").value<QObject *>();
        key(Qt::Key_Space);
        QCOMPARE(plot->property("channelVisible").toList().value(3).toBool(), false);
        shot(QStringLiteral("23-focus-time"));
        key(Qt::Key_Return);
        QCOMPARE(plot->property("channelVisible").toList().value(3).toBool(), true);
        key(Qt::Key_L, Qt::ControlModifier);
        QVERIFY(!time->property("logMode").toBool());

        QObject *bars = m_rig.item(QStringLiteral("histogramView"));
        key(Qt::Key_3, Qt::ControlModifier);
        QTRY_VERIFY(bars->findChild<QQuickItem *>(QStringLiteral("exportButton"))->isEnabled()); // the span's export is over
        checkPage(QStringLiteral("Bar chart"), page("Pane: Bar chart; Chart: Latest count of every channel as bars; "
                                                    "Button: Save as PNG…; CheckBox: Logarithmic Y axis"));
        QVERIFY(tabTo(QStringLiteral("exportButton")));
        shot(QStringLiteral("26-focus-bars"));
        key(Qt::Key_E, Qt::ControlModifier);
        QVERIFY2(saveInDialog(QStringLiteral("bars-keys.png")), qPrintable(m_metInDialog.join(QStringLiteral(", "))));
        QTRY_VERIFY(!QDir::home().entryList({QStringLiteral("bars-*.png")}).isEmpty());

        key(Qt::Key_1, Qt::ControlModifier);
        QTRY_VERIFY(m_rig.item(QStringLiteral("cardsView"))->property("visible").toBool());
        QTest::qWait(qMax<qint64>(0, 5200 - recording.elapsed()));
        key(Qt::Key_R, Qt::ControlModifier);
        QTRY_VERIFY(!m_rig.recorder.recording() && m_rig.recorder.message().startsWith(QLatin1String("Recording saved")));
        // A reading every 100 ms for over 5 s, each a line after the header.
        QFile file(m_rig.recorder.filePath());
        QVERIFY(file.open(QIODevice::ReadOnly));
        const qsizetype rows = file.readAll().count('\n') - 1;
        QVERIFY2(rows >= 40, qPrintable(QString::number(rows)));
    }

    // Channel 0 swept in 100 mV steps (a progress bar, then a slider over its points); 300 mV taken.
    void sweepAndTakeThreshold()
    {
        key(Qt::Key_4, Qt::ControlModifier);
        checkPage(QStringLiteral("Calibration"), page(kCalibration) + page("Button: Export sweep…; CheckBox: Spectrum; CheckBox: Logarithmic Y axis"));
        QVERIFY(tabTo(QStringLiteral("stepField")));
        type(QStringLiteral("100"));
        key(Qt::Key_Return);
        QVERIFY(tabTo(QStringLiteral("startButton")));
        key(Qt::Key_Space);
        QTRY_VERIFY(m_rig.session.calibrationRunning());
        QAccessibleInterface *progress = node(QStringLiteral("ProgressBar: Sweep progress"));
        QVERIFY(progress && !node(QStringLiteral("EditableText: Sweep from, mV")));
        const double done = progress->valueInterface()->currentValue().toDouble();
        QVERIFY2(done >= 0 && done <= 100 && progress->valueInterface()->maximumValue().toInt() == 100, qPrintable(QString::number(done)));
        QTRY_VERIFY_WITH_TIMEOUT(!m_rig.session.calibrationRunning(), 30000);
        checkPage(QStringLiteral("Calibration"),
                  page(kCalibration) + page("Button: Apply suggestions; StaticText: Suggested thresholds:; "
                                            "StaticText: CH 0: none. no valley: the count does not fall as the threshold rises; "
                                            "Slider: Sweep plot; Button: Export sweep…; CheckBox: Spectrum; CheckBox: Logarithmic Y axis"));
        QVERIFY(tabTo(QStringLiteral("plotKeys")));
        for (int i = 0; i < 3; ++i)
            key(Qt::Key_Right);
        shot(QStringLiteral("24-focus-calibration"));
        key(Qt::Key_Return);
        QObject *menu = m_rig.item(QStringLiteral("calibrationView"))->property("menu").value<QObject *>();
        QTRY_VERIFY(menu->property("opened").toBool());
        shot(QStringLiteral("24-focus-calibration-menu"));
        key(Qt::Key_Return);
        QTRY_VERIFY(!menu->property("opened").toBool());
        QTRY_COMPARE(m_rig.sim.thresholds().value(0), 0.3);
        QCOMPARE(m_rig.sim.thresholds().value(2), 0.25);
    }

    // The link gone, the cards come back in sight.
    void disconnect()
    {
        key(Qt::Key_K, Qt::ControlModifier);
        QTRY_VERIFY(!m_rig.session.connected());
        QTRY_COMPARE(panes(), QStringList{QStringLiteral("Channel cards")});
    }
};

SCENE_TEST_MAIN(KeyboardSessionTest)
#include "tst_keyboard_session.moc"
