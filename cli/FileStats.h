#pragma once

#include "DeviceCommand.h"

#include <QString>

// `stats FILE`: the statistics of each channel over a recording's rows, the
// figures of the time view's strip over the whole file. Read in chunks, so
// a file of any size takes the memory of one chunk. The problems met go to
// stderr with their lines; a file that is not a recording fails.
int printFileStats(const QString &path, RowFormat format);
