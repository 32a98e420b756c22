#pragma once

class QObject;
class QQmlEngine;

namespace scenesetup {

// Gives the engine the resource import path of the Theme, MyStyle and
// Tachyra modules and publishes `device`, `recorder`, `appName` and
// `appVersion` on its root context. The objects stay the caller's.
void publish(QQmlEngine &engine, QObject *device, QObject *recorder);

} // namespace scenesetup
