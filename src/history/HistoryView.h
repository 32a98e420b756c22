#pragma once

#include "LineSummary.h"
#include "ReadingHistory.h"

#include <QList>

// Which part of a history the time view shows, and what it finds there.
//
// The view covers a span of time. Live, it ends at the newest reading and
// moves on with every new one. Held (paused, or panned back), it stays
// where it was: its right edge keeps its time, and readings that arrive
// meanwhile are left out (rows from endRow() on), so nothing in it moves
// until it is live again.
//
// The span is one of any length from kMinSpanMs to kMaxSpanMs, or all of
// the history (spanSetting() 0): from the oldest reading over a round span
// a little longer than the history, which grows in steps of a quarter at
// most, so that a drawing of it scrolls and redraws only now and then.
//
// The rows shown are those from the first at or after the left edge to the
// last at or before the right edge; each line comes in from its point
// before them and goes on to its point after them (see extent()).
class HistoryView
{
public:
    static constexpr double kMinSpanMs = 1000;
    static constexpr double kMaxSpanMs = 31 * 86400e3;
    // The least span "all" takes, and where a view of no readings ends.
    static constexpr double kAllMinSpanMs = 30000;

    // ---- where the view stands ----------------------------------------------
    // The span chosen: ms, or 0 for all of the history.
    double spanSetting() const { return m_span; }
    // Any length is brought into [kMinSpanMs, kMaxSpanMs]; 0 (or less, or
    // NaN) is all. Held, the right edge stays where it is.
    void setSpan(const ReadingHistory &h, double spanMs);

    bool isHeld() const { return m_held; }
    // Held at what it shows now.
    void hold(const ReadingHistory &h);
    // Live again: the newest reading at the right edge.
    void follow();
    // Where a live view of no readings ends (the time it was cleared).
    void setEmptyRightEdge(double ms) { m_emptyRight = ms; }

    // A drag: the view moves by ms (later for ms > 0) and is held, kept
    // over the history: at most as far back as the oldest reading at the
    // left edge, as far on as the newest at the right edge (a history
    // shorter than the span: between the two).
    void pan(const ReadingHistory &h, double ms);
    // The span times factor. Live, the right edge stays on the newest
    // reading and the view stays live; held, the time anchorMs stays where
    // it is on the axis.
    void zoom(const ReadingHistory &h, double anchorMs, double factor);

    // ---- what it shows ----------------------------------------------------
    double rightEdge(const ReadingHistory &h) const;
    double span(const ReadingHistory &h) const;
    double leftEdge(const ReadingHistory &h) const { return rightEdge(h) - span(h); }
    // The rows that had come when the view was held: [0, endRow()).
    qsizetype endRow(const ReadingHistory &h) const;
    // The rows in the span: [firstRow, lastRow).
    qsizetype firstRow(const ReadingHistory &h) const;
    qsizetype lastRow(const ReadingHistory &h) const;

    // ---- what there is in rows (static: any rows of any history) ----------
    // Smallest and largest drawn value over the lines of the channels shown
    // through rows [from, to), the point each line comes in from before
    // them and the point it goes on to after them among the rows before
    // `end` (see ReadingHistory::pointBefore, pointAfter); in counts per
    // second with perSecond.
    static ValueSpan extent(const ReadingHistory &h, qsizetype from, qsizetype to, qsizetype end,
                            const QList<bool> &shown, bool log, bool perSecond);
    // Its parts for one channel: the drawn values of the points in rows
    // [from, to), and of the points the line comes in from and goes on to.
    static ValueSpan pointsIn(const ReadingHistory &h, int channel, bool log, bool perSecond, qsizetype from,
                              qsizetype to);
    static ValueSpan neighbours(const ReadingHistory &h, int channel, bool log, bool perSecond, qsizetype from,
                                qsizetype to, qsizetype end);
    // A channel's value at time t along its line through rows before end,
    // exact at a point (the first of several at one time), interpolated between
    // the two points around t, NaN before the first point, after the last
    // and across a break.
    static double valueAt(const ReadingHistory &h, int channel, bool log, bool perSecond, double t, qsizetype end);
    // Where a log axis of rates starts for rows [from, end): the rate of
    // one count over their longest gate, at most 1 (see PerSecond.h).
    static double rateFloor(const ReadingHistory &h, qsizetype from, qsizetype end);

private:
    double newestShown(const ReadingHistory &h) const;
    double allSpan(const ReadingHistory &h) const;
    void keepOver(const ReadingHistory &h);

    double m_span = 30000;
    bool m_held = false;
    double m_heldRight = 0;
    quint64 m_heldEnd = 0; // readings taken (evicted + size) when held
    double m_emptyRight = 0;
};
