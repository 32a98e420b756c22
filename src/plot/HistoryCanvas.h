#pragma once

#include "PerSecond.h"
#include "ReadingHistory.h"
#include "TraceScale.h"

#include <QColor>
#include <QImage>
#include <QList>

#include <vector>

class QPainter;

// The time plot's area over any span of the history, as a cached image in
// device pixels: crisp grid lines on whole pixels (minor ones first) and one
// antialiased line per channel shown.
//
// While the span holds few readings per pixel column (everyPointLimit()),
// every segment is drawn with QPainter, each on its own with a square cap.
// Beyond that each column is drawn from its M4 summary
// (ReadingHistory::columns): the value range of each run of the line in it,
// joined to the neighbours' first and last points, widened by the pen and
// antialiased by coverage straight into the image. A frame then costs in
// proportion to the columns, not to the readings, and looks like the
// drawing of every point to within a pixel.
//
// When only time has moved by whole columns (following the newest reading,
// or panning at one zoom) the image scrolls and only the strips that changed
// are drawn again.
class HistoryCanvas
{
public:
    struct Style {
        QColor background;
        QColor grid;
        QColor minorGrid;
        QList<QColor> colors; // channel i takes entry i mod size
        double lineWidth = 2; // device pixels
        double gridWidth = 1;
        int yTickCount = 5;   // desired major ticks
        double timeStepMs = 5000;
        double timeOriginMs = 0; // time lines at this plus multiples of the step
        bool operator==(const Style &o) const
        {
            return background == o.background && grid == o.grid && minorGrid == o.minorGrid && colors == o.colors
                   && lineWidth == o.lineWidth && gridWidth == o.gridWidth && yTickCount == o.yTickCount
                   && timeStepMs == o.timeStepMs && timeOriginMs == o.timeOriginMs;
        }
        bool operator!=(const Style &o) const { return !(*this == o); }
    };

    // Which rows, in what unit: rows from `end` on (when not negative) are
    // left out as if not there yet (a view held still while readings come);
    // perSecond draws each count over its own gate period (see PerSecond.h),
    // a reading of no known period as a gap.
    struct Mode {
        qsizetype end = -1;
        bool perSecond = false;
    };

    // Brings the image up to date with the history over the scale's time
    // range; true when it was drawn whole.
    bool draw(const ReadingHistory &history, const TraceScale &scale, const Style &style, const QList<bool> &shown,
              const Mode &mode);
    bool draw(const ReadingHistory &history, const TraceScale &scale, const Style &style, const QList<bool> &shown)
    {
        return draw(history, scale, style, shown, Mode());
    }
    // The next draw() redraws everything.
    void invalidate() { m_valid = false; }

    // (scale width + 1) × (scale height + 1) pixels: x and y from 0 to the far edge inclusive.
    const QImage &image() const { return m_image; }
    const TraceScale &scale() const { return m_scale; }
    const Style &style() const { return m_style; }

    // Readings per column up to which every segment is drawn (default 2;
    // infinity: always).
    double everyPointLimit() const { return m_everyPointLimit; }
    void setEveryPointLimit(double readingsPerColumn);
    // Whether the last drawing went through every segment.
    bool drewEveryPoint() const { return m_everyPoint; }

private:
    // The background and grid of columns [from, to) of a plot `height` + 1 pixels high.
    static void paintGrid(QPainter &p, const TraceScale &scale, const Style &style, int from, int to, int height);

    struct Piece { // a stretch of the line within one column: x and y ranges
        double x0, x1, y0, y1;
        bool folded; // a run's range: segments there and back, whose edges add up
    };

    void drawColumns(const ReadingHistory &history, int from, int to);
    void ratesOfColumns(const ReadingHistory &history, int channel, bool log);
    ReadingHistory::LinePoint shownPoint(const ReadingHistory &history, ReadingHistory::LinePoint p) const;
    void paintSegments(QPainter &p, const ReadingHistory &history, int from, int to);
    void rasterColumns(const ReadingHistory &history, int from, int to);
    void addPiece(int column, const Piece &piece);
    void addSegment(double xa, double ya, double xb, double yb);
    void scroll(int columns);

    QImage m_image;
    QImage m_strip; // where a strip of segments is painted before it is copied in
    TraceScale m_scale;
    Style m_style;
    QList<bool> m_shown;
    double m_everyPointLimit = 2;
    bool m_everyPoint = true;
    double m_density = 0; // readings per column when last drawn whole
    quint64 m_drawnAppended = 0; // the history's appended(), evicted() and generation() at the last draw
    quint64 m_drawnEvicted = 0;
    quint64 m_drawnGeneration = 0;
    bool m_valid = false;
    qsizetype m_end = 0;     // rows shown: [0, m_end)
    bool m_perSecond = false;

    // Scratch of rasterColumns, kept between frames.
    static constexpr int kPiecesPerColumn = 6;
    int m_firstColumn = 0; // pixel column of slot 0
    int m_columnCount = 0;
    std::vector<qsizetype> m_bounds;
    std::vector<ReadingHistory::Column> m_columns;
    std::vector<ReadingHistory::PeriodRun> m_periods; // over the columns, per second
    std::vector<qsizetype> m_subBounds;
    std::vector<ReadingHistory::Column> m_subColumns;
    std::vector<Piece> m_pieces;
    std::vector<quint8> m_pieceCounts;
    std::vector<float> m_coverage;
};
