#include "CountRecorder.h"

#include "ReadingSource.h"

#include <QDir>
#include <QElapsedTimer>

#include <algorithm>

namespace {
// How long quitting waits for the last rows before it says so.
constexpr int kQuietExitWaitMs = 300;
// Past the wait: how long a write under way may still take.
constexpr int kExitWriteWaitMs = 1000;
} // namespace

CountRecorder::CountRecorder(ReadingSource *source, QObject *parent)
    : QObject(parent)
{
    connect(&m_note, &FileNote::textChanged, this, &CountRecorder::messageChanged);
    connect(&m_note, &FileNote::failedChanged, this, &CountRecorder::failedChanged);
    if (!source)
        return;
    connect(source, &ReadingSource::readingTaken, this, &CountRecorder::addReading);
    connect(source, &ReadingSource::linkClosed, this, [this] {
        if (recording())
            end(End::LinkEnded);
    });
}

CountRecorder::~CountRecorder() = default;

bool CountRecorder::start(const QUrl &file)
{
    if (recording())
        stop();
    const QString path = QDir::toNativeSeparators(file.isLocalFile() ? file.toLocalFile() : file.toString());
    setPath(path);
    m_shown = nullptr;
    setRows(0);
    // Two writers on one file would interleave their rows.
    for (const Ending &e : m_ending) {
        if (e.writer->path() == path) {
            m_note.set(tr("Cannot record to %1: its last recording is still being written").arg(path), true);
            return false;
        }
    }
    QString reason;
    std::unique_ptr<RowWriter> writer = RowWriter::open(path, Reading::steadyNowNs(), m_capacity, m_sync, &reason);
    if (!writer) {
        m_note.set(tr("Cannot record to %1: %2").arg(path, reason), true);
        return false;
    }
    RowWriter *w = writer.get();
    // The writer is the context: what it reported is dropped with it.
    connect(w, &RowWriter::synced, w, [this, w](qint64 rows) { writerSynced(w, rows); }, Qt::QueuedConnection);
    connect(w, &RowWriter::closed, w, [this, w] { writerClosed(w, false); }, Qt::QueuedConnection);
    w->begin();
    m_writer = std::move(writer);
    m_shown = w;
    m_startedAt = QDateTime::currentDateTimeUtc();
    emit startedAtChanged();
    m_note.set(QString(), false);
    emit recordingChanged();
    return true;
}

void CountRecorder::stop()
{
    if (recording())
        end(End::Saved);
}

void CountRecorder::addReading(const Reading &reading)
{
    if (!m_writer)
        return;
    // A writer that has failed refuses it too: its `closed` is on its way.
    if (m_writer->push(reading) == RowWriter::Push::Full) {
        const RowWriter::Backlog backlog = m_writer->backlog();
        const double behindS = double(Reading::steadyNowNs() - backlog.oldestNs) / 1e9;
        m_note.set(tr("Recording stopped: %1: the disk fell %2 s behind, %3 rows waiting for it")
                       .arg(m_path)
                       .arg(behindS, 0, 'f', 1)
                       .arg(backlog.rows),
                   true);
        end(End::Overflow);
        return;
    }
    updateLag();
}

void CountRecorder::end(End how)
{
    std::unique_ptr<RowWriter> writer = std::move(m_writer);
    writer->finish();
    if (how != End::Overflow && m_lagMs > 0)
        m_note.set(tr("Writing the last %1 rows to %2").arg(writer->backlog().rows).arg(writer->path()), false);
    m_ending.push_back({std::move(writer), how});
    updateLag();
    emit recordingChanged();
}

void CountRecorder::writerSynced(RowWriter *writer, qint64 rows)
{
    if (writer == m_shown)
        setRows(rows);
    if (writer == m_writer.get())
        updateLag();
}

void CountRecorder::writerClosed(RowWriter *writer, bool deleteNow)
{
    std::unique_ptr<RowWriter> owned;
    End how = End::Running;
    if (writer == m_writer.get()) {
        owned = std::move(m_writer);
    } else {
        const auto it = std::find_if(m_ending.begin(), m_ending.end(),
                                     [writer](const Ending &e) { return e.writer.get() == writer; });
        if (it == m_ending.end())
            return;
        owned = std::move(it->writer);
        how = it->end;
        m_ending.erase(it);
    }
    const QString path = writer->path();
    const qint64 rows = writer->rowsSynced();
    if (writer == m_shown) {
        setRows(rows);
        m_shown = nullptr;
    }
    const QString error = writer->error();
    if (!error.isEmpty()) {
        m_note.set(writer->removed() ? tr("Recording stopped: %1 was removed or its disk is gone").arg(path)
                                     : tr("Recording stopped: %1: %2").arg(path, error),
                   true);
    } else if (how == End::Saved) {
        m_note.set(tr("Recording saved: %1 (%2 rows)").arg(path).arg(rows), false);
    } else if (how == End::LinkEnded) {
        m_note.set(tr("Recording ended with the link: %1 (%2 rows)").arg(path).arg(rows), false);
    }
    // An overflow's own message stands; a running one ended by failing.
    if (how == End::Running) {
        updateLag();
        emit recordingChanged();
    }
    // Reported from its own queued call: gone once that is over.
    if (!deleteNow)
        owned.release()->deleteLater();
}

bool CountRecorder::closeBeforeExit(int ms, const std::function<void(const QString &)> &say)
{
    stop();
    QElapsedTimer clock;
    clock.start();
    const auto left = [&clock, ms] { return int(std::max<qint64>(0, ms - clock.elapsed())); };
    bool told = false;
    while (!m_ending.empty()) {
        RowWriter *writer = m_ending.front().writer.get();
        if (!told && !writer->waitClosed(std::min(left(), kQuietExitWaitMs))) {
            qint64 rows = 0;
            for (const Ending &e : m_ending)
                rows += e.writer->backlog().rows;
            say(tr("Writing the last %1 rows to disk before quitting (up to %2 s)").arg(rows).arg(ms / 1000.0));
            told = true;
        }
        if (!writer->waitClosed(left()))
            break;
        writerClosed(writer, true);
        if (told || m_note.failed())
            say(m_note.text());
    }
    if (m_ending.empty())
        return true;
    // Given up on: no write is left half done, the rows before stay valid.
    for (const Ending &e : m_ending) {
        const qint64 rows = e.writer->backlog().rows;
        e.writer->abandon(kExitWriteWaitMs);
        m_note.set(tr("Recording stopped: %1: %2 rows not written, the disk did not finish within %3 s")
                       .arg(e.writer->path())
                       .arg(rows)
                       .arg(ms / 1000.0),
                   true);
        say(m_note.text());
        if (e.writer.get() == m_shown)
            m_shown = nullptr;
    }
    m_ending.clear();
    return false;
}

void CountRecorder::setRows(qint64 rows)
{
    if (rows == m_rows)
        return;
    m_rows = rows;
    emit rowCountChanged();
}

void CountRecorder::updateLag()
{
    qint64 rows = 0;
    qint64 lagMs = 0;
    if (m_writer) {
        const RowWriter::Backlog backlog = m_writer->backlog();
        lagMs = backlog.rows > 0 ? (Reading::steadyNowNs() - backlog.oldestNs) / 1000000 : 0;
        rows = backlog.rows;
    }
    if (lagMs < kLagShownMs)
        rows = lagMs = 0;
    if (rows == m_rowsWaiting && lagMs == m_lagMs)
        return;
    m_rowsWaiting = rows;
    m_lagMs = lagMs;
    emit lagChanged();
}

void CountRecorder::setPath(const QString &path)
{
    if (path == m_path)
        return;
    m_path = path;
    emit filePathChanged();
}
