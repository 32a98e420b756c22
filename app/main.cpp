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
#include <cstring>

namespace {

// The whole command line, in the layout of tachyra-cli's help: the manual
// page is made from this text.
constexpr char kHelp[] =
    "Usage: tachyra-client [FILE]\n"
    "The desktop client for the Tachyra eight-channel pulse counter: live counts,\n"
    "the gate period, comparator thresholds, calibration sweeps, the instrument's\n"
    "network settings and recordings of every reading.\n"
    "\n"
    "Options:\n"
    "  -h, --help  Show this help.\n"
    "  --version   Show the version.\n"
    "\n"
    "Arguments:\n"
    "  FILE        A recording (CSV) to open on the time view; no instrument is\n"
    "              needed.\n";

} // namespace

// On Windows the toolkit's entry shim builds argv from the wide command line
// and calls this function as qMain; elsewhere it is the process entry.
int main(int argc, char **argv)
{
    // Answered before the application object: no display is needed for them.
    if (argc == 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
        std::fputs(kHelp, stdout);
        return 0;
    }
    if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
        std::printf("tachyra-client %s\n", tachyra::kVersion);
        return 0;
    }
    QQuickStyle::setStyle(QStringLiteral("MyStyle"));

    QString sceneGraph = scenegraph::chooseBeforeApplication();
    QApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("Tachyra Client"));
    QCoreApplication::setOrganizationName(QStringLiteral("Tachyra"));
    QCoreApplication::setApplicationVersion(QString::fromLatin1(tachyra::kVersion));
    // The window's app id on Wayland: docks and software centres match it to the desktop entry.
    QGuiApplication::setDesktopFileName(QStringLiteral("tachyra-client"));
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
