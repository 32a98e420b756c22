#pragma once

#include "Outcome.h"
#include "Reading.h"

#include <QObject>

// What a plot or a recorder follows: each reading as it is taken, each
// point of a sweep, and the end of the run they belong to. The session is one; tests make their own.
class ReadingSource : public QObject
{
    Q_OBJECT
public:
    using QObject::QObject;

signals:
    // Every valid count reading, stamped once: every consumer takes this
    // value as it is.
    void readingTaken(const Reading &reading);
    // Each point of a calibration sweep, with its channel and time.
    void sweepPointTaken(const SweepPoint &point);
    // The link has ended: ok when the operator closed it, else why it was lost.
    void linkClosed(const Outcome &why);
};
