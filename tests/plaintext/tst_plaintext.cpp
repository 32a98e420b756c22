// Every text the instrument can put on screen is shown as plain text: the
// network fields of the settings page, the port labels of the home page, the
// status and error texts of the status bar. Markup in them must never be
// interpreted (an <img> would even make the scene load a file).

#include "CountRecorder.h"
#include "DeviceSession.h"
#include "SceneSetup.h"
#include "SimInstrument.h"

#include <QApplication>
#include <QQmlApplicationEngine>
#include <QQuickItem>
#include <QQuickStyle>
#include <QQuickWindow>
#include <QtTest>

namespace {

const QString kIp = QStringLiteral("<b>10.0.0.1</b>");
const QString kMask = QStringLiteral("<img src=\"file:///etc/hostname\">");
const QString kGateway = QStringLiteral("<a href=\"x\">gw</a>&amp;");
constexpr int kPlainText = 0; // Text.PlainText

// Text items at or below `o` (object and visual children) that hold
// markup without being plain text.
void findRichTexts(QObject *o, QSet<QObject *> &seen, QStringList &out)
{
    if (!o || seen.contains(o))
        return;
    seen.insert(o);
    const QString text = o->property("text").toString();
    if (o->inherits("QQuickText") && (text.contains('<') || text.contains('&'))
        && o->property("textFormat").toInt() != kPlainText)
        out.append(QStringLiteral("%1 \"%2\"").arg(o->objectName(), text));
    QList<QObject *> children = o->children();
    if (auto *item = qobject_cast<QQuickItem *>(o)) {
        for (QQuickItem *c : item->childItems())
            children.append(c);
    }
    for (QObject *c : std::as_const(children))
        findRichTexts(c, seen, out);
}

} // namespace

class PlainTextTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        m_sim.setNetwork(false, kIp, kMask, kGateway);
        QVERIFY(m_sim.listenTcp(QHostAddress(QStringLiteral("127.0.0.211")), DeviceSession::kTcpPort));
        // A USB descriptor is written by the device too.
        m_session.setSerialPortSource([] {
            SerialPortEntry e;
            e.name = QStringLiteral("<b>ttyACM0</b>");
            e.description = QStringLiteral("<font color=red>STM32</font><br>");
            return QList<SerialPortEntry>{e};
        });
        m_session.setNetInterfaceSource([] { return QList<NetInterface>{}; });
        m_session.setTcpHost(QStringLiteral("127.0.0.211"));
        m_session.connectToDevice(true);
        QTRY_COMPARE_WITH_TIMEOUT(m_session.netmask(), kMask, 5000); // the last one read
        QCOMPARE(m_session.gateway(), kGateway);
        scenesetup::publish(m_engine, &m_session, &m_session, &m_recorder);
    }

    void instrumentTextsStayPlain()
    {
        m_engine.load(QUrl(QStringLiteral("qrc:/qt/qml/TachyraApp/Main.qml")));
        QVERIFY(!m_engine.rootObjects().isEmpty());
        auto *window = qobject_cast<QQuickWindow *>(m_engine.rootObjects().constFirst());
        QVERIFY(window);
        // The status bar's link label and last error may carry device-made
        // text, so both must be plain whatever they show now.
        QStringList problems;
        for (const char *name : {"statusLabel", "errorLabel"}) {
            auto *label = window->findChild<QObject *>(QLatin1String(name));
            if (!label || label->property("textFormat").toInt() != kPlainText)
                problems.append(QStringLiteral("%1 is missing or not Text.PlainText").arg(QLatin1String(name)));
        }
        const auto scan = [&] {
            QSet<QObject *> seen;
            findRichTexts(window, seen, problems);
            findRichTexts(window->contentItem(), seen, problems);
        };
        // The settings page fills its fields from the device as it opens. A
        // text input never interprets markup: what is shown is the raw text.
        auto *stack = window->findChild<QObject *>(QStringLiteral("pageStack"));
        QVERIFY(stack && QMetaObject::invokeMethod(stack->property("currentItem").value<QObject *>(), "openSettings"));
        QTRY_VERIFY(!stack->property("busy").toBool() && stack->property("depth").toInt() == 2);
        auto *page = stack->property("currentItem").value<QObject *>();
        for (const auto &field : {std::pair{"ipField", kIp}, {"maskField", kMask}, {"gatewayField", kGateway}}) {
            auto *input = page->findChild<QObject *>(QLatin1String(field.first));
            QVERIFY2(input && input->inherits("QQuickTextInput"), field.first);
            QCOMPARE(input->property("displayText").toString(), field.second);
        }
        scan();
        // The home page lists the serial ports by label (name and USB
        // description) once the link is down.
        m_session.disconnectFromDevice();
        QTRY_VERIFY_WITH_TIMEOUT(!m_session.ports().isEmpty(), 3000);
        QTest::qWait(50);
        scan();
        QVERIFY2(problems.isEmpty(), qPrintable(problems.join("; ")));
    }

private:
    SimInstrument m_sim;
    DeviceSession m_session;
    CountRecorder m_recorder{&m_session};
    QQmlApplicationEngine m_engine; // declared last: the scene goes before the session it binds to
};

int main(int argc, char **argv)
{
    QQuickStyle::setStyle(QStringLiteral("MyStyle"));
    QApplication app(argc, argv);
    PlainTextTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_plaintext.moc"
