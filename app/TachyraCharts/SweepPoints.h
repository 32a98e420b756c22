#pragma once

#include "CsvTable.h"
#include "ReadingSource.h"
#include "ThresholdAnalysis.h"

#include <QList>
#include <QObject>
#include <QPointer>
#include <QVariantList>
#include <QtQml/qqmlregistration.h>

#include <array>

// The points of the current calibration run, one curve per channel, kept in
// C++: every point as it came for the export, the drawable ones appended to
// the channel's two line series (linear: every finite value; log: those the
// log axis can show), and the ranges those lines need. Each channel's points
// are analysed (ThresholdAnalysis) when its sweep ends: when the next
// channel's first point comes, or on finish(). The lines show the counts or,
// with `spectrum`, each analysed channel's spectrum (counts per mV).
//
// Bounded: the session measures at most 1001 levels a channel; beyond
// calibration::kMaxPoints a channel's points are dropped, as are points of
// channels outside 0 to 7.
class SweepPoints : public QObject, public CsvTable
{
    Q_OBJECT
    QML_ELEMENT
    Q_INTERFACES(CsvTable)
    Q_PROPERTY(ReadingSource *source READ source WRITE setSource NOTIFY sourceChanged)
    // The run's first channel and all of them, in the order swept.
    Q_PROPERTY(int channel READ channel NOTIFY pointsChanged)
    Q_PROPERTY(QVariantList channels READ channelList NOTIFY pointsChanged)
    Q_PROPERTY(int count READ count NOTIFY pointsChanged)
    // Points on the linear lines, all channels together.
    Q_PROPERTY(int drawnCount READ drawnCount NOTIFY pointsChanged)
    Q_PROPERTY(bool spectrum READ spectrum WRITE setSpectrum NOTIFY spectrumChanged)
    Q_PROPERTY(double linearMin READ linearMin NOTIFY rangeChanged)
    Q_PROPERTY(double linearMax READ linearMax NOTIFY rangeChanged)
    Q_PROPERTY(double logMin READ logMin NOTIFY rangeChanged)
    Q_PROPERTY(double logMax READ logMax NOTIFY rangeChanged)
    // One map per channel of the run, in its order: channel, analysed,
    // hasSuggestion, suggestedMv (NaN: none), levelMv (the suggestion in
    // whole mV, as it would be set; -1: none), bandLowMv, bandHighMv,
    // uncertaintyMv, quality (the valley's depth in standard errors),
    // reason (the text shown) and reasonKey.
    Q_PROPERTY(QVariantList results READ results NOTIFY resultsChanged)
    Q_PROPERTY(int suggestionCount READ suggestionCount NOTIFY resultsChanged)

public:
    static constexpr int kChannels = Reading::kChannels;

    explicit SweepPoints(QObject *parent = nullptr);

    ReadingSource *source() const { return m_source; }
    void setSource(ReadingSource *source);

    int channel() const { return m_channels.isEmpty() ? 0 : m_channels.first(); }
    QList<int> channels() const { return m_channels; }
    QVariantList channelList() const;
    int count() const;
    int drawnCount() const;
    bool spectrum() const { return m_spectrum; }
    void setSpectrum(bool on);
    double linearMin() const { return m_linear[0]; }
    double linearMax() const { return m_linear[1]; }
    double logMin() const { return m_log[0]; }
    double logMax() const { return m_log[1]; }
    QVariantList results() const;
    int suggestionCount() const;
    const calibration::ChannelAnalysis *analysis(int channel) const;

    // The QXYSeries of a channel's two lines (plain objects here, so the
    // module needs no chart types); points already taken are drawn at once.
    Q_INVOKABLE void setSeries(int channel, QObject *linear, QObject *log);
    // A new run of these channels: no points, no analyses, the empty ranges.
    Q_INVOKABLE void clear(const QVariantList &channels);
    void clear(const QList<int> &channels);
    // Analyses every channel whose points have not been analysed yet: the run ended.
    Q_INVOKABLE void finish();
    // The value as measured behind the index-th point of a channel's line shown.
    Q_INVOKABLE double countAt(int channel, int index, bool log) const;
    // A channel's line shown at `mv`, as drawn from point to point (log: on
    // the log line, between logarithms); the nearest end beyond its ends;
    // NaN when the line is empty.
    Q_INVOKABLE double valueAt(int channel, double mv, bool log) const;
    // A channel's analysed spectrum as points (threshold mV, counts per mV).
    Q_INVOKABLE QVariantList spectrumPoints(int channel) const;

    void add(const SweepPoint &point);
    // The points ("channel,threshold_mv,count,time_utc", channel by channel,
    // each as it came), a blank line, the spectra, a blank line, the
    // suggestions (tachyra-cli calibrate's columns), each with its header.
    QByteArray csvTable() const override;

signals:
    void sourceChanged();
    void pointsChanged();
    void rangeChanged();
    void spectrumChanged();
    void resultsChanged();

private:
    struct Curve {
        QList<SweepPoint> points;
        // The measured value behind each point of the linear and the log line.
        QList<double> shown[2];
        QPointer<QObject> series[2];
        calibration::ChannelAnalysis analysis;
        bool analysed = false;
    };
    // Smallest and largest value drawn on each line, over every channel.
    struct Seen {
        double lin[2];
        double log[2];
    };

    void analyse(int channel);
    void redraw();
    void drawCurve(int channel);
    // Takes one value for a channel's lines: bit 0 set when it goes on the
    // linear line, bit 1 on the log line.
    int place(Curve &curve, double value);
    void widen(double drawn);
    void updateRanges();
    void updateLogFloor();

    QPointer<ReadingSource> m_source;
    QMetaObject::Connection m_connection;
    QList<int> m_channels;
    std::array<Curve, kChannels> m_curves;
    int m_last = -1; // channel of the newest point
    bool m_spectrum = false;
    // Least value on a log line: a count of 1, or the spectrum's smallest decade.
    double m_logFloor = 1;
    Seen m_seen{};
    double m_linear[2] = {0, 1};
    double m_log[2] = {1, 10};
};
