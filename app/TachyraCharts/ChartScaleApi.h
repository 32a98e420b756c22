#pragma once

#include "ChartScale.h"

#include <QObject>
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

private:
    static QVariant map(const chartscale::Range &r)
    {
        return QVariantMap{{QStringLiteral("min"), r.min}, {QStringLiteral("max"), r.max}};
    }
};
