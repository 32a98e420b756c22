#include "TracePlot.h"

#include <QDateTime>
#include <QFontMetricsF>
#include <QLocale>
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
constexpr double kDayMs = 86400e3;

QString countLabel(double v)
{
    return QString::asprintf("%.4g", v);
}

QString timeLabel(double ms, const QString &format)
{
    return QLocale().toString(QDateTime::fromMSecsSinceEpoch(qint64(ms)), format);
}

// Labels carry the date where the span crosses midnight or is longer than a
// day; seconds while labels are less than a minute apart; only the date
// once they are a day apart.
QString timeFormat(double left, double right, double stepMs, bool withSeconds)
{
    const bool dated = right - left > kDayMs
                       || QDateTime::fromMSecsSinceEpoch(qint64(left)).date()
                              != QDateTime::fromMSecsSinceEpoch(qint64(right)).date();
    if (stepMs >= kDayMs)
        return QStringLiteral("d MMM");
    const QString time = withSeconds && stepMs < 60e3 ? QStringLiteral("hh:mm:ss") : QStringLiteral("hh:mm");
    return dated ? QStringLiteral("d MMM ") + time : time;
}

} // namespace

TracePlot::TracePlot(QQuickItem *parent)
    : QQuickPaintedItem(parent)
{
    m_style.background = QColor(0x2C, 0x2C, 0x2C);
    m_style.grid = QColor(0x66, 0x66, 0x66);
    m_style.minorGrid = QColor(0x44, 0x44, 0x44);
    m_visible = QList<bool>(channelCount(), true);
}

TracePlot::~TracePlot() = default;

// ---- what is shown ----------------------------------------------------------------

void TracePlot::setSeries(TraceSeries *series)
{
    if (m_series == series)
        return;
    for (const QMetaObject::Connection &c : std::as_const(m_seriesConnections))
        disconnect(c);
    m_seriesConnections.clear();
    m_series = series;
    if (series) {
        m_seriesConnections.append(connect(series, &TraceSeries::shownChanged, this, [this](bool whole) {
            if (whole)
                m_extent.invalidate(); // another history, or one of the same counters
            afterChange(!whole);
        }));
        m_seriesConnections.append(
            connect(series, &TraceSeries::channelCountChanged, this, &TracePlot::followChannelCount));
    }
    emit seriesChanged();
    m_extent.invalidate();
    followChannelCount();
}

const ReadingHistory &TracePlot::history() const
{
    static const ReadingHistory none;
    return m_series ? m_series->history() : none;
}

const HistoryView &TracePlot::view() const
{
    static const HistoryView none;
    return m_series ? m_series->view() : none;
}

void TracePlot::followChannelCount()
{
    if (m_visible.size() != channelCount()) {
        m_visible.resize(channelCount(), true);
        emit channelVisibleChanged();
    }
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
    next.resize(channelCount(), true);
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

void TracePlot::setPerSecond(bool perSecond)
{
    if (perSecond == m_perSecond)
        return;
    m_perSecond = perSecond;
    emit perSecondChanged();
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

// ---- panning and zooming ------------------------------------------------------

void TracePlot::pan(double dx)
{
    if (!m_series || !(m_plotArea.width() > 0) || !std::isfinite(dx))
        return;
    m_series->pan(dx * view().span(history()) / m_plotArea.width());
}

void TracePlot::zoomAt(double x, double factor)
{
    if (m_series)
        m_series->zoom(timeForX(x), factor);
}

// ---- drawing ----------------------------------------------------------------

bool TracePlot::drawn() const
{
    return m_series && m_active && isVisible() && window() && width() > 0 && height() > 0;
}

const chartscale::Range &TracePlot::yRange() const
{
    if (m_rangeStale) {
        const ReadingHistory &h = history();
        const HistoryView &v = view();
        const qsizetype from = v.firstRow(h);
        const qsizetype to = v.lastRow(h);
        QList<bool> channels = m_visible;
        channels.resize(Reading::kChannels, false);
        const ValueSpan e = m_extent.update(h, from, to, v.endRow(h), channels, m_log, m_perSecond);
        const double lo = e.isEmpty() ? qQNaN() : e.lo;
        const double hi = e.isEmpty() ? qQNaN() : e.hi;
        m_logFloor = m_log && m_perSecond ? HistoryView::rateFloor(h, from, to) : 1.0;
        m_yRange = m_log ? chartscale::paddedLogRange(lo, hi, m_logFloor) : chartscale::paddedLinearRange(lo, hi);
        m_rangeStale = false;
    }
    return m_yRange;
}

double TracePlot::logFloor() const
{
    yRange();
    return m_logFloor;
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
    const ReadingHistory &h = history();
    return TraceScale(int(std::lround(m_plotArea.width() * m_ratio)), int(std::lround(m_plotArea.height() * m_ratio)),
                      view().span(h), view().rightEdge(h), yRange(), m_log, logFloor());
}

void TracePlot::updatePolish()
{
    if (!drawn())
        return;
    const double ratio = pixelRatio();
    const QFontMetricsF fm(m_labelFont);
    const double labelHeight = fm.height();
    // The margins make room for a time of day; longer labels (with a date)
    // stand further apart.
    const double timeWidth = fm.horizontalAdvance(QStringLiteral("00:00:00"));

    // Top and bottom first: the plot's height sets how many count labels fit.
    const double top = std::ceil((m_margins[1] + labelHeight / 2 + kAxisRoom) * ratio);
    const double bottom = std::floor((height() - m_margins[3] - labelHeight - kLabelPad - kAxisRoom) * ratio);
    const int heightPx = std::max(1, int(bottom - top));
    const int desired = chartscale::desiredTickCount(heightPx / ratio, m_labelFont.pixelSize() > 0
                                                                          ? m_labelFont.pixelSize()
                                                                          : m_labelFont.pointSizeF());
    const TraceScale ticksOnly(1, heightPx, 1000, 0, yRange(), m_log, logFloor());
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

    HistoryCanvas::Style style = m_style;
    style.colors = m_colors;
    style.lineWidth = 2 * ratio;
    style.gridWidth = ratio;
    style.yTickCount = desired;
    const TraceScale scale = currentScale();
    const double t0 = scale.timeForX(0);
    const double t1 = scale.timeForX(scale.width());
    // The widest label the span may take sets how far apart they stand.
    const QString widest = timeFormat(t0, t1, 0, true);
    const double widestWidth = std::max(timeWidth, fm.horizontalAdvance(timeLabel(t1, widest)));
    style.timeStepMs = scale.timeStep(widestWidth * kTimeLabelSpacing * ratio);
    // Lines on round local times.
    style.timeOriginMs = -1000.0 * QDateTime::fromMSecsSinceEpoch(qint64(t1)).offsetFromUtc();
    m_timeFormat = timeFormat(t0, t1, style.timeStepMs, true);
    const ReadingHistory &h = history();
    m_canvas.draw(h, scale, style, m_visible + QList<bool>(Reading::kChannels - m_visible.size(), false),
                  {view().endRow(h), m_perSecond});
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
    const HistoryCanvas::Style &style = m_canvas.style();
    for (double t : scale.timeTicks(style.timeStepMs, style.timeOriginMs)) {
        const QString text = timeLabel(t, m_timeFormat);
        const double w = std::max(fm.horizontalAdvance(QStringLiteral("00:00:00")), fm.horizontalAdvance(text)) * 2;
        const double x = area.left() + scale.xForTime(t) / ratio;
        painter->drawText(QRectF(x - w / 2, area.bottom() + kLabelPad, w, h), Qt::AlignHCenter | Qt::AlignTop, text);
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

// ---- read-out -----------------------------------------------------------------

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
    const ReadingHistory &h = history();
    return HistoryView::valueAt(h, channel, m_log, m_perSecond, timeMs, view().endRow(h));
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
    for (int c = 0; c < m_visible.size(); ++c) {
        if (!m_visible.at(c))
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
