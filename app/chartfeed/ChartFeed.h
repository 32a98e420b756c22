#pragma once

#include <QAbstractAxis>
#include <QList>
#include <QObject>
#include <QPointF>
#include <QVariant>
#include <QXYSeries>
#include <QtQml/qqmlregistration.h>

// Whole-list series updates and one-step axis ranges for the charts: Qt
// Charts rebuilds a line's path on every point call and every range end.
class ChartFeed : public QObject
{
    Q_OBJECT
    QML_ELEMENT
    QML_SINGLETON
public:
    using QObject::QObject;

    Q_INVOKABLE void setPoints(QObject *series, const QList<qreal> &xs, const QList<qreal> &ys) const
    {
        auto *s = qobject_cast<QXYSeries *>(series);
        if (!s)
            return;
        const qsizetype n = qMin(xs.size(), ys.size());
        QList<QPointF> points;
        points.reserve(n);
        for (qsizetype i = 0; i < n; ++i)
            points.append(QPointF(xs.at(i), ys.at(i)));
        s->replace(points);
    }

    Q_INVOKABLE void setRange(QObject *axis, const QVariant &min, const QVariant &max) const
    {
        if (auto *a = qobject_cast<QAbstractAxis *>(axis))
            a->setRange(min, max);
    }
};
