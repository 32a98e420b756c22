#pragma once

// Waiting for the Qt thread from a Python thread: the GIL is released, and
// every slice Python's signal handlers run, so Ctrl-C ends any wait within
// one slice (KeyboardInterrupt in the main thread, also in a notebook kernel).

#include "Pybind.h"

#include "EventThread.h"

#include <chrono>
#include <stdexcept>

namespace wait {

constexpr std::chrono::milliseconds kSlice(50);

// Calls ready(slice) with the GIL released until it returns true. False when
// a signal handler raised (the Python error is set). Throws RuntimeError when
// the module's thread has ended (interpreter exit).
template <class Ready>
bool interruptibly(Ready &&ready)
{
    for (;;) {
        bool done = false;
        {
            const pybind11::gil_scoped_release unlocked;
            done = ready(kSlice);
        }
        if (done)
            return true;
        if (PyErr_CheckSignals() != 0)
            return false;
        if (EventThread::stopped())
            throw std::runtime_error("tachyra has shut down (the interpreter is exiting)");
    }
}

} // namespace wait
