// Quick Test runner of the scene (and scripts/gallery's) with stand-ins for `device` and `recorder`; one
// that drifts from the real object's face ends the run, not as a silently dead binding.

#include "../common/TestReadingSource.h"
#include "CountRecorder.h"
#include "DeviceSession.h"
#include "ReadingRow.h"
#include "SceneSetup.h"

#include <QApplication>
#include <QFile>
#include <QMetaMethod>
#include <QQmlComponent>
#include <QQmlContext>
#include <QQmlEngine>
#include <QQuickStyle>
#include <QTemporaryDir>
#include <QtQuickTest>

// What a document sees: "property name" its type, "method/signal name" its most arguments
// (notify signals and signals of C++ values left out).
static QMap<QString, QString> faceOf(const QMetaObject *meta)
{
    QMap<QString, QString> out;
    const QMetaObject &base = QObject::staticMetaObject;
    for (int i = base.propertyCount(); i < meta->propertyCount(); ++i)
        out[QStringLiteral("property ") + QLatin1String(meta->property(i).name())] = QLatin1String(meta->property(i).typeName());
    for (int i = base.methodCount(); i < meta->methodCount(); ++i) {
        const QMetaMethod m = meta->method(i);
        const bool isSignal = m.methodType() == QMetaMethod::Signal;
        bool cppTypes = false;
        for (int t = 0; t < m.parameterCount(); ++t)
            cppTypes = cppTypes || m.parameterMetaType(t).id() >= QMetaType::User;
        if (m.access() != QMetaMethod::Public || (isSignal && (m.name().endsWith("Changed") || cppTypes)))
            continue;
        QString &arity = out[QLatin1String(isSignal ? "signal " : "method ") + QLatin1String(m.name())];
        arity = QString::number(std::max(arity.toInt(), m.parameterCount()));
    }
    return out;
}

// Where a stand-in's face differs from the real one's, the tests' own helpers aside.
static QStringList drift(const QMetaObject &real, const QObject *fake, const QStringList &helpers)
{
    static const QHash<QString, QStringList> stand{
        {QStringLiteral("QVariantList"), {QStringLiteral("QVariant"), QStringLiteral("QJSValue")}},
        {QStringLiteral("qlonglong"), {QStringLiteral("double"), QStringLiteral("int")}},
        {QStringLiteral("qint64"), {QStringLiteral("double"), QStringLiteral("int")}}};
    QMap<QString, QString> have = faceOf(fake->metaObject());
    QStringList out;
    const QMap<QString, QString> want = faceOf(&real);
    for (auto it = want.cbegin(); it != want.cend(); ++it) {
        const QString f = have.take(it.key());
        if (f != it.value() && !stand.value(it.value()).contains(f))
            out.append(QStringLiteral("%1 is '%2', not %3").arg(it.key(), f, it.value()));
    }
    for (auto it = have.cbegin(); it != have.cend(); ++it) {
        if (!helpers.contains(it.key().section(QLatin1Char(' '), 1)))
            out.append(it.key() + QStringLiteral(" is not the real object's"));
    }
    return out;
}

class Setup : public QObject
{
    Q_OBJECT

public slots:
    void qmlEngineAvailable(QQmlEngine *engine)
    {
        QObject *fakes[2] = {};
        const char *files[2] = {"/FakeDevice.qml", "/FakeRecorder.qml"};
        for (int i = 0; i < 2; ++i) {
            QQmlComponent fake(engine, QUrl::fromLocalFile(QLatin1String(QUICK_TEST_SOURCE_DIR) + QLatin1String(files[i])));
            fakes[i] = fake.create();
            if (!fakes[i])
                qFatal("%s: %s", files[i], qPrintable(fake.errorString()));
            fakes[i]->setParent(engine);
        }
        const QStringList drifted =
            drift(DeviceSession::staticMetaObject, fakes[0], {"calls", "zeros", "log", "reset"})
            + drift(CountRecorder::staticMetaObject, fakes[1], {"calls", "reset"});
        if (!drifted.isEmpty())
            qFatal("stand-ins: %s", qPrintable(drifted.join(QStringLiteral("; "))));
        scenesetup::publish(*engine, fakes[0], &m_readings, fakes[1]);
        engine->rootContext()->setContextProperty(QStringLiteral("scratchDir"), QUrl::fromLocalFile(m_scratch.path()));
        engine->rootContext()->setContextProperty(QStringLiteral("galleryPath"),
                                                  qEnvironmentVariable("TACHYRA_GALLERY_PNG", QStringLiteral("gallery.png")));
        writeRecording(m_scratch.filePath(QStringLiteral("recording.csv")));
        QFile sweep(m_scratch.filePath(QStringLiteral("not-a-recording.csv")));
        if (!sweep.open(QIODevice::WriteOnly) || sweep.write(readingrow::sweepCsvHeader() + "0,100,7,2026-12-07T10:00:00.000Z\n") < 0)
            qFatal("cannot write the sweep");
    }

    // A recording to open: four good rows, a count that does not parse on line 4, a last line cut short.
    static void writeRecording(const QString &path)
    {
        QByteArray text = readingrow::csvHeader();
        Reading r;
        r.periodMs = 100;
        for (int i = 0; i < 5; ++i) {
            r.utcMs = 1796637600000 + i * 100;
            r.counts.fill(10.0 * (i + 1));
            QByteArray row = readingrow::csvRow(r, double(i) / 10);
            if (i == 2)
                row.replace(",30,", ",3x0,");
            text += row;
        }
        text += "2026-12-07T10:00:01.000Z,1.0,100,1";
        QFile file(path);
        if (!file.open(QIODevice::WriteOnly) || file.write(text) != text.size())
            qFatal("cannot write %s", qPrintable(path));
    }

private:
    QTemporaryDir m_scratch;
    TestReadingSource m_readings;
};

int main(int argc, char **argv)
{
    // The save dialogs propose the documents folder: a home of the run's own.
    QTemporaryDir home;
    qputenv("HOME", QFile::encodeName(home.path()));
    qunsetenv("XDG_CONFIG_HOME");
    QQuickStyle::setStyle(QStringLiteral("MyStyle"));
    // The export tests read their files back through XMLHttpRequest.
    qputenv("QML_XHR_ALLOW_FILE_READ", "1");
    QApplication app(argc, argv);
    Setup setup;
    return quick_test_main_with_setup(argc, argv, "tst_scene", QUICK_TEST_SOURCE_DIR, &setup);
}

#include "tst_scene.moc"
