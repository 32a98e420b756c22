#pragma once

#include "TracePlot.h"
#include "TraceSeries.h"

#include <QtQml/qqml.h>

// The time plot and its data, built below the scene (src/plot, src/history),
// as the documents' TracePlot and TraceSeries.
struct TracePlotType {
    Q_GADGET
    QML_FOREIGN(TracePlot)
    QML_NAMED_ELEMENT(TracePlot)
};

struct TraceSeriesType {
    Q_GADGET
    QML_FOREIGN(TraceSeries)
    QML_NAMED_ELEMENT(TraceSeries)
};
