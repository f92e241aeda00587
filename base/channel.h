#pragma once
// A queue between threads: sending ends are copied freely, the receiving end has one owner. The channel
// closes for the receiver when the last Sender dies (so the encoder learns that the capture loop stopped)
// and for senders when the Receiver dies (send() then returns false). capacity 0 means unbounded; a bounded
// channel blocks send() while full and offers try_send(). A one-shot channel is make<T>(1) used once.

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <utility>

namespace channel {

enum class TrySend { Sent, Full, Closed };

template <class T> struct State {
    std::mutex mutex;
    std::condition_variable readable;
    std::condition_variable writable;
    std::deque<T> queue;
    std::size_t capacity { 0 };
    std::size_t senders { 0 };
    bool receiver_alive { true };
};

template <class T> class Receiver;

template <class T> class Sender {
public:
    Sender() = default;
    explicit Sender(std::shared_ptr<State<T>> state)
        : m_state(std::move(state))
    {
        std::lock_guard lock(m_state->mutex);
        ++m_state->senders;
    }
    Sender(Sender const& other)
        : m_state(other.m_state)
    {
        if (m_state) {
            std::lock_guard lock(m_state->mutex);
            ++m_state->senders;
        }
    }
    // Explicit: without it a "move" would copy and the channel would never close.
    Sender(Sender&& other) noexcept
        : m_state(std::move(other.m_state))
    {
    }
    Sender& operator=(Sender other) noexcept
    {
        std::swap(m_state, other.m_state);
        return *this;
    }
    ~Sender() { reset(); }

    explicit operator bool() const { return m_state != nullptr; }

    // Drops this sending end now; the last one closes the channel.
    void reset()
    {
        if (!m_state)
            return;
        bool last = false;
        {
            std::lock_guard lock(m_state->mutex);
            last = --m_state->senders == 0;
        }
        if (last)
            m_state->readable.notify_all();
        m_state.reset();
    }

    // false once the Receiver is gone; waits while a bounded channel is full.
    bool send(T value) const
    {
        if (!m_state)
            return false;
        std::unique_lock lock(m_state->mutex);
        if (m_state->capacity > 0)
            m_state->writable.wait(lock, [&] {
                return !m_state->receiver_alive || m_state->queue.size() < m_state->capacity;
            });
        if (!m_state->receiver_alive)
            return false;
        m_state->queue.push_back(std::move(value));
        lock.unlock();
        m_state->readable.notify_one();
        return true;
    }

    // Never blocks: Full when a bounded channel has no room, Closed when the Receiver is gone.
    TrySend try_send(T value) const
    {
        if (!m_state)
            return TrySend::Closed;
        std::unique_lock lock(m_state->mutex);
        if (!m_state->receiver_alive)
            return TrySend::Closed;
        if (m_state->capacity > 0 && m_state->queue.size() >= m_state->capacity)
            return TrySend::Full;
        m_state->queue.push_back(std::move(value));
        lock.unlock();
        m_state->readable.notify_one();
        return TrySend::Sent;
    }

private:
    std::shared_ptr<State<T>> m_state;
};

enum class RecvStatus { Ok, Timeout, Closed };

template <class T> class Receiver {
public:
    Receiver() = default;
    explicit Receiver(std::shared_ptr<State<T>> state)
        : m_state(std::move(state))
    {
    }
    Receiver(Receiver const&) = delete;
    Receiver& operator=(Receiver const&) = delete;
    Receiver(Receiver&& other) noexcept
        : m_state(std::move(other.m_state))
    {
    }
    Receiver& operator=(Receiver&& other) noexcept
    {
        if (this != &other) {
            close();
            m_state = std::move(other.m_state);
        }
        return *this;
    }
    ~Receiver() { close(); }

    explicit operator bool() const { return m_state != nullptr; }

    // Blocks until a value arrives; nothing once every Sender is gone and the queue is drained.
    std::optional<T> recv()
    {
        if (!m_state)
            return std::nullopt;
        std::unique_lock lock(m_state->mutex);
        m_state->readable.wait(lock, [&] { return !m_state->queue.empty() || m_state->senders == 0; });
        return pop(lock);
    }

    // Waits until the deadline. `status` (when given) tells a time-out from a closed channel.
    std::optional<T> recv_until(std::chrono::steady_clock::time_point deadline, RecvStatus* status = nullptr)
    {
        if (!m_state) {
            if (status)
                *status = RecvStatus::Closed;
            return std::nullopt;
        }
        std::unique_lock lock(m_state->mutex);
        bool ready = m_state->readable.wait_until(
            lock, deadline, [&] { return !m_state->queue.empty() || m_state->senders == 0; });
        if (status)
            *status = !m_state->queue.empty() ? RecvStatus::Ok
                : ready                       ? RecvStatus::Closed
                                              : RecvStatus::Timeout;
        return pop(lock);
    }

    template <class Rep, class Period>
    std::optional<T> recv_for(std::chrono::duration<Rep, Period> timeout, RecvStatus* status = nullptr)
    {
        return recv_until(std::chrono::steady_clock::now() + timeout, status);
    }

    // Never blocks.
    std::optional<T> try_recv(RecvStatus* status = nullptr)
    {
        if (!m_state) {
            if (status)
                *status = RecvStatus::Closed;
            return std::nullopt;
        }
        std::unique_lock lock(m_state->mutex);
        if (status)
            *status = !m_state->queue.empty() ? RecvStatus::Ok
                : m_state->senders == 0       ? RecvStatus::Closed
                                              : RecvStatus::Timeout;
        return pop(lock);
    }

    // true once every Sender is gone (values may still be queued).
    bool disconnected() const
    {
        if (!m_state)
            return true;
        std::lock_guard lock(m_state->mutex);
        return m_state->senders == 0;
    }

private:
// GCC 12 sees a moved-from optional<variant<vector>> as "maybe uninitialized" here; it is not.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
    std::optional<T> pop(std::unique_lock<std::mutex>& lock)
    {
        if (m_state->queue.empty())
            return std::nullopt;
        std::optional<T> value(std::move(m_state->queue.front()));
        m_state->queue.pop_front();
        lock.unlock();
        m_state->writable.notify_one();
        return value;
    }
#pragma GCC diagnostic pop

    void close()
    {
        if (!m_state)
            return;
        {
            std::lock_guard lock(m_state->mutex);
            m_state->receiver_alive = false;
            // Queued values die with the receiver, as senders can no longer reach anyone.
            m_state->queue.clear();
        }
        m_state->writable.notify_all();
        m_state.reset();
    }

    std::shared_ptr<State<T>> m_state;
};

// capacity 0: unbounded (saver, hotkeys, live samples, page jobs); 2: frames to the encoder; 1: one-shot.
template <class T> std::pair<Sender<T>, Receiver<T>> make(std::size_t capacity = 0)
{
    auto state = std::make_shared<State<T>>();
    state->capacity = capacity;
    return { Sender<T>(state), Receiver<T>(state) };
}

}
