// The scene as a screen reader meets it, walked through Qt's accessibility
// interface with the real session against the simulated instrument on
// 127.0.0.121: on every page each control has a role and a name, nothing out
// of sight is in the tree, the names read as in the table below, Tab and
// Shift+Tab reach every enabled control and card in the tree's (reading)
// order with the style's focus mark, and a screen reader's press does what a
// click does. (What Orca makes of it: orca_walk.py; a card's name held while
// it has the focus: tests/scene, tst_pieces.qml.)
//
// The offscreen platform has no accessibility bridge, so QAccessible never
// turns active by itself; the test switches it on after each page appears,
// as a screen reader starting then would.

#include "../common/SceneRig.h"

#include <QAccessible>
#include <QtTest>

namespace {

const QList<double> kCounts{1234, 1300, 25, 0, 98765, 5, 777, 4321};

// A view's page: the cards are a list, the others panes.
bool isPage(QAccessibleInterface *n)
{
    return n->role() == QAccessible::Pane || n->role() == QAccessible::List;
}

QString roleName(QAccessible::Role role)
{
    static const QHash<QAccessible::Role, QString> names{
        {QAccessible::Window, "window"}, {QAccessible::PushButton, "button"}, {QAccessible::CheckBox, "check box"},
        {QAccessible::RadioButton, "radio button"}, {QAccessible::List, "list"}, {QAccessible::ListItem, "list item"},
        {QAccessible::ComboBox, "combo box"}, {QAccessible::EditableText, "text"}, {QAccessible::SpinBox, "spin box"},
        {QAccessible::Slider, "slider"}, {QAccessible::StaticText, "label"}, {QAccessible::Chart, "chart"},
        {QAccessible::ProgressBar, "progress bar"}, {QAccessible::Grouping, "grouping"},
        {QAccessible::Separator, "separator"}, {QAccessible::Pane, "pane"}, {QAccessible::ScrollBar, "scroll bar"}};
    return names.value(role, QStringLiteral("role 0x%1").arg(int(role), 0, 16));
}

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

QString line(QAccessibleInterface *iface)
{
    return roleName(iface->role()) + QStringLiteral(": ") + iface->text(QAccessible::Name);
}

} // namespace

class AccessibleTreeTest : public QObject
{
    Q_OBJECT

    SceneRig m_rig;
    QQuickWindow *m_window = nullptr;
    QObject *m_stack = nullptr;

    // The whole tree of the window as it is now.
    QList<QAccessibleInterface *> tree()
    {
        QAccessible::setActive(true);
        QList<QAccessibleInterface *> nodes;
        collect(QAccessible::queryAccessibleInterface(m_window), nodes);
        return nodes;
    }

    QAccessibleInterface *pane(const QString &name)
    {
        for (QAccessibleInterface *n : tree()) {
            if (isPage(n) && n->text(QAccessible::Name) == name)
                return n;
        }
        return nullptr;
    }

    void key(int key, Qt::KeyboardModifiers modifiers = Qt::NoModifier)
    {
        QTest::keyClick(m_window, Qt::Key(key), modifiers);
    }

    // The page in front: 0 to 3 the views of the home page, 4 the settings.
    void show(int page)
    {
        key(page < 4 ? Qt::Key_1 + page : Qt::Key_Comma, Qt::ControlModifier);
        QTRY_VERIFY(!m_stack->property("busy").toBool());
        QTRY_COMPARE(m_stack->property("depth").toInt(), page < 4 ? 1 : 2);
        // Until the view has slid in, two of them are partly in sight.
        static const QStringList names{QStringLiteral("Channel cards"), QStringLiteral("Counts vs time"),
                                       QStringLiteral("Bar chart"), QStringLiteral("Calibration"), QStringLiteral("Settings")};
        QTRY_COMPARE(panes(), QStringList{names.at(page)});
        QTRY_VERIFY(allInSight());
    }

    QStringList panes()
    {
        QStringList out;
        for (QAccessibleInterface *n : tree()) {
            if (isPage(n))
                out.append(n->text(QAccessible::Name));
        }
        return out;
    }

    bool allInSight()
    {
        const QList<QAccessibleInterface *> nodes = tree();
        return std::none_of(nodes.cbegin(), nodes.cend(), [](QAccessibleInterface *n) { return n->state().invisible; });
    }

    // The enabled control of the tree that holds the keyboard's focus.
    QAccessibleInterface *focused(const QList<QAccessibleInterface *> &stops)
    {
        for (QQuickItem *item = m_window->activeFocusItem(); item; item = item->parentItem()) {
            for (QAccessibleInterface *stop : stops) {
                if (stop->object() == item)
                    return stop;
            }
        }
        return nullptr;
    }

    // The control a node stands for: itself or, for a spin box's text, the box.
    static QQuickItem *control(QQuickItem *item)
    {
        QQuickItem *parent = item->parentItem();
        return parent && parent->property("contentItem").value<QQuickItem *>() == item ? parent : item;
    }
    static bool takesTab(QQuickItem *item) { return item->activeFocusOnTab() || control(item)->activeFocusOnTab(); }

    static bool showsFocusMark(QObject *node)
    {
        const auto marks = control(qobject_cast<QQuickItem *>(node))->findChildren<QQuickItem *>(QStringLiteral("focusMark"));
        return std::any_of(marks.cbegin(), marks.cend(), [](QQuickItem *m) { return m->isVisible(); });
    }

private slots:
    void initTestCase()
    {
        m_rig.sim.setFixedCounts(kCounts);
        isolate(m_rig.session);
        QVERIFY(m_rig.load(QStringLiteral("127.0.0.121")));
        m_window = m_rig.window;
        m_stack = m_rig.stack;
    }

    // Before the link, one page in sight: the cards, with no reading.
    void disconnected()
    {
        const QList<QAccessibleInterface *> nodes = tree();
        QStringList lines;
        for (QAccessibleInterface *n : nodes) {
            QVERIFY2(!n->state().invisible, qPrintable(line(n)));
            lines.append(line(n));
        }
        QCOMPARE(lines.mid(0, 4), (QStringList{QStringLiteral("window: Velmora"), QStringLiteral("button: Minimize"),
                                               QStringLiteral("button: Maximize"), QStringLiteral("button: Close")}));
        QVERIFY(lines.contains(QStringLiteral("label: Disconnected")));
        QVERIFY(!lines.contains(QStringLiteral("pane: Calibration")));
        QAccessibleInterface *cards = pane(QStringLiteral("Channel cards"));
        QVERIFY(cards && cards->childCount() == 8);
        QAccessibleInterface *card = cards->child(3);
        QCOMPARE(card->text(QAccessible::Name), QStringLiteral("CH 3, no reading"));
        QVERIFY(qIsNaN(card->valueInterface()->currentValue().toDouble()));

        QVERIFY(m_rig.connectTcp());
        QTRY_VERIFY(m_rig.session.countsLive());
    }

    void pages_data()
    {
        QTest::addColumn<int>("page");
        QTest::addColumn<QString>("name");
        QTest::addColumn<QStringList>("expected");
        const auto channels = [](const QString &format, const QString &role) {
            QStringList out;
            for (int i = 0; i < 8; ++i)
                out.append(role + QStringLiteral(": ") + format.arg(i));
            return out;
        };
        QStringList cards{QStringLiteral("list: Channel cards")};
        for (int i = 0; i < 8; ++i)
            cards.append(QStringLiteral("list item: CH %1, %2 counts per gate").arg(i).arg(kCounts.at(i)));
        QTest::newRow("cards") << 0 << QStringLiteral("Channel cards") << cards;
        QTest::newRow("time") << 1 << QStringLiteral("Counts vs time")
                              << QStringList{QStringLiteral("pane: Counts vs time"),
                                             QStringLiteral("chart: Counts of every channel over time"),
                                             QStringLiteral("grouping: Legend")}
                + channels(QStringLiteral("CH %1"), QStringLiteral("check box"))
                + QStringList{QStringLiteral("button: Last 30 seconds"), QStringLiteral("button: Last 2 minutes"),
                              QStringLiteral("button: Last 10 minutes"), QStringLiteral("button: Last hour"),
                              QStringLiteral("button: Last 6 hours"), QStringLiteral("button: Last 24 hours"),
                              QStringLiteral("button: All readings"), QStringLiteral("button: Live: follow the newest reading"),
                              QStringLiteral("check box: Statistics of the span shown")}
                + QStringList{QStringLiteral("check box: Pause"), QStringLiteral("button: Export span…"),
                              QStringLiteral("check box: Logarithmic Y axis")};
        QTest::newRow("bars") << 2 << QStringLiteral("Bar chart")
                              << QStringList{QStringLiteral("pane: Bar chart"),
                                             QStringLiteral("chart: Latest count of every channel as bars"),
                                             QStringLiteral("button: Save as PNG…"),
                                             QStringLiteral("check box: Logarithmic Y axis")};
        const QStringList calibration{
            QStringLiteral("pane: Calibration"), QStringLiteral("label: Sweep Parameter:"), QStringLiteral("separator: "),
            QStringLiteral("label: Channel:"), QStringLiteral("combo box: Sweep channel: CH 0"),
            QStringLiteral("label: From (mV):"), QStringLiteral("text: Sweep from, mV"),
            QStringLiteral("label: To (mV):"), QStringLiteral("text: Sweep to, mV"),
            QStringLiteral("label: Step (mV):"), QStringLiteral("text: Sweep step, mV"),
            QStringLiteral("button: Start"), QStringLiteral("button: Stop")};
        QTest::newRow("calibration") << 3 << QStringLiteral("Calibration")
                                     << calibration + QStringList{QStringLiteral("button: Export sweep…"),
                                                                  QStringLiteral("check box: Spectrum"),
                                                                  QStringLiteral("check box: Logarithmic Y axis")};
        // After a sweep what it suggests, and the plot has points: a slider over them.
        QTest::newRow("calibration, swept")
            << 3 << QStringLiteral("Calibration")
            << calibration + QStringList{QStringLiteral("button: Apply suggestions"),
                                         QStringLiteral("label: Suggested thresholds:"),
                                         QStringLiteral("label: CH 0: none. too few levels to tell: use a smaller step"),
                                         QStringLiteral("slider: Sweep plot"),
                                         QStringLiteral("button: Export sweep…"), QStringLiteral("check box: Spectrum"),
                                         QStringLiteral("check box: Logarithmic Y axis")};
        QTest::newRow("settings") << 4 << QStringLiteral("Settings")
                                  << QStringList{QStringLiteral("pane: Settings"), QStringLiteral("button: Back"),
                                                 QStringLiteral("label: Settings"), QStringLiteral("grouping: Gate Period, ms"),
                                                 QStringLiteral("spin box: Gate period, ms"), QStringLiteral("button: Apply gate period"),
                                                 QStringLiteral("grouping: Comparator thresholds (All channels)"),
                                                 QStringLiteral("spin box: Threshold of all channels, mV"), QStringLiteral("button: Set all")}
                + channels(QStringLiteral("CH %1 threshold, mV"), QStringLiteral("spin box"))
                + QStringList{QStringLiteral("separator: "), QStringLiteral("grouping: Network"),
                              QStringLiteral("combo box: Network mode: Static"), QStringLiteral("text: IP address"),
                              QStringLiteral("text: Netmask"), QStringLiteral("text: Gateway"),
                              QStringLiteral("button: Apply network settings"), QStringLiteral("scroll bar: Scroll the settings")};
    }

    void pages()
    {
        QFETCH(int, page);
        QFETCH(QString, name);
        QFETCH(QStringList, expected);
        show(page);
        if (QByteArray(QTest::currentDataTag()).endsWith("swept")) {
            // While it runs, the sweep is a progress bar in place of its parameters.
            m_rig.session.startCalibration(0, 0, 100, 25);
            QTRY_VERIFY(m_rig.session.calibrationRunning());
            QAccessibleInterface *progress = nullptr;
            QStringList lines;
            for (QAccessibleInterface *n : tree()) {
                lines.append(line(n));
                if (line(n) == QStringLiteral("progress bar: Sweep progress"))
                    progress = n;
            }
            QVERIFY2(progress && !lines.contains(QStringLiteral("text: Sweep from, mV")), qPrintable(lines.join(", ")));
            const double done = progress->valueInterface()->currentValue().toDouble();
            QVERIFY2(done >= 0 && done <= 100, qPrintable(QString::number(done)));
            QCOMPARE(progress->valueInterface()->maximumValue().toInt(), 100);
            QTRY_VERIFY_WITH_TIMEOUT(!m_rig.session.calibrationRunning(), 20000);
        }

        // Out of sight is out of the tree; whatever can be used has a role and a name.
        const QList<QAccessibleInterface *> nodes = tree();
        QList<QAccessibleInterface *> stops;
        for (QAccessibleInterface *n : nodes) {
            QVERIFY2(!n->state().invisible, qPrintable(line(n)));
            if (isInteractive(n->role())) {
                QVERIFY2(!n->text(QAccessible::Name).isEmpty(), qPrintable(line(n)));
                auto *item = qobject_cast<QQuickItem *>(n->object());
                if (item && item->isEnabled() && takesTab(item))
                    stops.append(n);
            }
        }
        QCOMPARE(panes(), QStringList{name});

        QStringList lines;
        QList<QAccessibleInterface *> own;
        collect(pane(name), own);
        for (QAccessibleInterface *n : own)
            lines.append(line(n));
        QCOMPARE(lines, expected);

        // Tab walks the enabled controls in the tree's order, round and round,
        // each with the focus mark; Shift+Tab walks back.
        QVERIFY(stops.size() > 2);
        QStringList want;
        for (QAccessibleInterface *stop : stops)
            want.append(line(stop));
        qobject_cast<QQuickItem *>(stops.constFirst()->object())->forceActiveFocus(Qt::TabFocusReason);
        QStringList seen{line(stops.constFirst())};
        for (int i = 0; i < stops.size(); ++i) {
            key(Qt::Key_Tab);
            QAccessibleInterface *at = focused(stops);
            QVERIFY2(at, qPrintable(QStringLiteral("Tab %1 went to %2").arg(i).arg(QDebug::toString(m_window->activeFocusItem()))));
            QVERIFY2(showsFocusMark(at->object()), qPrintable(line(at)));
            seen.append(line(at));
        }
        QCOMPARE(seen, want + want.mid(0, 1));
        seen = QStringList{line(stops.constFirst())};
        for (int i = 0; i < stops.size(); ++i) {
            key(Qt::Key_Backtab, Qt::ShiftModifier);
            QAccessibleInterface *at = focused(stops);
            QVERIFY(at);
            seen.prepend(line(at));
        }
        QCOMPARE(seen, want + want.mid(0, 1));
    }

    // Toggles say whether they are on; a screen reader's press on a view's
    // button shows the view, as a click does (pressed again, the button stays
    // on); a legend box is a check box that its press or toggle switches.
    void checkedStates()
    {
        show(1);
        const auto node = [this](const QString &wanted) {
            const QList<QAccessibleInterface *> nodes = tree();
            const auto it = std::find_if(nodes.cbegin(), nodes.cend(), [&](QAccessibleInterface *n) { return line(n) == wanted; });
            return it == nodes.cend() ? nullptr : *it;
        };
        const auto checked = [&](const QString &name) { return node(QStringLiteral("check box: ") + name)->state().checked; };
        const auto press = [&](const QString &name, const QString &action = QAccessibleActionInterface::pressAction()) {
            node(QStringLiteral("check box: ") + name)->actionInterface()->doAction(action);
        };
        QVERIFY(checked(QStringLiteral("Counts vs time")) && !checked(QStringLiteral("Cards")) && !checked(QStringLiteral("Pause")));
        key(Qt::Key_P, Qt::ControlModifier);
        QVERIFY(checked(QStringLiteral("Pause")));
        press(QStringLiteral("Pause"));
        QVERIFY(!checked(QStringLiteral("Pause")));
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
    }
};

SCENE_TEST_MAIN(AccessibleTreeTest)
#include "tst_accessible_tree.moc"
