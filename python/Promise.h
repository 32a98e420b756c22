#pragma once

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>

// One value handed from the Qt thread to a waiting Python thread. Copies
// share the value; the first set() wins.
template <class T>
class Promise
{
public:
    Promise() : m_state(std::make_shared<State>()) {}

    void set(T value) const
    {
        {
            const std::lock_guard<std::mutex> lock(m_state->mutex);
            if (m_state->value)
                return;
            m_state->value = std::move(value);
        }
        m_state->changed.notify_all();
    }

    // True once the value is there; waits at most `slice` for it.
    bool waitFor(std::chrono::milliseconds slice) const
    {
        std::unique_lock<std::mutex> lock(m_state->mutex);
        return m_state->changed.wait_for(lock, slice, [this] { return m_state->value.has_value(); });
    }

    T value() const
    {
        const std::lock_guard<std::mutex> lock(m_state->mutex);
        return *m_state->value;
    }

private:
    struct State {
        std::mutex mutex;
        std::condition_variable changed;
        std::optional<T> value;
    };
    std::shared_ptr<State> m_state;
};
