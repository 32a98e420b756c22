#include "TracePlot.h"

#include "ReadingRow.h"

#include <QDateTime>
#include <QFontMetricsF>
#include <QIODevice>
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

QVariantMap statsMap(int channel, const ChannelStats &s)
{
    return {{QStringLiteral("channel"), channel},
            {QStringLiteral("count"), double(s.count)},
            {QStringLiteral("nonFinite"), double(s.nonFinite)},
            {QStringLiteral("mean"), s.mean},
            {QStringLiteral("stddev"), s.stddev},
            {QStringLiteral("min"), s.min},
            {QStringLiteral("max"), s.max},
            {QStringLiteral("rate"), s.rate},
            {QStringLiteral("rateCount"), double(s.rateCount)}};
}

// Rows as a recording's CSV: header, then one line each, elapsed seconds
// from the first on the steady clock; written in blocks through `flush`.
template<typename Rows, typename Flush>
bool writeRows(const Rows &rows, qsizetype count, Flush flush)
{
    QByteArray block = readingrow::csvHeader();
    const qint64 start = count > 0 ? rows(0).monotonicNs : 0;
    for (qsizetype i = 0; i < count; ++i) {
        const Reading r = rows(i);
        block += readingrow::csvRow(r, readingrow::elapsedSeconds(r, start));
        if (block.size() >= (1 << 16)) {
            if (!flush(block))
                return false;
            block.clear();
        }
    }
    return flush(block);
}

} // namespace

TracePlot::TracePlot(QQuickItem *parent)
    : QQuickPaintedItem(parent)
    , m_history(std::make_unique<ReadingHistory>())
{
    m_style.background = QColor(0x2C, 0x2C, 0x2C);
    m_style.grid = QColor(0x66, 0x66, 0x66);
    m_style.minorGrid = QColor(0x44, 0x44, 0x44);
    m_visible = QList<bool>(m_channelCount, true);
    m_view.setEmptyRightEdge(double(QDateTime::currentMSecsSinceEpoch()));
    m_statsTimer.setSingleShot(true);
    connect(&m_statsTimer, &QTimer::timeout, this, &TracePlot::updateStats);
    connect(&m_loader, &RecordingLoader::readingsRead, this, &TracePlot::takeBatch);
    connect(&m_loader, &RecordingLoader::finished, this, &TracePlot::fileRead);
    connect(&m_loader, &RecordingLoader::progressChanged, this, &TracePlot::fileProgressChanged);
    connect(&m_loader, &RecordingLoader::loadingChanged, this, &TracePlot::fileLoadingChanged);
}

TracePlot::~TracePlot() = default;

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
    const bool had = hasData();
    const bool wasEmpty = m_history->isEmpty();
    m_history->append(reading);
    if (m_file)
        return; // kept for when the file is left
    if (!m_closed && (wasEmpty || m_history->evicted() != m_notifiedDropped)) {
        m_notifiedDropped = m_history->evicted();
        emit droppedChanged();
    }
    if (paused())
        return; // kept; what is shown stays as it was
    noteHasData(had);
    emit timeRangeChanged();
    statsDue(false);
    afterChange(true);
}

void TracePlot::clear()
{
    if (m_file) { // the link's readings are not on screen
        m_history->clear();
        m_notifiedDropped = 0;
        return;
    }
    const bool had = hasData();
    if (paused() && !m_closed) {
        // What is held stays on screen until the view is live again; a new
        // link's readings go into a history of their own meanwhile.
        m_closed = std::move(m_history);
        m_history = std::make_unique<ReadingHistory>();
        m_extent.invalidate();
        return;
    }
    m_history->clear();
    m_notifiedDropped = 0;
    if (m_closed)
        return; // the history shown is the closed link's
    m_view.setEmptyRightEdge(double(QDateTime::currentMSecsSinceEpoch()));
    m_canvas.invalidate();
    noteHasData(had);
    emit droppedChanged();
    afterViewChange();
}

void TracePlot::setHistoryBudget(qint64 bytes)
{
    setPaused(false);
    m_history = std::make_unique<ReadingHistory>(bytes);
    m_extent.invalidate();
    m_notifiedDropped = 0;
    clear();
}

void TracePlot::noteHasData(bool had)
{
    if (hasData() != had)
        emit hasDataChanged();
}

void TracePlot::setChannelCount(int count)
{
    count = std::clamp(count, 1, int(Reading::kChannels));
    if (count == m_channelCount)
        return;
    m_channelCount = count;
    m_visible.resize(count, true);
    emit channelCountChanged();
    emit channelVisibleChanged();
    statsDue(true);
    afterChange(false);
}

void TracePlot::setSpanMs(double ms)
{
    const double before = spanMs();
    m_view.setSpan(shown(), ms);
    if (spanMs() == before)
        return;
    emit spanMsChanged();
    afterViewChange();
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
    next.resize(m_channelCount, true);
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
    if (m_active)
        statsDue(true);
    afterChange(false);
}

void TracePlot::setPaused(bool paused)
{
    if (paused == this->paused())
        return;
    const bool had = hasData();
    if (paused) {
        m_view.hold(shown());
    } else {
        m_view.follow();
        if (m_closed) { // back to the live link's history
            m_closed.reset();
            showLiveHistory();
        }
    }
    emit pausedChanged();
    noteHasData(had);
    afterViewChange();
}

void TracePlot::showLiveHistory()
{
    m_extent.invalidate();
    m_notifiedDropped = m_history->evicted();
    if (m_history->isEmpty())
        m_view.setEmptyRightEdge(double(QDateTime::currentMSecsSinceEpoch()));
    m_canvas.invalidate();
    emit droppedChanged();
}

void TracePlot::setStatsEnabled(bool enabled)
{
    if (enabled == m_statsEnabled)
        return;
    m_statsEnabled = enabled;
    emit statsEnabledChanged();
    statsDue(true);
}

// ---- a recording ---------------------------------------------------------------

void TracePlot::openFile(const QUrl &file)
{
    const bool had = hasData();
    const double spanBefore = spanMs();
    m_loader.cancel();
    if (!m_file)
        m_liveSpanMs = spanBefore;
    m_closed.reset();
    m_file = std::make_unique<ReadingHistory>();
    m_filePath = file.isLocalFile() ? file.toLocalFile() : file.toString();
    m_fileSummary.clear();
    m_fileProblems.clear();
    m_view.follow();
    m_view.setSpan(*m_file, 0);
    m_extent.invalidate();
    m_canvas.invalidate();
    emit fileChanged();
    emit pausedChanged();
    if (spanMs() != spanBefore)
        emit spanMsChanged();
    emit droppedChanged();
    noteHasData(had);
    afterViewChange();
    m_loader.open(file);
}

void TracePlot::cancelFile()
{
    m_loader.cancel();
}

void TracePlot::closeFile()
{
    if (!m_file)
        return;
    m_loader.cancel();
    const bool had = hasData();
    const double spanBefore = spanMs();
    m_file.reset();
    m_filePath.clear();
    m_fileSummary.clear();
    m_fileProblems.clear();
    m_view.follow();
    m_view.setSpan(*m_history, m_liveSpanMs);
    showLiveHistory();
    emit fileChanged();
    emit fileLoadingChanged();
    emit pausedChanged();
    if (spanMs() != spanBefore)
        emit spanMsChanged();
    noteHasData(had);
    afterViewChange();
}

void TracePlot::takeBatch(const RecordingBatch &batch)
{
    if (!m_file || batch.readings.isEmpty())
        return;
    const bool had = hasData();
    m_file->append(batch.readings.constData(), batch.readings.size());
    emit droppedChanged();
    if (paused())
        return;
    noteHasData(had);
    emit timeRangeChanged();
    statsDue(false);
    afterChange(false);
}

void TracePlot::fileRead(const RecordingSummary &summary)
{
    if (!m_file)
        return;
    m_fileSummary = summary.text();
    m_fileProblems.clear();
    for (const RecordingProblem &p : summary.problems)
        m_fileProblems.append(p.text());
    emit fileLoadingChanged();
    statsDue(true);
}

// ---- panning and zooming ------------------------------------------------------

void TracePlot::pan(double dx)
{
    if (!(m_plotArea.width() > 0) || !std::isfinite(dx))
        return;
    const ReadingHistory &h = shown();
    const bool wasHeld = paused();
    const double before = spanMs();
    m_view.pan(h, dx * m_view.span(h) / m_plotArea.width());
    if (!wasHeld)
        emit pausedChanged();
    if (spanMs() != before)
        emit spanMsChanged();
    afterViewChange();
}

void TracePlot::zoomAt(double x, double factor)
{
    const double before = spanMs();
    m_view.zoom(shown(), timeForX(x), factor);
    if (spanMs() != before)
        emit spanMsChanged();
    afterViewChange();
}

// ---- drawing ----------------------------------------------------------------

bool TracePlot::drawn() const
{
    return m_active && isVisible() && window() && width() > 0 && height() > 0;
}

const chartscale::Range &TracePlot::yRange() const
{
    if (m_rangeStale) {
        const ReadingHistory &h = shown();
        const qsizetype from = m_view.firstRow(h);
        const qsizetype to = m_view.lastRow(h);
        QList<bool> channels = m_visible;
        channels.resize(Reading::kChannels, false);
        const ValueSpan e = m_extent.update(h, from, to, m_view.endRow(h), channels, m_log, m_perSecond);
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

void TracePlot::afterViewChange()
{
    emit timeRangeChanged();
    statsDue(true);
    afterChange(true);
}

double TracePlot::pixelRatio() const
{
    return window() ? window()->effectiveDevicePixelRatio() : 1.0;
}

TraceScale TracePlot::currentScale() const
{
    const ReadingHistory &h = shown();
    return TraceScale(int(std::lround(m_plotArea.width() * m_ratio)), int(std::lround(m_plotArea.height() * m_ratio)),
                      m_view.span(h), m_view.rightEdge(h), yRange(), m_log, logFloor());
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

    TraceCanvas::Style style = m_style;
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
    const ReadingHistory &h = shown();
    m_canvas.draw(h, scale, style, m_visible + QList<bool>(Reading::kChannels - m_visible.size(), false),
                  {m_view.endRow(h), m_perSecond});
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
    const TraceCanvas::Style &style = m_canvas.style();
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
    if (change == ItemVisibleHasChanged || change == ItemSceneChange || change == ItemDevicePixelRatioHasChanged) {
        if (change == ItemVisibleHasChanged && value.boolValue)
            statsDue(true);
        afterChange(false);
    }
}

// ---- statistics -----------------------------------------------------------------

void TracePlot::statsDue(bool soon)
{
    m_statsStale = true;
    if (!m_statsEnabled)
        return;
    // A change of what is shown at once; new readings at a modest pace.
    if (soon)
        m_statsTimer.start(0);
    else if (!m_statsTimer.isActive())
        m_statsTimer.start(kStatsIntervalMs);
}

SpanStats TracePlot::currentStats() const
{
    const ReadingHistory &h = shown();
    return h.stats(m_view.firstRow(h), m_view.lastRow(h));
}

void TracePlot::updateStats()
{
    // Out of sight the figures wait until they are shown again.
    if (!m_statsEnabled || !m_statsStale || !m_active || !isVisible())
        return;
    const SpanStats stats = currentStats();
    QVariantList out;
    for (int c = 0; c < m_channelCount; ++c)
        out.append(statsMap(c, stats[size_t(c)]));
    m_statsStale = false;
    m_spanStats = out;
    emit spanStatsChanged();
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
    const ReadingHistory &h = shown();
    return HistoryView::valueAt(h, channel, m_log, m_perSecond, timeMs, m_view.endRow(h));
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
    for (int c = 0; c < m_channelCount; ++c) {
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

int TracePlot::readingCount() const
{
    const ReadingHistory &h = shown();
    return int(std::max<qsizetype>(0, m_view.lastRow(h) - m_view.firstRow(h)));
}

Reading TracePlot::readingAt(qsizetype i) const
{
    const ReadingHistory &h = shown();
    if (i < 0 || i >= readingCount())
        return {};
    return h.reading(m_view.firstRow(h) + i);
}

QByteArray TracePlot::csvTable() const
{
    QByteArray out;
    writeRows([this](qsizetype i) { return readingAt(i); }, readingCount(), [&out](const QByteArray &block) {
        out += block;
        return true;
    });
    return out;
}

CsvTable::Writer TracePlot::csvWriter() const
{
    const ReadingHistory &h = shown();
    const ReadingHistory::Slice rows = h.slice(m_view.firstRow(h), m_view.lastRow(h));
    return [rows](QIODevice &out) {
        return writeRows([&rows](qsizetype i) { return rows.reading(i); }, rows.size(),
                         [&out](const QByteArray &block) { return out.write(block) == block.size(); });
    };
}
