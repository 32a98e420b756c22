#include "SceneSetup.h"

#include <QApplication>
#include <QQmlContext>
#include <QQmlEngine>
#include <QQuickStyle>
#include <QtQuickTest>

// Gives every test engine the application's context (no device).
class Setup : public QObject
{
    Q_OBJECT
public slots:
    void qmlEngineAvailable(QQmlEngine *engine)
    {
        scenesetup::publish(*engine, nullptr, nullptr, nullptr);
        engine->rootContext()->setContextProperty(QStringLiteral("galleryPath"),
                                                  qEnvironmentVariable("TACHYRA_GALLERY_PNG", QStringLiteral("gallery.png")));
    }
};

int main(int argc, char **argv)
{
    // The style has to be chosen before the application object exists.
    QQuickStyle::setStyle(QStringLiteral("MyStyle"));
    QApplication app(argc, argv);
    Setup setup;
    return quick_test_main_with_setup(argc, argv, "tst_qml", QUICK_TEST_SOURCE_DIR, &setup);
}

#include "tst_qml.moc"
