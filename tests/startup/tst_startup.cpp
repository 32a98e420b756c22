#include "SceneGraphChoice.h"

#include <QProcess>
#include <QtTest>

class TestStartup : public QObject
{
    Q_OBJECT
private slots:
    // Without its main document the client ends with -1. The renderer choice runs (its debug lines
    // on, the info log off as in a normal start); a backend set in the environment defers it.
    void missingMainDocumentExitsMinusOne()
    {
        QProcess client;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        env.insert(QStringLiteral("QT_QUICK_BACKEND"), QStringLiteral("software"));
        env.insert(QStringLiteral("QT_LOGGING_RULES"), QStringLiteral("tachyra.scenegraph.debug=true"));
        client.setProcessEnvironment(env);
        client.start(QStringLiteral(CLIENT_WITHOUT_DOCUMENTS), {});
        QVERIFY2(client.waitForFinished(20000), "client kept running without its main document");
        QCOMPARE(client.exitStatus(), QProcess::NormalExit);
        QCOMPARE(client.exitCode(), 255); // -1 as seen by the parent
        const QByteArray log = client.readAllStandardError();
        QVERIFY2(log.contains("choosing on platform") && !log.contains("scene graph:"), log.constData());
    }

    // Renderer names as drivers report them: only CPU rasterisers count, LLVM in the name or not.
    void softwareRasteriserNames_data()
    {
        QTest::addColumn<QByteArray>("renderer");
        QTest::addColumn<bool>("software");
        QTest::newRow("llvmpipe") << QByteArray("llvmpipe (LLVM 15.0.6, 256 bits)") << true;
        QTest::newRow("softpipe") << QByteArray("softpipe") << true;
        QTest::newRow("swrast") << QByteArray("Mesa DRI swrast") << true;
        QTest::newRow("Mesa offscreen") << QByteArray("Software Rasterizer") << true;
        QTest::newRow("Windows without driver") << QByteArray("GDI Generic") << true;
        QTest::newRow("AMD via LLVM") << QByteArray("AMD Radeon RX 580 Series (polaris10, LLVM 15.0.6, DRM 3.49)") << false;
        QTest::newRow("VMware host 3D") << QByteArray("SVGA3D; build: RELEASE;  LLVM;") << false;
        QTest::newRow("virgl") << QByteArray("virgl (NVIDIA GeForce GTX 1080)") << false;
        QTest::newRow("empty") << QByteArray() << false;
    }
    void softwareRasteriserNames()
    {
        QFETCH(QByteArray, renderer);
        QFETCH(bool, software);
        QCOMPARE(scenegraph::isSoftwareRasteriser(renderer), software);
    }
};

QTEST_GUILESS_MAIN(TestStartup)
#include "tst_startup.moc"
