#pragma once

#include "Limits.h"

#include <QString>

namespace limits {

// A text of a front end (help, a message, a docstring) with the ranges
// filled in from the table: {last_channel}, {min_period_ms},
// {max_period_ms} and {max_mv}.
inline QString filled(QString text)
{
    return text.replace(QLatin1String("{last_channel}"), QString::number(kChannels - 1))
        .replace(QLatin1String("{min_period_ms}"), QString::number(kMinPeriodMs))
        .replace(QLatin1String("{max_period_ms}"), QString::number(kMaxPeriodMs))
        .replace(QLatin1String("{max_mv}"), QString::number(kMaxWholeLevelMv));
}

inline QString filled(const char *text)
{
    return filled(QString::fromUtf8(text));
}

} // namespace limits
