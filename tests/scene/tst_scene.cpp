// Quick Test runner for the scene: a widgets application (Qt Charts needs
// one), the MyStyle style, the resource import path and stand-ins for
// `device` and `recorder`, and a scratch folder for exported files.

#include <QApplication>
#include <QQmlComponent>
#include <QQmlContext>
#include <QQmlEngine>
#include <QQuickStyle>
#include <QTemporaryDir>
#include <QtQuickTest>

#include <utility>

class Setup : public QObject
{
    Q_OBJECT

public slots:
    void qmlEngineAvailable(QQmlEngine *engine)
    {
        engine->addImportPath(QStringLiteral("qrc:/qt/qml"));
        for (const auto &[name, file] : {std::pair{"device", "/FakeDevice.qml"}, {"recorder", "/FakeRecorder.qml"}}) {
            QQmlComponent fake(engine, QUrl::fromLocalFile(QLatin1String(QUICK_TEST_SOURCE_DIR) + QLatin1String(file)));
            QObject *object = fake.create();
            if (!object)
                qFatal("%s: %s", file, qPrintable(fake.errorString()));
            object->setParent(engine);
            engine->rootContext()->setContextProperty(QLatin1String(name), object);
        }
        engine->rootContext()->setContextProperty(QStringLiteral("appVersion"), QStringLiteral("0.1.0"));
        // Where the export tests save their files.
        engine->rootContext()->setContextProperty(QStringLiteral("scratchDir"), QUrl::fromLocalFile(m_scratch.path()));
    }

private:
    QTemporaryDir m_scratch;
};

int main(int argc, char **argv)
{
    QQuickStyle::setStyle(QStringLiteral("MyStyle"));
    // The export tests read their files back through XMLHttpRequest.
    qputenv("QML_XHR_ALLOW_FILE_READ", "1");
    QApplication app(argc, argv);
    Setup setup;
    return quick_test_main_with_setup(argc, argv, "tst_scene", QUICK_TEST_SOURCE_DIR, &setup);
}

#include "tst_scene.moc"
