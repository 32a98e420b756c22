#include "CountRecorder.h"
#include "DeviceSession.h"
#include "SceneGraphChoice.h"
#include "SceneSetup.h"
#include "Version.h"

#include <QApplication>
#include <QCoreApplication>
#include <QDir>
#include <QQmlApplicationEngine>
#include <QQuickStyle>
#include <QUrl>

#include <cstdio>

// On Windows the toolkit's entry shim builds argv from the wide command line
// and calls this function as qMain; elsewhere it is the process entry.
int main(int argc, char **argv)
{
    QQuickStyle::setStyle(QStringLiteral("MyStyle"));

    QString sceneGraph = scenegraph::chooseBeforeApplication();
    QApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("Tachyra Client"));
    QCoreApplication::setOrganizationName(QStringLiteral("Tachyra"));
    QCoreApplication::setApplicationVersion(QString::fromLatin1(tachyra::kVersion));
    // Not inside the log statement: that skips its arguments while the category is off.
    if (sceneGraph.isEmpty())
        sceneGraph = scenegraph::chooseBackend();
    qCInfo(lcSceneGraph) << "scene graph:" << sceneGraph;

    DeviceSession session;
    // A recording is a file the operator asks for, not a setting: nothing is kept between runs.
    CountRecorder recorder(&session);
    QQmlApplicationEngine engine;
    scenesetup::publish(engine, &session, &session, &recorder);

    // `tachyra-client FILE` (as the desktop entry passes a CSV file): the
    // recording on the time view from the start, through the scene's own property.
    const QStringList args = QCoreApplication::arguments();
    if (args.size() > 1) {
        const QUrl file = QUrl::fromLocalFile(QDir::current().absoluteFilePath(args.at(1)));
        engine.setInitialProperties({{QStringLiteral("recordingToOpen"), file}});
    }

    const QUrl mainUrl(QStringLiteral("qrc:/qt/qml/TachyraApp/Main.qml"), QUrl::TolerantMode);
    QObject::connect(
        &engine, &QQmlApplicationEngine::objectCreated, &app,
        [mainUrl](QObject *object, const QUrl &url) {
            if (!object && url == mainUrl)
                QCoreApplication::exit(-1);
        },
        Qt::QueuedConnection);
    engine.load(mainUrl);

    const int code = app.exec();
    // A level the operator set in the last moment is stored before we go.
    session.closeBeforeExit();
    // Every row the recorder holds on disk before we go; a disk that does not
    // answer holds the exit this long at most, and stderr says what is left.
    constexpr int kRecorderExitWaitMs = 10000;
    recorder.closeBeforeExit(kRecorderExitWaitMs, [](const QString &text) {
        std::fprintf(stderr, "tachyra-client: %s\n", qPrintable(text));
    });
    return code;
}
