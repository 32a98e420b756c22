#include "TracePlot.h"

#include "ReadingRow.h"

#include <QDateTime>
#include <QFontMetricsF>
#include <QJSValue>
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

QVariantList variantList(const QVariant &v)
{
    // A scene object's `var` property holds a script array.
    if (v.metaType() == QMetaType::fromType<QJSValue>())
        return v.value<QJSValue>().toVariant().toList();
    return v.toList();
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

void TracePlot::setSource(QObject *source)
{
    if (m_source == source)
        return;
    disconnect(m_countsConnection);
    disconnect(m_connectedConnection);
    for (const QMetaObject::Connection &c : std::as_const(m_settingsConnections))
        disconnect(c);
    m_settingsConnections.clear();
    m_countsProperty = m_connectedProperty = m_calibrationProperty = QMetaProperty();
    m_periodProperty = m_levelsProperty = m_levelsKnownProperty = QMetaProperty();
    m_settings.clear();
    m_source = source;
    if (source) {
        const QMetaObject *meta = source->metaObject();
        const auto property = [meta](const char *name) {
            const int index = meta->indexOfProperty(name);
            return index >= 0 ? meta->property(index) : QMetaProperty();
        };
        m_countsProperty = property("counts");
        m_connectedProperty = property("connected");
        m_calibrationProperty = property("calibrationRunning");
        const QMetaObject *self = metaObject();
        if (m_countsProperty.hasNotifySignal()) {
            m_countsConnection = connect(source, m_countsProperty.notifySignal(), this,
                                         self->method(self->indexOfSlot("onSourceCounts()")));
        }
        if (m_connectedProperty.hasNotifySignal()) {
            m_connectedConnection = connect(source, m_connectedProperty.notifySignal(), this,
                                            self->method(self->indexOfSlot("onSourceConnected()")));
        }
        m_periodProperty = property("periodMs");
        m_levelsProperty = property("dacVolts");
        m_levelsKnownProperty = property("dacLevelsKnown");
        const QMetaMethod settingsSlot = self->method(self->indexOfSlot("onSourceSettings()"));
        for (const QMetaProperty &p : {m_periodProperty, m_levelsProperty, m_levelsKnownProperty}) {
            if (p.hasNotifySignal())
                m_settingsConnections.append(connect(source, p.notifySignal(), this, settingsSlot));
        }
        onSourceSettings();
    }
    emit sourceChanged();
}

bool TracePlot::sourceFlag(const QMetaProperty &property, bool fallback) const
{
    return property.isValid() ? property.read(m_source).toBool() : fallback;
}

void TracePlot::onSourceCounts()
{
    if (!m_source || !sourceFlag(m_connectedProperty, true) || sourceFlag(m_calibrationProperty, false))
        return;
    addReading(double(QDateTime::currentMSecsSinceEpoch()), variantList(m_countsProperty.read(m_source)));
}

void TracePlot::onSourceConnected()
{
    if (m_source && !sourceFlag(m_connectedProperty, true))
        clear();
}

void TracePlot::onSourceSettings()
{
    Settings next;
    next.fromRow = m_rowsSeen;
    if (m_periodProperty.isValid())
        next.periodMs = m_periodProperty.read(m_source).toInt();
    if (m_levelsProperty.isValid() && sourceFlag(m_levelsKnownProperty, true))
        next.levelsMv = readingrow::levelsMv(variantList(m_levelsProperty.read(m_source)));
    if (!m_settings.isEmpty() && m_settings.constLast().periodMs == next.periodMs
        && m_settings.constLast().levelsMv == next.levelsMv)
        return;
    // Changes with no reading between them (a sweep's steps): only the last counts.
    if (!m_settings.isEmpty() && m_settings.constLast().fromRow == next.fromRow) {
        m_settings.last() = next;
        return;
    }
    // Changes older than every row held are dropped, all but the one in
    // force at the oldest row.
    quint64 oldest = m_rowsSeen - quint64(m_live.size());
    if (m_paused)
        oldest = std::min(oldest, m_frozenRowsSeen - quint64(m_frozen.size()));
    qsizetype drop = 0;
    while (drop + 1 < m_settings.size() && m_settings.at(drop + 1).fromRow <= oldest)
        ++drop;
    // An operator changing levels while paused for a long time: keep a bounded list.
    drop = std::max(drop, m_settings.size() + 1 - 4096);
    m_settings.remove(0, drop);
    m_settings.append(next);
}

TracePlot::Settings TracePlot::settingsAt(quint64 row) const
{
    for (qsizetype i = m_settings.size() - 1; i >= 0; --i) {
        if (m_settings.at(i).fromRow <= row)
            return m_settings.at(i);
    }
    return m_settings.isEmpty() ? Settings() : m_settings.constFirst();
}

// ---- data -------------------------------------------------------------------

void TracePlot::addReading(double timeMs, const QVariantList &counts)
{
    QList<double> values(m_live.channelCount(), 0.0);
    for (qsizetype i = 0; i < values.size() && i < counts.size(); ++i) {
        bool ok = false;
        const double v = counts.at(i).toDouble(&ok);
        values[i] = ok ? v : qQNaN();
    }
    const bool wasEmpty = m_live.isEmpty();
    m_live.append(timeMs, values);
    ++m_rowsSeen;
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
        m_frozenRightEdge = m_rightEdge;
        m_frozenRowsSeen = m_rowsSeen;
    } else {
        m_frozen = TraceWindow(m_live.channelCount(), windowMs());
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

QList<TracePlot::Reading> TracePlot::visibleReadings() const
{
    const TraceWindow &w = shownWindow();
    QList<Reading> out;
    for (qsizetype r = w.firstRowAtOrAfter(timeMin()); r < w.size(); ++r) {
        Reading reading{w.timeAt(r), {}};
        reading.counts.reserve(w.channelCount());
        for (int c = 0; c < w.channelCount(); ++c)
            reading.counts.append(w.countAt(r, c));
        out.append(reading);
    }
    return out;
}

QVariantList TracePlot::readings() const
{
    QVariantList out;
    for (const Reading &r : visibleReadings()) {
        QVariantList counts;
        for (double v : r.counts)
            counts.append(v);
        out.append(QVariantMap{{QStringLiteral("timeMs"), r.timeMs}, {QStringLiteral("counts"), counts}});
    }
    return out;
}

QString TracePlot::windowCsv() const
{
    QByteArray out = readingrow::csvHeader();
    const QList<Reading> rows = visibleReadings();
    // The readings shown run to the newest one held.
    const quint64 firstSeen = (m_paused ? m_frozenRowsSeen : m_rowsSeen) - quint64(rows.size());
    for (qsizetype i = 0; i < rows.size(); ++i) {
        const Settings settings = settingsAt(firstSeen + quint64(i));
        readingrow::Reading row;
        row.utc = QDateTime::fromMSecsSinceEpoch(qint64(rows.at(i).timeMs)); // written as UTC
        row.elapsedS = (rows.at(i).timeMs - rows.constFirst().timeMs) / 1000.0;
        row.periodMs = settings.periodMs;
        row.counts = rows.at(i).counts;
        row.thresholdsMv = settings.levelsMv;
        out += readingrow::csvRow(row);
    }
    return QString::fromUtf8(out);
}
