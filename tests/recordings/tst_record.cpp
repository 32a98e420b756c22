// The recorder against a slow or failing disk and the simulated instrument.

#include "../common/LoopbackRig.h"
#include "CountRecorder.h"
#include "ReadingRow.h"
#include "ReadingSource.h"
#include "RecordingParser.h"

#include <QtTest>

#include <atomic>
#include <optional>

#ifdef Q_OS_LINUX
#include <sched.h>
#include <sys/mount.h>
#include <unistd.h>
#endif

namespace {

enum Fault { MissingFolder, DevFull, DiskFills, FileRemoved, SyncFails };
enum Ending { Running, Overflow, Stop, LinkClosed, Quit, QuitHung };

// A disk whose syncs of rows wait until released (the header's goes through).
struct HeldSync {
    QSemaphore gate;
    std::atomic<int> calls{0};
    int sync(int) { return ++calls == 1 || gate.tryAcquire(1, 20000) ? 0 : EIO; }
    void release() { gate.release(1 << 20); } // every sync from now on
};

// A row without its elapsed seconds (which count from the file's own start).
QByteArray withoutElapsed(QByteArray row)
{
    QList<QByteArray> cells = row.trimmed().split(',');
    cells.removeAt(1);
    return cells.join(',');
}

// The data rows of a recording, or nothing if any line is not complete.
std::optional<QList<QByteArray>> completeRows(const QByteArray &text)
{
    if (!text.startsWith(readingrow::csvHeader()) || !text.endsWith('\n'))
        return std::nullopt;
    QList<QByteArray> lines = text.mid(readingrow::csvHeader().size()).split('\n');
    lines.removeLast();
    const bool whole = std::all_of(lines.cbegin(), lines.cend(), [](const QByteArray &l) { return l.count(',') == 19; });
    return whole ? std::optional(lines) : std::nullopt;
}

#ifdef Q_OS_LINUX
// A tmpfs of `kib` KiB over `dir` in this thread's own mount namespace (needs root).
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
    // The first row's sync held while 299 more readings arrive: none lost, all in the next sync, in order;
    // a full queue (the row being written counted) stops it; stop, the link's end and quitting write the queue.
    void slowDisk_data()
    {
        QTest::addColumn<int>("ending");
        QTest::addColumn<int>("capacity");
        QTest::addColumn<int>("rows"); // in the file at the end (a hung disk's synced none)
        QTest::addColumn<QString>("message");
        const QString saved = QStringLiteral("Recording saved: %1 \\(300 rows\\)");
        QTest::newRow("group commit") << int(Running) << 1000 << 300 << saved;
        QTest::newRow("queue full") << int(Overflow) << 100 << 100
                                    << QStringLiteral("Recording stopped: %1: the disk fell 1\\d\\.\\d s behind, 100 rows waiting for it");
        QTest::newRow("stop") << int(Stop) << 300 << 300 << saved;
        QTest::newRow("link closed") << int(LinkClosed) << 300 << 300
                                     << QStringLiteral("Recording ended with the link: %1 \\(300 rows\\)");
        QTest::newRow("quit") << int(Quit) << 300 << 300 << saved;
        QTest::newRow("quit, disk hung") << int(QuitHung) << 300 << 1
                                         << QStringLiteral("Recording stopped: %1: 300 rows not written, the "
                                                           "disk did not finish within 0.3 s");
    }
    void slowDisk()
    {
        QFETCH(int, ending);
        QFETCH(int, capacity);
        QFETCH(int, rows);
        QFETCH(QString, message);
        QTemporaryDir tmp;
        const QString path = QDir::toNativeSeparators(tmp.filePath(QStringLiteral("counts.csv")));
        ReadingSource source;
        CountRecorder recorder(&source);
        const auto disk = std::make_shared<HeldSync>();
        const auto letGo = qScopeGuard([disk] { disk->release(); });
        recorder.setQueueCapacity(capacity);
        recorder.setSyncFunction([disk](int fd) { return disk->sync(fd); });
        QSignalSpy counted(&recorder, &CountRecorder::rowCountChanged);
        QVERIFY(recorder.start(QUrl::fromLocalFile(path)));

        QList<QByteArray> taken;
        const qint64 now = Reading::steadyNowNs();
        for (int i = 0; i < 300; ++i) {
            Reading r;
            r.counts.fill(i);
            r.periodMs = 50;
            r.utcMs = QDateTime::currentMSecsSinceEpoch();
            r.monotonicNs = now - (300 - i) * 50'000'000LL; // the oldest 15 s ago
            emit source.readingTaken(r);
            if (recorder.recording())
                taken.append(withoutElapsed(readingrow::csvRow(r, 0)));
            if (i == 0)
                QTRY_COMPARE(disk->calls.load(), 2); // the first row's, held
        }
        QCOMPARE(taken.size(), ending == Overflow ? capacity : 300);
        QCOMPARE(recorder.rowCount(), 0);
        if (ending == Running) // the oldest row 15 s old when the last came
            QVERIFY(recorder.rowsWaiting() == 300 && recorder.lagMs() >= 15000
                    && recorder.lagMs() <= 15000 + (Reading::steadyNowNs() - now) / 1000000);
        QStringList said;
        // Quitting says it waits, and the disk answers meanwhile.
        const auto say = [&said, &disk, ending](const QString &text) {
            said.append(text);
            if (ending == Quit)
                disk->release();
        };
        if (ending == Stop)
            recorder.stop();
        if (ending == LinkClosed)
            emit source.linkClosed(Outcome(DeviceError::LinkLost));
        if (ending == Stop || ending == LinkClosed)
            QCOMPARE(recorder.message(), QStringLiteral("Writing the last 300 rows to %1").arg(path));
        if (ending == Quit || ending == QuitHung) {
            const int ms = ending == Quit ? 10000 : 300;
            QCOMPARE(recorder.closeBeforeExit(ms, say), ending == Quit);
            QCOMPARE(said, QStringList({QStringLiteral("Writing the last 300 rows to disk before quitting (up to %1 s)")
                                            .arg(ms / 1000.0),
                                        ending == Quit ? QStringLiteral("Recording saved: %1 (300 rows)").arg(path)
                                                       : recorder.message()}));
        }
        QCOMPARE(recorder.recording(), ending == Running);
        disk->release();
        QTRY_COMPARE(recorder.rowCount(), ending == QuitHung ? 0 : rows);
        QCOMPARE(counted.isEmpty(), ending == QuitHung);
        if (ending == Running) {
            QCOMPARE(disk->calls.load(), 3);
            QVERIFY(recorder.recording() && recorder.rowsWaiting() == 0 && recorder.lagMs() == 0);
            recorder.stop();
        }
        const QRegularExpression want(QLatin1Char('^') + message.arg(QRegularExpression::escape(path)) + QLatin1Char('$'));
        QTRY_VERIFY2(want.match(recorder.message()).hasMatch(), qPrintable(recorder.message()));
        QCOMPARE(recorder.failed(), ending == Overflow || ending == QuitHung);
        QFile file(path);
        QVERIFY(file.open(QIODevice::ReadOnly));
        auto written = completeRows(file.readAll());
        QVERIFY(written);
        for (QByteArray &row : *written)
            row = withoutElapsed(row);
        QCOMPARE(*written, taken.first(rows));
    }

    void failureStopsWithCompleteRows_data()
    {
        QTest::addColumn<int>("fault");
        QTest::addColumn<QString>("reason");
        QTest::newRow("folder missing") << int(MissingFolder) << QStringLiteral("No such file or directory");
        QTest::newRow("/dev/full") << int(DevFull) << QStringLiteral("No space left on device");
        QTest::newRow("disk fills up") << int(DiskFills) << QStringLiteral("No space left on device");
        QTest::newRow("file removed") << int(FileRemoved) << QStringLiteral("was removed or its disk is gone");
        QTest::newRow("sync fails") << int(SyncFails) << QStringLiteral(": Input/output error");
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
            if (fault == DiskFills)
                umount2(QFile::encodeName(tmp.path()).constData(), MNT_DETACH);
        });
        if (fault == MissingFolder)
            path = tmp.filePath(QStringLiteral("gone/counts.csv"));
        if (fault == DevFull)
            path = QStringLiteral("/dev/full");
        if (fault == DiskFills && !mountTinyDisk(tmp.path(), 8))
            QSKIP("a tmpfs of its own needs root");

        ReadingSource source;
        CountRecorder recorder(&source);
        std::atomic<bool> syncFails{false};
        recorder.setSyncFunction([&syncFails](int fd) { return syncFails ? EIO : RowWriter::systemSync(fd); });
        const bool opens = fault >= DiskFills;
        QCOMPARE(recorder.start(QUrl::fromLocalFile(path)), opens);
        QFile reader(path); // still reads the file once its name is gone
        QVERIFY(!opens || reader.open(QIODevice::ReadOnly));
        Reading reading;
        reading.counts.fill(1.0 / 3);
        for (int i = 0; i < 5000 && recorder.recording(); ++i) {
            if (i == 5) {
                QTRY_COMPARE(recorder.rowCount(), 5); // on disk before the fault
                if (fault == FileRemoved)
                    QVERIFY(QFile::remove(path));
                syncFails = fault == SyncFails;
            }
            emit source.readingTaken(reading);
        }
        QTRY_VERIFY(!recorder.recording() && recorder.failed());
        QVERIFY2(recorder.message().contains(path) && recorder.message().contains(reason), qPrintable(recorder.message()));
        if (opens) {
            const auto rows = completeRows(reader.readAll());
            QVERIFY(rows && rows->size() == recorder.rowCount());
            QVERIFY(recorder.rowCount() >= (fault == DiskFills ? 10 : 5));
        }
#endif
    }

    // A few seconds at the 50 ms gate, a short sweep, then the link closes: the file holds exactly the readings
    // the session published, bit for bit, elapsed seconds in step with the clock, in plain unquoted fields.
    void theInstrumentsReadings()
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
        QList<Reading> taken;
        connect(&session, &DeviceSession::readingTaken, this, [&](const Reading &r) {
            if (recorder.recording())
                taken.append(r);
        });
        connect(&session, &DeviceSession::calibrationSucceeded, &session, &DeviceSession::stopCalibration,
                Qt::QueuedConnection);
        QSignalSpy sweepEnded(&session, &DeviceSession::calibrationFinished);
        session.setTcpHost(address);
        session.connectToDevice(true);
        QTRY_VERIFY_WITH_TIMEOUT(session.connected() && session.dacLevelsKnown() && session.periodMs() == 50, 5000);

        QTemporaryDir tmp;
        const QString path = tmp.filePath(QStringLiteral("counts.csv"));
        QVERIFY(recorder.start(QUrl::fromLocalFile(path)));
        QTRY_VERIFY_WITH_TIMEOUT(recorder.rowCount() > 50, 10000);
        session.startCalibration(2, 0, 200, 100);
        QTRY_VERIFY_WITH_TIMEOUT(!sweepEnded.isEmpty() && taken.size() >= 100, 10000);
        sim.closeConnections();
        QTRY_COMPARE_WITH_TIMEOUT(recorder.message(), QStringLiteral("Recording ended with the link: %1 (%2 rows)")
                                                          .arg(QDir::toNativeSeparators(path)).arg(taken.size()), 3000);
        QVERIFY(!recorder.failed());
        QCOMPARE(recorder.rowCount(), taken.size());
        QVERIFY(std::count_if(taken.begin(), taken.end(), [](const Reading &r) { return r.sweep; }) >= 3);
        QFile file(path);
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QByteArray text = file.readAll();
        // Times to the ms in UTC, levels to the µV, no quotes: as a spreadsheet or Python's csv reads them.
        const QRegularExpression plain(QStringLiteral(R"(^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z(,[^,\x22]+){10})"
                                                      R"((,\d+(\.\d{1,3})?){8},[01]$)"));
        for (const QByteArray &line : text.trimmed().split('\n').mid(1))
            QVERIFY2(plain.match(QString::fromLatin1(line)).hasMatch(), line.constData());
        // Read back: the readings as taken (any NaN a NaN), elapsed to the ms as the clock ran.
        RecordingParser parser;
        QList<Reading> back;
        parser.feed(text.constData(), text.size(), &back);
        parser.finish(&back);
        QVERIFY(parser.problems().isEmpty());
        QCOMPARE(back.size(), taken.size());
        const qint64 firstNs = back.constFirst().monotonicNs;
        for (qsizetype i = 0; i < back.size(); ++i) {
            Reading want = taken.at(i);
            for (double &v : want.counts)
                v = std::isnan(v) ? qQNaN() : v;
            const Reading &last = taken.at(std::max<qsizetype>(i - 1, 0));
            const qint64 sinceFirst = want.monotonicNs - taken.constFirst().monotonicNs;
            const qint64 offClock = (want.monotonicNs - last.monotonicNs) / 1000000 - (want.utcMs - last.utcMs);
            QVERIFY2(std::abs(back.at(i).monotonicNs - firstNs - sinceFirst) <= 1000000
                         && std::abs(offClock) <= 3, qPrintable(QString::number(i)));
            back[i].monotonicNs = want.monotonicNs;
            QVERIFY2(back.at(i) == want, qPrintable(QString::fromLatin1(readingrow::csvRow(back.at(i), 0) + readingrow::csvRow(want, 0))));
        }
    }
};

QTEST_GUILESS_MAIN(TestRecord)
#include "tst_record.moc"
