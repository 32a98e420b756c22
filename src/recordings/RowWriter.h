#pragma once

#include "Reading.h"

#include <QObject>
#include <QString>

#include <functional>
#include <memory>
#include <thread>

// One recording's file, owned by a thread of its own: the GUI thread only
// hands it readings and never waits for a write or a sync. Every row that
// arrives during one sync is written and synced together by the next
// (group commit), so the file keeps up with any gate as long as the disk's
// bandwidth does. Rows reach the file whole: a failed write or sync cuts it
// back to the end of its last complete row and ends the writer.
//
// Results come back as queued signals on the GUI thread.
class RowWriter : public QObject
{
    Q_OBJECT
public:
    // Makes what was written to `fd` durable: 0, or the errno of the failure.
    using SyncFunction = std::function<int(int fd)>;
    // An hour of rows at the 50 ms gate.
    static constexpr qsizetype kDefaultCapacity = 72000;

    enum class Push {
        Taken,
        Full,  // `capacity` rows are waiting already: nothing taken
        Ended, // finished, or failed (its `closed` is on its way)
    };

    // Replaces `path` with a recording's header; each row's elapsed seconds
    // count from `startNs` (steady clock). Null, with the reason, when the
    // file cannot be opened or the header written. No `sync`: the system's
    // (fdatasync or its kin).
    static std::unique_ptr<RowWriter> open(const QString &path, qint64 startNs, qsizetype capacity,
                                           SyncFunction sync, QString *reason);
    // Starts the thread: connect to the signals first.
    void begin();
    // A thread still at work is let go: it writes and syncs what it holds,
    // closes the file and ends on its own (a hung disk holds it until the
    // process ends).
    ~RowWriter() override;

    QString path() const;
    Push push(const Reading &reading);
    // No more rows: the thread writes and syncs the queue, then closes the file.
    void finish();
    // Blocks up to `ms` for the file to be closed (after finish()); true if it is.
    bool waitClosed(int ms);
    // For a program that ends before the disk is done: nothing more is
    // reported, no write starts after this, and a write under way is waited
    // for up to `ms`, so that ending now leaves no half row. False when that
    // write is still under way.
    bool abandon(int ms);

    // Rows handed over and not yet on disk, and the steady-clock time of
    // the oldest of them.
    struct Backlog {
        qsizetype rows = 0;
        qint64 oldestNs = 0;
    };
    Backlog backlog() const;
    qint64 rowsSynced() const;
    // Once closed: why it ended early (empty: every row handed over is on
    // disk), and whether that was the file or its disk going away.
    QString error() const;
    bool removed() const;

    // The system's sync, a character device (a terminal, /dev/null) counting as synced.
    static int systemSync(int fd);

signals:
    // Rows on disk so far.
    void synced(qint64 rows);
    // The file is closed; see error().
    void closed();

private:
    struct Shared;
    explicit RowWriter(std::shared_ptr<Shared> shared);
    static void run(const std::shared_ptr<Shared> &s);

    std::shared_ptr<Shared> m_shared;
    std::thread m_thread;
};
