#pragma once

#include <QByteArray>
#include <QLoggingCategory>
#include <QString>

// "tachyra.scenegraph": info logs the choice, debug what it was based on.
Q_DECLARE_LOGGING_CATEGORY(lcSceneGraph)

// Qt Quick's scene graph on OpenGL redraws the whole window for every frame;
// on a CPU rasteriser (no graphics card: virtual machines, remote desktops,
// Xvfb) that costs most of a core while the title-bar logo animates. Qt Quick's
// software renderer repaints only what changed. These pick it there, and leave
// a backend the user chose with QT_QUICK_BACKEND or QSG_RHI_BACKEND alone.
namespace scenegraph {

// True when an OpenGL renderer string names a CPU rasteriser (Mesa's llvmpipe,
// softpipe or swrast, Windows' GDI generic driver).
bool isSoftwareRasteriser(const QByteArray &glRenderer);

// Before the application object: on Linux without any kernel graphics device,
// OpenGL can only be a CPU rasteriser, so the software renderer is chosen
// without loading OpenGL (Qt 6.4 honours that choice without touching OpenGL
// only when it is made this early). Returns the decision, or an empty string
// when it is left to chooseBackend().
QString chooseBeforeApplication();

// After the application object, before the first window: on X11 and Wayland,
// reads the OpenGL renderer's name from a throw-away context and picks the
// software renderer for a CPU rasteriser or when no context can be made.
// Returns the decision, for the log.
QString chooseBackend();

} // namespace scenegraph
