// The scene as a screen reader meets it, walked through Qt's accessibility
// interface with the real session against the simulated instrument on
// 127.0.0.121: on every page each control has a role and a name, nothing out
// of sight is in the tree, the names read as in the table below, Tab and
// Shift+Tab reach every enabled control and card in the tree's (reading)
// order with the style's focus mark, a card's name and value follow its count
// but hold still while it has the focus, and a screen reader's press does
// what a click does. (What Orca makes of it: orca_walk.py.)
//
// The offscreen platform has no accessibility bridge, so QAccessible never
// turns active by itself; the test switches it on after each page appears,
// as a screen reader starting then would.

#include "../common/LoopbackRig.h"
#include "CountRecorder.h"
#include "SceneSetup.h"

#include <QAccessible>
#include <QApplication>
#include <QQmlApplicationEngine>
#include <QQuickItem>
#include <QQuickStyle>
#include <QQuickWindow>
#include <QtTest>

namespace {

const QString kAddress = QStringLiteral("127.0.0.121");
const QList<double> kCounts{1234, 1300, 25, 0, 98765, 5, 777, 4321};

// A view's page: the cards are a list, the others panes.
bool isPage(QAccessibleInterface *n)
{
    return n->role() == QAccessible::Pane || n->role() == QAccessible::List;
}

QString roleName(QAccessible::Role role)
{
    switch (role) {
    case QAccessible::Window: return QStringLiteral("window");
    case QAccessible::PushButton: return QStringLiteral("button");
    case QAccessible::CheckBox: return QStringLiteral("check box");
    case QAccessible::RadioButton: return QStringLiteral("radio button");
    case QAccessible::List: return QStringLiteral("list");
    case QAccessible::ListItem: return QStringLiteral("list item");
    case QAccessible::ComboBox: return QStringLiteral("combo box");
    case QAccessible::EditableText: return QStringLiteral("text");
    case QAccessible::SpinBox: return QStringLiteral("spin box");
    case QAccessible::Slider: return QStringLiteral("slider");
    case QAccessible::StaticText: return QStringLiteral("label");
    case QAccessible::Chart: return QStringLiteral("chart");
    case QAccessible::ProgressBar: return QStringLiteral("progress bar");
    case QAccessible::Grouping: return QStringLiteral("grouping");
    case QAccessible::Separator: return QStringLiteral("separator");
    case QAccessible::Pane: return QStringLiteral("pane");
    case QAccessible::ScrollBar: return QStringLiteral("scroll bar");
    default: return QStringLiteral("role 0x%1").arg(int(role), 0, 16);
    }
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

    SimInstrument m_sim;
    DeviceSession m_session;
    CountRecorder m_recorder{&m_session};
    QQmlApplicationEngine *m_engine = nullptr;
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
        QVERIFY(m_sim.listenTcp(QHostAddress(kAddress), DeviceSession::kTcpPort));
        m_sim.setFixedCounts(kCounts);
        isolate(m_session);
        m_engine = new QQmlApplicationEngine;
        scenesetup::publish(*m_engine, &m_session, &m_session, &m_recorder);
        m_engine->load(QUrl(QStringLiteral("qrc:/qt/qml/TachyraApp/Main.qml")));
        QVERIFY(!m_engine->rootObjects().isEmpty());
        m_window = qobject_cast<QQuickWindow *>(m_engine->rootObjects().constFirst());
        QVERIFY(m_window);
        m_window->requestActivate();
        QVERIFY(QTest::qWaitForWindowActive(m_window));
        m_stack = m_window->findChild<QObject *>(QStringLiteral("pageStack"));
        QVERIFY(m_stack);
    }

    void cleanupTestCase()
    {
        delete m_engine; // before the session its bindings read
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

        m_session.setTcpHost(kAddress);
        m_session.connectToDevice(true);
        QTRY_VERIFY(m_session.connected());
        QTRY_VERIFY(m_session.countsLive());
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
                                                                  QStringLiteral("check box: Logarithmic Y axis")};
        // After a sweep the plot has points: a slider over them.
        QTest::newRow("calibration, swept") << 3 << QStringLiteral("Calibration")
                                            << calibration + QStringList{QStringLiteral("slider: Sweep plot"),
                                                                         QStringLiteral("button: Export sweep…"),
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
            m_session.startCalibration(0, 0, 100, 25);
            QTRY_VERIFY(m_session.calibrationRunning());
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
            QTRY_VERIFY_WITH_TIMEOUT(!m_session.calibrationRunning(), 20000);
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

    // A card's name and value are its count; while the card has the focus
    // they hold what they said when it came, so that a screen reader does not
    // read every new count, and follow again once it has gone.
    void cardValues()
    {
        show(0);
        QAccessibleInterface *cards = pane(QStringLiteral("Channel cards"));
        QVERIFY(cards);
        const auto heard = [cards](int i) {
            QAccessibleInterface *card = cards->child(i);
            return QStringLiteral("%1 = %2").arg(card->text(QAccessible::Name)).arg(card->valueInterface()->currentValue().toDouble());
        };
        const auto says = [](int i, double count) { return QStringLiteral("CH %1, %2 counts per gate = %2").arg(i).arg(count); };
        qobject_cast<QQuickItem *>(cards->child(2)->object())->forceActiveFocus(Qt::TabFocusReason);
        m_sim.setFixedCounts({1, 2, 3, 4, 5, 6, 7, 8});
        QTRY_COMPARE(heard(3), says(3, 4));
        QCOMPARE(heard(2), says(2, kCounts.at(2)));
        key(Qt::Key_Tab);
        QTRY_COMPARE(heard(2), says(2, 3));
        m_sim.setFixedCounts(kCounts);
        QTRY_COMPARE(heard(2), says(2, kCounts.at(2)));
        QCOMPARE(heard(3), says(3, 4));
    }

    // Toggles say whether they are on.
    void checkedStates()
    {
        show(1);
        const auto state = [this](const QString &wanted) {
            for (QAccessibleInterface *n : tree()) {
                if (line(n) == wanted)
                    return n->state();
            }
            return QAccessible::State();
        };
        QVERIFY(state(QStringLiteral("check box: Counts vs time")).checked);
        QVERIFY(!state(QStringLiteral("check box: Cards")).checked);
        QVERIFY(!state(QStringLiteral("check box: Pause")).checked);
        key(Qt::Key_P, Qt::ControlModifier);
        QVERIFY(state(QStringLiteral("check box: Pause")).checked);
        key(Qt::Key_P, Qt::ControlModifier);
        QVERIFY(!state(QStringLiteral("check box: Pause")).checked);
        // A screen reader's press on a view's button shows the view, as a
        // click does; pressed again, the button stays on.
        const auto press = [this](const QString &wanted) {
            for (QAccessibleInterface *n : tree()) {
                if (line(n) == wanted)
                    n->actionInterface()->doAction(QAccessibleActionInterface::pressAction());
            }
        };
        press(QStringLiteral("check box: Bar chart"));
        QTRY_COMPARE(panes(), QStringList{QStringLiteral("Bar chart")});
        press(QStringLiteral("check box: Bar chart"));
        QVERIFY(state(QStringLiteral("check box: Bar chart")).checked);
        press(QStringLiteral("check box: Counts vs time"));
        QTRY_COMPARE(panes(), QStringList{QStringLiteral("Counts vs time")});
        QVERIFY(!state(QStringLiteral("check box: Bar chart")).checked);
        press(QStringLiteral("check box: Pause"));
        QVERIFY(state(QStringLiteral("check box: Pause")).checked);
        press(QStringLiteral("check box: Pause"));
        QVERIFY(!state(QStringLiteral("check box: Pause")).checked);
        // A legend box is a check box that its press action switches.
        QAccessibleInterface *legend = nullptr;
        for (QAccessibleInterface *n : tree()) {
            if (line(n) == QStringLiteral("check box: CH 2"))
                legend = n;
        }
        QVERIFY(legend && legend->state().checked && legend->actionInterface());
        legend->actionInterface()->doAction(QAccessibleActionInterface::toggleAction());
        QVERIFY(!legend->state().checked);
        legend->actionInterface()->doAction(QAccessibleActionInterface::pressAction());
        QVERIFY(legend->state().checked);
    }
};

int main(int argc, char **argv)
{
    QQuickStyle::setStyle(QStringLiteral("MyStyle"));
    QApplication app(argc, argv);
    AccessibleTreeTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_accessible_tree.moc"
