#pragma once

#include "ReadingSource.h"

#include <QList>
#include <QObject>
#include <QPointer>
#include <QtQml/qqmlregistration.h>

// The bar chart's data: the latest reading outside a sweep as drawn bar
// values (NaN: no bar) with both axis ranges, worked out once per reading;
// perSecond: each count over the reading's own gate period. While the chart
// is off screen the latest reading waits; the end of the link brings the
// empty chart back.
class BarReadings : public QObject
{
    Q_OBJECT
    QML_ELEMENT
    Q_PROPERTY(ReadingSource *source READ source WRITE setSource NOTIFY sourceChanged)
    Q_PROPERTY(int channelCount READ channelCount WRITE setChannelCount NOTIFY channelCountChanged)
    Q_PROPERTY(bool active READ active WRITE setActive NOTIFY activeChanged)
    Q_PROPERTY(bool perSecond READ perSecond WRITE setPerSecond NOTIFY perSecondChanged)
    Q_PROPERTY(QList<double> values READ values NOTIFY updated)
    Q_PROPERTY(double linearMin READ linearMin NOTIFY updated)
    Q_PROPERTY(double linearMax READ linearMax NOTIFY updated)
    Q_PROPERTY(double logMin READ logMin NOTIFY updated)
    Q_PROPERTY(double logMax READ logMax NOTIFY updated)

public:
    explicit BarReadings(QObject *parent = nullptr);

    ReadingSource *source() const { return m_source; }
    void setSource(ReadingSource *source);
    int channelCount() const { return m_channelCount; }
    void setChannelCount(int count);
    bool active() const { return m_active; }
    void setActive(bool active);
    bool perSecond() const { return m_perSecond; }
    void setPerSecond(bool perSecond);

    QList<double> values() const { return m_values; }
    double linearMin() const { return m_linear[0]; }
    double linearMax() const { return m_linear[1]; }
    double logMin() const { return m_log[0]; }
    double logMax() const { return m_log[1]; }

    void take(const Reading &reading);
    void reset();

signals:
    void sourceChanged();
    void channelCountChanged();
    void activeChanged();
    void perSecondChanged();
    void updated();

private:
    void show(const Reading &reading);

    QPointer<ReadingSource> m_source;
    QList<QMetaObject::Connection> m_connections;
    int m_channelCount = Reading::kChannels;
    bool m_active = true;
    bool m_perSecond = false;
    bool m_pending = false;
    bool m_shown = false; // m_latest is on the bars
    Reading m_latest;
    QList<double> m_values;
    double m_linear[2] = {0, 1};
    double m_log[2] = {1, 10};
};
