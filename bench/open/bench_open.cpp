// Figures for opening a recording (run through bench/open/run):
//   1. writes an hour and a day of rows at the 50 ms gate with
//      readingrow::csvRow, values as an instrument sends them;
//   2. for each, a plain read() of the file into a 1 MiB buffer (the limit),
//      then the file opened through RecordingLoader to its end: seconds,
//      MB/s and the peak resident memory while opening. The readings are
//      counted as they arrive and dropped: the view appends them into its
//      own compact store, so what is measured is the loader's own memory;
//   3. the parser alone on the day's bytes in memory (no file, no thread);
//   4. how long Cancel takes to end the reading thread mid-file.
//
//   bench_open [--dir=PATH] [--keep] [--cold]
//     --dir   folder for the files (default: the current folder)
//     --keep  leave the files there (and reuse them on the next run)
//     --cold  drop the files from the page cache before each read (posix_fadvise)
#include "ReadingRow.h"
#include "RecordingLoader.h"
#include "TraceSeries.h"

#include <QCoreApplication>
#include <QGuiApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QThread>
#include <QTimer>
#include <QTimeZone>

#include <cmath>
#include <cstdio>
#include <fcntl.h>
#include <unistd.h>

namespace {

QString option(const QStringList &args, const QString &name, const QString &fallback)
{
    for (const QString &a : args) {
        if (a.startsWith(name + '='))
            return a.mid(name.size() + 1);
    }
    return fallback;
}

qint64 statusKiB(const char *field)
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return 0;
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith(field))
            return line.mid(qsizetype(qstrlen(field))).trimmed().split(' ').first().toLongLong();
    }
    return 0;
}

// The peak resident memory (VmHWM) starts again from the current one.
void resetPeak()
{
    QFile f(QStringLiteral("/proc/self/clear_refs"));
    if (!f.open(QIODevice::WriteOnly) || f.write("5") != 1)
        std::fprintf(stderr, "bench_open: cannot reset the peak RSS; the peak is the process's\n");
}

void dropFromCache(const QString &path)
{
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY);
    if (fd < 0)
        return;
    ::fdatasync(fd);
    ::posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED);
    ::close(fd);
}

// `rows` readings at 50 ms as bench/record makes them: counts that drift,
// now and then a fraction, a calibration sweep of 100 rows every 20000.
bool writeRecording(const QString &path, qint64 rows)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return false;
    QByteArray block = readingrow::csvHeader();
    Reading r;
    r.periodMs = 50;
    const std::array<double, 8> volts{0.125, 0.25, 0.333, 0.5, 0.05, 0.9, 1.0, 0.0};
    for (int ch = 0; ch < 8; ++ch)
        r.thresholdsMv[size_t(ch)] = Reading::levelMv(volts[size_t(ch)]);
    r.levelsKnown = true;
    const qint64 start = QDateTime(QDate(2026, 12, 7), QTime(4, 38, 19, 123), QTimeZone::utc()).toMSecsSinceEpoch();
    for (qint64 i = 0; i < rows; ++i) {
        const qint64 jitterMs = (i * 7) % 3;
        r.utcMs = start + i * 50 + jitterMs;
        for (int ch = 0; ch < 8; ++ch)
            r.counts[size_t(ch)] = std::floor(5000 + 4000 * std::sin(double(i) / (1000 + 97 * ch))) + (i % 997 == 0 ? 0.5 : 0);
        r.sweep = i % 20000 < 100;
        block += readingrow::csvRow(r, double(i * 50 + jitterMs) / 1000.0);
        if (block.size() > (4 << 20)) {
            if (file.write(block) != block.size())
                return false;
            block.clear();
        }
    }
    return file.write(block) == block.size() && file.flush();
}

struct Open {
    double seconds = 0;
    qint64 rows = 0;
    qint64 batches = 0;
    double peakMiB = 0;
    double baseMiB = 0;
    RecordingSummary summary;
};

Open openThroughLoader(const QString &path)
{
    Open out;
    RecordingLoader loader;
    QObject::connect(&loader, &RecordingLoader::readingsRead, [&out](const RecordingBatch &batch) {
        out.rows += batch.readings.size();
        ++out.batches;
    });
    QObject::connect(&loader, &RecordingLoader::finished, [&out](const RecordingSummary &s) {
        out.summary = s;
        QCoreApplication::quit();
    });
    out.baseMiB = double(statusKiB("VmRSS:")) / 1024.0;
    resetPeak();
    QElapsedTimer clock;
    clock.start();
    loader.openFile(path);
    QCoreApplication::exec();
    out.seconds = double(clock.nsecsElapsed()) / 1e9;
    out.peakMiB = double(statusKiB("VmHWM:")) / 1024.0;
    return out;
}

// What the operator waits for: the file opened on the time view's series,
// every reading into its history, to the last row.
Open openIntoPlot(const QString &path)
{
    Open out;
    TraceSeries series;
    QObject::connect(&series, &TraceSeries::fileLoadingChanged, [&series] {
        if (!series.fileLoading())
            QCoreApplication::quit();
    });
    out.baseMiB = double(statusKiB("VmRSS:")) / 1024.0;
    resetPeak();
    QElapsedTimer clock;
    clock.start();
    series.openFile(QUrl::fromLocalFile(path));
    QCoreApplication::exec();
    out.seconds = double(clock.nsecsElapsed()) / 1e9;
    out.peakMiB = double(statusKiB("VmHWM:")) / 1024.0;
    out.rows = series.history().size();
    out.summary.rows = out.rows;
    return out;
}

double plainRead(const QString &path, qint64 *bytes)
{
    QElapsedTimer clock;
    clock.start();
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY);
    *bytes = 0;
    if (fd < 0)
        return 0;
    QByteArray buffer(RecordingLoader::kChunkBytes, Qt::Uninitialized);
    for (ssize_t n; (n = ::read(fd, buffer.data(), size_t(buffer.size()))) > 0;)
        *bytes += n;
    ::close(fd);
    return double(clock.nsecsElapsed()) / 1e9;
}

// The parser alone over the file's bytes in memory, 1 MiB at a time.
double parserOnly(const QString &path, qint64 *rows)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return 0;
    const QByteArray bytes = file.readAll();
    QElapsedTimer clock;
    clock.start();
    RecordingParser parser;
    QList<Reading> out;
    for (qsizetype at = 0; at < bytes.size(); at += RecordingLoader::kChunkBytes) {
        parser.feed(bytes.constData() + at, std::min(RecordingLoader::kChunkBytes, bytes.size() - at), &out);
        out.clear();
    }
    parser.finish(&out);
    *rows = parser.rowsRead();
    return double(clock.nsecsElapsed()) / 1e9;
}

// Cancel after `afterMs`: ms until the reading thread has ended (the
// loader's destructor waits for it).
double cancelMs(const QString &path, int afterMs)
{
    auto *loader = new RecordingLoader;
    loader->openFile(path);
    QTimer::singleShot(afterMs, QCoreApplication::instance(), &QCoreApplication::quit);
    QCoreApplication::exec();
    QElapsedTimer clock;
    clock.start();
    loader->cancel();
    delete loader;
    return double(clock.nsecsElapsed()) / 1e6;
}

} // namespace

int main(int argc, char **argv)
{
    QGuiApplication app(argc, argv);
    const QStringList args = app.arguments();
    const QDir dir(option(args, QStringLiteral("--dir"), QDir::currentPath()));
    const bool keep = args.contains(QStringLiteral("--keep"));
    const bool cold = args.contains(QStringLiteral("--cold"));
    struct Case {
        const char *name;
        qint64 rows;
        QString path;
        Open open;
        Open view = {};
        double plainSeconds = 0;
        qint64 bytes = 0;
    };
    Case cases[] = {{"1h", 72000, dir.filePath(QStringLiteral("bench-open-1h.csv")), {}},
                    {"24h", 1728000, dir.filePath(QStringLiteral("bench-open-24h.csv")), {}}};
    const double mb = 1e6;
    for (Case &c : cases) {
        if (!(keep && QFileInfo::exists(c.path))) {
            std::fprintf(stderr, "bench_open: writing %s (%lld rows)\n", qPrintable(c.path), qlonglong(c.rows));
            if (!writeRecording(c.path, c.rows)) {
                std::fprintf(stderr, "bench_open: cannot write %s\n", qPrintable(c.path));
                return 1;
            }
        }
        // A read first, so both measured reads find the file the same way.
        qint64 ignored = 0;
        plainRead(c.path, &ignored);
        if (cold)
            dropFromCache(c.path);
        c.plainSeconds = plainRead(c.path, &c.bytes);
        if (cold)
            dropFromCache(c.path);
        c.open = openThroughLoader(c.path);
        const RecordingSummary &s = c.open.summary;
        std::printf("%-4s %lld rows, %.1f MiB: plain read %.3f s (%.0f MB/s); open %.3f s (%.0f MB/s), "
                    "%lld batches, peak RSS %.1f MiB (%.1f MiB before); %s\n",
                    c.name, qlonglong(c.open.rows), double(c.bytes) / 1048576.0, c.plainSeconds,
                    double(c.bytes) / mb / c.plainSeconds, c.open.seconds, double(c.bytes) / mb / c.open.seconds,
                    qlonglong(c.open.batches), c.open.peakMiB, c.open.baseMiB, qPrintable(s.text()));
        if (c.open.rows != c.rows || s.rows != c.rows || !s.problems.isEmpty() || s.cancelled) {
            std::fprintf(stderr, "bench_open: %s: expected %lld rows and no problem\n", c.name, qlonglong(c.rows));
            return 1;
        }
        if (cold)
            dropFromCache(c.path);
        c.view = openIntoPlot(c.path);
        std::printf("%-4s on the time view (the history filled): %.3f s (%.0f MB/s), peak RSS %.1f MiB (%.1f MiB "
                    "before)\n",
                    c.name, c.view.seconds, double(c.bytes) / mb / c.view.seconds, c.view.peakMiB, c.view.baseMiB);
        if (c.view.rows != c.rows) {
            std::fprintf(stderr, "bench_open: %s: the plot holds %lld rows\n", c.name, qlonglong(c.view.rows));
            return 1;
        }
    }
    const Case &day = cases[1];
    qint64 parsedRows = 0;
    const double parserSeconds = parserOnly(day.path, &parsedRows);
    std::printf("parser alone on the day in memory: %.3f s (%.0f MB/s, %.0f ns per row)\n", parserSeconds,
                double(day.bytes) / mb / parserSeconds, parserSeconds * 1e9 / double(qMax<qint64>(parsedRows, 1)));
    double worstCancel = 0;
    for (int afterMs : {50, 300, 600})
        worstCancel = std::max(worstCancel, cancelMs(day.path, afterMs));
    std::printf("cancel mid-file: the reading thread ended within %.1f ms (worst of 3)\n", worstCancel);
    std::printf("the readings are counted and dropped as they arrive; held as Reading values the day "
                "would add %.0f MiB (%zu bytes each)\n",
                double(day.rows) * double(sizeof(Reading)) / 1048576.0, sizeof(Reading));
    std::printf("files %s before each read\n", cold ? "dropped from the page cache" : "left in the page cache");
    if (!keep) {
        for (const Case &c : cases)
            QFile::remove(c.path);
    }
    // The figures of the time view, where the operator opens a file.
    std::printf("open: 1h seconds: %.3f\n", cases[0].view.seconds);
    std::printf("open: 24h seconds: %.3f\n", day.view.seconds);
    std::printf("open: 24h MB/s: %.1f\n", double(day.bytes) / mb / day.view.seconds);
    std::printf("open: plain read MB/s: %.1f\n", double(day.bytes) / mb / day.plainSeconds);
    std::printf("open: 24h peak MiB: %.1f\n", day.view.peakMiB);
    return 0;
}
