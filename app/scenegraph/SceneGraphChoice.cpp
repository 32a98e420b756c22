#include "SceneGraphChoice.h"

#include <QDir>
#include <QGuiApplication>
#include <QQuickWindow>
#include <QSGRendererInterface>
#include <QSysInfo>

#if QT_CONFIG(opengl)
#include <QOffscreenSurface>
#include <QOpenGLContext>
#include <QOpenGLFunctions>
#endif

Q_LOGGING_CATEGORY(lcSceneGraph, "tachyra.scenegraph", QtWarningMsg)

namespace scenegraph {

bool isSoftwareRasteriser(const QByteArray &glRenderer)
{
    const QByteArray r = glRenderer.toLower();
    for (const char *name : {"llvmpipe", "softpipe", "swrast", "software rasterizer", "gdi generic"}) {
        if (r.contains(name))
            return true;
    }
    return false;
}

namespace {

bool chosenByUser()
{
    return qEnvironmentVariableIsSet("QT_QUICK_BACKEND") || qEnvironmentVariableIsSet("QSG_RHI_BACKEND");
}

QString useSoftware(const QString &why)
{
    qputenv("QT_QUICK_BACKEND", "software");
    QQuickWindow::setGraphicsApi(QSGRendererInterface::Software);
    return QStringLiteral("software (") + why + u')';
}

#if QT_CONFIG(opengl)
// The renderer string of a throw-away context; empty when none can be made.
QByteArray probeGlRenderer()
{
    QOffscreenSurface surface;
    surface.create();
    QOpenGLContext context;
    if (!context.create() || !context.makeCurrent(&surface))
        return {};
    const auto *text = reinterpret_cast<const char *>(context.functions()->glGetString(GL_RENDERER));
    QByteArray renderer(text ? text : "");
    context.doneCurrent();
    return renderer;
}
#endif

} // namespace

QString chooseBeforeApplication()
{
    if (chosenByUser() || QSysInfo::kernelType() != QLatin1String("linux"))
        return {};
    const QStringList devices = QDir(QStringLiteral("/dev/dri"))
                                        .entryList({QStringLiteral("card*"), QStringLiteral("renderD*")},
                                                   QDir::System);
    if (!devices.isEmpty())
        return {};
    return useSoftware(QStringLiteral("no graphics device"));
}

QString chooseBackend()
{
    qCDebug(lcSceneGraph) << "choosing on platform" << QGuiApplication::platformName();
    if (chosenByUser())
        return QStringLiteral("as set in the environment");
    // Elsewhere (Windows: Direct3D) the default is not OpenGL, and Qt has its
    // own fallback.
    const QString platform = QGuiApplication::platformName();
    if (platform != QLatin1String("xcb") && platform != QLatin1String("wayland"))
        return QStringLiteral("default");
#if QT_CONFIG(opengl)
    const QByteArray renderer = probeGlRenderer();
    qCDebug(lcSceneGraph) << "OpenGL renderer:" << renderer;
    if (!renderer.isEmpty() && !isSoftwareRasteriser(renderer))
        return QStringLiteral("OpenGL on ") + QString::fromLatin1(renderer);
    return useSoftware(renderer.isEmpty() ? QStringLiteral("no OpenGL")
                                          : QStringLiteral("OpenGL is ") + QString::fromLatin1(renderer));
#else
    return QStringLiteral("default");
#endif
}

} // namespace scenegraph
