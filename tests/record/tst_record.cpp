// The recorder: how a failure ends a recording (never with a half row), and
// ten seconds of the simulated instrument, every class of double included,
// read back with Python's csv module.

#include "../common/LoopbackRig.h"
#include "CountRecorder.h"
#include "ReadingRow.h"

#include <QDir>
#include <QProcess>
#include <QScopeGuard>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtTest>

#include <optional>

#ifdef Q_OS_LINUX
#include <linux/capability.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/syscall.h>
#include <unistd.h>
#endif

#ifdef Q_OS_LINUX
// Every sync the recorder asks for is counted here, then made.
static QAtomicInt s_syncs;
extern "C" int fdatasync(int fd)
{
    s_syncs.fetchAndAddRelaxed(1);
    return int(syscall(SYS_fdatasync, fd));
}
#endif

namespace {

enum Fault { MissingFolder, NoPermission, DevFull, DiskFills, FileRemoved, DiskGone };

// The data rows of a recording, or nothing if any line is not complete.
std::optional<QList<QByteArray>> completeRows(const QByteArray &text)
{
    if (!text.startsWith(readingrow::csvHeader()) || !text.endsWith('\n'))
        return std::nullopt;
    QList<QByteArray> lines = text.mid(readingrow::csvHeader().size()).split('\n');
    lines.removeLast();
    for (const QByteArray &line : std::as_const(lines)) {
        if (line.count(',') != 19)
            return std::nullopt;
    }
    return lines;
}

#ifdef Q_OS_LINUX
// Root passes every file mode; this thread gives that up for the scope.
struct NoDacOverride {
    NoDacOverride()
    {
        syscall(SYS_capget, &header, caps);
        saved = caps[0].effective;
        caps[0].effective &= ~((1U << CAP_DAC_OVERRIDE) | (1U << CAP_DAC_READ_SEARCH));
        syscall(SYS_capset, &header, caps);
    }
    ~NoDacOverride()
    {
        caps[0].effective = saved;
        syscall(SYS_capset, &header, caps);
    }
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct caps[2] = {};
    quint32 saved = 0;
};

// A tmpfs of `kib` KiB over `dir`, in a mount namespace of this thread's own
// (so nothing shows outside the test). Needs root.
bool mountTinyDisk(const QString &dir, int kib)
{
    static const bool ownNamespace = geteuid() == 0 && unshare(CLONE_NEWNS) == 0
        && mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0;
    const QByteArray options = "size=" + QByteArray::number(kib) + "k";
    return ownNamespace && mount("tmpfs", QFile::encodeName(dir).constData(), "tmpfs", 0, options.constData()) == 0;
}
#endif

} // namespace

class TestRecord : public QObject
{
    Q_OBJECT
private slots:
    void failureStopsWithCompleteRows_data()
    {
        QTest::addColumn<int>("fault");
        QTest::addColumn<QString>("reason");
        QTest::newRow("folder missing") << int(MissingFolder) << QStringLiteral("No such file or directory");
        QTest::newRow("permission denied") << int(NoPermission) << QStringLiteral("Permission denied");
        QTest::newRow("/dev/full") << int(DevFull) << QStringLiteral("No space left on device");
        QTest::newRow("disk fills up") << int(DiskFills) << QStringLiteral("No space left on device");
        QTest::newRow("file removed") << int(FileRemoved) << QStringLiteral("was removed");
        QTest::newRow("disk gone") << int(DiskGone) << QStringLiteral("was removed or its disk is gone");
    }
    void failureStopsWithCompleteRows()
    {
#ifndef Q_OS_LINUX
        QSKIP("Linux file systems only");
#else
        QFETCH(int, fault);
        QFETCH(QString, reason);
        QTemporaryDir tmp;
        QString path = tmp.filePath(QStringLiteral("counts.csv"));
        const auto cleanUp = qScopeGuard([&tmp, fault] {
            QFile::setPermissions(tmp.path(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
            if (fault == DiskFills)
                umount2(QFile::encodeName(tmp.path()).constData(), MNT_DETACH);
        });
        std::optional<NoDacOverride> noOverride;
        if (fault == MissingFolder)
            path = tmp.filePath(QStringLiteral("gone/counts.csv"));
        if (fault == NoPermission) {
            QFile::setPermissions(tmp.path(), QFile::ReadOwner | QFile::ExeOwner);
            noOverride.emplace();
        }
        if (fault == DevFull)
            path = QStringLiteral("/dev/full");
        if ((fault == DiskFills || fault == DiskGone) && !mountTinyDisk(tmp.path(), 8))
            QSKIP("a tmpfs of its own needs root");

        DeviceSession session;
        isolate(session);
        CountRecorder recorder(&session);
        const bool opens = fault >= DiskFills;
        QCOMPARE(recorder.start(QUrl::fromLocalFile(path)), opens);
        noOverride.reset();
        QFile reader(path); // still reads the file once its name or disk is gone
        QVERIFY(!opens || reader.open(QIODevice::ReadOnly));
        Reading reading;
        reading.counts.fill(1.0 / 3);
        for (int i = 0; i < 5000 && recorder.recording(); ++i) {
            if (i == 5 && fault == FileRemoved)
                QVERIFY(QFile::remove(path));
            if (i == 5 && fault == DiskGone)
                QCOMPARE(umount2(QFile::encodeName(tmp.path()).constData(), MNT_DETACH), 0);
            emit session.readingTaken(reading);
        }
        QVERIFY(!recorder.recording() && recorder.failed());
        QVERIFY2(recorder.message().contains(path) && recorder.message().contains(reason), qPrintable(recorder.message()));
        if (opens) {
            const auto rows = completeRows(reader.readAll());
            QVERIFY(rows && rows->size() == recorder.rowCount());
            QVERIFY(recorder.rowCount() >= (fault == DiskFills ? 10 : 5));
        }
#endif
    }

    // Ten seconds at the 50 ms gate, a short sweep in the middle, then the
    // link closes: the file holds exactly the readings the session published,
    // each on disk (synced) as it came, with levels to the microvolt and
    // elapsed seconds; the row count follows every row.
    void tenSecondsOfTheInstrument()
    {
        const QString address = QStringLiteral("127.0.0.215");
        SimInstrument sim;
        sim.setPeriodMs(50);
        // Levels whose mV in binary64 are not the round numbers: 127.40000000000002.
        sim.setThresholds({0.1274, 0.0071, 0.2229, 0.0583, 0.1, 0.2, 0.3, 1.0});
        sim.setCountRotation(SimInstrument::extremeCountRows());
        QVERIFY(sim.listenTcp(QHostAddress(address), DeviceSession::kTcpPort));
        DeviceSession session;
        isolate(session);
        CountRecorder recorder(&session);
        QStringList published;
        connect(&session, &DeviceSession::readingTaken, this, [&](const Reading &r) {
            if (!recorder.recording())
                return;
            QString line = QLatin1String(r.sweep ? "1" : "0");
            for (double v : r.counts)
                line += ' ' + QString::fromLatin1(QByteArray(reinterpret_cast<const char *>(&v), sizeof v).toHex());
            published.append(line);
        });
        connect(&session, &DeviceSession::calibrationSucceeded, &session, &DeviceSession::stopCalibration,
                Qt::QueuedConnection);
        session.setTcpHost(address);
        session.connectToDevice(true);
        QTRY_VERIFY_WITH_TIMEOUT(session.connected() && session.dacLevelsKnown() && session.periodMs() == 50, 5000);

        QTemporaryDir tmp;
        const QString path = tmp.filePath(QStringLiteral("counts.csv"));
        QSignalSpy rowsChanged(&recorder, &CountRecorder::rowCountChanged);
        const int syncsBefore = s_syncs.loadRelaxed();
        QVERIFY(recorder.start(QUrl::fromLocalFile(path)));
        QTest::qWait(5000);
        session.startCalibration(2, 0, 200, 100);
        QTest::qWait(5000);
        sim.closeConnections();
        QTRY_VERIFY_WITH_TIMEOUT(!recorder.recording(), 3000);
        QCOMPARE(recorder.message(), QStringLiteral("Recording ended with the link: %1 (%2 rows)")
                                         .arg(QDir::toNativeSeparators(path)).arg(published.size()));
        QVERIFY2(!recorder.failed() && published.size() >= 100, qPrintable(QString::number(published.size())));
        QCOMPARE(rowsChanged.size(), published.size());
#ifdef Q_OS_LINUX
        QCOMPARE(s_syncs.loadRelaxed() - syncsBefore, published.size() + 1); // the header and every row
#endif
        QVERIFY(published.filter(QRegularExpression(QStringLiteral("^1 "))).size() >= 3);

        QFile expected(tmp.filePath(QStringLiteral("published.txt")));
        QVERIFY(expected.open(QIODevice::WriteOnly) && expected.write(published.join('\n').toLatin1() + '\n') > 0);
        expected.close();
        QProcess python;
        python.setProcessChannelMode(QProcess::MergedChannels);
        python.start(QStringLiteral("python3"), {QStringLiteral(CHECK_RECORDING_PY), path, expected.fileName(),
                                                 QStringLiteral("127.4,7.1,222.9,58.3,100,200,300,1000")});
        QVERIFY(python.waitForFinished(30000));
        QVERIFY2(python.exitCode() == 0, python.readAll().constData());
    }
};

QTEST_GUILESS_MAIN(TestRecord)
#include "tst_record.moc"
