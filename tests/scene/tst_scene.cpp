// Quick Test runner for the scene, the Theme, the MyStyle controls and the
// shared pieces: a widgets application (Qt Charts needs one), the MyStyle
// style chosen before it exists, stand-ins for `device` and `recorder`, a
// test source of readings for the charts, a scratch folder for exported
// files and a home folder of the run's own. scripts/gallery renders its
// gallery through it (`galleryPath`).

#include "../common/TestReadingSource.h"
#include "ReadingRow.h"
#include "SceneSetup.h"

#include <QApplication>
#include <QFile>
#include <QQmlComponent>
#include <QQmlContext>
#include <QQmlEngine>
#include <QQuickStyle>
#include <QTemporaryDir>
#include <QtQuickTest>

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
        scenesetup::publish(*engine, fakes[0], &m_readings, fakes[1]);
        // Where the export tests save their files.
        engine->rootContext()->setContextProperty(QStringLiteral("scratchDir"), QUrl::fromLocalFile(m_scratch.path()));
        engine->rootContext()->setContextProperty(QStringLiteral("galleryPath"),
                                                  qEnvironmentVariable("TACHYRA_GALLERY_PNG", QStringLiteral("gallery.png")));
        writeRecording(m_scratch.filePath(QStringLiteral("recording.csv")));
        QFile sweep(m_scratch.filePath(QStringLiteral("not-a-recording.csv")));
        if (!sweep.open(QIODevice::WriteOnly) || sweep.write(readingrow::sweepCsvHeader() + "0,100,7,2026-12-07T10:00:00.000Z\n") < 0)
            qFatal("cannot write the sweep");
    }

    // A recording to open: four good rows, a count that does not parse on
    // line 4, and a last line cut short.
    static void writeRecording(const QString &path)
    {
        QByteArray text = readingrow::csvHeader();
        Reading r;
        r.periodMs = 100;
        for (int i = 0; i < 5; ++i) {
            r.utcMs = 1796637600000 + i * 100;
            r.monotonicNs = qint64(i) * 100000000;
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
    // The save dialogs propose files in the documents folder: a home of the
    // run's own, never the user's.
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
