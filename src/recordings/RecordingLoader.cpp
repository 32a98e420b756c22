#include "RecordingLoader.h"

#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QLocale>
#include <QSemaphore>
#include <QThread>

#include <algorithm>
#include <atomic>
#include <utility>

namespace {

QString tr(const char *text)
{
    return QCoreApplication::translate("RecordingLoader", text);
}

} // namespace

// Shared by the loader and its reading thread; the thread ends as soon as it
// sees `cancelled`.
struct RecordingLoader::Job {
    QString path;
    std::atomic<bool> cancelled{false};
    // One per delivery on its way to the loader: the reading thread waits
    // for a free one, so a busy GUI thread holds the reading back instead of
    // letting batches pile up in its event queue.
    QSemaphore credits{kBatchesInFlight};
};

// What the reading thread hands over: the rows and problems since the last
// delivery and the counts so far.
struct RecordingLoader::Delivery {
    QList<Reading> readings;
    QList<RecordingProblem> problems;
    std::array<qint64, RecordingProblem::kKinds> problemCounts{};
    qint64 fileSize = 0;
    qint64 bytesRead = 0;
    qint64 linesSkipped = 0;
    bool truncatedLastLine = false;
    bool rejected = false;
    bool done = false;
    QString error;
};

QString RecordingSummary::text() const
{
    const QLocale locale;
    if (!error.isEmpty() && bytesRead == 0)
        return tr("Cannot open %1: %2.").arg(filePath, error);
    if (rejected && !problems.isEmpty())
        return problems.constFirst().text();
    QString out = tr("Rows read: %1.").arg(locale.toString(rows));
    if (linesSkipped > 0)
        out += QLatin1Char(' ') + tr("Lines skipped: %1.").arg(locale.toString(linesSkipped));
    if (truncatedLastLine)
        out += QLatin1Char(' ') + tr("The last line was cut short and is left out.");
    if (!error.isEmpty())
        out += QLatin1Char(' ') + tr("Reading stopped: %1.").arg(error);
    if (cancelled)
        out += QLatin1Char(' ') + tr("Cancelled.");
    return out;
}

RecordingLoader::RecordingLoader(QObject *parent) : QObject(parent)
{
    qRegisterMetaType<RecordingBatch>();
    qRegisterMetaType<RecordingSummary>();
}

RecordingLoader::~RecordingLoader()
{
    if (m_job) {
        m_job->cancelled = true;
        m_job->credits.release(kBatchesInFlight);
        m_job.reset();
    }
    // Threads are children: each must have ended before QObject deletes it.
    const QList<QThread *> threads = findChildren<QThread *>(QString(), Qt::FindDirectChildrenOnly);
    for (QThread *thread : threads)
        thread->wait();
}

double RecordingLoader::progress() const
{
    if (m_summary.fileSize <= 0)
        return loading() ? 0.0 : 1.0;
    return std::min(1.0, double(m_summary.bytesRead) / double(m_summary.fileSize));
}

void RecordingLoader::open(const QUrl &file)
{
    openFile(file.isLocalFile() ? file.toLocalFile() : file.toString());
}

void RecordingLoader::openFile(const QString &path)
{
    cancel();
    const bool pathChanged = path != m_summary.filePath;
    m_summary = RecordingSummary{};
    m_summary.filePath = path;
    auto job = std::make_shared<Job>();
    job->path = path;
    m_job = job;
    m_clock.start();
    QThread *thread = QThread::create([job, this] { readFile(job, this); });
    thread->setObjectName(QStringLiteral("RecordingLoader"));
    thread->setParent(this);
    connect(thread, &QThread::finished, thread, &QObject::deleteLater);
    thread->start();
    if (pathChanged)
        emit filePathChanged();
    emit loadingChanged();
    emit progressChanged();
}

void RecordingLoader::cancel()
{
    if (!m_job)
        return;
    m_job->cancelled = true;
    m_job->credits.release(kBatchesInFlight); // wakes a thread waiting to deliver
    end(true);
}

void RecordingLoader::end(bool cancelled)
{
    m_summary.cancelled = cancelled;
    m_summary.elapsedMs = m_clock.elapsed();
    m_job.reset();
    emit loadingChanged();
    emit finished(m_summary);
}

void RecordingLoader::take(const std::shared_ptr<Job> &job, const Delivery &delivery)
{
    if (job != m_job)
        return; // cancelled, or another file opened since
    job->credits.release();
    m_summary.fileSize = delivery.fileSize;
    m_summary.bytesRead = delivery.bytesRead;
    m_summary.linesSkipped = delivery.linesSkipped;
    m_summary.problemCounts = delivery.problemCounts;
    m_summary.problems += delivery.problems;
    m_summary.truncatedLastLine = delivery.truncatedLastLine;
    if (!delivery.readings.isEmpty()) {
        const RecordingBatch batch{delivery.readings, m_summary.rows};
        m_summary.rows += delivery.readings.size();
        emit readingsRead(batch);
        if (job != m_job)
            return; // a receiver cancelled or opened another file
    }
    emit progressChanged();
    if (job != m_job || !delivery.done)
        return;
    m_summary.rejected = delivery.rejected;
    m_summary.error = delivery.error;
    end(false);
}

bool RecordingLoader::deliver(const std::shared_ptr<Job> &job, RecordingLoader *loader, Delivery &&delivery)
{
    while (!job->credits.tryAcquire(1, 50)) {
        if (job->cancelled)
            return false;
    }
    if (job->cancelled)
        return false;
    // Posted to the loader's thread. The loader waits for this thread before
    // it is destroyed, and Qt drops events still queued for a deleted object.
    QMetaObject::invokeMethod(
        loader, [loader, job, d = std::move(delivery)] { loader->take(job, d); }, Qt::QueuedConnection);
    return true;
}

void RecordingLoader::readFile(const std::shared_ptr<Job> &job, RecordingLoader *loader)
{
    Delivery d;
    QFile file(job->path);
    const QFileInfo info(job->path);
    // Only a regular file: opening a FIFO would block, a device may never end.
    if (!info.exists())
        d.error = tr("no such file");
    else if (!info.isFile())
        d.error = tr("not a regular file");
    else if (!file.open(QIODevice::ReadOnly | QIODevice::Unbuffered))
        d.error = file.errorString();
    if (!d.error.isEmpty()) {
        d.done = true;
        deliver(job, loader, std::move(d));
        return;
    }

    const qint64 fileSize = file.size();
    RecordingParser parser;
    qsizetype problemsSent = 0;
    qint64 bytesRead = 0;
    const auto fill = [&](Delivery &out) {
        out.fileSize = fileSize;
        out.bytesRead = bytesRead;
        out.linesSkipped = parser.linesSkipped();
        for (int k = 0; k < RecordingProblem::kKinds; ++k)
            out.problemCounts[size_t(k)] = parser.problemCount(RecordingProblem::Kind(k));
        out.problems = parser.problems().mid(problemsSent);
        problemsSent = parser.problems().size();
        out.truncatedLastLine = parser.truncatedLastLine();
        out.rejected = parser.rejected();
    };

    const std::unique_ptr<char[]> buffer(new char[size_t(kChunkBytes)]);
    QElapsedTimer sinceDelivery;
    sinceDelivery.start();
    bool first = true;
    // A batch is looked at after every slice, so it ends up at most one
    // slice's rows over kBatchRows and never grows its list.
    constexpr qsizetype kSlice = qsizetype(64) * 1024;
    constexpr qsizetype kBatchCapacity = kBatchRows + kSlice / 32;
    d.readings.reserve(kBatchCapacity);
    while (!job->cancelled) {
        const qint64 n = file.read(buffer.get(), kChunkBytes);
        if (n < 0)
            d.error = file.errorString();
        if (n <= 0)
            break;
        bytesRead += n;
        for (qsizetype at = 0; at < n && !parser.rejected(); at += kSlice) {
            parser.feed(buffer.get() + at, std::min(kSlice, qsizetype(n) - at), &d.readings);
            // The first rows at once, then full batches, and at least every
            // 100 ms so a slow disk still shows progress.
            if (first || d.readings.size() >= kBatchRows || sinceDelivery.elapsed() >= 100) {
                first = false;
                fill(d);
                if (!deliver(job, loader, std::exchange(d, Delivery{})))
                    return;
                d.readings.reserve(kBatchCapacity);
                sinceDelivery.restart();
            }
        }
        if (parser.rejected())
            break;
    }
    if (job->cancelled)
        return;
    // After a read error the last line read is not the file's last line.
    if (d.error.isEmpty())
        parser.finish(&d.readings);
    fill(d);
    d.done = true;
    deliver(job, loader, std::move(d));
}
