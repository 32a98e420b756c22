#pragma once

#include <QAbstractAxis>
#include <QDateTime>
#include <QDateTimeAxis>
#include <QList>
#include <QObject>
#include <QPointF>
#include <QSignalBlocker>
#include <QVariant>
#include <QVariantList>
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

    // One reading for the lines that share a time axis: series i gets (x, ys[i])
    // unless ys[i] is NaN and loses its first drops[i] points (never its last),
    // then the axis moves to [min, max]. When the axis does move, the point
    // calls go unannounced: the move makes the chart rebuild every line from
    // its full point list anyway, so each line is rebuilt once instead of once
    // per call and once more for the move.
    Q_INVOKABLE void scroll(const QVariantList &series, qreal x, const QList<qreal> &ys,
                            const QList<int> &drops, QObject *axis, const QDateTime &min,
                            const QDateTime &max) const
    {
        auto *a = qobject_cast<QDateTimeAxis *>(axis);
        const bool moves = a && (a->min() != min || a->max() != max);
        for (qsizetype i = 0; i < series.size(); ++i) {
            auto *s = qobject_cast<QXYSeries *>(series.at(i).value<QObject *>());
            if (!s)
                continue;
            const bool add = i < ys.size() && !qIsNaN(ys.at(i));
            const int count = s->count() + (add ? 1 : 0);
            // Never the last point; an empty line (count 0) drops nothing.
            const int drop = qMax(0, qMin(i < drops.size() ? drops.at(i) : 0, count - 1));
            // A line left empty is not redrawn by an axis move, so that one is told.
            const QSignalBlocker quiet(moves && count > 0 ? s : nullptr);
            if (add)
                s->append(x, ys.at(i));
            if (drop > 0)
                s->removePoints(0, drop);
        }
        if (a)
            a->setRange(min, max);
    }

    Q_INVOKABLE void setRange(QObject *axis, const QVariant &min, const QVariant &max) const
    {
        if (auto *a = qobject_cast<QAbstractAxis *>(axis))
            a->setRange(min, max);
    }
};
