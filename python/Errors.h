#pragma once

// The module's exceptions and warnings: a DeviceError family carrying the
// client's own message from the session's Outcome.

#include "Pybind.h"

#include "Outcome.h"

namespace errors {

// Makes the classes and adds them to the module.
void define(pybind11::module_ &m);

// Raises the exception for a failed outcome (never returns).
[[noreturn]] void raise(const Outcome &outcome);
// ValueError for an argument refused before anything is sent.
[[noreturn]] void invalid(const std::string &message);
// After an interrupted wait: the error a signal handler set (KeyboardInterrupt).
[[noreturn]] void rethrowPending();

// Issues a warning of the module's own classes; false when the warning
// filter turned it into an exception (then the error is set).
bool warnOverflow(const std::string &message);
bool warnDevice(const std::string &message);

// The Outcome's error as a name ("DacRejected").
const char *codeName(DeviceError error);

} // namespace errors
