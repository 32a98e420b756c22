#include "RowWriter.h"

#include "ReadingRow.h"

#include <QFile>
#include <QList>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <mutex>

#if defined(Q_OS_UNIX)
#include <sys/stat.h>
#include <unistd.h>
#elif defined(Q_OS_WIN)
#include <io.h>
#endif

struct RowWriter::Shared {
    QString path;
    qint64 startNs = 0;
    qsizetype capacity = 0;
    SyncFunction sync;
    // Written on the GUI thread up to the header, the thread's alone from its start.
    QFile file;
    qint64 goodSize = 0; // bytes up to the end of the last complete row

    mutable std::mutex mutex;
    std::condition_variable wake;      // rows to write, or the end
    std::condition_variable closed;    // for waitClosed
    std::condition_variable writeDone; // for abandon
    bool writing = false;              // a write is under way
    bool abandoned = false;            // no write starts any more
    QList<Reading> queue;
    qsizetype inFlight = 0; // rows being written and synced
    qint64 inFlightOldestNs = 0;
    qint64 synced = 0;
    bool finishing = false;
    bool over = false; // closed: nothing more is taken
    QString error;
    bool removed = false;
    RowWriter *owner = nullptr; // gets the signals; null once let go
};

namespace {

// Bytes of `bytes` written before a failure (all of them: none).
qint64 writeAll(QFile &file, const QByteArray &bytes, QString *reason)
{
    qint64 done = 0;
    while (done < bytes.size()) {
        const qint64 n = file.write(bytes.constData() + done, bytes.size() - done);
        if (n <= 0) {
            *reason = file.errorString();
            break;
        }
        done += n;
    }
    return done;
}

// The open file is still the one at the path (not deleted, moved or gone
// with its device).
bool stillThere(const QFile &file, const QString &path)
{
#if defined(Q_OS_UNIX)
    struct stat open = {};
    struct stat named = {};
    if (::fstat(file.handle(), &open) != 0 || ::stat(QFile::encodeName(path).constData(), &named) != 0)
        return false;
    if (!S_ISREG(open.st_mode))
        return true;
    return open.st_nlink > 0 && open.st_dev == named.st_dev && open.st_ino == named.st_ino;
#else
    Q_UNUSED(file);
    return QFile::exists(path);
#endif
}

} // namespace

std::unique_ptr<RowWriter> RowWriter::open(const QString &path, qint64 startNs, qsizetype capacity,
                                           SyncFunction sync, QString *reason)
{
    auto s = std::make_shared<Shared>();
    s->path = path;
    s->startNs = startNs;
    s->capacity = capacity;
    s->sync = sync ? std::move(sync) : SyncFunction(&RowWriter::systemSync);
    s->file.setFileName(path);
    // Unbuffered: each batch goes to the system in one write, nothing waits
    // in a buffer of ours.
    if (!s->file.open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Unbuffered)) {
        *reason = s->file.errorString();
        return nullptr;
    }
    const QByteArray header = readingrow::csvHeader();
    if (writeAll(s->file, header, reason) != header.size()) {
        s->file.resize(0);
        return nullptr;
    }
    s->goodSize = header.size();
    return std::unique_ptr<RowWriter>(new RowWriter(std::move(s)));
}

RowWriter::RowWriter(std::shared_ptr<Shared> shared)
    : m_shared(std::move(shared))
{
    m_shared->owner = this;
}

void RowWriter::begin()
{
    if (!m_thread.joinable())
        m_thread = std::thread(&RowWriter::run, m_shared);
}

RowWriter::~RowWriter()
{
    bool closed = false;
    {
        std::lock_guard lock(m_shared->mutex);
        m_shared->owner = nullptr;
        m_shared->finishing = true;
        closed = m_shared->over;
    }
    m_shared->wake.notify_one();
    if (!m_thread.joinable())
        return;
    if (closed)
        m_thread.join();
    else
        m_thread.detach();
}

QString RowWriter::path() const
{
    return m_shared->path;
}

RowWriter::Push RowWriter::push(const Reading &reading)
{
    Shared &s = *m_shared;
    std::lock_guard lock(s.mutex);
    if (s.finishing || s.over)
        return Push::Ended;
    if (s.queue.size() + s.inFlight >= s.capacity)
        return Push::Full;
    s.queue.append(reading);
    // The thread waits only on an empty queue.
    if (s.queue.size() == 1)
        s.wake.notify_one();
    return Push::Taken;
}

void RowWriter::finish()
{
    {
        std::lock_guard lock(m_shared->mutex);
        m_shared->finishing = true;
    }
    m_shared->wake.notify_one();
}

bool RowWriter::waitClosed(int ms)
{
    std::unique_lock lock(m_shared->mutex);
    return m_shared->closed.wait_for(lock, std::chrono::milliseconds(ms), [this] { return m_shared->over; });
}

bool RowWriter::abandon(int ms)
{
    Shared &s = *m_shared;
    std::unique_lock lock(s.mutex);
    s.owner = nullptr;
    s.abandoned = true;
    return s.writeDone.wait_for(lock, std::chrono::milliseconds(ms), [&s] { return !s.writing; });
}

RowWriter::Backlog RowWriter::backlog() const
{
    const Shared &s = *m_shared;
    std::lock_guard lock(s.mutex);
    if (s.inFlight > 0)
        return {s.inFlight + s.queue.size(), s.inFlightOldestNs};
    return {s.queue.size(), s.queue.isEmpty() ? 0 : s.queue.constFirst().monotonicNs};
}

qint64 RowWriter::rowsSynced() const
{
    std::lock_guard lock(m_shared->mutex);
    return m_shared->synced;
}

QString RowWriter::error() const
{
    std::lock_guard lock(m_shared->mutex);
    return m_shared->error;
}

bool RowWriter::removed() const
{
    std::lock_guard lock(m_shared->mutex);
    return m_shared->removed;
}

int RowWriter::systemSync(int fd)
{
#if defined(Q_OS_LINUX)
    const int rc = ::fdatasync(fd);
#elif defined(Q_OS_UNIX)
    const int rc = ::fsync(fd);
#elif defined(Q_OS_WIN)
    const int rc = ::_commit(fd);
#else
    const int rc = 0;
#endif
    if (rc == 0 || errno == EINVAL || errno == EROFS)
        return 0;
    return errno;
}

void RowWriter::run(const std::shared_ptr<Shared> &s)
{
    QString error;
    bool removed = false;
    // The header first, so the file is on disk before its first row.
    if (const int rc = s->sync(s->file.handle()); rc != 0)
        error = qt_error_string(rc);
    QList<Reading> batch;
    QByteArray bytes;
    while (error.isEmpty()) {
        {
            std::unique_lock lock(s->mutex);
            s->wake.wait(lock, [&s] { return !s->queue.isEmpty() || s->finishing; });
            if (s->queue.isEmpty())
                break; // finished, every row on disk
            // Everything that came during the last sync goes in this one.
            batch.swap(s->queue);
            s->inFlight = batch.size();
            s->inFlightOldestNs = batch.constFirst().monotonicNs;
        }
        if (!stillThere(s->file, s->path)) {
            removed = true;
            error = QStringLiteral("the file was removed or its disk is gone");
            break;
        }
        bytes.clear();
        for (const Reading &r : std::as_const(batch))
            bytes += readingrow::csvRow(r, readingrow::elapsedSeconds(r, s->startNs));
        {
            std::lock_guard lock(s->mutex);
            if (s->abandoned)
                break;
            s->writing = true;
        }
        qint64 kept = writeAll(s->file, bytes, &error);
        qsizetype rows = batch.size();
        if (kept < bytes.size()) {
            // The disk filled mid-batch: never a half row, and the whole
            // rows that fitted are kept, as one at a time would have.
            kept = kept > 0 ? bytes.lastIndexOf('\n', kept - 1) + 1 : 0;
            rows = bytes.first(kept).count('\n');
            s->file.resize(s->goodSize + kept);
        }
        {
            std::lock_guard lock(s->mutex);
            s->writing = false;
        }
        s->writeDone.notify_all();
        if (const int rc = s->sync(s->file.handle()); rc != 0) {
            // Nothing of this batch is known to be on disk.
            if (error.isEmpty())
                error = qt_error_string(rc);
            s->file.resize(s->goodSize);
            kept = 0;
            rows = 0;
        }
        s->goodSize += kept;
        batch.clear();
        // A long lag's buffer goes back once it is written.
        if (batch.capacity() > 4096)
            batch.squeeze();
        std::lock_guard lock(s->mutex);
        s->inFlight = 0;
        s->synced += rows;
        if (s->owner && rows > 0)
            emit s->owner->synced(s->synced);
    }
    s->file.close();
    std::lock_guard lock(s->mutex);
    s->over = true;
    s->error = error;
    s->removed = removed;
    s->queue.clear();
    s->inFlight = 0;
    s->closed.notify_all();
    if (s->owner)
        emit s->owner->closed();
}
