#pragma once

#include "TraceScale.h"
#include "TraceWindow.h"

#include <QColor>
#include <QImage>
#include <QList>

class QPainter;

// The plot area of the trace plot as a cached image in device pixels: grid
// lines and one antialiased line per channel shown. When only time has moved
// on since the last drawing, the image scrolls left by whole pixel columns
// and only the strip that the new readings touch is drawn again; anything
// else (range, mode, channels shown, size, colours) redraws it all.
class TraceCanvas
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
            return background == o.background && grid == o.grid && minorGrid == o.minorGrid
                   && colors == o.colors && lineWidth == o.lineWidth && gridWidth == o.gridWidth
                   && yTickCount == o.yTickCount && timeStepMs == o.timeStepMs
                   && timeOriginMs == o.timeOriginMs;
        }
        bool operator!=(const Style &o) const { return !(*this == o); }
    };

    // Brings the image up to date; true when it was drawn whole.
    bool draw(const TraceWindow &window, const TraceScale &scale, const Style &style,
              const QList<bool> &shown);
    // The next draw() redraws everything.
    void invalidate() { m_valid = false; }

    // (scale width + 1) × (scale height + 1) pixels: x and y from 0 to the far edge inclusive.
    const QImage &image() const { return m_image; }
    const TraceScale &scale() const { return m_scale; }
    const Style &style() const { return m_style; }

    // The background and grid of columns [from, to) of a plot `height` + 1
    // pixels high: crisp lines on whole pixels, minor ones first.
    static void paintGrid(QPainter &p, const TraceScale &scale, const Style &style, int from, int to, int height);

private:
    void drawColumns(const TraceWindow &window, int from, int to);
    void paintRegion(QPainter &painter, const TraceWindow &window, int from, int to);
    void scroll(int columns);

    QImage m_image;
    QImage m_strip; // where a strip is painted before it is copied in
    TraceScale m_scale;
    Style m_style;
    QList<bool> m_shown;
    quint64 m_drawnRows = 0; // TraceWindow::appended() at the last draw
    bool m_valid = false;
};
