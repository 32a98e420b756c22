#pragma once

#include "CsvTable.h"
#include "HistoryView.h"
#include "Reading.h"
#include "ReadingHistory.h"
#include "ReadingSource.h"
#include "RecordingLoader.h"

#include <QObject>
#include <QPointer>
#include <QStringList>
#include <QTimer>
#include <QUrl>
#include <QVariantList>

#include <memory>

// The time view's readings, apart from their drawing (TracePlot draws them).
//
// Readings come from the `source` (the session): each one outside a sweep
// goes into the live history (ReadingHistory: every reading of the link,
// exact, within its memory budget; past it the oldest go and
// droppedReadings counts them), and the end of the link clears it. What is
// shown is a HistoryView of one history: the last `spanMs` (0: all of it)
// following the newest reading, or held still (paused, or panned back)
// while readings go on being kept. A link that closes while the view is
// held stays shown until the view is live again; the next link's readings
// go into a history of their own meanwhile.
//
// A recording opened (openFile) is shown instead of the link, read off the
// GUI thread into a history of its own as it comes; the link's readings go
// on being kept meanwhile, and closeFile shows them again.
//
// The statistics of the span shown (spanStats) are worked out while
// statsEnabled, at most twice a second while readings come. An export
// writes the rows of the span shown, exact, as a recording's CSV.
class TraceSeries : public QObject, public CsvTable
{
    Q_OBJECT
    Q_INTERFACES(CsvTable)
    Q_PROPERTY(ReadingSource *source READ source WRITE setSource NOTIFY sourceChanged)
    Q_PROPERTY(int channelCount READ channelCount WRITE setChannelCount NOTIFY channelCountChanged)
    // The span shown in ms, 0 for all of the history.
    Q_PROPERTY(double spanMs READ spanMs WRITE setSpanMs NOTIFY spanMsChanged)
    // Held still: by Pause, or by panning. False: following the newest reading.
    Q_PROPERTY(bool paused READ paused WRITE setPaused NOTIFY pausedChanged)
    // The time range shown and whether any reading is in it.
    Q_PROPERTY(double timeMin READ timeMin NOTIFY timeRangeChanged)
    Q_PROPERTY(double timeMax READ timeMax NOTIFY timeRangeChanged)
    Q_PROPERTY(bool hasData READ hasData NOTIFY hasDataChanged)
    // The history: readings dropped for memory since the link opened, and
    // the time of the oldest one kept (NaN: none).
    Q_PROPERTY(double droppedReadings READ droppedReadings NOTIFY droppedChanged)
    Q_PROPERTY(double oldestTime READ oldestTime NOTIFY droppedChanged)
    // Statistics of the span shown, one map per channel: count, nonFinite,
    // mean, stddev, min, max, rate (counts per second), rateCount.
    Q_PROPERTY(bool statsEnabled READ statsEnabled WRITE setStatsEnabled NOTIFY statsEnabledChanged)
    Q_PROPERTY(QVariantList spanStats READ spanStats NOTIFY spanStatsChanged)
    // A recording shown instead of the link: its path, whether it is still
    // being read (and how far), and what reading it found.
    Q_PROPERTY(bool fileShown READ fileShown NOTIFY fileChanged)
    Q_PROPERTY(QString filePath READ filePath NOTIFY fileChanged)
    Q_PROPERTY(bool fileLoading READ fileLoading NOTIFY fileLoadingChanged)
    Q_PROPERTY(double fileProgress READ fileProgress NOTIFY fileProgressChanged)
    Q_PROPERTY(double fileRows READ fileRows NOTIFY fileProgressChanged)
    Q_PROPERTY(QString fileSummary READ fileSummary NOTIFY fileLoadingChanged)
    Q_PROPERTY(QStringList fileProblems READ fileProblems NOTIFY fileLoadingChanged)

public:
    // While readings come, the statistics are worked out at most this often.
    static constexpr int kStatsIntervalMs = 500;

    explicit TraceSeries(QObject *parent = nullptr);
    ~TraceSeries() override;

    ReadingSource *source() const { return m_source; }
    void setSource(ReadingSource *source);
    int channelCount() const { return m_channelCount; }
    void setChannelCount(int count);
    double spanMs() const { return m_view.spanSetting(); }
    void setSpanMs(double ms);
    bool paused() const { return m_view.isHeld(); }
    void setPaused(bool paused);
    double timeMin() const { return m_view.leftEdge(history()); }
    double timeMax() const { return m_view.rightEdge(history()); }
    bool hasData() const { return m_view.endRow(history()) > 0; }
    double droppedReadings() const { return double(history().evicted()); }
    double oldestTime() const { return history().isEmpty() ? qQNaN() : double(history().timeKey(0)); }
    bool statsEnabled() const { return m_statsEnabled; }
    void setStatsEnabled(bool enabled);
    QVariantList spanStats() const { return m_spanStats; }
    bool fileShown() const { return bool(m_file); }
    QString filePath() const { return m_filePath; }
    bool fileLoading() const { return m_loader.loading(); }
    double fileProgress() const { return m_loader.progress(); }
    double fileRows() const { return double(m_loader.rowsRead()); }
    QString fileSummary() const { return m_fileSummary; }
    QStringList fileProblems() const { return m_fileProblems; }

    // The history shown (a recording's, the live one, or while held the one
    // of a link that closed meanwhile) and the view of it.
    const ReadingHistory &history() const { return m_file ? *m_file : m_closed ? *m_closed : *m_history; }
    const HistoryView &view() const { return m_view; }

    // Shows a recording (a local file URL or path) from its start, the whole
    // of it, while it is read; another one shown is left.
    Q_INVOKABLE void openFile(const QUrl &file);
    // Stops reading it.
    Q_INVOKABLE void cancelFile();
    // Back to the link: its newest readings at the span shown before the file.
    Q_INVOKABLE void closeFile();

    // A reading as the source hands it over.
    void addReading(const Reading &reading);
    Q_INVOKABLE void clear();

    // The view moves by ms (later for ms > 0) and is held (HistoryView::pan).
    Q_INVOKABLE void pan(double ms);
    // The span times factor around anchorMs (HistoryView::zoom).
    Q_INVOKABLE void zoom(double anchorMs, double factor);

    // How many readings the span shown holds, and the i-th of them (oldest
    // first) as it was taken.
    Q_INVOKABLE int readingCount() const;
    Reading readingAt(qsizetype i) const;
    // Those readings as a recording's CSV (header included), elapsed seconds
    // counted from the first of them on the steady clock.
    QByteArray csvTable() const override;
    // The same from a copy of the rows, on the export's own thread.
    Writer csvWriter() const override;
    // Statistics of the span shown, as spanStats has them.
    SpanStats currentStats() const;

    // A live history of another memory budget (empty), for tests.
    void setHistoryBudget(qint64 bytes);

signals:
    void sourceChanged();
    void channelCountChanged();
    void spanMsChanged();
    void pausedChanged();
    void timeRangeChanged();
    void hasDataChanged();
    void droppedChanged();
    void statsEnabledChanged();
    void spanStatsChanged();
    void fileChanged();
    void fileLoadingChanged();
    void fileProgressChanged();
    // What is shown has changed: new readings, or another part of the same
    // history (a drawing of it goes on from the last one); or, whole, another
    // history or readings in bulk (drawn anew).
    void shownChanged(bool whole);

private:
    // The live link's history shown again (after a held closed link or a file).
    void showLiveHistory();
    void takeBatch(const RecordingBatch &batch);
    void fileRead(const RecordingSummary &summary);
    void viewChanged(bool whole);
    void noteHasData(bool had);
    void statsDue(bool soon);
    void updateStats();

    QPointer<ReadingSource> m_source;
    QList<QMetaObject::Connection> m_sourceConnections;

    std::unique_ptr<ReadingHistory> m_history;
    std::unique_ptr<ReadingHistory> m_closed;
    std::unique_ptr<ReadingHistory> m_file;
    RecordingLoader m_loader;
    QString m_filePath;
    QString m_fileSummary;
    QStringList m_fileProblems;
    double m_liveSpanMs = 30000; // the link's span while a file is shown
    HistoryView m_view;
    int m_channelCount = Reading::kChannels;
    quint64 m_notifiedDropped = 0;

    bool m_statsEnabled = false;
    bool m_statsStale = true;
    QTimer m_statsTimer;
    QVariantList m_spanStats;
};
