#include "TracePlot.h"

#include "ReadingRow.h"

#include <QDateTime>
#include <QFontMetricsF>
#include <QPainter>
#include <QQuickWindow>
#include <QVariantMap>

#include <algorithm>
#include <cmath>

namespace {

// Gap between an axis label and the plot.
constexpr double kLabelPad = 5;
// Room around the labels beyond that, so the plot sits where the chart
// library's layout put it.
constexpr double kAxisRoom = 10;
// Time labels stand at least this many label widths apart.
constexpr double kTimeLabelSpacing = 1.6;

QString countLabel(double v)
{
    return QString::asprintf("%.4g", v);
}

QString timeLabel(double ms)
{
    return QDateTime::fromMSecsSinceEpoch(qint64(ms)).toString(QStringLiteral("hh:mm:ss"));
}

} // namespace

TracePlot::TracePlot(QQuickItem *parent)
    : QQuickPaintedItem(parent)
{
    m_style.background = QColor(0x2C, 0x2C, 0x2C);
    m_style.grid = QColor(0x66, 0x66, 0x66);
    m_style.minorGrid = QColor(0x44, 0x44, 0x44);
    m_visible = QList<bool>(m_live.channelCount(), true);
    m_rightEdge = double(QDateTime::currentMSecsSinceEpoch());
    m_frozenRightEdge = m_rightEdge;
}

// ---- source -----------------------------------------------------------------

void TracePlot::setSource(ReadingSource *source)
{
    if (m_source == source)
        return;
    for (const QMetaObject::Connection &c : std::as_const(m_sourceConnections))
        disconnect(c);
    m_sourceConnections.clear();
    m_source = source;
    if (source) {
        m_sourceConnections.append(connect(source, &ReadingSource::readingTaken, this, [this](const Reading &r) {
            // A sweep's readings belong to its own plot.
            if (!r.sweep)
                addReading(r);
        }));
        m_sourceConnections.append(connect(source, &ReadingSource::linkClosed, this, &TracePlot::clear));
    }
    emit sourceChanged();
}

// ---- data -------------------------------------------------------------------

void TracePlot::addReading(const Reading &reading)
{
    const QList<double> values(reading.counts.begin(), reading.counts.begin() + m_live.channelCount());
    const bool wasEmpty = m_live.isEmpty();
    const double timeMs = double(reading.utcMs);
    m_live.append(timeMs, values);
    // The window prunes its oldest rows; the readings behind them go too.
    m_liveRows.append(reading);
    if (m_liveRows.size() > m_live.size())
        m_liveRows.remove(0, m_liveRows.size() - m_live.size());
    m_rightEdge = timeMs;
    if (m_paused)
        return; // held; the drawing stays as it was
    if (wasEmpty)
        emit hasDataChanged();
    emit timeRangeChanged();
    afterChange(true);
}

void TracePlot::clear()
{
    const bool had = hasData();
    m_live.clear();
    m_liveRows.clear();
    m_rightEdge = double(QDateTime::currentMSecsSinceEpoch());
    if (m_paused)
        return; // what was frozen stays on screen until resumed
    m_canvas.invalidate();
    if (had)
        emit hasDataChanged();
    emit timeRangeChanged();
    afterChange(false);
}

void TracePlot::setChannelCount(int count)
{
    count = std::clamp(count, 1, 64);
    if (count == m_live.channelCount())
        return;
    m_live = TraceWindow(count, windowMs());
    m_frozen = TraceWindow(count, windowMs());
    m_liveRows.clear();
    m_frozenRows.clear();
    m_visible.resize(count, true);
    m_canvas.invalidate();
    emit channelCountChanged();
    emit channelVisibleChanged();
    afterChange(false);
}

void TracePlot::setWindowMs(double ms)
{
    if (!(ms >= 1) || ms == windowMs())
        return;
    m_live = TraceWindow(m_live.channelCount(), ms);
    m_frozen = TraceWindow(m_live.channelCount(), ms);
    m_liveRows.clear();
    m_frozenRows.clear();
    m_canvas.invalidate();
    emit windowMsChanged();
    emit timeRangeChanged();
    afterChange(false);
}

QVariantList TracePlot::colors() const
{
    QVariantList out;
    for (const QColor &c : m_colors)
        out.append(c);
    return out;
}

void TracePlot::setColors(const QVariantList &colors)
{
    QList<QColor> next;
    for (const QVariant &v : colors)
        next.append(v.metaType() == QMetaType::fromType<QColor>() ? v.value<QColor>() : QColor(v.toString()));
    if (next == m_colors)
        return;
    m_colors = next;
    emit colorsChanged();
    afterChange(false);
}

void TracePlot::setChannelVisible(const QList<bool> &visible)
{
    QList<bool> next = visible;
    next.resize(m_live.channelCount(), true);
    if (next == m_visible)
        return;
    m_visible = next;
    emit channelVisibleChanged();
    afterChange(false);
}

void TracePlot::setLogarithmic(bool log)
{
    if (log == m_log)
        return;
    m_log = log;
    emit logarithmicChanged();
    afterChange(false);
}

void TracePlot::setActive(bool active)
{
    if (active == m_active)
        return;
    m_active = active;
    m_canvas.invalidate();
    emit activeChanged();
    afterChange(false);
}

void TracePlot::setPaused(bool paused)
{
    if (paused == m_paused)
        return;
    m_paused = paused;
    if (paused) {
        m_frozen = m_live;
        m_frozenRows = m_liveRows;
        m_frozenRightEdge = m_rightEdge;
    } else {
        m_frozen = TraceWindow(m_live.channelCount(), windowMs());
        m_frozenRows.clear();
        m_canvas.invalidate();
    }
    emit pausedChanged();
    emit hasDataChanged();
    emit timeRangeChanged();
    afterChange(false);
}

// ---- drawing ----------------------------------------------------------------

bool TracePlot::drawn() const
{
    return m_active && isVisible() && window() && width() > 0 && height() > 0;
}

const chartscale::Range &TracePlot::yRange() const
{
    if (m_rangeStale) {
        const TraceWindow::Extent e = shownWindow().extent(m_visible, m_log);
        const double lo = e.isEmpty() ? qQNaN() : e.lo;
        const double hi = e.isEmpty() ? qQNaN() : e.hi;
        m_yRange = m_log ? chartscale::paddedLogRange(lo, hi) : chartscale::paddedLinearRange(lo, hi);
        m_rangeStale = false;
    }
    return m_yRange;
}

void TracePlot::updateRange()
{
    m_rangeStale = true;
    const chartscale::Range r = yRange();
    if (r.min == m_notifiedRange.min && r.max == m_notifiedRange.max)
        return;
    m_notifiedRange = r;
    emit yRangeChanged();
}

void TracePlot::afterChange(bool dataOnly)
{
    if (!dataOnly)
        m_canvas.invalidate();
    if (!drawn()) {
        m_rangeStale = true; // worked out when asked for or shown
        return;
    }
    updateRange();
    polish();
}

double TracePlot::pixelRatio() const
{
    return window() ? window()->effectiveDevicePixelRatio() : 1.0;
}

TraceScale TracePlot::currentScale() const
{
    return TraceScale(int(std::lround(m_plotArea.width() * m_ratio)), int(std::lround(m_plotArea.height() * m_ratio)),
                      windowMs(), shownRightEdge(), yRange(), m_log);
}

void TracePlot::updatePolish()
{
    if (!drawn())
        return;
    const double ratio = pixelRatio();
    const QFontMetricsF fm(m_labelFont);
    const double labelHeight = fm.height();
    const double timeWidth = fm.horizontalAdvance(QStringLiteral("00:00:00"));

    // Top and bottom first: the plot's height sets how many count labels fit.
    const double top = std::ceil((m_margins[1] + labelHeight / 2 + kAxisRoom) * ratio);
    const double bottom = std::floor((height() - m_margins[3] - labelHeight - kLabelPad - kAxisRoom) * ratio);
    const int heightPx = std::max(1, int(bottom - top));
    const int desired = chartscale::desiredTickCount(heightPx / ratio, m_labelFont.pixelSize() > 0
                                                                          ? m_labelFont.pixelSize()
                                                                          : m_labelFont.pointSizeF());
    const TraceScale ticksOnly(1, heightPx, windowMs(), 0, yRange(), m_log);
    m_yTicks = ticksOnly.yTicks(desired).major;
    double labelWidth = 0;
    for (double v : std::as_const(m_yTicks))
        labelWidth = std::max(labelWidth, fm.horizontalAdvance(countLabel(v)));
    const double left = std::ceil((m_margins[0] + std::max(labelWidth + kLabelPad, timeWidth / 2) + kAxisRoom) * ratio);
    const double right = std::floor((width() - m_margins[2] - timeWidth / 2 - kAxisRoom) * ratio);
    const int widthPx = std::max(1, int(right - left));

    const QRectF area(left / ratio, top / ratio, widthPx / ratio, heightPx / ratio);
    m_ratio = ratio;
    if (area != m_plotArea) {
        m_plotArea = area;
        emit plotAreaChanged();
    }

    TraceCanvas::Style style = m_style;
    style.colors = m_colors;
    style.lineWidth = 2 * ratio;
    style.gridWidth = ratio;
    style.yTickCount = desired;
    const TraceScale scale = currentScale();
    style.timeStepMs = scale.timeStep(timeWidth * kTimeLabelSpacing * ratio);
    m_canvas.draw(shownWindow(), scale, style, m_visible);
    update();
}

void TracePlot::paint(QPainter *painter)
{
    const QImage &image = m_canvas.image();
    if (image.isNull() || m_plotArea.isEmpty())
        return;
    const TraceScale &scale = m_canvas.scale();
    const double ratio = m_ratio;
    const QRectF area = m_plotArea;
    painter->drawImage(QRectF(area.topLeft(), QSizeF(image.size()) / ratio), image);

    painter->setFont(m_labelFont);
    painter->setPen(m_labelColor);
    const QFontMetricsF fm(m_labelFont);
    const double h = fm.height();
    for (double v : std::as_const(m_yTicks)) {
        const double y = area.top() + scale.yForValue(v) / ratio;
        painter->drawText(QRectF(0, y - h / 2, area.left() - kLabelPad, h), Qt::AlignRight | Qt::AlignVCenter,
                          countLabel(v));
    }
    const double w = fm.horizontalAdvance(QStringLiteral("00:00:00")) * 2;
    const QList<double> ticks = scale.timeTicks(m_canvas.style().timeStepMs);
    for (double t : ticks) {
        const double x = area.left() + scale.xForTime(t) / ratio;
        painter->drawText(QRectF(x - w / 2, area.bottom() + kLabelPad, w, h), Qt::AlignHCenter | Qt::AlignTop,
                          timeLabel(t));
    }
}

void TracePlot::geometryChange(const QRectF &newGeometry, const QRectF &oldGeometry)
{
    QQuickPaintedItem::geometryChange(newGeometry, oldGeometry);
    if (newGeometry.size() != oldGeometry.size())
        afterChange(false);
}

void TracePlot::itemChange(ItemChange change, const ItemChangeData &value)
{
    QQuickPaintedItem::itemChange(change, value);
    if (change == ItemVisibleHasChanged || change == ItemSceneChange || change == ItemDevicePixelRatioHasChanged)
        afterChange(false);
}

// ---- read-out and export ------------------------------------------------------

double TracePlot::xForTime(double timeMs) const
{
    return currentScale().xForTime(timeMs) / m_ratio;
}

double TracePlot::timeForX(double x) const
{
    return currentScale().timeForX(x * m_ratio);
}

double TracePlot::yForValue(double count) const
{
    return currentScale().yForValue(chartscale::drawValue(count)) / m_ratio;
}

double TracePlot::valueForY(double y) const
{
    return currentScale().valueForY(y * m_ratio);
}

double TracePlot::valueAt(int channel, double timeMs) const
{
    return shownWindow().valueAt(channel, m_log, timeMs);
}

QVariantList TracePlot::hitsAt(double x, double tagGap) const
{
    struct Hit {
        double py;
        double value;
        int channel;
    };
    QList<Hit> hits;
    const double t = timeForX(x);
    for (int c = 0; c < shownWindow().channelCount(); ++c) {
        if (!m_visible.value(c, true))
            continue;
        const double v = valueAt(c, t);
        if (!std::isfinite(v))
            continue;
        const double py = yForValue(v);
        if (!(py >= 0 && py <= m_plotArea.height()))
            continue;
        hits.append({py, v, c});
    }
    std::stable_sort(hits.begin(), hits.end(), [](const Hit &a, const Hit &b) { return a.py < b.py; });
    QList<double> positions;
    for (const Hit &h : std::as_const(hits))
        positions.append(h.py);
    TraceScale::spreadApart(positions, tagGap);
    QVariantList out;
    for (qsizetype i = 0; i < hits.size(); ++i) {
        const QColor color = m_colors.isEmpty() ? QColor() : m_colors.at(hits.at(i).channel % m_colors.size());
        out.append(QVariantMap{{QStringLiteral("py"), positions.at(i)},
                               {QStringLiteral("value"), hits.at(i).value},
                               {QStringLiteral("channel"), hits.at(i).channel},
                               {QStringLiteral("color"), color}});
    }
    return out;
}

QList<Reading> TracePlot::visibleReadings() const
{
    const TraceWindow &w = shownWindow();
    const QList<Reading> &rows = shownRows();
    const qsizetype first = w.firstRowAtOrAfter(timeMin());
    return rows.mid(first);
}

QByteArray TracePlot::csvTable() const
{
    QByteArray out = readingrow::csvHeader();
    const QList<Reading> rows = visibleReadings();
    for (const Reading &r : rows)
        out += readingrow::csvRow(r, readingrow::elapsedSeconds(r, rows.constFirst().monotonicNs));
    return out;
}
