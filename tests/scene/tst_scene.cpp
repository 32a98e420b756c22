// Quick Test runner for the scene: a widgets application (Qt Charts needs
// one), the MyStyle style, the resource import path and a stand-in `device`.

#include <QApplication>
#include <QQmlComponent>
#include <QQmlContext>
#include <QQmlEngine>
#include <QQuickStyle>
#include <QtQuickTest>

class Setup : public QObject
{
    Q_OBJECT

public slots:
    void qmlEngineAvailable(QQmlEngine *engine)
    {
        engine->addImportPath(QStringLiteral("qrc:/qt/qml"));
        QQmlComponent fake(engine, QUrl::fromLocalFile(QStringLiteral(QUICK_TEST_SOURCE_DIR "/FakeDevice.qml")));
        QObject *device = fake.create();
        if (!device)
            qFatal("FakeDevice.qml: %s", qPrintable(fake.errorString()));
        device->setParent(engine);
        engine->rootContext()->setContextProperty(QStringLiteral("device"), device);
        engine->rootContext()->setContextProperty(QStringLiteral("appVersion"), QStringLiteral("0.1.0"));
    }
};

int main(int argc, char **argv)
{
    QQuickStyle::setStyle(QStringLiteral("MyStyle"));
    QApplication app(argc, argv);
    Setup setup;
    return quick_test_main_with_setup(argc, argv, "tst_scene", QUICK_TEST_SOURCE_DIR, &setup);
}

#include "tst_scene.moc"
