// The loader: a big recording arrives in order in batches with progress,
// Cancel stops it at once (also from a batch handler, also by opening
// another file), files it cannot read end with a reason, a slow receiver
// holds the reading back, and a line of a gigabyte costs no memory.

#include "RecordingFiles.h"
#include "RecordingLoader.h"

#include <QSignalSpy>
#include <QTemporaryDir>
#include <QThread>
#include <QtTest>

#include <functional>

#include <sys/stat.h>

namespace {

constexpr qint64 kBigRows = 400000;

bool writeFile(const QString &path, const std::function<bool(QFile &)> &write)
{
    QFile f(path);
    return f.open(QIODevice::WriteOnly | QIODevice::Truncate) && write(f) && f.flush();
}

// What one open delivered, checked as it arrives.
struct Received {
    explicit Received(RecordingLoader &loader, bool keep = true)
    {
        QObject::connect(&loader, &RecordingLoader::readingsRead, [this, &loader, keep](const RecordingBatch &b) {
            QCOMPARE(b.firstRow, rows - rowsBefore);
            QVERIFY(loader.progress() >= lastProgress);
            lastProgress = loader.progress();
            rows += b.readings.size();
            ++batches;
            if (loader.progress() < 1.0)
                ++partial;
            if (keep)
                readings += b.readings;
            if (onBatch)
                onBatch();
        });
        QObject::connect(&loader, &RecordingLoader::finished, [this](const RecordingSummary &s) {
            summaries << s;
            rowsBefore = rows; // the next open counts from 0
            lastProgress = 0;
        });
    }
    qint64 rows = 0;
    qint64 rowsBefore = 0;
    int batches = 0;
    int partial = 0; // batches shown before the whole file was read
    double lastProgress = 0;
    QList<Reading> readings;
    QList<RecordingSummary> summaries;
    std::function<void()> onBatch;
};

// ASan holds freed memory in quarantine: resident memory says nothing there.
#if defined(__SANITIZE_ADDRESS__)
constexpr bool kMemoryMeasurable = false;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr bool kMemoryMeasurable = false;
#else
constexpr bool kMemoryMeasurable = true;
#endif
#else
constexpr bool kMemoryMeasurable = true;
#endif

bool readingThreadsEnded(const RecordingLoader &loader)
{
    return loader.findChildren<QThread *>().isEmpty();
}

} // namespace

class TestRecordingLoader : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase()
    {
        QVERIFY(m_dir.isValid());
        m_big = m_dir.filePath(QStringLiteral("big.csv"));
        QVERIFY(writeFile(m_big, [](QFile &f) {
            QByteArray block = readingrow::csvHeader();
            for (qint64 i = 0; i < kBigRows; ++i) {
                block += csvLine(sampleReading(i));
                if (block.size() > (1 << 20) && f.write(std::exchange(block, QByteArray())) < 0)
                    return false;
            }
            return f.write(block) == block.size();
        }));
    }

    void bigFileArrivesInOrder()
    {
        RecordingLoader loader;
        Received got(loader);
        QSignalSpy progress(&loader, &RecordingLoader::progressChanged);
        loader.open(QUrl::fromLocalFile(m_big));
        QVERIFY(loader.loading());
        QVERIFY(got.summaries.isEmpty()); // never within open()
        QTRY_COMPARE_WITH_TIMEOUT(got.summaries.size(), 1, 60000);
        QVERIFY(!loader.loading());
        const RecordingSummary s = got.summaries.constFirst();
        QCOMPARE(s.rows, kBigRows);
        QVERIFY(s.problems.isEmpty());
        QVERIFY(!s.cancelled && !s.rejected && s.error.isEmpty());
        QCOMPARE(s.bytesRead, QFileInfo(m_big).size());
        QCOMPARE(s.fileSize, s.bytesRead);
        QCOMPARE(loader.progress(), 1.0);
        QCOMPARE(loader.summaryText(), QStringLiteral("Rows read: 400,000."));
        QVERIFY2(got.partial >= 3, "the rows come in batches while the file is read");
        QVERIFY(progress.size() >= got.batches);
        QCOMPARE(got.readings.size(), kBigRows);
        for (qint64 i = 0; i < kBigRows; ++i) {
            if (got.readings.at(i) != sampleReading(i))
                QFAIL(qPrintable(QStringLiteral("row %1 differs").arg(i)));
        }
    }

    // Cancel: `finished` (cancelled) before cancel() returns, not one batch
    // after it, and the reading thread gone.
    void cancelStopsAtOnce_data()
    {
        QTest::addColumn<bool>("fromHandler");
        QTest::newRow("between batches") << false;
        QTest::newRow("from a batch handler") << true;
    }
    void cancelStopsAtOnce()
    {
        QFETCH(bool, fromHandler);
        RecordingLoader loader;
        Received got(loader, false);
        bool cancelled = false;
        int batchesAfter = 0;
        got.onBatch = [&] {
            if (cancelled)
                ++batchesAfter;
            if (fromHandler && !cancelled) {
                cancelled = true;
                loader.cancel();
                QCOMPARE(got.summaries.size(), 1);
            }
        };
        loader.openFile(m_big);
        QTRY_VERIFY(got.batches > 0);
        if (!fromHandler) {
            cancelled = true;
            loader.cancel();
        }
        QCOMPARE(got.summaries.size(), 1);
        QVERIFY(got.summaries.constFirst().cancelled);
        QCOMPARE(got.summaries.constFirst().rows, got.rows);
        QVERIFY(got.rows < kBigRows);
        QVERIFY(!loader.loading());
        QVERIFY(loader.summaryText().endsWith(QLatin1String("Cancelled.")));
        QTRY_VERIFY(readingThreadsEnded(loader));
        QTest::qWait(100);
        QCOMPARE(batchesAfter, 0);
        QCOMPARE(got.summaries.size(), 1);
        loader.cancel(); // nothing under way: no second `finished`
        QCOMPARE(got.summaries.size(), 1);
    }

    void openingAnotherFileReplacesTheFirst()
    {
        const QString small = m_dir.filePath(QStringLiteral("small.csv"));
        QVERIFY(writeFile(small, [](QFile &f) { return f.write(sampleRecording(5)) > 0; }));
        RecordingLoader loader;
        Received got(loader);
        loader.openFile(m_big);
        QTRY_VERIFY(got.batches > 0);
        const qint64 fromBig = got.rows;
        loader.openFile(small);
        QCOMPARE(got.summaries.size(), 1);
        QVERIFY(got.summaries.at(0).cancelled);
        QCOMPARE(loader.filePath(), small);
        QTRY_COMPARE(got.summaries.size(), 2);
        const RecordingSummary s = got.summaries.at(1);
        QVERIFY(!s.cancelled);
        QCOMPARE(s.filePath, small);
        QCOMPARE(s.rows, 5);
        QCOMPARE(got.readings.size(), fromBig + 5);
        QCOMPARE(got.readings.mid(fromBig), got.readings.mid(0, 5)); // rows 0..4 of the same series
        QTRY_VERIFY(readingThreadsEnded(loader));
    }

    // Nothing to read: `finished` with the reason, no hang on a FIFO or a device.
    void filesThatCannotBeRead_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("text");
        QTest::newRow("missing") << "missing.csv" << "Cannot open %1: no such file.";
        QTest::newRow("folder") << "." << "Cannot open %1: not a regular file.";
        QTest::newRow("FIFO") << "fifo" << "Cannot open %1: not a regular file.";
        QTest::newRow("/dev/zero") << "/dev/zero" << "Cannot open %1: not a regular file.";
        QTest::newRow("0 bytes") << "empty.csv" << "Line 1: not a recording: the file is empty.";
    }
    void filesThatCannotBeRead()
    {
        QFETCH(QString, name);
        QFETCH(QString, text);
        const QString path = name.startsWith('/') ? name : m_dir.filePath(name);
        if (name == QLatin1String("fifo"))
            QVERIFY(::mkfifo(QFile::encodeName(path).constData(), 0600) == 0 || QFileInfo::exists(path));
        if (name == QLatin1String("empty.csv"))
            QVERIFY(writeFile(path, [](QFile &) { return true; }));
        RecordingLoader loader;
        Received got(loader);
        loader.openFile(path);
        QTRY_COMPARE(got.summaries.size(), 1);
        QCOMPARE(got.rows, 0);
        QCOMPARE(got.summaries.constFirst().text(), text.contains(QLatin1String("%1")) ? text.arg(path) : text);
    }

    // A bad file: the counts, the problems and the note reach the summary;
    // a file that is not a recording is read no further than its first chunk.
    void problemsReachTheSummary()
    {
        const QString bad = m_dir.filePath(QStringLiteral("bad.csv"));
        QVERIFY(writeFile(bad, [](QFile &f) {
            return f.write(readingrow::csvHeader() + csvLine(sampleReading(0)) + "x\n" + csvLine(sampleReading(1))
                           + "2026-12-07T04:38") > 0;
        }));
        RecordingLoader loader;
        Received got(loader);
        loader.openFile(bad);
        QTRY_COMPARE(got.summaries.size(), 1);
        const RecordingSummary s = got.summaries.constFirst();
        QCOMPARE(s.rows, 2);
        QCOMPARE(s.linesSkipped, 1);
        QCOMPARE(s.problems.size(), 2);
        QCOMPARE(s.problems.at(0).line, 3);
        QCOMPARE(s.problemCounts[RecordingProblem::FieldCount], 1);
        QVERIFY(s.truncatedLastLine);
        QCOMPARE(s.text(), QStringLiteral("Rows read: 2. Lines skipped: 1. The last line was cut short and is left out."));
        RecordingSummary failedLater = s; // a read error after the first bytes: the file did open
        failedLater.error = QStringLiteral("Input/output error");
        QCOMPARE(failedLater.text(), s.text() + QStringLiteral(" Reading stopped: Input/output error."));

        const QString binary = m_dir.filePath(QStringLiteral("binary.bin"));
        QVERIFY(writeFile(binary, [](QFile &f) { return f.write(QByteArray(8 << 20, '\x01')) > 0; }));
        loader.openFile(binary);
        QTRY_COMPARE(got.summaries.size(), 2);
        QVERIFY(got.summaries.at(1).rejected);
        QCOMPARE(got.summaries.at(1).bytesRead, RecordingLoader::kChunkBytes);
        QCOMPARE(got.summaries.at(1).text(), QStringLiteral("Line 1: not a recording: the file holds binary data, not text."));
    }

    // A receiver slower than the reading: the batches wait in the reading
    // thread, not in the event queue, so memory stays near a few batches.
    void slowReceiverHoldsTheReadingBack()
    {
        if (!kMemoryMeasurable || !resetPeakRss())
            QSKIP("needs /proc/self/clear_refs and a build without AddressSanitizer");
        RecordingLoader loader;
        Received got(loader, false);
        got.onBatch = [] { QThread::msleep(20); };
        const qint64 before = statusKiB("VmRSS:");
        resetPeakRss();
        loader.openFile(m_big);
        QTRY_COMPARE_WITH_TIMEOUT(got.summaries.size(), 1, 60000);
        QCOMPARE(got.rows, kBigRows);
        const qint64 grewKiB = statusKiB("VmHWM:") - before;
        // All batches at once would be kBigRows * sizeof(Reading) = 61 MiB.
        qInfo("peak RSS grew by %lld KiB while opening %lld rows in %d batches", grewKiB, kBigRows, got.batches);
        QVERIFY2(grewKiB < 32 * 1024, qPrintable(QStringLiteral("peak RSS grew by %1 KiB").arg(grewKiB)));
    }

    // A gigabyte in one line between two good rows: one problem, both
    // rows, and the memory of a 64 KiB line at most.
    void hugeLineCostsNoMemory()
    {
        const QString path = m_dir.filePath(QStringLiteral("one-line.csv"));
        QVERIFY(writeFile(path, [](QFile &f) {
            const QByteArray block = QByteArray("1234567,").repeated(1 << 17); // 1 MiB
            if (f.write(readingrow::csvHeader() + csvLine(sampleReading(0))) < 0)
                return false;
            for (int i = 0; i < 1024; ++i) {
                if (f.write(block) != block.size())
                    return false;
            }
            return f.write("\n" + csvLine(sampleReading(1))) > 0;
        }));
        RecordingLoader loader;
        Received got(loader);
        const qint64 before = statusKiB("VmRSS:");
        const bool measurable = kMemoryMeasurable && resetPeakRss();
        loader.openFile(path);
        QTRY_COMPARE_WITH_TIMEOUT(got.summaries.size(), 1, 120000);
        const qint64 grewKiB = statusKiB("VmHWM:") - before;
        QFile::remove(path);
        qInfo("peak RSS grew by %lld KiB while reading a line of 1 GiB", grewKiB);
        if (measurable)
            QVERIFY2(grewKiB < 16 * 1024, qPrintable(QStringLiteral("peak RSS grew by %1 KiB").arg(grewKiB)));
        const RecordingSummary s = got.summaries.constFirst();
        QCOMPARE(got.readings, (QList<Reading>{sampleReading(0), sampleReading(1)}));
        QCOMPARE(s.problems.size(), 1);
        QCOMPARE(s.problems.constFirst().text(), QStringLiteral("Line 3: the line is longer than 64 KiB and is skipped."));
        QCOMPARE(s.bytesRead, s.fileSize);
    }

private:
    QTemporaryDir m_dir;
    QString m_big;
};

QTEST_GUILESS_MAIN(TestRecordingLoader)
#include "tst_recordingloader.moc"
