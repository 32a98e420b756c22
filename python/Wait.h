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
        // The GIL is taken back outside any destructor: at exit the
        // interpreter ends a daemon thread while it takes the GIL
        // (pthread_exit), and that unwinding through a noexcept destructor
        // would abort the process.
        PyThreadState *const state = PyEval_SaveThread();
        bool done = false;
        try {
            done = ready(kSlice);
        } catch (...) {
            PyEval_RestoreThread(state);
            throw;
        }
        PyEval_RestoreThread(state);
        if (done)
            return true;
        if (PyErr_CheckSignals() != 0)
            return false;
        if (EventThread::stopped())
            throw std::runtime_error("tachyra has shut down (the interpreter is exiting)");
    }
}

} // namespace wait
