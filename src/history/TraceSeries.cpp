#include "TraceSeries.h"

#include "ReadingRow.h"

#include <QDateTime>
#include <QIODevice>
#include <QVariantMap>

#include <algorithm>

namespace {

QVariantMap statsMap(int channel, const ChannelStats &s)
{
    return {{QStringLiteral("channel"), channel},
            {QStringLiteral("count"), double(s.count)},
            {QStringLiteral("nonFinite"), double(s.nonFinite)},
            {QStringLiteral("mean"), s.mean},
            {QStringLiteral("stddev"), s.stddev},
            {QStringLiteral("min"), s.min},
            {QStringLiteral("max"), s.max},
            {QStringLiteral("rate"), s.rate},
            {QStringLiteral("rateCount"), double(s.rateCount)}};
}

// Rows as a recording's CSV: header, then one line each, elapsed seconds
// from the first on the steady clock; written in blocks through `flush`.
template<typename Rows, typename Flush>
bool writeRows(const Rows &rows, qsizetype count, Flush flush)
{
    QByteArray block = readingrow::csvHeader();
    const qint64 start = count > 0 ? rows(0).monotonicNs : 0;
    for (qsizetype i = 0; i < count; ++i) {
        const Reading r = rows(i);
        block += readingrow::csvRow(r, readingrow::elapsedSeconds(r, start));
        if (block.size() >= (1 << 16)) {
            if (!flush(block))
                return false;
            block.clear();
        }
    }
    return flush(block);
}

} // namespace

TraceSeries::TraceSeries(QObject *parent)
    : QObject(parent)
    , m_history(std::make_unique<ReadingHistory>())
{
    m_view.setEmptyRightEdge(double(QDateTime::currentMSecsSinceEpoch()));
    m_statsTimer.setSingleShot(true);
    connect(&m_statsTimer, &QTimer::timeout, this, &TraceSeries::updateStats);
    connect(&m_loader, &RecordingLoader::readingsRead, this, &TraceSeries::takeBatch);
    connect(&m_loader, &RecordingLoader::finished, this, &TraceSeries::fileRead);
    connect(&m_loader, &RecordingLoader::progressChanged, this, &TraceSeries::fileProgressChanged);
    connect(&m_loader, &RecordingLoader::loadingChanged, this, &TraceSeries::fileLoadingChanged);
}

TraceSeries::~TraceSeries() = default;

// ---- the link -----------------------------------------------------------------

void TraceSeries::setSource(ReadingSource *source)
{
    if (m_source == source)
        return;
    for (const QMetaObject::Connection &c : std::as_const(m_sourceConnections))
        disconnect(c);
    m_sourceConnections.clear();
    m_source = source;
    if (source) {
        m_sourceConnections.append(connect(source, &ReadingSource::readingTaken, this, [this](const Reading &r) {
            // A sweep's readings belong to its own plot.
            if (!r.sweep)
                addReading(r);
        }));
        m_sourceConnections.append(connect(source, &ReadingSource::linkClosed, this, &TraceSeries::clear));
    }
    emit sourceChanged();
}

void TraceSeries::addReading(const Reading &reading)
{
    const bool had = hasData();
    const bool wasEmpty = m_history->isEmpty();
    m_history->append(reading);
    if (m_file)
        return; // kept for when the file is left
    if (!m_closed && (wasEmpty || m_history->evicted() != m_notifiedDropped)) {
        m_notifiedDropped = m_history->evicted();
        emit droppedChanged();
    }
    if (paused())
        return; // kept; what is shown stays as it was
    noteHasData(had);
    emit timeRangeChanged();
    statsDue(false);
    emit shownChanged(false);
}

void TraceSeries::clear()
{
    if (m_file) { // the link's readings are not on screen
        m_history->clear();
        m_notifiedDropped = 0;
        return;
    }
    const bool had = hasData();
    if (paused() && !m_closed) {
        // What is held stays on screen until the view is live again; a new
        // link's readings go into a history of their own meanwhile.
        m_closed = std::move(m_history);
        m_history = std::make_unique<ReadingHistory>();
        return;
    }
    m_history->clear();
    m_notifiedDropped = 0;
    if (m_closed)
        return; // the history shown is the closed link's
    m_view.setEmptyRightEdge(double(QDateTime::currentMSecsSinceEpoch()));
    noteHasData(had);
    emit droppedChanged();
    viewChanged(true);
}

void TraceSeries::setHistoryBudget(qint64 bytes)
{
    setPaused(false);
    m_history = std::make_unique<ReadingHistory>(bytes);
    m_notifiedDropped = 0;
    clear();
}

void TraceSeries::setChannelCount(int count)
{
    count = std::clamp(count, 1, int(Reading::kChannels));
    if (count == m_channelCount)
        return;
    m_channelCount = count;
    emit channelCountChanged();
    statsDue(true);
}

// ---- the view -----------------------------------------------------------------

void TraceSeries::setSpanMs(double ms)
{
    const double before = spanMs();
    m_view.setSpan(history(), ms);
    if (spanMs() == before)
        return;
    emit spanMsChanged();
    viewChanged(false);
}

void TraceSeries::setPaused(bool paused)
{
    if (paused == this->paused())
        return;
    const bool had = hasData();
    bool swapped = false;
    if (paused) {
        m_view.hold(history());
    } else {
        m_view.follow();
        if (m_closed) { // back to the live link's history
            m_closed.reset();
            showLiveHistory();
            swapped = true;
        }
    }
    emit pausedChanged();
    noteHasData(had);
    viewChanged(swapped);
}

void TraceSeries::showLiveHistory()
{
    m_notifiedDropped = m_history->evicted();
    if (m_history->isEmpty())
        m_view.setEmptyRightEdge(double(QDateTime::currentMSecsSinceEpoch()));
    emit droppedChanged();
}

void TraceSeries::pan(double ms)
{
    const bool wasHeld = paused();
    const double before = spanMs();
    m_view.pan(history(), ms);
    if (!wasHeld)
        emit pausedChanged();
    if (spanMs() != before)
        emit spanMsChanged();
    viewChanged(false);
}

void TraceSeries::zoom(double anchorMs, double factor)
{
    const double before = spanMs();
    m_view.zoom(history(), anchorMs, factor);
    if (spanMs() != before)
        emit spanMsChanged();
    viewChanged(false);
}

void TraceSeries::viewChanged(bool whole)
{
    emit timeRangeChanged();
    statsDue(true);
    emit shownChanged(whole);
}

void TraceSeries::noteHasData(bool had)
{
    if (hasData() != had)
        emit hasDataChanged();
}

// ---- a recording ----------------------------------------------------------------

void TraceSeries::openFile(const QUrl &file)
{
    const bool had = hasData();
    const double spanBefore = spanMs();
    m_loader.cancel();
    if (!m_file)
        m_liveSpanMs = spanBefore;
    m_closed.reset();
    m_file = std::make_unique<ReadingHistory>();
    m_filePath = file.isLocalFile() ? file.toLocalFile() : file.toString();
    m_fileSummary.clear();
    m_fileProblems.clear();
    m_view.follow();
    m_view.setSpan(*m_file, 0);
    emit fileChanged();
    emit pausedChanged();
    if (spanMs() != spanBefore)
        emit spanMsChanged();
    emit droppedChanged();
    noteHasData(had);
    viewChanged(true);
    m_loader.open(file);
}

void TraceSeries::cancelFile()
{
    m_loader.cancel();
}

void TraceSeries::closeFile()
{
    if (!m_file)
        return;
    m_loader.cancel();
    const bool had = hasData();
    const double spanBefore = spanMs();
    m_file.reset();
    m_filePath.clear();
    m_fileSummary.clear();
    m_fileProblems.clear();
    m_view.follow();
    m_view.setSpan(*m_history, m_liveSpanMs);
    showLiveHistory();
    emit fileChanged();
    emit fileLoadingChanged();
    emit pausedChanged();
    if (spanMs() != spanBefore)
        emit spanMsChanged();
    noteHasData(had);
    viewChanged(true);
}

void TraceSeries::takeBatch(const RecordingBatch &batch)
{
    if (!m_file || batch.readings.isEmpty())
        return;
    const bool had = hasData();
    m_file->append(batch.readings.constData(), batch.readings.size());
    emit droppedChanged();
    if (paused())
        return;
    noteHasData(had);
    emit timeRangeChanged();
    statsDue(false);
    emit shownChanged(true);
}

void TraceSeries::fileRead(const RecordingSummary &summary)
{
    if (!m_file)
        return;
    m_fileSummary = summary.text();
    m_fileProblems.clear();
    for (const RecordingProblem &p : summary.problems)
        m_fileProblems.append(p.text());
    emit fileLoadingChanged();
    statsDue(true);
}

// ---- statistics -----------------------------------------------------------------

void TraceSeries::setStatsEnabled(bool enabled)
{
    if (enabled == m_statsEnabled)
        return;
    m_statsEnabled = enabled;
    emit statsEnabledChanged();
    statsDue(true);
}

void TraceSeries::statsDue(bool soon)
{
    m_statsStale = true;
    if (!m_statsEnabled)
        return;
    // A change of what is shown at once; new readings at a modest pace.
    if (soon)
        m_statsTimer.start(0);
    else if (!m_statsTimer.isActive())
        m_statsTimer.start(kStatsIntervalMs);
}

SpanStats TraceSeries::currentStats() const
{
    const ReadingHistory &h = history();
    return h.stats(m_view.firstRow(h), m_view.lastRow(h));
}

void TraceSeries::updateStats()
{
    // Out of sight (not enabled) the figures wait until they are shown again.
    if (!m_statsEnabled || !m_statsStale)
        return;
    const SpanStats stats = currentStats();
    QVariantList out;
    for (int c = 0; c < m_channelCount; ++c)
        out.append(statsMap(c, stats[size_t(c)]));
    m_statsStale = false;
    m_spanStats = out;
    emit spanStatsChanged();
}

// ---- the span's rows and their export -------------------------------------------

int TraceSeries::readingCount() const
{
    const ReadingHistory &h = history();
    return int(std::max<qsizetype>(0, m_view.lastRow(h) - m_view.firstRow(h)));
}

Reading TraceSeries::readingAt(qsizetype i) const
{
    const ReadingHistory &h = history();
    if (i < 0 || i >= readingCount())
        return {};
    return h.reading(m_view.firstRow(h) + i);
}

QByteArray TraceSeries::csvTable() const
{
    QByteArray out;
    writeRows([this](qsizetype i) { return readingAt(i); }, readingCount(), [&out](const QByteArray &block) {
        out += block;
        return true;
    });
    return out;
}

CsvTable::Writer TraceSeries::csvWriter() const
{
    const ReadingHistory &h = history();
    const ReadingHistory::Slice rows = h.slice(m_view.firstRow(h), m_view.lastRow(h));
    return [rows](QIODevice &out) {
        return writeRows([&rows](qsizetype i) { return rows.reading(i); }, rows.size(),
                         [&out](const QByteArray &block) { return out.write(block) == block.size(); });
    };
}
