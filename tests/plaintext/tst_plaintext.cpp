// Every text the instrument can put on screen is shown as plain text: the
// network fields of the settings page, the port labels of the home page, the
// status and error texts of the status bar. Markup in them must never be
// interpreted (an <img> would even make the scene load a file).

#include "DeviceSession.h"
#include "SimInstrument.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QQmlApplicationEngine>
#include <QQmlComponent>
#include <QQmlContext>
#include <QQuickItem>
#include <QQuickStyle>
#include <QQuickWindow>
#include <QTemporaryDir>
#include <QtTest>

namespace {

const QString kAddress = QStringLiteral("127.0.0.211");
const QString kIp = QStringLiteral("<b>10.0.0.1</b>");
const QString kMask = QStringLiteral("<img src=\"file:///etc/hostname\">");
const QString kGateway = QStringLiteral("<a href=\"x\">gw</a>&amp;");
const QString kPortDescription = QStringLiteral("<font color=red>STM32</font><br>");

// Qt Quick's Text.PlainText.
constexpr int kPlainText = 0;

bool hasMarkup(const QString &s)
{
    return s.contains(QLatin1Char('<')) || s.contains(QLatin1Char('&'));
}

// The Theme and MyStyle modules as the engine would see them, built from
// the source documents.
bool writeModules(const QString &root)
{
    const QString src = QStringLiteral(TACHYRA_SOURCE_DIR "/qt/qml/");
    for (const QString &module : {QStringLiteral("Theme"), QStringLiteral("MyStyle")}) {
        QDir(root).mkpath(module);
        QString qmldir = QStringLiteral("module %1\n").arg(module);
        if (module == QLatin1String("MyStyle"))
            qmldir += QStringLiteral("import QtQuick.Controls.Basic\n");
        const QDir dir(src + module);
        for (const QFileInfo &fi : dir.entryInfoList(QDir::Files | QDir::Dirs | QDir::NoDotAndDotDot)) {
            if (!QFile::link(fi.absoluteFilePath(), root + QLatin1Char('/') + module + QLatin1Char('/')
                                                        + fi.fileName()))
                return false;
            if (fi.suffix() != QLatin1String("qml"))
                continue;
            if (module == QLatin1String("Theme"))
                qmldir += QStringLiteral("singleton %1 1.0 %2\n").arg(fi.baseName(), fi.fileName());
            else
                qmldir += QStringLiteral("%1 1.0 %2\n").arg(fi.baseName(), fi.fileName());
        }
        QFile f(root + QLatin1Char('/') + module + QStringLiteral("/qmldir"));
        if (!f.open(QIODevice::WriteOnly) || f.write(qmldir.toUtf8()) < 0)
            return false;
    }
    return true;
}

// Text items showing markup without being plain text.
QStringList richTexts(QObject *root)
{
    QStringList out;
    QList<QObject *> all = root->findChildren<QObject *>();
    all.prepend(root);
    if (auto *item = qobject_cast<QQuickItem *>(root)) {
        const auto items = item->findChildren<QQuickItem *>();
        for (QQuickItem *i : items)
            all.append(i);
    }
    for (QObject *o : std::as_const(all)) {
        if (!o->inherits("QQuickText"))
            continue;
        const QString text = o->property("text").toString();
        if (hasMarkup(text) && o->property("textFormat").toInt() != kPlainText) {
            QString where = o->objectName();
            for (QObject *p = o->parent(); where.isEmpty() && p; p = p->parent())
                where = p->objectName().isEmpty() ? QString() : QStringLiteral("in ") + p->objectName();
            out.append(QStringLiteral("%1 \"%2\"").arg(where.isEmpty() ? QStringLiteral("?") : where, text));
        }
    }
    out.removeDuplicates();
    return out;
}

} // namespace

class PlainTextTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void settingsFieldsShowRawText();
    void windowShowsNoRichText();
    void cleanupTestCase();

private:
    QTemporaryDir m_modules;
    SimInstrument m_sim;
    DeviceSession m_session;
    QQmlApplicationEngine *m_engine = nullptr;
};

void PlainTextTest::initTestCase()
{
    QVERIFY(m_modules.isValid());
    QVERIFY(writeModules(m_modules.path()));

    m_sim.setNetwork(false, kIp, kMask, kGateway);
    QVERIFY(m_sim.listenTcp(QHostAddress(kAddress), DeviceSession::kTcpPort));
    // A USB descriptor is written by the device too.
    m_session.setSerialPortSource([] {
        SerialPortEntry e;
        e.name = QStringLiteral("<b>ttyACM0</b>");
        e.description = kPortDescription;
        return QList<SerialPortEntry>{e};
    });
    m_session.setNetInterfaceSource([] { return QList<NetInterface>{}; });
    m_session.setTcpHost(kAddress);
    m_session.connectToDevice(true);
    QTRY_COMPARE_WITH_TIMEOUT(m_session.gateway(), kGateway, 5000);
    QCOMPARE(m_session.ipAddress(), kIp);
    QCOMPARE(m_session.netmask(), kMask);

    m_engine = new QQmlApplicationEngine(this);
    m_engine->addImportPath(m_modules.path());
    m_engine->rootContext()->setContextProperty(QStringLiteral("device"), &m_session);
    m_engine->rootContext()->setContextProperty(QStringLiteral("appVersion"), QStringLiteral("0.1.0"));
    m_engine->rootContext()->setContextProperty(QStringLiteral("appName"), QStringLiteral("Tachyra Client"));
}

void PlainTextTest::settingsFieldsShowRawText()
{
    QQmlComponent component(m_engine,
                            QUrl::fromLocalFile(QStringLiteral(TACHYRA_SOURCE_DIR "/qml/SettingsPage.qml")));
    std::unique_ptr<QObject> page(component.create());
    QVERIFY2(page, qPrintable(component.errorString()));
    // The page fills its fields from the device when it opens.
    QMetaObject::invokeMethod(page.get(), "syncNetworkAddresses", Q_ARG(QVariant, true));

    const struct {
        const char *name;
        QString expected;
    } fields[] = {{"ipField", kIp}, {"maskField", kMask}, {"gatewayField", kGateway}};
    for (const auto &f : fields) {
        auto *field = page->findChild<QObject *>(QLatin1String(f.name));
        QVERIFY2(field, f.name);
        // A text input never interprets markup; what is shown is the raw text.
        QVERIFY2(field->inherits("QQuickTextInput"), f.name);
        QCOMPARE(field->property("text").toString(), f.expected);
        QCOMPARE(field->property("displayText").toString(), f.expected);
    }
    const QStringList rich = richTexts(page.get());
    QVERIFY2(rich.isEmpty(), qPrintable(rich.join(QStringLiteral("; "))));
}

void PlainTextTest::windowShowsNoRichText()
{
    m_engine->load(QUrl::fromLocalFile(QStringLiteral(TACHYRA_SOURCE_DIR "/qml/Main.qml")));
    QVERIFY(!m_engine->rootObjects().isEmpty());
    auto *window = qobject_cast<QQuickWindow *>(m_engine->rootObjects().constFirst());
    QVERIFY(window);

    // The status bar shows the link label and the last error; both may carry
    // device-made text, so both must be plain whatever they show now.
    QStringList problems;
    for (const char *name : {"statusLabel", "errorLabel"}) {
        auto *label = window->findChild<QObject *>(QLatin1String(name));
        QVERIFY2(label, name);
        if (label->property("textFormat").toInt() != kPlainText)
            problems.append(QStringLiteral("%1 is not Text.PlainText").arg(QLatin1String(name)));
    }

    // The home page lists the serial ports by label (name and USB
    // description) once the link is down.
    m_session.disconnectFromDevice();
    QTRY_VERIFY_WITH_TIMEOUT(!m_session.ports().isEmpty(), 3000);
    QTest::qWait(50);
    problems += richTexts(window);
    problems += richTexts(window->contentItem());
    problems.removeDuplicates();
    QVERIFY2(problems.isEmpty(), qPrintable(problems.join(QStringLiteral("; "))));
}

void PlainTextTest::cleanupTestCase()
{
    // The scene goes before the session it binds to.
    delete m_engine;
    m_engine = nullptr;
}

int main(int argc, char **argv)
{
    QQuickStyle::setStyle(QStringLiteral("MyStyle"));
    QApplication app(argc, argv);
    PlainTextTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_plaintext.moc"
