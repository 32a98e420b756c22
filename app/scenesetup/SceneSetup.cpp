#include "SceneSetup.h"

#include "AccessibleValues.h"
#include "ReadingSource.h"
#include "Version.h"

#include <QQmlContext>
#include <QQmlEngine>
#include <QString>

namespace scenesetup {

void publish(QQmlEngine &engine, QObject *device, ReadingSource *readingSource, QObject *recorder)
{
    engine.addImportPath(QStringLiteral("qrc:/qt/qml"));
    installAccessibleValues();
    QQmlContext *context = engine.rootContext();
    context->setContextProperty(QStringLiteral("device"), device);
    context->setContextProperty(QStringLiteral("readingSource"), readingSource);
    context->setContextProperty(QStringLiteral("recorder"), recorder);
    context->setContextProperty(QStringLiteral("appVersion"), QString::fromLatin1(tachyra::kVersion));
}

} // namespace scenesetup
