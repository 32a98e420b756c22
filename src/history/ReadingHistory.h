#pragma once

#include "LineSummary.h"
#include "Reading.h"
#include "RunningStats.h"

#include <QtGlobal>

#include <deque>
#include <memory>
#include <vector>

// Every reading of a link, exact, in bounded memory, with what the time
// view and its statistics need of any span without a pass over it.
//
// Storage: chunks of kChunkReadings readings, each holding its counts by
// channel, its wall-clock and steady-clock stamps, and the pyramid over it:
// one summary per kLeafReadings readings and one for the whole chunk, each
// with every channel's line (linear and log, see LineSummary) and moments
// (mean, squared deviations, rate). A span's summary merges whole chunks,
// whole leaves and at most two leaves' worth of readings at its ends. The
// settings in force (period, levels, sweep) change rarely and are kept as
// runs. No reading costs a heap allocation of its own.
//
// Time: the x axis runs on a key, the wall-clock time of arrival forced
// never to go back (a clock set back holds the key until it catches up), so
// that a lookup by time is a binary search; each reading keeps its own
// utcMs as it came.
//
// Memory: at most budgetBytes() (by default 150 MiB), counted over the
// chunks with their pyramids, the keys and the settings. A chunk takes
// 349 KiB for 4096 readings, 87 bytes a reading: the readings' 80 bytes
// and 7 of pyramid. A day at the 50 ms gate (1,728,000 readings) takes
// 143.7 MiB; the default budget holds 440 chunks, 1,802,240 readings, 25.0 h
// at 50 ms. Past the budget the oldest chunk goes whole and evicted()
// counts its readings. A clock that goes back within a chunk costs it 32 KiB
// more for the keys, each change of settings a run of 80 bytes; both count
// against the budget and shorten the history instead.
class ReadingHistory
{
public:
    static constexpr int kChannels = Reading::kChannels;
    static constexpr qsizetype kLeafReadings = 256;
    static constexpr qsizetype kChunkReadings = 4096;
    static constexpr qint64 kDefaultBudgetBytes = qint64(150) << 20;

    // A budget below two chunks is taken as two.
    explicit ReadingHistory(qint64 budgetBytes = kDefaultBudgetBytes);
    ~ReadingHistory();
    ReadingHistory(const ReadingHistory &) = delete;
    ReadingHistory &operator=(const ReadingHistory &) = delete;

    void append(const Reading &reading);
    // A file's readings in one go.
    void append(const Reading *readings, qsizetype count);
    void clear();

    qsizetype size() const { return m_size; }
    bool isEmpty() const { return m_size == 0; }
    // Readings dropped for the budget since the last clear().
    quint64 evicted() const { return m_evicted; }
    // Readings taken since the last clear(): evicted() + size().
    quint64 appended() const { return m_evicted + quint64(m_size); }
    // Goes up with every clear(), so a drawing of the history can tell it is gone.
    quint64 generation() const { return m_generation; }
    qint64 budgetBytes() const { return m_budget; }
    // Bytes held now: chunks (readings and pyramid), keys, settings.
    qint64 bytes() const;
    static qint64 chunkBytes();

    // Reading i (0 the oldest kept) exactly as appended.
    Reading reading(qsizetype i) const;
    double count(qsizetype i, int channel) const;
    // Time of reading i on the x axis: ms, never decreasing with i.
    qint64 timeKey(qsizetype i) const;
    // First reading whose key is at least / more than timeMs (size() if none).
    qsizetype lowerBound(double timeMs) const;
    qsizetype upperBound(double timeMs) const;

    // ---- level of detail: rows [from, to) of one channel's line -----------
    struct LinePoint {
        qsizetype index = -1; // none when negative
        double t = 0;         // key, ms
        double v = 0;         // count
        bool isValid() const { return index >= 0; }
    };
    LineSummary summary(int channel, bool log, qsizetype from, qsizetype to) const;
    // The first and the last point in the rows; unbroken: none either when
    // the line breaks before the first (after the last) point.
    LinePoint firstPoint(int channel, bool log, qsizetype from, qsizetype to, bool unbroken = false) const;
    LinePoint lastPoint(int channel, bool log, qsizetype from, qsizetype to, bool unbroken = false) const;
    // The point the line comes from into row `index` (the last point before
    // it), or none when the line breaks in between or starts there.
    LinePoint pointBefore(int channel, bool log, qsizetype index) const
    {
        return lastPoint(channel, log, 0, index, true);
    }
    // The point the line runs on to from before row `index` (the first point
    // at or after it), or none when the line breaks before it or ends; rows
    // from `end` on (when not negative) count as not there yet.
    LinePoint pointAfter(int channel, bool log, qsizetype index, qsizetype end = -1) const
    {
        return firstPoint(channel, log, index, end < 0 ? m_size : end, true);
    }

    // The M4 columns of a drawing: column k holds rows [bounds[k], bounds[k+1]),
    // bounds has count + 1 non-decreasing entries. Each costs the summary of
    // its rows: whole chunks and leaves, and rows within two leaves at most.
    struct Column {
        LineSummary line;
        // When line.points > 0: the first and last point, and the first and
        // last points at the lowest and at the highest value (their times
        // taken by row between the first's and the last's).
        LinePoint first;
        LinePoint last;
        LinePoint low;
        LinePoint lowLast;
        LinePoint high;
        LinePoint highLast;
    };
    void columns(int channel, bool log, const qsizetype *bounds, int count, Column *out) const;

    // ---- statistics of rows [from, to) --------------------------------------
    SpanStats stats(qsizetype from, qsizetype to) const;
    ChannelStats stats(int channel, qsizetype from, qsizetype to) const;

    // ---- gate periods ---------------------------------------------------------
    // The period reading i was taken over (0 or less: unknown).
    int periodAt(qsizetype i) const;
    // Rows [from, to) cut where the period changes: each piece's first row
    // and period, in order (empty for no rows).
    struct PeriodRun {
        qsizetype from = 0;
        int periodMs = 0;
    };
    void periodRuns(qsizetype from, qsizetype to, std::vector<PeriodRun> *out) const;

    // ---- a copy to read elsewhere ---------------------------------------------
    // Rows [from, to) as they are now, readable from any thread for as long
    // as it is kept, whatever happens to the history meanwhile. Full chunks
    // are shared, not copied (a chunk is not written once full): a slice
    // keeps chunks alive past their eviction, beyond the budget, until it goes.
    class Slice
    {
    public:
        qsizetype size() const;
        bool isEmpty() const { return size() == 0; }
        Reading reading(qsizetype i) const;

    private:
        friend class ReadingHistory;
        struct Data;
        std::shared_ptr<const Data> m_data;
    };
    Slice slice(qsizetype from, qsizetype to) const;

private:
    struct Chunk;
    struct Node;
    struct SettingsRun;

    void appendOne(const Reading &r);
    void startChunk();
    void evictOldest();
    void enforceBudget();
    void buildLeaf(Chunk &chunk, qsizetype leaf);
    void buildWhole(Chunk &chunk);
    const SettingsRun &runAt(quint64 serial) const;
    qsizetype runIndexAt(quint64 serial) const;
    template<typename OnNode, typename OnRows>
    void walkForward(qsizetype from, qsizetype to, OnNode onNode, OnRows onRows) const;
    template<typename OnNode, typename OnRows>
    void walkBackward(qsizetype from, qsizetype to, OnNode onNode, OnRows onRows) const;
    LinePoint point(int channel, qsizetype i) const;
    ChannelAccumulator accumulate(int channel, qsizetype from, qsizetype to) const;

    std::deque<std::shared_ptr<Chunk>> m_chunks; // all full but the last
    std::deque<qint64> m_chunkKeys;              // each chunk's first key, for lookups
    std::deque<SettingsRun> m_runs;              // by serial; the first in force at the oldest reading
    qsizetype m_size = 0;
    quint64 m_evicted = 0;
    quint64 m_generation = 0;
    qint64 m_budget;
    qint64 m_lastKey = 0;
    qsizetype m_keyArrays = 0;
};
