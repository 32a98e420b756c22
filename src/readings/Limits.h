#pragma once

// The ranges the operator is offered, in one place: the session refuses
// what lies outside them, and the tool, Python, the exporter and the
// settings page take them from here rather than from a copy.
namespace limits {

constexpr int kChannels = 8;
constexpr int kMinPeriodMs = 1;
constexpr int kMaxPeriodMs = 60000;
constexpr double kMaxLevelMv = 1000.0; // a level (and a sweep's range) runs from 0
constexpr int kMaxWholeLevelMv = 1000;

// A level as the instrument takes it.
constexpr double voltsOfMv(double mv) { return mv / 1000.0; }

} // namespace limits
