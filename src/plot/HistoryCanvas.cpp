#include "HistoryCanvas.h"

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

void HistoryCanvas::paintGrid(QPainter &p, const TraceScale &s, const Style &style, int from, int to, int h)
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

void HistoryCanvas::setEveryPointLimit(double readingsPerColumn)
{
    if (readingsPerColumn == m_everyPointLimit || std::isnan(readingsPerColumn))
        return;
    m_everyPointLimit = readingsPerColumn;
    m_valid = false;
}

bool HistoryCanvas::draw(const ReadingHistory &history, const TraceScale &scale, const Style &style,
                         const QList<bool> &shown, const Mode &mode)
{
    const QSize size(scale.width() + 1, scale.height() + 1);
    const qsizetype end = mode.end < 0 ? history.size() : std::min(mode.end, history.size());
    // Readings taken up to the last one shown: what the drawing is of.
    const quint64 appended = history.evicted() + quint64(end);
    const qsizetype inView = std::min(end, history.upperBound(scale.timeForX(size.width())))
                             - history.lowerBound(scale.timeForX(0));
    const bool everyPoint = double(inView) <= m_everyPointLimit * size.width();
    const qint64 shift = scale.leftColumn() - m_scale.leftColumn();
    const bool incremental = m_valid && m_image.size() == size && sameRange(scale, m_scale) && style == m_style
                             && shown == m_shown && everyPoint == m_everyPoint && mode.perSecond == m_perSecond
                             && history.generation() == m_drawnGeneration && history.evicted() == m_drawnEvicted
                             && appended >= m_drawnAppended && shift > -size.width() && shift < size.width();
    const quint64 newRows = incremental ? appended - m_drawnAppended : 0;
    m_scale = scale;
    m_style = style;
    m_shown = shown;
    m_everyPoint = everyPoint;
    m_perSecond = mode.perSecond;
    m_end = end;
    if (!incremental)
        m_density = double(std::max<qsizetype>(0, inView)) / size.width();
    m_drawnAppended = appended;
    m_drawnEvicted = history.evicted();
    m_drawnGeneration = history.generation();
    m_valid = true;
    if (!incremental) {
        if (m_image.size() != size)
            m_image = QImage(size, QImage::Format_RGB32);
        drawColumns(history, 0, size.width());
        return true;
    }
    scroll(int(shift));
    // Redrawn: what scrolled in, and what the new readings touch, from the
    // point each line comes from into the first new reading.
    const int width = size.width();
    int rightFrom = shift > 0 ? width - int(shift) : width;
    const int leftTo = shift < 0 ? int(-shift) : 0;
    if (newRows > 0) {
        const qsizetype firstNew = end - qsizetype(std::min<quint64>(newRows, quint64(end)));
        double from = scale.xForTime(double(history.timeKey(firstNew)));
        for (int c = 0; c < ReadingHistory::kChannels; ++c) {
            if (c < shown.size() && !shown.at(c))
                continue;
            const ReadingHistory::LinePoint p = history.pointBefore(c, scale.isLog(), firstNew);
            if (p.isValid())
                from = std::min(from, scale.xForTime(p.t));
        }
        // Square caps and antialiasing reach past a segment's end.
        const double reach = style.lineWidth + 2;
        rightFrom = std::min(rightFrom, int(std::clamp(std::floor(from - reach), 0.0, double(width))));
    }
    if (leftTo >= rightFrom) {
        drawColumns(history, 0, width);
        return false;
    }
    drawColumns(history, 0, leftTo);
    drawColumns(history, rightFrom, width);
    return false;
}

// A point of a count line as drawn: its count, or its rate per second (not
// valid for a reading of no known period).
ReadingHistory::LinePoint HistoryCanvas::shownPoint(const ReadingHistory &history, ReadingHistory::LinePoint p) const
{
    if (!m_perSecond || !p.isValid())
        return p;
    p.v = persecond::rate(p.v, history.periodAt(p.index));
    if (!std::isfinite(p.v))
        p.index = -1;
    return p;
}

void HistoryCanvas::scroll(int columns)
{
    if (columns == 0)
        return;
    const int width = m_image.width();
    const int n = std::abs(columns);
    const qsizetype keep = qsizetype(width - n) * 4;
    for (int y = 0; y < m_image.height(); ++y) {
        uchar *line = m_image.scanLine(y);
        if (columns > 0)
            std::memmove(line, line + qsizetype(n) * 4, size_t(keep));
        else
            std::memmove(line + qsizetype(n) * 4, line, size_t(keep));
    }
}

void HistoryCanvas::drawColumns(const ReadingHistory &history, int from, int to)
{
    if (to <= from)
        return;
    const int width = m_image.width();
    if (!m_everyPoint) {
        {
            QPainter p(&m_image);
            p.setClipRect(QRect(from, 0, to - from, m_image.height()));
            paintGrid(p, m_scale, m_style, from, to, m_image.height());
        }
        rasterColumns(history, from, to);
        return;
    }
    if (from == 0 && to == width) {
        QPainter p(&m_image);
        paintGrid(p, m_scale, m_style, 0, to, m_image.height());
        paintSegments(p, history, 0, to);
        return;
    }
    // The raster engine cuts a line at the edge of what it paints, which
    // moves its edge pixels a little. So a strip is painted on an image of
    // its own that reaches well past its sides, and only its columns are kept.
    const int margin = int(std::ceil(m_style.lineWidth)) + 6;
    const int leftMargin = from > 0 ? margin : 0;
    const int rightMargin = to < width ? margin : 0;
    const QSize size(to - from + leftMargin + rightMargin, m_image.height());
    if (m_strip.size() != size)
        m_strip = QImage(size, QImage::Format_RGB32);
    {
        QPainter p(&m_strip);
        p.translate(leftMargin - from, 0);
        paintGrid(p, m_scale, m_style, from - leftMargin, to + rightMargin, m_image.height());
        paintSegments(p, history, from - leftMargin, to + rightMargin);
    }
    for (int y = 0; y < size.height(); ++y)
        std::memcpy(m_image.scanLine(y) + qsizetype(from) * 4, m_strip.constScanLine(y) + qsizetype(leftMargin) * 4,
                    size_t(to - from) * 4);
}

void HistoryCanvas::paintSegments(QPainter &p, const ReadingHistory &history, int from, int to)
{
    // Every segment that can reach the strip, each drawn on its own (a batch
    // of lines may be filled as one shape, which differs where they overlap),
    // so a strip gets the pixels a whole drawing gets. Only segments far off
    // the plot (a line across a long pause) are cut, at bounds that do not
    // depend on the strip.
    const TraceScale &s = m_scale;
    const double reach = m_style.lineWidth + 2;
    const double left = -double(m_image.width());
    const double right = 2.0 * m_image.width();
    const qsizetype firstRow = std::min(m_end, history.lowerBound(s.timeForX(from - reach)));
    const qsizetype endRow = std::min(m_end, history.upperBound(s.timeForX(to + reach)));
    const bool log = s.isLog();
    // Per second: the factor of each row's period, from the runs of periods.
    if (m_perSecond)
        history.periodRuns(firstRow, endRow, &m_periods);
    p.setRenderHint(QPainter::Antialiasing);
    QList<QLineF> lines;
    for (int c = 0; c < ReadingHistory::kChannels; ++c) {
        if ((c < m_shown.size() && !m_shown.at(c)) || m_style.colors.isEmpty())
            continue;
        lines.clear();
        const auto segment = [&](const ReadingHistory::LinePoint &a, const ReadingHistory::LinePoint &b) {
            QPointF pa(s.xForTime(a.t), s.yForValue(chartscale::drawValue(a.v)));
            QPointF pb(s.xForTime(b.t), s.yForValue(chartscale::drawValue(b.v)));
            if (clipToColumns(pa, pb, left, right))
                lines.append(QLineF(pa, pb));
        };
        ReadingHistory::LinePoint prev = shownPoint(history, history.pointBefore(c, log, firstRow));
        size_t run = 0;
        double factor = 1;
        for (qsizetype r = firstRow; r < endRow; ++r) {
            double v = history.count(r, c);
            if (m_perSecond) {
                while (run < m_periods.size() && m_periods[run].from <= r)
                    factor = persecond::factor(m_periods[run++].periodMs);
                if (std::isnan(factor))
                    v = factor; // no period: a gap
            }
            if (!std::isfinite(v)) {
                prev = {};
                continue;
            }
            if (!LineSummary::onLine(v, log))
                continue;
            const ReadingHistory::LinePoint point{r, double(history.timeKey(r)),
                                                  m_perSecond ? persecond::scaled(v, factor) : v};
            if (prev.isValid())
                segment(prev, point);
            prev = point;
        }
        if (prev.isValid()) {
            const ReadingHistory::LinePoint next = shownPoint(history, history.pointAfter(c, log, endRow, m_end));
            if (next.isValid())
                segment(prev, next);
        }
        if (lines.isEmpty())
            continue;
        p.setPen(QPen(m_style.colors.at(c % m_style.colors.size()), m_style.lineWidth, Qt::SolidLine, Qt::SquareCap));
        for (const QLineF &line : std::as_const(lines))
            p.drawLine(line);
    }
}

void HistoryCanvas::addPiece(int column, const Piece &piece)
{
    const int k = column - m_firstColumn;
    if (k < 0 || k >= m_columnCount)
        return;
    quint8 &n = m_pieceCounts[size_t(k)];
    Piece *slot = m_pieces.data() + size_t(k) * kPiecesPerColumn;
    if (n < kPiecesPerColumn) {
        slot[n++] = piece;
        return;
    }
    Piece &last = slot[kPiecesPerColumn - 1]; // never reached by the line's own shape; hull as a guard
    last = {std::min(last.x0, piece.x0), std::max(last.x1, piece.x1), std::min(last.y0, piece.y0),
            std::max(last.y1, piece.y1), last.folded || piece.folded};
}

// A straight stretch of the line from (xa, ya) to (xb, yb), xa <= xb, cut
// into the columns it crosses.
void HistoryCanvas::addSegment(double xa, double ya, double xb, double yb)
{
    const double lo = double(m_firstColumn);
    const double hi = double(m_firstColumn + m_columnCount);
    if (!(xb >= lo) || !(xa < hi))
        return;
    if (!(xb > xa)) {
        addPiece(int(std::floor(xa)), {xa, xa, std::min(ya, yb), std::max(ya, yb), false});
        return;
    }
    const int first = int(std::max(lo, std::floor(xa)));
    const int last = int(std::min(hi - 1, std::floor(xb)));
    const double slope = (yb - ya) / (xb - xa);
    for (int q = first; q <= last; ++q) {
        const double x0 = std::max(xa, double(q));
        const double x1 = std::min(xb, double(q + 1));
        const double y0 = ya + (x0 - xa) * slope;
        const double y1 = ya + (x1 - xa) * slope;
        addPiece(q, {x0, x1, std::min(y0, y1), std::max(y0, y1), false});
    }
}

void HistoryCanvas::rasterColumns(const ReadingHistory &history, int from, int to)
{
    const TraceScale &s = m_scale;
    const bool log = s.isLog();
    const double half = m_style.lineWidth / 2;
    // A pixel column takes the pieces of the columns the pen reaches from.
    const int reach = int(std::ceil(half)) + 1;
    m_firstColumn = from - reach;
    m_columnCount = to - from + 2 * reach;
    m_bounds.resize(size_t(m_columnCount) + 1);
    for (int k = 0; k <= m_columnCount; ++k)
        m_bounds[size_t(k)] = std::min(m_end, history.lowerBound(s.timeForX(m_firstColumn + k)));
    // Columns of a leaf or more start and end on whole leaves (moved by half
    // a leaf at most, less than half a column), so that they are summed from
    // the pyramid alone. Every point is still drawn where it is; only which
    // column's summary holds it changes, for a few rows at a column's edge.
    // Per column, so that a strip gets the pixels a whole drawing gets.
    if (m_density >= ReadingHistory::kLeafReadings) {
        constexpr qsizetype leaf = ReadingHistory::kLeafReadings;
        for (qsizetype &b : m_bounds)
            b = std::min(m_end, (b + leaf / 2) / leaf * leaf);
    }
    m_columns.resize(size_t(m_columnCount));
    m_pieces.resize(size_t(m_columnCount) * kPiecesPerColumn);
    m_pieceCounts.resize(size_t(m_columnCount));
    const int height = m_image.height();
    m_coverage.assign(size_t(height), 0.0f);
    if (m_perSecond)
        history.periodRuns(m_bounds.front(), m_bounds.back(), &m_periods);
    const auto y = [&](double v) { return s.yForValue(chartscale::drawValue(v)); };

    for (int c = 0; c < ReadingHistory::kChannels; ++c) {
        if ((c < m_shown.size() && !m_shown.at(c)) || m_style.colors.isEmpty())
            continue;
        std::fill(m_pieceCounts.begin(), m_pieceCounts.end(), quint8(0));
        history.columns(c, log, m_bounds.data(), m_columnCount, m_columns.data());
        if (m_perSecond)
            ratesOfColumns(history, c, log);

        // The line's pieces, column by column: each run's range, and the
        // stretches joining one column's last point to the next one's first.
        ReadingHistory::LinePoint prev = shownPoint(history, history.pointBefore(c, log, m_bounds.front()));
        bool linked = prev.isValid();
        for (int k = 0; k < m_columnCount; ++k) {
            const ReadingHistory::Column &col = m_columns[size_t(k)];
            const LineSummary &line = col.line;
            if (line.points == 0) {
                if (line.breakBefore)
                    linked = false;
                continue;
            }
            const double xf = s.xForTime(col.first.t);
            const double xl = s.xForTime(col.last.t);
            if (linked && !line.breakBefore)
                addSegment(s.xForTime(prev.t), y(prev.v), xf, y(col.first.v));
            // A run's range as strokes down from where its ends are to where
            // it is lowest and highest (M4: first, last, min and max), so a
            // lone spike is one stroke where the spike is, and spikes of one
            // height a stroke from the first to the last. The ranges around
            // breaks inside the column go down its middle.
            const int q = m_firstColumn + k;
            if (!line.breakInside) {
                if (line.points >= 2) {
                    const double inner = std::min(col.first.v, col.last.v);
                    const double outer = std::max(col.first.v, col.last.v);
                    addPiece(q, {s.xForTime(col.low.t), s.xForTime(col.lowLast.t), y(outer), y(line.all.lo), true});
                    addPiece(q, {s.xForTime(col.high.t), s.xForTime(col.highLast.t), y(line.all.hi), y(inner), true});
                }
            } else {
                const double xm = std::clamp(q + 0.5, xf, xl);
                if (line.headPoints >= 2)
                    addPiece(q, {xm, xm, y(line.head.hi), y(line.head.lo), true});
                if (!line.middle.isEmpty())
                    addPiece(q, {xm, xm, y(line.middle.hi), y(line.middle.lo), true});
                if (line.tailPoints >= 2)
                    addPiece(q, {xm, xm, y(line.tail.hi), y(line.tail.lo), true});
            }
            prev = col.last;
            linked = !line.breakAfter;
        }
        if (linked) {
            const ReadingHistory::LinePoint next =
                shownPoint(history, history.pointAfter(c, log, m_bounds.back(), m_end));
            if (next.isValid())
                addSegment(s.xForTime(prev.t), y(prev.v), s.xForTime(next.t), y(next.v));
        }

        // Coverage of each pixel by the pieces widened by the pen's half
        // width (a square pen, as the caps are), then one blend per pixel.
        const QRgb color = m_style.colors.at(c % m_style.colors.size()).rgb();
        const int cr = qRed(color), cg = qGreen(color), cb = qBlue(color);
        for (int p = from; p < to; ++p) {
            int top = height, bottom = -1;
            for (int q = p - reach; q <= p + reach; ++q) {
                const int k = q - m_firstColumn;
                const Piece *slot = m_pieces.data() + size_t(k) * kPiecesPerColumn;
                for (int i = 0; i < m_pieceCounts[size_t(k)]; ++i) {
                    const Piece &pc = slot[i];
                    const double fx = std::min({pc.x1 + half, double(p + 1)}) - std::max(pc.x0 - half, double(p));
                    if (!(fx > 0))
                        continue;
                    const double ya = std::max(pc.y0 - half, 0.0);
                    const double yb = std::min(pc.y1 + half, double(height));
                    if (!(yb > ya))
                        continue;
                    const double wx = std::min(fx, 1.0);
                    const int r0 = int(ya);
                    const int r1 = std::min(height - 1, int(std::ceil(yb)) - 1);
                    for (int r = r0; r <= r1; ++r) {
                        const double cy = std::min(yb, double(r + 1)) - std::max(ya, double(r));
                        const double a = wx * cy;
                        float &cov = m_coverage[size_t(r)];
                        cov = std::max(cov, float(pc.folded ? a * (2 - a) : a));
                    }
                    top = std::min(top, r0);
                    bottom = std::max(bottom, r1);
                }
            }
            for (int r = top; r <= bottom; ++r) {
                float &cov = m_coverage[size_t(r)];
                if (cov <= 0)
                    continue;
                const int a = int(std::lround(std::min(cov, 1.0f) * 255));
                cov = 0;
                QRgb *px = reinterpret_cast<QRgb *>(m_image.scanLine(r)) + p;
                const QRgb d = *px;
                const auto mix = [a](int under, int over) { return (under * (255 - a) + over * a + 127) / 255; };
                *px = qRgb(mix(qRed(d), cr), mix(qGreen(d), cg), mix(qBlue(d), cb));
            }
        }
    }
}

namespace {

// A column's summary and points in counts per second, its rows all of one period.
void scaleColumn(ReadingHistory::Column &col, double factor)
{
    if (std::isnan(factor)) { // no period: the rows are a gap
        col = ReadingHistory::Column();
        col.line.breakBefore = col.line.breakAfter = true;
        return;
    }
    col.line = persecond::scaled(col.line, factor);
    for (ReadingHistory::LinePoint *p : {&col.first, &col.last, &col.low, &col.lowLast, &col.high, &col.highLast})
        p->v = persecond::scaled(p->v, factor);
}

// Column a followed by column b: the summary of both, with their M4 points.
void appendColumn(ReadingHistory::Column &a, const ReadingHistory::Column &b)
{
    if (b.line.points > 0) {
        if (a.line.points == 0) {
            a.first = b.first;
            a.low = b.low;
            a.lowLast = b.lowLast;
            a.high = b.high;
            a.highLast = b.highLast;
        } else {
            if (b.line.all.lo < a.line.all.lo)
                a.low = b.low;
            if (b.line.all.lo <= a.line.all.lo)
                a.lowLast = b.lowLast;
            if (b.line.all.hi > a.line.all.hi)
                a.high = b.high;
            if (b.line.all.hi >= a.line.all.hi)
                a.highLast = b.highLast;
        }
        a.last = b.last;
    }
    a.line.merge(b.line);
}

} // namespace

// The columns of one channel in counts per second. A column of one period
// is scaled as a whole; one across a change of period (rare) is summed up
// again in pieces of one period each, scaled and joined.
void HistoryCanvas::ratesOfColumns(const ReadingHistory &history, int channel, bool log)
{
    size_t run = 0;
    for (int k = 0; k < m_columnCount; ++k) {
        const qsizetype a = m_bounds[size_t(k)];
        const qsizetype b = m_bounds[size_t(k) + 1];
        if (a >= b)
            continue;
        while (run + 1 < m_periods.size() && m_periods[run + 1].from <= a)
            ++run;
        if (run >= m_periods.size())
            break;
        if (run + 1 >= m_periods.size() || m_periods[run + 1].from >= b) {
            scaleColumn(m_columns[size_t(k)], persecond::factor(m_periods[run].periodMs));
            continue;
        }
        m_subBounds.clear();
        m_subBounds.push_back(a);
        for (size_t r = run + 1; r < m_periods.size() && m_periods[r].from < b; ++r)
            m_subBounds.push_back(m_periods[r].from);
        m_subBounds.push_back(b);
        const int pieces = int(m_subBounds.size()) - 1;
        m_subColumns.resize(size_t(pieces));
        history.columns(channel, log, m_subBounds.data(), pieces, m_subColumns.data());
        ReadingHistory::Column joined;
        for (int i = 0; i < pieces; ++i) {
            scaleColumn(m_subColumns[size_t(i)], persecond::factor(m_periods[run + size_t(i)].periodMs));
            appendColumn(joined, m_subColumns[size_t(i)]);
        }
        m_columns[size_t(k)] = joined;
    }
}
