#pragma once

class QObject;
class QQmlEngine;

namespace scenesetup {

// Gives the engine the resource import path of the Theme, MyStyle and
// Tachyra modules and publishes `device`, `recorder`, `appName` and
// `appVersion` on its root context, and installs the accessible values of
// AccessibleValues.h. The objects stay the caller's.
void publish(QQmlEngine &engine, QObject *device, QObject *recorder);

} // namespace scenesetup
