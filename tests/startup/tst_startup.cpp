#include <QProcess>
#include <QtTest>

class TestStartup : public QObject
{
    Q_OBJECT
private slots:
    void missingMainDocumentExitsMinusOne()
    {
        QProcess client;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        client.setProcessEnvironment(env);
        client.start(QStringLiteral(CLIENT_WITHOUT_DOCUMENTS), {});
        QVERIFY(client.waitForStarted());
        QVERIFY2(client.waitForFinished(20000), "client kept running without its main document");
        QCOMPARE(client.exitStatus(), QProcess::NormalExit);
        QCOMPARE(client.exitCode(), 255); // -1 as seen by the parent
    }
};

QTEST_GUILESS_MAIN(TestStartup)
#include "tst_startup.moc"
