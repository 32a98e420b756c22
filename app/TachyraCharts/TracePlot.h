#pragma once

#include "CsvTable.h"
#include "HistoryCanvas.h"
#include "HistoryView.h"
#include "Reading.h"
#include "ReadingHistory.h"
#include "ReadingSource.h"
#include "RecordingLoader.h"
#include "SpanExtent.h"

#include <QColor>
#include <QFont>
#include <QList>
#include <QPointer>
#include <QQuickPaintedItem>
#include <QRectF>
#include <QStringList>
#include <QTimer>
#include <QUrl>
#include <QVariantList>
#include <QtQml/qqmlregistration.h>

#include <memory>

// Counts of every channel against wall-clock time over any span of the
// link's history: grid, axis labels (local time below, with the date where
// the span crosses midnight or is longer than a day; "%.4g" counts on the
// left) and a 2-px line per channel, on a linear or logarithmic count axis,
// in counts per gate or per second.
//
// Readings come from the `source` (the session): each one outside a sweep
// goes into the history (ReadingHistory: every reading of the link, exact,
// within its memory budget; past it the oldest go and droppedReadings
// counts them), and the end of the link clears it. What is shown is a
// HistoryView of it: the last `spanMs` (0: all of it) following the newest
// reading, or held still (paused, or panned back) while readings go on
// being kept. The lines live in a cached image (HistoryCanvas) that scrolls
// by whole pixel columns, so a reading costs the strip it adds at any span;
// while the plot is hidden it only records.
//
// The statistics of the span shown (spanStats) are worked out while
// statsEnabled, at most twice a second while readings come. An export
// writes the rows of the span shown, exact, as a recording's CSV.
//
// A recording opened (openFile) is shown instead of the link, read off the
// GUI thread into a history of its own and drawn as it comes; the link's
// readings go on being kept meanwhile, and closeFile shows them again.
class TracePlot : public QQuickPaintedItem, public CsvTable
{
    Q_OBJECT
    QML_ELEMENT
    Q_INTERFACES(CsvTable)
    Q_PROPERTY(ReadingSource *source READ source WRITE setSource NOTIFY sourceChanged)
    Q_PROPERTY(int channelCount READ channelCount WRITE setChannelCount NOTIFY channelCountChanged)
    // The span shown in ms, 0 for all of the history.
    Q_PROPERTY(double spanMs READ spanMs WRITE setSpanMs NOTIFY spanMsChanged)
    Q_PROPERTY(QVariantList colors READ colors WRITE setColors NOTIFY colorsChanged)
    Q_PROPERTY(QList<bool> channelVisible READ channelVisible WRITE setChannelVisible NOTIFY channelVisibleChanged)
    Q_PROPERTY(bool logarithmic READ logarithmic WRITE setLogarithmic NOTIFY logarithmicChanged)
    Q_PROPERTY(bool perSecond READ perSecond WRITE setPerSecond NOTIFY perSecondChanged)
    Q_PROPERTY(bool active READ active WRITE setActive NOTIFY activeChanged)
    // Held still: by Pause, or by panning. False: following the newest reading.
    Q_PROPERTY(bool paused READ paused WRITE setPaused NOTIFY pausedChanged)
    Q_PROPERTY(QColor plotColor READ plotColor WRITE setPlotColor NOTIFY styleChanged)
    Q_PROPERTY(QColor gridColor READ gridColor WRITE setGridColor NOTIFY styleChanged)
    Q_PROPERTY(QColor minorGridColor READ minorGridColor WRITE setMinorGridColor NOTIFY styleChanged)
    Q_PROPERTY(QColor labelColor READ labelColor WRITE setLabelColor NOTIFY styleChanged)
    Q_PROPERTY(QFont labelFont READ labelFont WRITE setLabelFont NOTIFY styleChanged)
    Q_PROPERTY(double leftMargin READ leftMargin WRITE setLeftMargin NOTIFY styleChanged)
    Q_PROPERTY(double topMargin READ topMargin WRITE setTopMargin NOTIFY styleChanged)
    Q_PROPERTY(double rightMargin READ rightMargin WRITE setRightMargin NOTIFY styleChanged)
    Q_PROPERTY(double bottomMargin READ bottomMargin WRITE setBottomMargin NOTIFY styleChanged)
    // What is drawn: the plot area in item coordinates, the count axis range
    // of the current mode, the time range and whether any reading is held.
    Q_PROPERTY(QRectF plotArea READ plotArea NOTIFY plotAreaChanged)
    Q_PROPERTY(double yMin READ yMin NOTIFY yRangeChanged)
    Q_PROPERTY(double yMax READ yMax NOTIFY yRangeChanged)
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

    explicit TracePlot(QQuickItem *parent = nullptr);
    ~TracePlot() override;

    ReadingSource *source() const { return m_source; }
    void setSource(ReadingSource *source);
    int channelCount() const { return m_channelCount; }
    void setChannelCount(int count);
    double spanMs() const { return m_view.spanSetting(); }
    void setSpanMs(double ms);
    QVariantList colors() const;
    void setColors(const QVariantList &colors);
    QList<bool> channelVisible() const { return m_visible; }
    void setChannelVisible(const QList<bool> &visible);
    bool logarithmic() const { return m_log; }
    void setLogarithmic(bool log);
    bool perSecond() const { return m_perSecond; }
    void setPerSecond(bool perSecond);
    bool active() const { return m_active; }
    void setActive(bool active);
    bool paused() const { return m_view.isHeld(); }
    void setPaused(bool paused);
    QColor plotColor() const { return m_style.background; }
    void setPlotColor(const QColor &c) { setStyleMember(m_style.background, c); }
    QColor gridColor() const { return m_style.grid; }
    void setGridColor(const QColor &c) { setStyleMember(m_style.grid, c); }
    QColor minorGridColor() const { return m_style.minorGrid; }
    void setMinorGridColor(const QColor &c) { setStyleMember(m_style.minorGrid, c); }
    QColor labelColor() const { return m_labelColor; }
    void setLabelColor(const QColor &c) { setStyleMember(m_labelColor, c); }
    QFont labelFont() const { return m_labelFont; }
    void setLabelFont(const QFont &f) { setStyleMember(m_labelFont, f); }
    double leftMargin() const { return m_margins[0]; }
    void setLeftMargin(double m) { setStyleMember(m_margins[0], m); }
    double topMargin() const { return m_margins[1]; }
    void setTopMargin(double m) { setStyleMember(m_margins[1], m); }
    double rightMargin() const { return m_margins[2]; }
    void setRightMargin(double m) { setStyleMember(m_margins[2], m); }
    double bottomMargin() const { return m_margins[3]; }
    void setBottomMargin(double m) { setStyleMember(m_margins[3], m); }

    QRectF plotArea() const { return m_plotArea; }
    double yMin() const { return yRange().min; }
    double yMax() const { return yRange().max; }
    double timeMin() const { return m_view.leftEdge(shown()); }
    double timeMax() const { return m_view.rightEdge(shown()); }
    bool hasData() const { return m_view.endRow(shown()) > 0; }
    double droppedReadings() const { return double(shown().evicted()); }
    double oldestTime() const { return shown().isEmpty() ? qQNaN() : double(shown().timeKey(0)); }
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

    // Panning and zooming, in plot coordinates (logical pixels from the
    // plot area's left edge). pan: the view moves by dx (later for dx > 0)
    // and is held. zoomAt: the span times factor around the time at x
    // (live: around the newest reading, still live).
    Q_INVOKABLE void pan(double dx);
    Q_INVOKABLE void zoomAt(double x, double factor);

    // Mapping between plot coordinates (logical pixels from the plot area's
    // top-left corner) and times and counts, as drawn now.
    Q_INVOKABLE double xForTime(double timeMs) const;
    Q_INVOKABLE double timeForX(double x) const;
    Q_INVOKABLE double yForValue(double count) const;
    Q_INVOKABLE double valueForY(double y) const;
    // A channel's raw count (or rate, per second) at a time, interpolated
    // along its line in the current mode; NaN where the line has no value.
    Q_INVOKABLE double valueAt(int channel, double timeMs) const;
    // The hover read-out at plot x: one entry {py, value, channel, color}
    // per channel shown whose line has a value there inside the plot,
    // top first, spread at least tagGap apart.
    Q_INVOKABLE QVariantList hitsAt(double x, double tagGap = 16) const;

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

    // What the plot area shows, for tests and the bench.
    const HistoryCanvas &canvas() const { return m_canvas; }
    const ReadingHistory &history() const { return shown(); }
    // A history of another memory budget (empty), for tests.
    void setHistoryBudget(qint64 bytes);

    void paint(QPainter *painter) override;

signals:
    void sourceChanged();
    void channelCountChanged();
    void spanMsChanged();
    void colorsChanged();
    void channelVisibleChanged();
    void logarithmicChanged();
    void perSecondChanged();
    void activeChanged();
    void pausedChanged();
    void styleChanged();
    void plotAreaChanged();
    void yRangeChanged();
    void timeRangeChanged();
    void hasDataChanged();
    void droppedChanged();
    void statsEnabledChanged();
    void spanStatsChanged();
    void fileChanged();
    void fileLoadingChanged();
    void fileProgressChanged();

protected:
    void updatePolish() override;
    void geometryChange(const QRectF &newGeometry, const QRectF &oldGeometry) override;
    void itemChange(ItemChange change, const ItemChangeData &value) override;

private:
    template<typename T>
    void setStyleMember(T &member, const T &value)
    {
        if (member == value)
            return;
        member = value;
        emit styleChanged();
        afterChange(false);
    }
    // The history shown: a recording's, the live one, or while held the one
    // of a link that closed meanwhile.
    const ReadingHistory &shown() const { return m_file ? *m_file : m_closed ? *m_closed : *m_history; }
    // The live link's history shown again (after a held closed link or a file).
    void showLiveHistory();
    void takeBatch(const RecordingBatch &batch);
    void fileRead(const RecordingSummary &summary);
    bool drawn() const;
    // After a change of what is shown: the range, the drawing (whole unless
    // dataOnly) and the statistics follow.
    void afterChange(bool dataOnly);
    void afterViewChange();
    // The range is worked out when asked for: a plot off screen does not
    // look through its span for every reading.
    const chartscale::Range &yRange() const;
    double logFloor() const;
    void updateRange();
    TraceScale currentScale() const;
    double pixelRatio() const;
    void statsDue(bool soon);
    void updateStats();
    void noteHasData(bool had);

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
    QList<QColor> m_colors;
    QList<bool> m_visible;
    bool m_log = false;
    bool m_perSecond = false;
    bool m_active = true;
    quint64 m_notifiedDropped = 0;

    HistoryCanvas m_canvas;
    TraceCanvas::Style m_style;
    QColor m_labelColor{0xCC, 0xCC, 0xCC};
    QFont m_labelFont;
    double m_margins[4] = {4, 10, 8, 4};

    // Layout of the last drawing, in logical pixels.
    QRectF m_plotArea;
    mutable SpanExtent m_extent; // what the range is worked out from, kept as readings come
    mutable chartscale::Range m_yRange;
    mutable double m_logFloor = 1;
    mutable bool m_rangeStale = true;
    chartscale::Range m_notifiedRange;
    double m_ratio = 1;
    QList<double> m_yTicks;
    QString m_timeFormat; // of the labels of the last drawing

    bool m_statsEnabled = false;
    bool m_statsStale = true;
    QTimer m_statsTimer;
    QVariantList m_spanStats;
};
