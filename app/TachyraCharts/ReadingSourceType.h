#pragma once

#include "ReadingSource.h"

#include <QtQml/qqml.h>

// Makes the backend's reading source known to the documents as a property
// type (the session and the tests' sources are assigned to it).
struct ReadingSourceType {
    Q_GADGET
    QML_FOREIGN(ReadingSource)
    QML_ANONYMOUS
};
