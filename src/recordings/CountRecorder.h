#pragma once

#include "FileNote.h"
#include "Reading.h"
#include "RowWriter.h"

#include <QDateTime>
#include <QObject>
#include <QString>
#include <QUrl>

#include <functional>
#include <memory>
#include <vector>

class ReadingSource;

// Writes every valid count reading of a source (the session's current link)
// to a CSV file the operator chose, one complete row per reading. The rows
// go to a RowWriter, whose thread owns the file: the event loop that takes
// the readings never waits for the disk. Takes the readings as they are,
// so it records whichever view is shown. A failure stops the recording and
// is reported in `message`; the rows already written stay a valid file.
// The link closing ends it too. An ended recording's last rows are written
// and synced before its file is closed; `message` says so once they are.
class CountRecorder : public QObject
{
    Q_OBJECT
    Q_PROPERTY(bool recording READ recording NOTIFY recordingChanged)
    Q_PROPERTY(QString filePath READ filePath NOTIFY filePathChanged)
    // Rows of the recording on disk.
    Q_PROPERTY(qint64 rowCount READ rowCount NOTIFY rowCountChanged)
    Q_PROPERTY(QDateTime startedAt READ startedAt NOTIFY startedAtChanged)
    Q_PROPERTY(QString message READ message NOTIFY messageChanged)
    Q_PROPERTY(bool failed READ failed NOTIFY failedChanged)
    // While the disk lags (its oldest row waiting is kLagShownMs old or
    // more): the rows waiting and that age. Both 0 while it keeps up.
    Q_PROPERTY(qint64 rowsWaiting READ rowsWaiting NOTIFY lagChanged)
    Q_PROPERTY(qint64 lagMs READ lagMs NOTIFY lagChanged)

public:
    static constexpr qint64 kLagShownMs = 1000;

    explicit CountRecorder(ReadingSource *source, QObject *parent = nullptr);
    // A writer still at work is let go (see ~RowWriter); closeBeforeExit() first.
    ~CountRecorder() override;

    bool recording() const { return m_writer != nullptr; }
    QString filePath() const { return m_path; }
    qint64 rowCount() const { return m_rows; }
    QDateTime startedAt() const { return m_startedAt; }
    // What the last recording came to: where it was saved, or why it stopped.
    QString message() const { return m_note.text(); }
    bool failed() const { return m_note.failed(); }
    qint64 rowsWaiting() const { return m_rowsWaiting; }
    qint64 lagMs() const { return m_lagMs; }

    // Starts a new recording into `file` (a local file URL or a path),
    // replacing its contents (and ending the one running). False, with the
    // reason in `message`, if it cannot be opened and given its header, or
    // an ended recording of that file is still being written.
    Q_INVOKABLE bool start(const QUrl &file);
    Q_INVOKABLE void stop();

    // Before the program ends: stops the recording and waits up to `ms` for
    // every row of every file to be on disk; past that, gives the files up
    // (a write under way finished, none started). `say` hears what is worth
    // telling (a wait that takes long, rows left unwritten). True when all
    // is written.
    bool closeBeforeExit(int ms, const std::function<void(const QString &)> &say);

    // For tests and benchmarks: how rows are made durable (none: the
    // system's sync) and how many may wait; for the next start().
    void setSyncFunction(RowWriter::SyncFunction sync) { m_sync = std::move(sync); }
    void setQueueCapacity(qsizetype rows) { m_capacity = rows; }

signals:
    void recordingChanged();
    void filePathChanged();
    void rowCountChanged();
    void startedAtChanged();
    void messageChanged();
    void failedChanged();
    void lagChanged();

private:
    // How a recording ended, for its last word once its file is closed.
    enum class End { Running, Saved, LinkEnded, Overflow };
    struct Ending {
        std::unique_ptr<RowWriter> writer;
        End end;
    };

    void addReading(const Reading &reading);
    // Hands the running writer over to finish its queue on its own.
    void end(End how);
    void writerSynced(RowWriter *writer, qint64 rows);
    // Its last word; `deleteNow` false when called from the writer's own event.
    void writerClosed(RowWriter *writer, bool deleteNow);
    void setRows(qint64 rows);
    void updateLag();
    void setPath(const QString &path);

    std::unique_ptr<RowWriter> m_writer; // the running recording's
    std::vector<Ending> m_ending;        // ended, still writing their last rows
    RowWriter *m_shown = nullptr;        // whose file the properties describe
    RowWriter::SyncFunction m_sync;
    qsizetype m_capacity = RowWriter::kDefaultCapacity;
    QString m_path;
    qint64 m_rows = 0;
    qint64 m_rowsWaiting = 0;
    qint64 m_lagMs = 0;
    QDateTime m_startedAt;
    FileNote m_note;
};
