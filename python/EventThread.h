#pragma once

// The module's one Qt thread: every session lives and runs in it, and Python
// threads hand work to it. Python never runs there, so it never needs the GIL.

#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

class QObject;

class EventThread
{
public:
    // The thread, started on first use (not at import).
    static EventThread &instance();
    // True once shutdown() has begun: nothing more is taken.
    static bool stopped();

    // Runs `work` in the Qt thread, after what was posted before. False when
    // the thread has stopped (then `work` never runs).
    bool post(std::function<void()> work);

    // Ends the event loop, deletes what is left in the thread and joins it.
    // Called once, at interpreter exit; a wait longer than the bound leaves
    // the thread to the process's end.
    static void shutdown();

    // Parent of the sessions: what is left of them goes with the thread.
    QObject *context() const { return m_context; }

private:
    EventThread();
    void run();

    std::thread m_thread;
    std::mutex m_mutex;
    std::condition_variable m_ready;
    bool m_started = false;
    bool m_finished = false;
    QObject *m_context = nullptr;
};
