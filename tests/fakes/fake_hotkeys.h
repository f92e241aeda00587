#pragma once
// A registrar double: records grabs and replays queued events.

#include <chrono>
#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>

#include "platform/hotkey_registrar.h"

namespace fakes {

class FakeHotkeys final : public platform::HotkeyRegistrar {
public:
    struct State {
        std::mutex mutex;
        std::condition_variable changed;
        std::deque<platform::HotkeyEvent> events;
        std::map<int, std::uint32_t> grabbed; // id -> vk
        bool idle { false };   // the thread waits for its next event: everything before it is handled
        bool closed { false }; // the thread ended and let its registrar go
    };

    explicit FakeHotkeys(std::shared_ptr<State> state)
        : m_state(std::move(state))
        , m_waker(std::make_shared<Waker>(m_state))
    {
    }
    ~FakeHotkeys() override
    {
        std::lock_guard lock(m_state->mutex);
        m_state->closed = true;
        m_state->changed.notify_all();
    }

    Result<void> grab(int id, std::uint32_t, std::uint32_t vk) override
    {
        std::lock_guard lock(m_state->mutex);
        m_state->grabbed[id] = vk;
        return {};
    }
    void ungrab(int id) override
    {
        std::lock_guard lock(m_state->mutex);
        m_state->grabbed.erase(id);
    }
    platform::HotkeyEvent wait() override
    {
        std::unique_lock lock(m_state->mutex);
        m_state->idle = true;
        m_state->changed.notify_all();
        m_state->changed.wait(lock, [&] { return !m_state->events.empty(); });
        m_state->idle = false;
        auto event = m_state->events.front();
        m_state->events.pop_front();
        return event;
    }
    std::shared_ptr<platform::HotkeyWaker> waker() override { return m_waker; }

    // Waits until the thread has handled every queued event and waits again (or has ended); the bound only
    // keeps a stuck thread from hanging the test.
    static bool settle(State& state)
    {
        std::unique_lock lock(state.mutex);
        return state.changed.wait_for(lock, std::chrono::seconds(10),
                                      [&] { return state.events.empty() && (state.idle || state.closed); });
    }

    static void push(State& state, platform::HotkeyEvent event)
    {
        std::lock_guard lock(state.mutex);
        state.events.push_back(event);
        state.changed.notify_all();
    }

private:
    class Waker final : public platform::HotkeyWaker {
    public:
        explicit Waker(std::shared_ptr<State> state)
            : m_state(std::move(state))
        {
        }
        void post_app() override { push(*m_state, { platform::HotkeyEvent::Kind::App, 0 }); }
        void post_quit() override { push(*m_state, { platform::HotkeyEvent::Kind::Quit, 0 }); }

    private:
        std::shared_ptr<State> m_state;
    };

    std::shared_ptr<State> m_state;
    std::shared_ptr<Waker> m_waker;
};

}
