#pragma once

#include <QtGlobal>

#include <algorithm>
#include <cmath>
#include <limits>

// A closed range of values; empty while lo > hi.
struct ValueSpan {
    double lo = std::numeric_limits<double>::infinity();
    double hi = -std::numeric_limits<double>::infinity();

    bool isEmpty() const { return lo > hi; }
    void add(double v)
    {
        lo = std::min(lo, v);
        hi = std::max(hi, v);
    }
    void add(const ValueSpan &o)
    {
        lo = std::min(lo, o.lo);
        hi = std::max(hi, o.hi);
    }
    friend bool operator==(const ValueSpan &a, const ValueSpan &b)
    {
        return (a.isEmpty() && b.isEmpty()) || (a.lo == b.lo && a.hi == b.hi);
    }
};

// How one channel's line runs through a stretch of readings, in enough
// detail to draw it at any zoom without the readings themselves.
//
// The line of a channel: the linear line passes through every finite
// count, the log line through counts of at least 1 (others are skipped and
// the line runs on over them), and a count that is not finite breaks both.
// Between breaks the line is a run of points. A lone point between breaks
// draws nothing, so besides the range of all points the summary keeps the
// range of the first run (head) and of the last (tail), which may join the
// lines of the neighbours, and the hull of the runs of two points or more
// between them (middle). Summaries of adjacent stretches merge into the
// summary of both, which is what the history's pyramid is made of.
struct LineSummary {
    ValueSpan all;    // every point
    ValueSpan head;   // the first run (all points while nothing breaks inside)
    ValueSpan tail;   // the last run
    ValueSpan middle; // runs of two points or more between head and tail
    quint32 points = 0;
    quint8 headPoints = 0; // 0, 1 or 2 for two and more
    quint8 tailPoints = 0;
    bool breakBefore = false; // a break before the first point (without points: any break)
    bool breakAfter = false;  // a break after the last point (without points: any break)
    bool breakInside = false; // a break between the first point and the last

    static bool onLine(double count, bool log) { return std::isfinite(count) && (!log || count >= 1); }

    // The next reading's count.
    void add(double count, bool log)
    {
        if (!std::isfinite(count)) {
            breakAfter = true;
            if (points == 0)
                breakBefore = true;
            return;
        }
        if (log && !(count >= 1))
            return;
        all.add(count);
        if (points++ == 0) {
            head = tail = ValueSpan{count, count};
            headPoints = tailPoints = 1;
            breakAfter = false;
            return;
        }
        if (breakAfter) { // a new run
            if (breakInside) {
                if (tailPoints >= 2)
                    middle.add(tail);
            } else {
                breakInside = true;
            }
            tail = ValueSpan{count, count};
            tailPoints = 1;
            breakAfter = false;
            return;
        }
        tail.add(count);
        tailPoints = 2;
        if (!breakInside) {
            head = tail;
            headPoints = 2;
        }
    }

    // This stretch followed by the next one.
    void merge(const LineSummary &next)
    {
        if (next.points == 0) {
            if (next.breakBefore) {
                breakAfter = true;
                if (points == 0)
                    breakBefore = true;
            }
            return;
        }
        if (points == 0) {
            const bool broken = breakBefore;
            *this = next;
            breakBefore = breakBefore || broken;
            return;
        }
        const bool broken = breakAfter || next.breakBefore;
        points += next.points;
        all.add(next.all);
        breakAfter = next.breakAfter;
        if (!broken && !breakInside && !next.breakInside) {
            head.add(next.head);
            tail = head;
            headPoints = tailPoints = 2;
            return;
        }
        middle.add(next.middle);
        if (broken) {
            if (breakInside && tailPoints >= 2)
                middle.add(tail);
            if (next.breakInside && next.headPoints >= 2)
                middle.add(next.head);
        } else if (breakInside && next.breakInside) {
            middle.add(tail);
            middle.add(next.head);
        } else if (!breakInside) { // the next stretch's head joins this whole run
            head.add(next.head);
            headPoints = 2;
        }
        // The tail: the next stretch's, or this one's run joined to it.
        if (!broken && breakInside && !next.breakInside) {
            tail.add(next.tail);
            tailPoints = 2;
        } else {
            tail = next.tail;
            tailPoints = next.tailPoints;
        }
        breakInside = true;
    }

    friend bool operator==(const LineSummary &a, const LineSummary &b)
    {
        return a.all == b.all && a.head == b.head && a.tail == b.tail && a.middle == b.middle
               && a.points == b.points && a.headPoints == b.headPoints && a.tailPoints == b.tailPoints
               && a.breakBefore == b.breakBefore && a.breakAfter == b.breakAfter && a.breakInside == b.breakInside;
    }
    friend bool operator!=(const LineSummary &a, const LineSummary &b) { return !(a == b); }
};
