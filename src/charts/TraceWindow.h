#pragma once

#include <QList>
#include <QtGlobal>

#include <cmath>
#include <limits>

// The readings of a sliding time window, one row per reading: the time and
// every channel's raw count, in a ring that grows only while the window
// fills (and never beyond kMaxRows). Pruning keeps exactly one row older
// than the window's edge, so each line runs out to the left of the plot.
//
// A channel is drawn through its rows as a linear line (every finite count)
// or a log line (only counts of at least 1; smaller ones are skipped and the
// line runs on over them). A count that is not finite breaks both lines.
// The log line's point before the edge may be older than the oldest row
// kept; it is carried separately per channel.
class TraceWindow
{
public:
    static constexpr qsizetype kMaxRows = 1 << 16;

    explicit TraceWindow(int channelCount = 8, double spanMs = 30000);

    int channelCount() const { return m_channels; }
    double spanMs() const { return m_spanMs; }

    // Adds a reading (missing channels count 0) and prunes to [timeMs − span, timeMs].
    void append(double timeMs, const QList<double> &counts);
    void clear();

    qsizetype size() const { return m_count; }
    bool isEmpty() const { return m_count == 0; }
    double timeAt(qsizetype row) const { return m_data[slot(row)]; }
    double countAt(qsizetype row, int channel) const { return m_data[slot(row) + 1 + channel]; }
    double newestTime() const { return m_count ? timeAt(m_count - 1) : qQNaN(); }
    // Rows appended since the last clear(); with size() it tells which rows are new.
    quint64 appended() const { return m_appended; }

    // A point of a line: time and raw count.
    struct Point {
        double t = 0;
        double v = 0;
    };

    // Calls segment(a, b) for every piece of a channel's line in time order,
    // from the row `fromRow` on (the segment reaching into that row included).
    template<typename Segment>
    void forEachSegment(int channel, bool log, qsizetype fromRow, Segment segment) const;

    // Smallest and largest drawn value over the lines of the channels shown
    // (lo > hi when there is none).
    struct Extent {
        double lo = std::numeric_limits<double>::infinity();
        double hi = -std::numeric_limits<double>::infinity();
        bool isEmpty() const { return !(lo <= hi); }
    };
    Extent extent(const QList<bool> &shown, bool log) const;

    // The raw value of a channel's line at time t by linear interpolation
    // (NaN before its first point, after its last, and in its gaps).
    double valueAt(int channel, bool log, double t) const;

    // First row whose time is at least t (size() if none).
    qsizetype firstRowAtOrAfter(double t) const;

    // Whether the line may pass through this count.
    static bool onLine(double count, bool log);

private:
    qsizetype slot(qsizetype row) const { return ((m_head + row) & (m_capacity - 1)) * m_stride; }
    void dropOldest();
    void grow();

    int m_channels;
    qsizetype m_stride;
    double m_spanMs;
    QList<double> m_data;
    qsizetype m_capacity = 0; // rows, a power of two
    qsizetype m_head = 0;
    qsizetype m_count = 0;
    quint64 m_appended = 0;
    // Per channel: the log line's last point among the rows already dropped
    // (none after a count that is not finite).
    QList<Point> m_logCarry;
    QList<bool> m_hasLogCarry;
};

template<typename Segment>
void TraceWindow::forEachSegment(int channel, bool log, qsizetype fromRow, Segment segment) const
{
    if (channel < 0 || channel >= m_channels)
        return;
    // Walk back from fromRow to the point the line comes from.
    bool havePrev = false;
    Point prev;
    qsizetype start = qBound<qsizetype>(0, fromRow, m_count);
    for (qsizetype r = start - 1; r >= 0; --r) {
        const double v = countAt(r, channel);
        if (!std::isfinite(v))
            break;
        if (onLine(v, log)) {
            prev = {timeAt(r), v};
            havePrev = true;
            break;
        }
        if (r == 0 && log && m_hasLogCarry.at(channel)) {
            prev = m_logCarry.at(channel);
            havePrev = true;
        }
    }
    if (start == 0 && log && m_hasLogCarry.at(channel)) {
        prev = m_logCarry.at(channel);
        havePrev = true;
    }
    for (qsizetype r = start; r < m_count; ++r) {
        const double v = countAt(r, channel);
        if (!std::isfinite(v)) {
            havePrev = false;
            continue;
        }
        if (!onLine(v, log))
            continue;
        const Point p{timeAt(r), v};
        if (havePrev)
            segment(prev, p);
        prev = p;
        havePrev = true;
    }
}
