#pragma once

// Opens a recording off the GUI thread: a thread of its own reads the file in
// chunks of kChunkBytes through a RecordingParser and hands the readings to
// the loader's thread in batches, so a view can show what is read so far.
//
// Hand-over: the reading thread owns its file, parser and the batch it
// fills; a full batch is moved into an event posted to the loader, and from
// then on belongs to the loader's thread, which emits it as `readingsRead`.
// The two share only a cancel flag and a count of batches on their way. All
// signals come on the loader's thread. Memory stays bounded apart from the
// readings delivered: one chunk, one line, and at most kBatchesInFlight
// batches on their way (the reading waits while a receiver is behind).

#include "RecordingParser.h"

#include <QList>
#include <QMetaType>
#include <QElapsedTimer>
#include <QObject>
#include <QString>
#include <QUrl>

#include <array>
#include <memory>

// Readings of one file, in file order.
struct RecordingBatch {
    QList<Reading> readings;
    qint64 firstRow = 0; // index of readings.first() among the rows read so far
};

// How an open ended.
struct RecordingSummary {
    QString filePath;
    qint64 fileSize = 0;
    qint64 bytesRead = 0;
    qint64 rows = 0;         // readings delivered
    qint64 linesSkipped = 0; // lines left out for an error
    // The first RecordingParser::kMaxProblemsKept errors and the note on a
    // cut last line; problemCounts counts them all by kind.
    QList<RecordingProblem> problems;
    std::array<qint64, RecordingProblem::kKinds> problemCounts{};
    bool truncatedLastLine = false;
    bool rejected = false;  // not a recording, or no rows can be read from it
    bool cancelled = false;
    QString error;          // the file could not be read, and why
    qint64 elapsedMs = 0;

    // One line for the operator: rows read, lines skipped, the note, or why
    // nothing was read.
    QString text() const;
};

class RecordingLoader : public QObject
{
    Q_OBJECT
    Q_PROPERTY(bool loading READ loading NOTIFY loadingChanged)
    Q_PROPERTY(QString filePath READ filePath NOTIFY filePathChanged)
    Q_PROPERTY(qint64 fileSize READ fileSize NOTIFY progressChanged)
    Q_PROPERTY(qint64 bytesRead READ bytesRead NOTIFY progressChanged)
    Q_PROPERTY(double progress READ progress NOTIFY progressChanged)
    Q_PROPERTY(qint64 rowsRead READ rowsRead NOTIFY progressChanged)
    Q_PROPERTY(qint64 linesSkipped READ linesSkipped NOTIFY progressChanged)
    Q_PROPERTY(QString summaryText READ summaryText NOTIFY loadingChanged)

public:
    static constexpr qsizetype kChunkBytes = 1 << 20;
    // A batch is handed over at this many rows, or 100 ms after the last one.
    static constexpr int kBatchRows = 16384;
    static constexpr int kBatchesInFlight = 4;

    explicit RecordingLoader(QObject *parent = nullptr);
    // Cancels and waits for the reading thread, which stops within a chunk.
    ~RecordingLoader() override;

    bool loading() const { return bool(m_job); }
    QString filePath() const { return m_summary.filePath; }
    qint64 fileSize() const { return m_summary.fileSize; }
    qint64 bytesRead() const { return m_summary.bytesRead; }
    // Bytes read of the file's size at the start, 0 to 1.
    double progress() const;
    qint64 rowsRead() const { return m_summary.rows; }
    qint64 linesSkipped() const { return m_summary.linesSkipped; }
    // The open under way, or the last one.
    const RecordingSummary &summary() const { return m_summary; }
    QString summaryText() const { return m_summary.text(); }

    // Starts reading `file` (a local file URL or a path), cancelling an open
    // under way. The outcome always comes as `finished`, never within this call.
    Q_INVOKABLE void open(const QUrl &file);
    void openFile(const QString &path);
    // Stops at once: no batch of this open arrives after this call, and
    // `finished` (cancelled) is emitted before it returns.
    Q_INVOKABLE void cancel();

signals:
    void loadingChanged();
    void filePathChanged();
    void progressChanged();
    // On the loader's thread; the batches of one open in file order.
    void readingsRead(const RecordingBatch &batch);
    void finished(const RecordingSummary &summary);

private:
    struct Job;
    struct Delivery;

    static void readFile(const std::shared_ptr<Job> &job, RecordingLoader *loader);
    static bool deliver(const std::shared_ptr<Job> &job, RecordingLoader *loader, Delivery &&delivery);
    void take(const std::shared_ptr<Job> &job, const Delivery &delivery);
    void end(bool cancelled);

    std::shared_ptr<Job> m_job; // the open under way
    RecordingSummary m_summary;
    QElapsedTimer m_clock;
};

Q_DECLARE_METATYPE(RecordingBatch)
Q_DECLARE_METATYPE(RecordingSummary)
