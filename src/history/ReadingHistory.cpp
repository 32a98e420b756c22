#include "ReadingHistoryChunk.h"

#include <cstring>

// Storage: appending, the budget, the pyramid as chunks fill, reading back,
// lookups by time, gate periods and slices. The walks over spans are in
// ReadingHistory_spans.cpp.

using namespace historychunk;

namespace {

bool sameBits(const std::array<double, Reading::kChannels> &a, const std::array<double, Reading::kChannels> &b)
{
    return std::memcmp(a.data(), b.data(), sizeof(double) * a.size()) == 0;
}

} // namespace

ReadingHistory::ReadingHistory(qint64 budgetBytes)
    : m_budget(std::max(budgetBytes, 2 * chunkBytes()))
{
}

ReadingHistory::~ReadingHistory() = default;

qint64 ReadingHistory::chunkBytes()
{
    return qint64(sizeof(Chunk));
}

qint64 ReadingHistory::bytes() const
{
    return qint64(sizeof(*this)) + qint64(m_chunks.size()) * (chunkBytes() + qint64(sizeof(void *)))
           + qint64(m_keyArrays) * kChunk * qint64(sizeof(qint64)) + qint64(m_runs.size()) * qint64(sizeof(SettingsRun))
           + qint64(m_chunkKeys.size()) * qint64(sizeof(qint64));
}

void ReadingHistory::clear()
{
    m_chunks.clear();
    m_chunkKeys.clear();
    m_runs.clear();
    m_size = 0;
    m_evicted = 0;
    m_keyArrays = 0;
    m_lastKey = 0;
    ++m_generation;
}

void ReadingHistory::evictOldest()
{
    if (m_chunks.front()->keys)
        --m_keyArrays;
    m_chunks.pop_front();
    m_chunkKeys.pop_front();
    m_size -= kChunk;
    m_evicted += quint64(kChunk);
    while (m_runs.size() >= 2 && m_runs[1].from <= m_evicted)
        m_runs.pop_front();
    if (m_size == 0) // nothing held: no settings in force to keep
        m_runs.clear();
}

void ReadingHistory::enforceBudget()
{
    while (m_chunks.size() > 1 && bytes() > m_budget)
        evictOldest();
}

void ReadingHistory::startChunk()
{
    // Every chunk held is full: make room before the new one counts.
    while (!m_chunks.empty() && bytes() + chunkBytes() > m_budget)
        evictOldest();
    // Rows are left uninitialised until written (make_shared would zero them).
    m_chunks.emplace_back(std::shared_ptr<Chunk>(new Chunk));
}

void ReadingHistory::append(const Reading &reading)
{
    appendOne(reading);
}

void ReadingHistory::append(const Reading *readings, qsizetype count)
{
    for (qsizetype i = 0; i < count; ++i)
        appendOne(readings[i]);
}

void ReadingHistory::appendOne(const Reading &r)
{
    if (m_size % kChunk == 0)
        startChunk();
    Chunk &chunk = *m_chunks.back();
    const qsizetype row = m_size % kChunk;
    const quint64 serial = appended();

    const qint64 key = (m_size == 0 && m_evicted == 0) ? r.utcMs : std::max(m_lastKey, r.utcMs);
    m_lastKey = key;
    bool grew = false;
    if (!chunk.keys && key != r.utcMs) {
        chunk.keys.reset(new qint64[kChunk]);
        std::copy_n(chunk.utc, row, chunk.keys.get());
        ++m_keyArrays;
        grew = true;
    }
    if (chunk.keys)
        chunk.keys[row] = key;
    if (row == 0)
        m_chunkKeys.push_back(key);
    chunk.utc[row] = r.utcMs;
    chunk.mono[row] = r.monotonicNs;
    for (int c = 0; c < kChannels; ++c)
        chunk.counts[c][row] = r.counts[c];

    if (m_runs.empty() || m_runs.back().periodMs != r.periodMs || m_runs.back().levelsKnown != r.levelsKnown
        || m_runs.back().sweep != r.sweep || !sameBits(m_runs.back().thresholdsMv, r.thresholdsMv)) {
        m_runs.push_back({serial, r.periodMs, r.levelsKnown, r.sweep, r.thresholdsMv});
        grew = true;
    }
    ++m_size;

    if ((row + 1) % kLeaf == 0)
        buildLeaf(chunk, row / kLeaf);
    if (row + 1 == kChunk)
        buildWhole(chunk);
    if (grew)
        enforceBudget();
}

qsizetype ReadingHistory::runIndexAt(quint64 serial) const
{
    const auto it = std::upper_bound(m_runs.begin(), m_runs.end(), serial,
                                     [](quint64 s, const SettingsRun &run) { return s < run.from; });
    return std::max<qsizetype>(0, qsizetype(it - m_runs.begin()) - 1);
}

const ReadingHistory::SettingsRun &ReadingHistory::runAt(quint64 serial) const
{
    return m_runs[size_t(runIndexAt(serial))];
}

void ReadingHistory::buildLeaf(Chunk &chunk, qsizetype leaf)
{
    const qsizetype from = leaf * kLeaf;
    const qsizetype index = qsizetype(m_chunks.size() - 1) * kChunk + from;
    // The gate period of every row, from the runs that cover the leaf.
    int period[kLeaf];
    {
        quint64 serial = m_evicted + quint64(index);
        qsizetype run = runIndexAt(serial);
        for (qsizetype i = 0; i < kLeaf; ++i, ++serial) {
            while (size_t(run + 1) < m_runs.size() && m_runs[size_t(run + 1)].from <= serial)
                ++run;
            period[i] = m_runs[size_t(run)].periodMs;
        }
    }
    for (int c = 0; c < kChannels; ++c) {
        const double *v = chunk.counts[c] + from;
        for (int mode = 0; mode < 2; ++mode) {
            Tracked t;
            t.addRows(v, kLeaf, mode == 1, 0);
            LineNode &n = chunk.lines[c][mode][leaf];
            static_cast<LineSummary &>(n) = t.line;
            n.marks = t.marks(0);
        }
        RunningMoments moments;
        RunningMean rates;
        for (qsizetype i = 0; i < kLeaf; ++i) {
            const double x = v[i];
            if (std::isfinite(x)) {
                moments.add(x);
                const double rate = ChannelAccumulator::rateOf(x, period[i]);
                if (std::isfinite(rate))
                    rates.add(rate);
            }
        }
        StatsNode &n = chunk.stats[c][leaf];
        n.setMoments(moments);
        n.rateMean = rates.mean;
        n.rateCount = quint32(rates.n);
    }
}

void ReadingHistory::buildWhole(Chunk &chunk)
{
    for (int c = 0; c < kChannels; ++c) {
        for (int mode = 0; mode < 2; ++mode) {
            Tracked t;
            for (qsizetype l = 0; l < kLeavesPerChunk; ++l)
                t.addNode(chunk.lines[c][mode][l], l * kLeaf);
            LineNode &n = chunk.lines[c][mode][Chunk::kWhole];
            static_cast<LineSummary &>(n) = t.line;
            n.marks = t.marks(0);
        }
        RunningMoments moments;
        RunningMean rates;
        for (qsizetype l = 0; l < kLeavesPerChunk; ++l) {
            const StatsNode &n = chunk.stats[c][l];
            moments.merge(n.moments(chunk.lines[c][0][l]));
            rates.merge({qint64(n.rateCount), n.rateMean});
        }
        StatsNode &whole = chunk.stats[c][Chunk::kWhole];
        whole.setMoments(moments);
        whole.rateMean = rates.mean;
        whole.rateCount = quint32(rates.n);
    }
}

// ---- reading back -----------------------------------------------------------

Reading ReadingHistory::reading(qsizetype i) const
{
    Reading r;
    if (i < 0 || i >= m_size)
        return r;
    const Chunk &chunk = *m_chunks[size_t(i / kChunk)];
    const qsizetype row = i % kChunk;
    for (int c = 0; c < kChannels; ++c)
        r.counts[c] = chunk.counts[c][row];
    r.utcMs = chunk.utc[row];
    r.monotonicNs = chunk.mono[row];
    const SettingsRun &run = runAt(m_evicted + quint64(i));
    r.periodMs = run.periodMs;
    r.thresholdsMv = run.thresholdsMv;
    r.levelsKnown = run.levelsKnown;
    r.sweep = run.sweep;
    return r;
}

double ReadingHistory::count(qsizetype i, int channel) const
{
    if (i < 0 || i >= m_size || channel < 0 || channel >= kChannels)
        return qQNaN();
    return m_chunks[size_t(i / kChunk)]->counts[channel][i % kChunk];
}

qint64 ReadingHistory::timeKey(qsizetype i) const
{
    if (i < 0 || i >= m_size)
        return 0;
    return m_chunks[size_t(i / kChunk)]->key(i % kChunk);
}

qsizetype ReadingHistory::lowerBound(double timeMs) const
{
    // The chunk first, on its first key, then the row.
    qsizetype lo = 0;
    qsizetype hi = qsizetype(m_chunkKeys.size());
    while (lo < hi) {
        const qsizetype mid = lo + (hi - lo) / 2;
        if (double(m_chunkKeys[size_t(mid)]) < timeMs)
            lo = mid + 1;
        else
            hi = mid;
    }
    if (lo == 0)
        return 0;
    const qsizetype c = lo - 1;
    const Chunk &chunk = *m_chunks[size_t(c)];
    const qsizetype n = std::min(kChunk, m_size - c * kChunk);
    const auto before = [&](qsizetype row) { return double(chunk.key(row)) < timeMs; };
    // Readings come about a gate period apart: a guess between this chunk's
    // first key and the next one's, then steps doubling away from it.
    const double k0 = double(m_chunkKeys[size_t(c)]);
    const double k1 = size_t(lo) < m_chunkKeys.size() ? double(m_chunkKeys[size_t(lo)]) : double(chunk.key(n - 1));
    qsizetype guess = 0;
    if (k1 > k0)
        guess = qsizetype(std::clamp((timeMs - k0) / (k1 - k0) * double(n), 0.0, double(n - 1)));
    qsizetype a = 0;
    qsizetype b = n;
    if (before(guess)) {
        a = guess + 1;
        for (qsizetype step = 1; a + step - 1 < n && before(a + step - 1); step *= 2) {
            a += step;
            b = std::min(n, a + 2 * step - 1);
        }
        b = std::min(b, n);
    } else {
        b = guess;
        for (qsizetype step = 1; b - step >= 0 && !before(b - step); step *= 2) {
            b -= step;
            a = std::max<qsizetype>(0, b - 2 * step);
        }
    }
    while (a < b) {
        const qsizetype mid = a + (b - a) / 2;
        if (before(mid))
            a = mid + 1;
        else
            b = mid;
    }
    return c * kChunk + a;
}

qsizetype ReadingHistory::upperBound(double timeMs) const
{
    // The first key above timeMs is the first at or above the next double.
    if (std::isnan(timeMs))
        return 0;
    return lowerBound(std::nextafter(timeMs, std::numeric_limits<double>::infinity()));
}

// ---- gate periods -------------------------------------------------------------

int ReadingHistory::periodAt(qsizetype i) const
{
    if (i < 0 || i >= m_size)
        return 0;
    return runAt(m_evicted + quint64(i)).periodMs;
}

void ReadingHistory::periodRuns(qsizetype from, qsizetype to, std::vector<PeriodRun> *out) const
{
    out->clear();
    from = std::max<qsizetype>(0, from);
    to = std::min(to, m_size);
    if (from >= to)
        return;
    const quint64 end = m_evicted + quint64(to);
    qsizetype run = runIndexAt(m_evicted + quint64(from));
    out->push_back({from, m_runs[size_t(run)].periodMs});
    // Levels change more often than the period: only period changes cut.
    for (++run; size_t(run) < m_runs.size() && m_runs[size_t(run)].from < end; ++run) {
        if (m_runs[size_t(run)].periodMs != out->back().periodMs)
            out->push_back({qsizetype(m_runs[size_t(run)].from - m_evicted), m_runs[size_t(run)].periodMs});
    }
}

// ---- slices -------------------------------------------------------------------

struct ReadingHistory::Slice::Data {
    std::vector<std::shared_ptr<const Chunk>> chunks;
    qsizetype offset = 0; // row of the first reading in chunks[0]
    qsizetype size = 0;
    quint64 firstSerial = 0;
    std::vector<SettingsRun> runs; // the first in force at the first reading
};

qsizetype ReadingHistory::Slice::size() const
{
    return m_data ? m_data->size : 0;
}

Reading ReadingHistory::Slice::reading(qsizetype i) const
{
    Reading r;
    if (i < 0 || i >= size())
        return r;
    const Data &d = *m_data;
    const qsizetype at = d.offset + i;
    const Chunk &chunk = *d.chunks[size_t(at / kChunk)];
    const qsizetype row = at % kChunk;
    for (int c = 0; c < kChannels; ++c)
        r.counts[c] = chunk.counts[c][row];
    r.utcMs = chunk.utc[row];
    r.monotonicNs = chunk.mono[row];
    const quint64 serial = d.firstSerial + quint64(i);
    const auto it = std::upper_bound(d.runs.begin(), d.runs.end(), serial,
                                     [](quint64 s, const SettingsRun &run) { return s < run.from; });
    const SettingsRun &run = it == d.runs.begin() ? d.runs.front() : *(it - 1);
    r.periodMs = run.periodMs;
    r.thresholdsMv = run.thresholdsMv;
    r.levelsKnown = run.levelsKnown;
    r.sweep = run.sweep;
    return r;
}

ReadingHistory::Slice ReadingHistory::slice(qsizetype from, qsizetype to) const
{
    Slice out;
    from = std::max<qsizetype>(0, from);
    to = std::min(to, m_size);
    if (from >= to)
        return out;
    auto d = std::make_shared<Slice::Data>();
    d->offset = from % kChunk;
    d->size = to - from;
    d->firstSerial = m_evicted + quint64(from);
    for (qsizetype c = from / kChunk; c <= (to - 1) / kChunk; ++c) {
        const std::shared_ptr<Chunk> &chunk = m_chunks[size_t(c)];
        const qsizetype rows = std::min(kChunk, m_size - c * kChunk);
        if (rows == kChunk) {
            d->chunks.push_back(chunk);
            continue;
        }
        // The last chunk is still written to: its rows so far are copied.
        std::shared_ptr<Chunk> copy(new Chunk);
        for (int ch = 0; ch < kChannels; ++ch)
            std::copy_n(chunk->counts[ch], rows, copy->counts[ch]);
        std::copy_n(chunk->utc, rows, copy->utc);
        std::copy_n(chunk->mono, rows, copy->mono);
        d->chunks.push_back(std::move(copy));
    }
    const qsizetype first = runIndexAt(d->firstSerial);
    const quint64 end = m_evicted + quint64(to);
    for (qsizetype r = first; size_t(r) < m_runs.size() && (r == first || m_runs[size_t(r)].from < end); ++r)
        d->runs.push_back(m_runs[size_t(r)]);
    out.m_data = std::move(d);
    return out;
}
