#pragma once

#include "CsvTable.h"
#include "ReadingSource.h"

#include <QList>
#include <QObject>
#include <QPointer>
#include <QtQml/qqmlregistration.h>

// The points of the current calibration sweep, kept in C++: every point as
// it came for the export, the drawable ones appended to the plot's two line
// series (linear: every finite count; log: counts of at least 1), and the
// count ranges those lines need, which only grow during a sweep.
class SweepPoints : public QObject, public CsvTable
{
    Q_OBJECT
    QML_ELEMENT
    Q_INTERFACES(CsvTable)
    Q_PROPERTY(ReadingSource *source READ source WRITE setSource NOTIFY sourceChanged)
    // QXYSeries of the chart; plain objects here so the module needs no chart types.
    Q_PROPERTY(QObject *linearSeries READ linearSeries WRITE setLinearSeries NOTIFY seriesChanged)
    Q_PROPERTY(QObject *logSeries READ logSeries WRITE setLogSeries NOTIFY seriesChanged)
    Q_PROPERTY(int channel READ channel NOTIFY pointsChanged)
    Q_PROPERTY(int count READ count NOTIFY pointsChanged)
    Q_PROPERTY(int drawnCount READ drawnCount NOTIFY pointsChanged)
    Q_PROPERTY(double linearMin READ linearMin NOTIFY rangeChanged)
    Q_PROPERTY(double linearMax READ linearMax NOTIFY rangeChanged)
    Q_PROPERTY(double logMin READ logMin NOTIFY rangeChanged)
    Q_PROPERTY(double logMax READ logMax NOTIFY rangeChanged)

public:
    explicit SweepPoints(QObject *parent = nullptr);

    ReadingSource *source() const { return m_source; }
    void setSource(ReadingSource *source);
    QObject *linearSeries() const { return m_linearSeries; }
    void setLinearSeries(QObject *series);
    QObject *logSeries() const { return m_logSeries; }
    void setLogSeries(QObject *series);

    int channel() const { return m_channel; }
    int count() const { return int(m_points.size()); }
    int drawnCount() const { return int(m_linearCounts.size()); }
    double linearMin() const { return m_linear[0]; }
    double linearMax() const { return m_linear[1]; }
    double logMin() const { return m_log[0]; }
    double logMax() const { return m_log[1]; }

    // A new sweep of `channel`: no points, the empty ranges.
    Q_INVOKABLE void clear(int channel);
    // The count as read behind the index-th point of the line shown.
    Q_INVOKABLE double countAt(int index, bool log) const;

    void add(const SweepPoint &point);
    // "channel,threshold_mv,count,time_utc" rows, every point as it came.
    QByteArray csvTable() const override;

signals:
    void sourceChanged();
    void seriesChanged();
    void pointsChanged();
    void rangeChanged();

private:
    void widenRanges(double drawn);

    QPointer<ReadingSource> m_source;
    QMetaObject::Connection m_connection;
    QPointer<QObject> m_linearSeries;
    QPointer<QObject> m_logSeries;
    int m_channel = 0;
    QList<SweepPoint> m_points;
    QList<double> m_linearCounts; // raw count per point of each line
    QList<double> m_logCounts;
    // Smallest and largest drawn count seen (lin) and of those at least 1 (log).
    double m_seen[2] = {};
    double m_logSeen[2] = {};
    double m_linear[2] = {0, 1};
    double m_log[2] = {1, 10};
};
