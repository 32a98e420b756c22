#include "SweepPoints.h"

#include "ChartScale.h"
#include "ReadingRow.h"

#include <QCoreApplication>
#include <QPointF>
#include <QVariantMap>
#include <QtCharts/QXYSeries>

#include <algorithm>
#include <cmath>

namespace {

const double kNan = std::nan("");

QXYSeries *xy(QObject *series)
{
    return qobject_cast<QXYSeries *>(series);
}

// A spectrum may dip below 0 (scatter) and stay far below one count per mV:
// its linear range pads what is there, without the counts' floor at 0 and
// least span of 1.
chartscale::Range spectrumRange(double lo, double hi)
{
    if (!(lo <= hi))
        return {0, 1};
    const double span = hi > lo ? hi - lo : std::max(std::fabs(hi), 1e-9);
    const double pad = 0.15 * span;
    return chartscale::linearRange(lo < 0 ? lo - pad : std::max(0.0, lo - pad), hi + pad);
}

} // namespace

SweepPoints::SweepPoints(QObject *parent)
    : QObject(parent)
{
    clear(QList<int>{0});
}

void SweepPoints::setSource(ReadingSource *source)
{
    if (m_source == source)
        return;
    disconnect(m_connection);
    m_source = source;
    if (source)
        m_connection = connect(source, &ReadingSource::sweepPointTaken, this, &SweepPoints::add);
    emit sourceChanged();
}

QVariantList SweepPoints::channelList() const
{
    QVariantList out;
    for (int ch : m_channels)
        out.append(ch);
    return out;
}

int SweepPoints::count() const
{
    int n = 0;
    for (const Curve &c : m_curves)
        n += int(c.points.size());
    return n;
}

int SweepPoints::drawnCount() const
{
    int n = 0;
    for (const Curve &c : m_curves)
        n += int(c.shown[0].size());
    return n;
}

void SweepPoints::setSeries(int channel, QObject *linear, QObject *log)
{
    if (channel < 0 || channel >= kChannels)
        return;
    Curve &c = m_curves[std::size_t(channel)];
    if (c.series[0] == linear && c.series[1] == log)
        return;
    c.series[0] = linear;
    c.series[1] = log;
    drawCurve(channel);
}

void SweepPoints::clear(const QVariantList &channels)
{
    QList<int> list;
    for (const QVariant &v : channels) {
        bool ok = false;
        const int ch = v.toInt(&ok);
        if (ok)
            list.append(ch);
    }
    clear(list);
}

void SweepPoints::clear(const QList<int> &channels)
{
    m_channels.clear();
    for (int ch : channels) {
        if (ch >= 0 && ch < kChannels && !m_channels.contains(ch))
            m_channels.append(ch);
    }
    for (Curve &c : m_curves) {
        c.points.clear();
        c.analysed = false;
        c.analysis = {};
    }
    m_last = -1;
    redraw();
    emit pointsChanged();
    emit resultsChanged();
}

void SweepPoints::setSpectrum(bool on)
{
    if (m_spectrum == on)
        return;
    m_spectrum = on;
    redraw();
    emit spectrumChanged();
    emit pointsChanged();
}

void SweepPoints::add(const SweepPoint &point)
{
    if (point.channel < 0 || point.channel >= kChannels)
        return;
    Curve &c = m_curves[std::size_t(point.channel)];
    if (c.points.size() >= qsizetype(calibration::kMaxPoints))
        return;
    // The next channel's first point: the one before has been swept.
    if (m_last >= 0 && m_last != point.channel)
        analyse(m_last);
    m_last = point.channel;
    if (!m_channels.contains(point.channel))
        m_channels.append(point.channel);
    c.points.append(point);
    if (c.analysed) {
        c.analysed = false;
        emit resultsChanged();
    }
    // The spectrum comes with the analysis; the counts as they come.
    if (!m_spectrum) {
        const int on = place(c, point.count);
        for (int line = 0; line < 2; ++line) {
            if (QXYSeries *series = xy(c.series[line]); series && (on & (1 << line)))
                series->append(point.thresholdMv, chartscale::drawValue(point.count));
        }
        if (on)
            updateRanges();
    }
    emit pointsChanged();
}

void SweepPoints::finish()
{
    for (int ch : std::as_const(m_channels)) {
        if (!m_curves[std::size_t(ch)].analysed)
            analyse(ch);
    }
}

void SweepPoints::analyse(int channel)
{
    Curve &c = m_curves[std::size_t(channel)];
    if (c.analysed)
        return;
    std::vector<calibration::SweepPoint> points;
    points.reserve(std::size_t(c.points.size()));
    for (const SweepPoint &p : std::as_const(c.points))
        points.push_back({p.thresholdMv, p.count});
    c.analysis = calibration::analyseSweep(points);
    c.analysed = true;
    if (m_spectrum) {
        redraw();
        emit pointsChanged();
    }
    emit resultsChanged();
}

void SweepPoints::updateLogFloor()
{
    m_logFloor = 1;
    if (!m_spectrum)
        return;
    // The decade of the smallest positive value, so that every one is drawn.
    double least = kNan;
    for (const Curve &c : m_curves) {
        for (const calibration::SpectrumPoint &p : c.analysis.spectrum) {
            if (p.perMv > 0 && !(p.perMv >= least))
                least = p.perMv;
        }
    }
    if (!std::isnan(least))
        m_logFloor = chartscale::logFloor(std::pow(10.0, std::floor(std::log10(least))));
}

int SweepPoints::place(Curve &c, double value)
{
    // A value that is not a finite number is exported but not drawn.
    const double y = chartscale::drawValue(value);
    if (std::isnan(y))
        return 0;
    c.shown[0].append(value);
    int lines = 1;
    if (y >= m_logFloor) {
        c.shown[1].append(value);
        lines |= 2;
    }
    widen(y);
    return lines;
}

void SweepPoints::drawCurve(int channel)
{
    Curve &c = m_curves[std::size_t(channel)];
    c.shown[0].clear();
    c.shown[1].clear();
    // Whole lines at once: far cheaper for a chart than point by point.
    QList<QPointF> lines[2];
    const auto put = [&](double mv, double value) {
        const int on = place(c, value);
        for (int line = 0; line < 2; ++line) {
            if (on & (1 << line))
                lines[line].append(QPointF(mv, chartscale::drawValue(value)));
        }
    };
    if (m_spectrum) {
        for (const calibration::SpectrumPoint &p : c.analysis.spectrum)
            put(p.thresholdMv, p.perMv);
    } else {
        for (const SweepPoint &p : std::as_const(c.points))
            put(p.thresholdMv, p.count);
    }
    for (int line = 0; line < 2; ++line) {
        if (QXYSeries *series = xy(c.series[line]))
            series->replace(lines[line]);
    }
}

void SweepPoints::redraw()
{
    m_seen = {{kNan, kNan}, {kNan, kNan}};
    updateLogFloor();
    for (int ch = 0; ch < kChannels; ++ch)
        drawCurve(ch);
    updateRanges();
}

void SweepPoints::widen(double y)
{
    const auto take = [y](double (&seen)[2]) {
        seen[0] = std::isnan(seen[0]) ? y : std::min(seen[0], y);
        seen[1] = std::isnan(seen[1]) ? y : std::max(seen[1], y);
    };
    // Counts below 0 are drawn but leave the range alone.
    if (m_spectrum || y >= 0)
        take(m_seen.lin);
    if (y >= m_logFloor)
        take(m_seen.log);
}

void SweepPoints::updateRanges()
{
    const chartscale::Range lin = m_spectrum ? spectrumRange(m_seen.lin[0], m_seen.lin[1])
                                             : chartscale::paddedLinearRange(m_seen.lin[0], m_seen.lin[1]);
    const chartscale::Range log = chartscale::paddedLogRange(m_seen.log[0], m_seen.log[1], m_logFloor);
    const double next[4] = {lin.min, lin.max, log.min, log.max};
    const double now[4] = {m_linear[0], m_linear[1], m_log[0], m_log[1]};
    if (std::equal(next, next + 4, now))
        return;
    m_linear[0] = lin.min;
    m_linear[1] = lin.max;
    m_log[0] = log.min;
    m_log[1] = log.max;
    emit rangeChanged();
}

double SweepPoints::countAt(int channel, int index, bool log) const
{
    if (channel < 0 || channel >= kChannels)
        return kNan;
    const QList<double> &values = m_curves[std::size_t(channel)].shown[log ? 1 : 0];
    return index >= 0 && index < values.size() ? values.at(index) : kNan;
}

double SweepPoints::valueAt(int channel, double mv, bool log) const
{
    if (channel < 0 || channel >= kChannels || std::isnan(mv))
        return kNan;
    const QXYSeries *series = xy(m_curves[std::size_t(channel)].series[log ? 1 : 0]);
    if (!series || series->count() == 0)
        return kNan;
    const QList<QPointF> pts = series->points();
    // Along the line as drawn, point to point (a sweep may run downwards).
    QPointF nearest = pts.first();
    for (qsizetype i = 0; i < pts.size(); ++i) {
        if (std::fabs(pts[i].x() - mv) < std::fabs(nearest.x() - mv))
            nearest = pts[i];
        if (i == 0)
            continue;
        const QPointF a = pts[i - 1];
        const QPointF b = pts[i];
        if (!(std::min(a.x(), b.x()) <= mv && mv <= std::max(a.x(), b.x())))
            continue;
        if (a.x() == b.x())
            return a.y();
        const double t = (mv - a.x()) / (b.x() - a.x());
        if (log && a.y() > 0 && b.y() > 0)
            return std::exp(std::log(a.y()) + t * (std::log(b.y()) - std::log(a.y())));
        return a.y() + t * (b.y() - a.y());
    }
    return nearest.y();
}

QVariantList SweepPoints::spectrumPoints(int channel) const
{
    QVariantList out;
    if (channel < 0 || channel >= kChannels)
        return out;
    for (const calibration::SpectrumPoint &p : m_curves[std::size_t(channel)].analysis.spectrum)
        out.append(QPointF(p.thresholdMv, p.perMv));
    return out;
}

const calibration::ChannelAnalysis *SweepPoints::analysis(int channel) const
{
    if (channel < 0 || channel >= kChannels || !m_curves[std::size_t(channel)].analysed)
        return nullptr;
    return &m_curves[std::size_t(channel)].analysis;
}

QVariantList SweepPoints::results() const
{
    QVariantList out;
    for (int ch : m_channels) {
        const Curve &c = m_curves[std::size_t(ch)];
        const calibration::ChannelAnalysis &a = c.analysis;
        const bool has = c.analysed && a.hasSuggestion();
        // The reason in the scene's language, the level as a whole mV.
        QString reason;
        if (c.analysed) {
            reason = QCoreApplication::translate("ThresholdAnalysis", calibration::reasonTemplate(a.reason));
            if (reason.contains(QLatin1String("%1")))
                reason = reason.arg(has ? qint64(std::llround(a.suggestedMv)) : 0);
        }
        out.append(QVariantMap{
            {QStringLiteral("channel"), ch},
            {QStringLiteral("analysed"), c.analysed},
            {QStringLiteral("hasSuggestion"), has},
            {QStringLiteral("suggestedMv"), has ? a.suggestedMv : kNan},
            {QStringLiteral("levelMv"), has ? int(std::llround(a.suggestedMv)) : -1},
            {QStringLiteral("bandLowMv"), c.analysed ? a.bandLowMv : kNan},
            {QStringLiteral("bandHighMv"), c.analysed ? a.bandHighMv : kNan},
            {QStringLiteral("uncertaintyMv"), c.analysed ? a.uncertaintyMv : kNan},
            {QStringLiteral("quality"), c.analysed ? a.significance : 0.0},
            {QStringLiteral("reason"), reason},
            {QStringLiteral("reasonKey"), c.analysed ? QString::fromLatin1(calibration::reasonKey(a.reason)) : QString()},
        });
    }
    return out;
}

int SweepPoints::suggestionCount() const
{
    int n = 0;
    for (int ch : m_channels)
        n += analysis(ch) && analysis(ch)->hasSuggestion() ? 1 : 0;
    return n;
}

QByteArray SweepPoints::csvTable() const
{
    QByteArray points = readingrow::sweepCsvHeader();
    QByteArray spectra = readingrow::spectrumCsvHeader();
    QByteArray suggestions = readingrow::calibrationCsvHeader();
    for (int ch : m_channels) {
        for (const SweepPoint &p : m_curves[std::size_t(ch)].points)
            points += readingrow::sweepCsvRow(p);
        if (const calibration::ChannelAnalysis *a = analysis(ch)) {
            for (const calibration::SpectrumPoint &p : a->spectrum)
                spectra += readingrow::spectrumCsvRow(ch, p);
            suggestions += readingrow::calibrationCsvRow(ch, *a);
        }
    }
    return points + '\n' + spectra + '\n' + suggestions;
}
