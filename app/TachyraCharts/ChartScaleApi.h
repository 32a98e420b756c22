#pragma once

#include "ChartScale.h"

#include <QObject>
#include <QVariantList>
#include <QVariantMap>
#include <QtQml/qqmlregistration.h>

// The chart arithmetic for the documents: ranges as {min, max} objects
// (plain variants, so the documents read them as JavaScript objects).
class ChartScaleApi : public QObject
{
    Q_OBJECT
    QML_NAMED_ELEMENT(ChartScale)
    QML_SINGLETON
public:
    using QObject::QObject;

    Q_INVOKABLE double drawValue(double value) const { return chartscale::drawValue(value); }
    Q_INVOKABLE int desiredTickCount(double availableLength, double labelPixelSize) const
    {
        return chartscale::desiredTickCount(availableLength, labelPixelSize);
    }
    Q_INVOKABLE double tickInterval(double min, double max, int desiredCount) const
    {
        return chartscale::tickInterval(min, max, desiredCount);
    }
    Q_INVOKABLE double logBase(double min, double max) const { return chartscale::logBase(min, max); }
    Q_INVOKABLE QVariant linearRange(double min, double max) const
    {
        return map(chartscale::linearRange(min, max));
    }
    Q_INVOKABLE QVariant logRange(double min, double max) const
    {
        return map(chartscale::logRange(min, max));
    }
    Q_INVOKABLE QVariant paddedLinearRange(double lo, double hi) const
    {
        return map(chartscale::paddedLinearRange(lo, hi));
    }
    Q_INVOKABLE QVariant paddedLogRange(double lo, double hi) const
    {
        return map(chartscale::paddedLogRange(lo, hi));
    }
    // {values, linMin, linMax, logMin, logMax} for one reading of the bar chart.
    Q_INVOKABLE QVariant bars(const QVariantList &counts, int channelCount) const
    {
        QList<double> in;
        in.reserve(counts.size());
        for (const QVariant &v : counts) {
            bool ok = false;
            const double d = v.toDouble(&ok);
            in.append(ok ? d : 0.0); // text or null counts as 0, like a negative count
        }
        const chartscale::Bars b = chartscale::bars(in, channelCount);
        QVariantList values;
        values.reserve(b.values.size());
        for (double v : b.values)
            values.append(v);
        return QVariantMap{{QStringLiteral("values"), values},
                           {QStringLiteral("linMin"), b.linear.min}, {QStringLiteral("linMax"), b.linear.max},
                           {QStringLiteral("logMin"), b.log.min}, {QStringLiteral("logMax"), b.log.max}};
    }

private:
    static QVariant map(const chartscale::Range &r)
    {
        return QVariantMap{{QStringLiteral("min"), r.min}, {QStringLiteral("max"), r.max}};
    }
};
