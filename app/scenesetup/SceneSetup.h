#pragma once

class QObject;
class QQmlEngine;
class ReadingSource;

namespace scenesetup {

// Gives the engine the resource import path of the Theme, MyStyle and
// Tachyra modules, installs the accessible values of AccessibleValues.h
// and publishes on its root context `device` (the session as the scene
// drives it), `readingSource` (what the charts follow: the session itself,
// or a test's source), `recorder` and `appVersion`. The objects
// stay the caller's.
void publish(QQmlEngine &engine, QObject *device, ReadingSource *readingSource, QObject *recorder);

} // namespace scenesetup
