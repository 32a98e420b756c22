#pragma once

// What the module hands to Python: readings and sweep points as numpy
// arrays (one per column, no Python object per reading), ports and the
// network settings as small value objects.

#include "Pybind.h"

#include "Reading.h"

#include <QList>

#include <string>
#include <vector>

// One reading, for stream(): counts (8,), time (datetime64[ms]), ...
struct OneReading {
    pybind11::object counts;
    pybind11::object time;
    pybind11::object elapsedS;
    pybind11::object periodMs;
    pybind11::object thresholdsMv;
    pybind11::object sweep;

    std::string repr() const;
};

// Readings as columns: counts (n, 8) float64, time (n,) datetime64[ms] UTC,
// elapsed_s (n,) float64, period_ms (n,) int64, thresholds_mv (n, 8)
// float64 (NaN while unknown), sweep (n,) bool.
struct Readings {
    pybind11::array counts;
    pybind11::array time;
    pybind11::array elapsedS;
    pybind11::array periodMs;
    pybind11::array thresholdsMv;
    pybind11::array sweep;

    // elapsed_s counts from originNs on the steady clock.
    static Readings from(const std::vector<Reading> &readings, qint64 originNs);
    pybind11::ssize_t size() const;
    OneReading at(pybind11::ssize_t index) const;
    Readings slice(const pybind11::slice &range) const;
    pybind11::dict asDict() const;
    std::string repr() const;
};

struct SweepPoints {
    int channel = 0;
    pybind11::array thresholdMv; // (n,) float64, in the order stepped
    pybind11::array counts;      // (n,) float64: the swept channel's count
    pybind11::array time;        // (n,) datetime64[ms] UTC

    static SweepPoints from(int channel, const std::vector<SweepPoint> &points);
    pybind11::ssize_t size() const;
    std::string repr() const;
};

// calibrate(): per channel (8,) float64 arrays, NaN where there is nothing
// (no suggestion, or the channel not swept); reasons "" for channels not swept.
struct Calibration {
    pybind11::array suggestedMv;
    pybind11::array valleyLowMv;
    pybind11::array valleyHighMv;
    pybind11::array uncertaintyMv;
    pybind11::array quality;
    pybind11::list reasons;    // the texts, as the client shows them
    pybind11::list reasonKeys; // "valley", "too-few-counts", ...
    pybind11::dict points;     // channel: SweepPoints
    pybind11::dict spectrum;   // channel: {"threshold_mv", "per_mv", "error_per_mv"} arrays

    static Calibration from(const QList<int> &channels, const std::vector<SweepPoint> &points);
    double suggestedAt(int channel) const;
    std::string repr() const;
};

struct PortInfo {
    std::string name;
    std::string description;
    bool preferred = false; // looks like the instrument (the client picks the first such)

    std::string repr() const;
};

struct NetworkSettings {
    std::string mode; // "DHCP", "Static", or "" when the instrument did not say
    std::string ip;
    std::string netmask;
    std::string gateway;

    bool dhcp() const { return mode == "DHCP"; }
    std::string repr() const;
};
