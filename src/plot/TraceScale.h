#pragma once

#include "ChartScale.h"

#include <QList>
#include <QtGlobal>

// Where times and counts fall on the trace plot, in device pixels: x from
// the plot's left edge, y from its top, each running to the far edge (width,
// height) inclusive. The time axis is quantised to whole pixel columns of
// absolute time, so that a plot that moves on by n columns shows the same
// points exactly n pixels further left, and a cached image of it can be
// scrolled instead of redrawn.
class TraceScale
{
public:
    TraceScale() = default;
    // rightEdgeMs is rounded up to the next whole column. A log axis starts
    // at logFloor or above (see chartscale::logRange).
    TraceScale(int width, int height, double spanMs, double rightEdgeMs, chartscale::Range y, bool log,
               double logFloor = 1);

    int width() const { return m_width; }
    int height() const { return m_height; }
    bool isLog() const { return m_log; }
    double logFloor() const { return m_logFloor; }
    chartscale::Range yRange() const { return m_y; }
    double msPerPixel() const { return m_msPerPx; }
    // Absolute column of x = 0.
    qint64 leftColumn() const { return m_leftColumn; }
    qint64 rightColumn() const { return m_leftColumn + m_width; }

    double xForTime(double timeMs) const;
    double timeForX(double x) const;
    // A drawn count (see chartscale::drawValue); NaN for one the axis cannot show.
    double yForValue(double value) const;
    double valueForY(double y) const;

    // Ticks within the Y range: major ticks carry labels, minor ones only grid
    // lines. Linear: every `interval` from 0, one minor tick between; log: each
    // power of the axis base, nine minor ticks evenly between two powers.
    struct Ticks {
        QList<double> major;
        QList<double> minor;
    };
    Ticks yTicks(int desiredCount) const;

    // originMs plus multiples of stepMs within the time range (an origin of
    // minus the UTC offset puts them on round local times).
    QList<double> timeTicks(double stepMs, double originMs = 0) const;
    // The shortest of 1, 2, 5, 10, 15, 30 s, 1, 2, 5, 10, 15, 30 min, 1, 2,
    // 3, 6, 12 h, 1, 2, 7, 14 days that keeps labels at least minSpacing
    // device pixels apart.
    double timeStep(double minSpacing) const;

    // Moves sorted positions down so that each lies at least gap below the
    // one before it (tags of nearly equal values stay readable).
    static void spreadApart(QList<double> &sortedPositions, double gap);

    // The column a time falls in, rounded up; 0 for a time that is not finite.
    static qint64 columnAtOrAfter(double timeMs, double msPerPx);

private:
    int m_width = 1;
    int m_height = 1;
    double m_msPerPx = 1;
    qint64 m_leftColumn = 0;
    chartscale::Range m_y;
    bool m_log = false;
    double m_logFloor = 1;
    double m_logMin = 0;
    double m_logSpan = 1;
};
