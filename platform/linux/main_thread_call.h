#pragma once
// One answer handed from the main thread back to a worker that waits for it. The main-thread side keeps
// its own reference, so a worker that stopped waiting (time-out) leaves nothing dangling: the late answer
// lands in the reply and is dropped with it.

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>

namespace platform {

template <class T> class MainThreadReply {
public:
    void set(T value)
    {
        std::lock_guard lock(m_mutex);
        if (!m_value)
            m_value = std::move(value);
        m_changed.notify_all();
    }
    // Nothing when no answer came within `limit`.
    std::optional<T> wait_for(std::chrono::milliseconds limit)
    {
        std::unique_lock lock(m_mutex);
        m_changed.wait_for(lock, limit, [&] { return m_value.has_value(); });
        return m_value;
    }
    T wait()
    {
        std::unique_lock lock(m_mutex);
        m_changed.wait(lock, [&] { return m_value.has_value(); });
        return *m_value;
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::optional<T> m_value;
};

// A shared reply boxed for a C callback's user data; the callback adopts the box.
template <class T> using ReplyBox = std::shared_ptr<MainThreadReply<T>>;

}
