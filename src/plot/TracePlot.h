#pragma once

#include "ChartScale.h"
#include "HistoryCanvas.h"
#include "SpanExtent.h"
#include "TraceScale.h"
#include "TraceSeries.h"

#include <QColor>
#include <QFont>
#include <QList>
#include <QPointer>
#include <QQuickPaintedItem>
#include <QRectF>
#include <QVariantList>

// The time view's plot: what its `series` shows (TraceSeries), drawn as
// counts of every channel against wall-clock time. Grid, axis labels (local
// time below, with the date where the span crosses midnight or is longer
// than a day; "%.4g" counts on the left) and a 2-px line per channel, on a
// linear or logarithmic count axis, in counts per gate or per second.
//
// The lines live in a cached image (HistoryCanvas) that scrolls by whole
// pixel columns, so a reading costs the strip it adds at any span; while
// the plot is hidden (not `active`) nothing is drawn. The count axis range
// follows the lines of the channels shown and is worked out when asked for
// or drawn. Pans and zooms are given in the plot's pixels and move the
// series' view; hover read-outs map pixels back to times and counts.
class TracePlot : public QQuickPaintedItem
{
    Q_OBJECT
    Q_PROPERTY(TraceSeries *series READ series WRITE setSeries NOTIFY seriesChanged)
    Q_PROPERTY(QVariantList colors READ colors WRITE setColors NOTIFY colorsChanged)
    // One entry per channel of the series; missing ones are shown.
    Q_PROPERTY(QList<bool> channelVisible READ channelVisible WRITE setChannelVisible NOTIFY channelVisibleChanged)
    Q_PROPERTY(bool logarithmic READ logarithmic WRITE setLogarithmic NOTIFY logarithmicChanged)
    Q_PROPERTY(bool perSecond READ perSecond WRITE setPerSecond NOTIFY perSecondChanged)
    Q_PROPERTY(bool active READ active WRITE setActive NOTIFY activeChanged)
    Q_PROPERTY(QColor plotColor READ plotColor WRITE setPlotColor NOTIFY styleChanged)
    Q_PROPERTY(QColor gridColor READ gridColor WRITE setGridColor NOTIFY styleChanged)
    Q_PROPERTY(QColor minorGridColor READ minorGridColor WRITE setMinorGridColor NOTIFY styleChanged)
    Q_PROPERTY(QColor labelColor READ labelColor WRITE setLabelColor NOTIFY styleChanged)
    Q_PROPERTY(QFont labelFont READ labelFont WRITE setLabelFont NOTIFY styleChanged)
    Q_PROPERTY(double leftMargin READ leftMargin WRITE setLeftMargin NOTIFY styleChanged)
    Q_PROPERTY(double topMargin READ topMargin WRITE setTopMargin NOTIFY styleChanged)
    Q_PROPERTY(double rightMargin READ rightMargin WRITE setRightMargin NOTIFY styleChanged)
    Q_PROPERTY(double bottomMargin READ bottomMargin WRITE setBottomMargin NOTIFY styleChanged)
    // What is drawn: the plot area in item coordinates and the count axis
    // range of the current mode.
    Q_PROPERTY(QRectF plotArea READ plotArea NOTIFY plotAreaChanged)
    Q_PROPERTY(double yMin READ yMin NOTIFY yRangeChanged)
    Q_PROPERTY(double yMax READ yMax NOTIFY yRangeChanged)

public:
    explicit TracePlot(QQuickItem *parent = nullptr);
    ~TracePlot() override;

    TraceSeries *series() const { return m_series; }
    void setSeries(TraceSeries *series);
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

    // What the plot area shows, for tests and the bench.
    const HistoryCanvas &canvas() const { return m_canvas; }

    void paint(QPainter *painter) override;

signals:
    void seriesChanged();
    void colorsChanged();
    void channelVisibleChanged();
    void logarithmicChanged();
    void perSecondChanged();
    void activeChanged();
    void styleChanged();
    void plotAreaChanged();
    void yRangeChanged();

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
    // What the series shows (nothing without one).
    const ReadingHistory &history() const;
    const HistoryView &view() const;
    int channelCount() const { return m_series ? m_series->channelCount() : Reading::kChannels; }
    void followChannelCount();
    bool drawn() const;
    // After a change of what is shown: the range and the drawing (whole
    // unless dataOnly) follow.
    void afterChange(bool dataOnly);
    // The range is worked out when asked for: a plot off screen does not
    // look through its span for every reading.
    const chartscale::Range &yRange() const;
    double logFloor() const;
    void updateRange();
    TraceScale currentScale() const;
    double pixelRatio() const;

    QPointer<TraceSeries> m_series;
    QList<QMetaObject::Connection> m_seriesConnections;
    QList<QColor> m_colors;
    QList<bool> m_visible;
    bool m_log = false;
    bool m_perSecond = false;
    bool m_active = true;

    HistoryCanvas m_canvas;
    HistoryCanvas::Style m_style;
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
};
