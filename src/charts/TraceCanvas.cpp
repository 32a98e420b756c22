#include "TraceCanvas.h"

#include <QLineF>
#include <QPainter>
#include <QPen>

#include <algorithm>
#include <cmath>
#include <cstring>

namespace {

bool sameRange(const TraceScale &a, const TraceScale &b)
{
    return a.width() == b.width() && a.height() == b.height() && a.isLog() == b.isLog()
           && a.yRange().min == b.yRange().min && a.yRange().max == b.yRange().max
           && a.msPerPixel() == b.msPerPixel();
}

// The part of the segment a-b between x = left and x = right, or false.
bool clipToColumns(QPointF &a, QPointF &b, double left, double right)
{
    if (a.x() > b.x())
        std::swap(a, b);
    if (b.x() < left || a.x() > right)
        return false;
    const double dx = b.x() - a.x();
    if (dx > 0) {
        const double slope = (b.y() - a.y()) / dx;
        if (a.x() < left)
            a = QPointF(left, a.y() + (left - a.x()) * slope);
        if (b.x() > right)
            b = QPointF(right, b.y() - (b.x() - right) * slope);
    }
    return true;
}

} // namespace

bool TraceCanvas::draw(const TraceWindow &window, const TraceScale &scale, const Style &style,
                       const QList<bool> &shown)
{
    const QSize size(scale.width() + 1, scale.height() + 1);
    const qint64 shift = scale.leftColumn() - m_scale.leftColumn();
    const bool incremental = m_valid && m_image.size() == size && sameRange(scale, m_scale)
                             && style == m_style && shown == m_shown && shift >= 0
                             && shift < scale.width() && window.appended() >= m_drawnRows;
    const quint64 newRows = incremental ? window.appended() - m_drawnRows : 0;
    m_scale = scale;
    m_style = style;
    m_shown = shown;
    m_drawnRows = window.appended();
    m_valid = true;
    if (!incremental) {
        if (m_image.size() != size)
            m_image = QImage(size, QImage::Format_RGB32);
        drawColumns(window, 0, size.width());
        return true;
    }
    scroll(int(shift));
    // The new segments start at the last point before the new rows.
    double from = size.width() - double(shift);
    const qsizetype firstNew = window.size() - qsizetype(std::min<quint64>(newRows, quint64(window.size())));
    if (newRows > 0) {
        for (int c = 0; c < window.channelCount(); ++c) {
            if (c < shown.size() && !shown.at(c))
                continue;
            window.forEachSegment(c, scale.isLog(), firstNew,
                                  [&](const TraceWindow::Point &a, const TraceWindow::Point &) {
                                      from = std::min(from, scale.xForTime(a.t));
                                  });
        }
    }
    // Square caps and antialiasing reach past a segment's end.
    const double reach = style.lineWidth + 2;
    drawColumns(window, int(std::clamp(std::floor(from - reach), 0.0, double(size.width()))), size.width());
    return false;
}

void TraceCanvas::scroll(int columns)
{
    if (columns <= 0)
        return;
    const int width = m_image.width();
    const qsizetype keep = qsizetype(width - columns) * 4;
    for (int y = 0; y < m_image.height(); ++y) {
        uchar *line = m_image.scanLine(y);
        std::memmove(line, line + qsizetype(columns) * 4, size_t(keep));
    }
}

void TraceCanvas::drawColumns(const TraceWindow &window, int from, int to)
{
    if (to <= from)
        return;
    if (from == 0) {
        QPainter p(&m_image);
        paintRegion(p, window, 0, to);
        return;
    }
    // The raster engine cuts a line at the edge of what it paints, which
    // moves its edge pixels a little. So a strip is painted on an image of
    // its own that reaches well to its left, and only its columns are kept.
    const int margin = int(std::ceil(m_style.lineWidth)) + 6;
    const QSize size(to - from + margin, m_image.height());
    if (m_strip.size() != size)
        m_strip = QImage(size, QImage::Format_RGB32);
    {
        QPainter p(&m_strip);
        p.translate(margin - from, 0);
        paintRegion(p, window, from - margin, to);
    }
    for (int y = 0; y < size.height(); ++y)
        std::memcpy(m_image.scanLine(y) + qsizetype(from) * 4, m_strip.constScanLine(y) + qsizetype(margin) * 4,
                    size_t(to - from) * 4);
}

void TraceCanvas::paintGrid(QPainter &p, const TraceScale &s, const Style &style, int from, int to, int h)
{
    p.fillRect(QRect(from, 0, to - from, h), style.background);
    const int gw = std::max(1, int(std::lround(style.gridWidth)));
    const auto row = [&](double value) { return int(std::floor(s.yForValue(value))); };
    const TraceScale::Ticks yTicks = s.yTicks(style.yTickCount);
    for (double v : yTicks.minor)
        p.fillRect(QRect(from, row(v), to - from, gw), style.minorGrid);
    for (double v : yTicks.major)
        p.fillRect(QRect(from, row(v), to - from, gw), style.grid);
    for (double t : s.timeTicks(style.timeStepMs, style.timeOriginMs)) {
        const int x = int(std::floor(s.xForTime(t)));
        if (x + gw > from && x < to)
            p.fillRect(QRect(x, 0, gw, h), style.grid);
    }
}

void TraceCanvas::paintRegion(QPainter &p, const TraceWindow &window, int from, int to)
{
    const TraceScale &s = m_scale;
    paintGrid(p, s, m_style, from, to, m_image.height());

    // Lines: every segment that can reach the strip, each drawn on its own
    // (a batch of lines may be filled as one shape, which differs where
    // they overlap), so a strip gets the pixels a full drawing gets.
    // Segments are drawn whole, as in a full drawing: only those far off the
    // plot (a line across a long pause) are cut, at bounds that do not
    // depend on the strip.
    const double reach = m_style.lineWidth + 2;
    const double left = -double(m_image.width());
    const double right = 2.0 * m_image.width();
    const qsizetype firstRow = window.firstRowAtOrAfter(s.timeForX(from - reach));
    p.setRenderHint(QPainter::Antialiasing);
    QList<QLineF> lines;
    for (int c = 0; c < window.channelCount(); ++c) {
        if ((c < m_shown.size() && !m_shown.at(c)) || m_style.colors.isEmpty())
            continue;
        lines.clear();
        window.forEachSegment(c, s.isLog(), firstRow,
                              [&](const TraceWindow::Point &a, const TraceWindow::Point &b) {
                                  QPointF pa(s.xForTime(a.t), s.yForValue(chartscale::drawValue(a.v)));
                                  QPointF pb(s.xForTime(b.t), s.yForValue(chartscale::drawValue(b.v)));
                                  if (clipToColumns(pa, pb, left, right))
                                      lines.append(QLineF(pa, pb));
                              });
        if (lines.isEmpty())
            continue;
        p.setPen(QPen(m_style.colors.at(c % m_style.colors.size()), m_style.lineWidth, Qt::SolidLine, Qt::SquareCap));
        for (const QLineF &segment : std::as_const(lines))
            p.drawLine(segment);
    }
}
