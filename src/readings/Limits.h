#pragma once

// The ranges the operator is offered and the unit conversions of the
// front ends, in one place: the session refuses what lies outside the
// ranges, and the tool, Python, the exporter and the settings page (through
// the session's constant properties) take them from here rather than from
// a copy.
namespace limits {

constexpr int kChannels = 8;
constexpr int kMinPeriodMs = 1;
constexpr int kMaxPeriodMs = 60000;
constexpr double kMaxLevelMv = 1000.0; // a level (and a sweep's range) runs from 0
constexpr int kMaxWholeLevelMv = 1000; // also the largest step of a sweep

// A level as the instrument takes it.
constexpr double voltsOfMv(double mv) { return mv / 1000.0; }
// A time in ms as seconds, and seconds as ms (not rounded).
constexpr double secondsOfMs(double ms) { return ms / 1000.0; }
constexpr double msOfSeconds(double s) { return s * 1000.0; }

} // namespace limits
