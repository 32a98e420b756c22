#pragma once

#include "CsvTable.h"
#include "Reading.h"
#include "ReadingSource.h"
#include "TraceCanvas.h"
#include "TraceWindow.h"

#include <QColor>
#include <QFont>
#include <QList>
#include <QPointer>
#include <QQuickPaintedItem>
#include <QRectF>
#include <QVariantList>
#include <QtQml/qqmlregistration.h>

// Counts of every channel against wall-clock time over a sliding window:
// grid, axis labels ("hh:mm:ss" local time below, "%.4g" counts on the
// left) and a 2-px line per channel, on a linear or logarithmic count axis.
//
// Readings come from the `source` (the session): each one outside a sweep
// adds a row, and the end of the link clears the window. Each row keeps the
// reading as it was taken, so an exported window has the same times, periods
// and levels as a recording. The lines live in a cached image that scrolls
// by whole pixel columns, so a reading costs the strip it adds; while the
// plot is hidden or paused it only records.
class TracePlot : public QQuickPaintedItem, public CsvTable
{
    Q_OBJECT
    QML_ELEMENT
    Q_INTERFACES(CsvTable)
    Q_PROPERTY(ReadingSource *source READ source WRITE setSource NOTIFY sourceChanged)
    Q_PROPERTY(int channelCount READ channelCount WRITE setChannelCount NOTIFY channelCountChanged)
    Q_PROPERTY(double windowMs READ windowMs WRITE setWindowMs NOTIFY windowMsChanged)
    Q_PROPERTY(QVariantList colors READ colors WRITE setColors NOTIFY colorsChanged)
    Q_PROPERTY(QList<bool> channelVisible READ channelVisible WRITE setChannelVisible NOTIFY channelVisibleChanged)
    Q_PROPERTY(bool logarithmic READ logarithmic WRITE setLogarithmic NOTIFY logarithmicChanged)
    Q_PROPERTY(bool active READ active WRITE setActive NOTIFY activeChanged)
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

public:
    explicit TracePlot(QQuickItem *parent = nullptr);

    ReadingSource *source() const { return m_source; }
    void setSource(ReadingSource *source);
    int channelCount() const { return m_live.channelCount(); }
    void setChannelCount(int count);
    double windowMs() const { return m_live.spanMs(); }
    void setWindowMs(double ms);
    QVariantList colors() const;
    void setColors(const QVariantList &colors);
    QList<bool> channelVisible() const { return m_visible; }
    void setChannelVisible(const QList<bool> &visible);
    bool logarithmic() const { return m_log; }
    void setLogarithmic(bool log);
    bool active() const { return m_active; }
    void setActive(bool active);
    bool paused() const { return m_paused; }
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
    double timeMin() const { return shownRightEdge() - windowMs(); }
    double timeMax() const { return shownRightEdge(); }
    bool hasData() const { return !shownWindow().isEmpty(); }

    // A reading as the source hands it over.
    void addReading(const Reading &reading);
    Q_INVOKABLE void clear();

    // Mapping between plot coordinates (logical pixels from the plot area's
    // top-left corner) and times and counts, as drawn now.
    Q_INVOKABLE double xForTime(double timeMs) const;
    Q_INVOKABLE double timeForX(double x) const;
    Q_INVOKABLE double yForValue(double count) const;
    Q_INVOKABLE double valueForY(double y) const;
    // A channel's raw count at a time, interpolated along its line in the
    // current mode; NaN where the line has no value.
    Q_INVOKABLE double valueAt(int channel, double timeMs) const;
    // The hover read-out at plot x: one entry {py, value, channel, color}
    // per channel shown whose line has a value there inside the plot,
    // top first, spread at least tagGap apart.
    Q_INVOKABLE QVariantList hitsAt(double x, double tagGap = 16) const;

    // The readings in the window shown (the frozen one while paused), oldest
    // first, as they were taken.
    QList<Reading> visibleReadings() const;
    // How many there are, for the scene.
    Q_INVOKABLE int readingCount() const { return int(visibleReadings().size()); }
    // Those readings as a recording's CSV (header included), elapsed seconds
    // counted from the first of them on the steady clock.
    QByteArray csvTable() const override;

    void paint(QPainter *painter) override;

signals:
    void sourceChanged();
    void channelCountChanged();
    void windowMsChanged();
    void colorsChanged();
    void channelVisibleChanged();
    void logarithmicChanged();
    void activeChanged();
    void pausedChanged();
    void styleChanged();
    void plotAreaChanged();
    void yRangeChanged();
    void timeRangeChanged();
    void hasDataChanged();

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
    const TraceWindow &shownWindow() const { return m_paused ? m_frozen : m_live; }
    const QList<Reading> &shownRows() const { return m_paused ? m_frozenRows : m_liveRows; }
    double shownRightEdge() const { return m_paused ? m_frozenRightEdge : m_rightEdge; }
    bool drawn() const;
    void afterChange(bool dataOnly);
    // The range is worked out when asked for: a plot off screen does not
    // scan its window for every reading.
    const chartscale::Range &yRange() const;
    void updateRange();
    TraceScale currentScale() const;
    double pixelRatio() const;

    QPointer<ReadingSource> m_source;
    QList<QMetaObject::Connection> m_sourceConnections;

    TraceWindow m_live;
    TraceWindow m_frozen;
    // The readings behind the window's rows, row for row.
    QList<Reading> m_liveRows;
    QList<Reading> m_frozenRows;
    double m_rightEdge = 0;
    double m_frozenRightEdge = 0;
    QList<QColor> m_colors;
    QList<bool> m_visible;
    bool m_log = false;
    bool m_active = true;
    bool m_paused = false;

    TraceCanvas m_canvas;
    TraceCanvas::Style m_style;
    QColor m_labelColor{0xCC, 0xCC, 0xCC};
    QFont m_labelFont;
    double m_margins[4] = {4, 10, 8, 4};

    // Layout of the last drawing, in logical pixels.
    QRectF m_plotArea;
    mutable chartscale::Range m_yRange;
    mutable bool m_rangeStale = true;
    chartscale::Range m_notifiedRange;
    double m_ratio = 1;
    QList<double> m_yTicks;
};
