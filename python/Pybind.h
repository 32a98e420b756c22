#pragma once

// pybind11 after Qt: Qt's `slots` macro would break Python's own headers.
#pragma push_macro("slots")
#undef slots
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>
#pragma pop_macro("slots")
