#pragma once
// A registrar double: records grabs, refuses chosen keys, and replays queued events.

#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <set>

#include "platform/hotkey_registrar.h"

namespace fakes {

class FakeHotkeys final : public platform::HotkeyRegistrar {
public:
    struct State {
        std::mutex mutex;
        std::condition_variable changed;
        std::deque<platform::HotkeyEvent> events;
        std::map<int, std::uint32_t> grabbed; // id -> vk
        std::set<std::uint32_t> refused_vks;
        int applications { 0 };
    };

    explicit FakeHotkeys(std::shared_ptr<State> state)
        : m_state(std::move(state))
        , m_waker(std::make_shared<Waker>(m_state))
    {
    }

    Result<void> grab(int id, std::uint32_t, std::uint32_t vk) override
    {
        std::lock_guard lock(m_state->mutex);
        if (m_state->refused_vks.contains(vk))
            return fail("refusé");
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
        m_state->changed.wait(lock, [&] { return !m_state->events.empty(); });
        auto event = m_state->events.front();
        m_state->events.pop_front();
        return event;
    }
    std::shared_ptr<platform::HotkeyWaker> waker() override { return m_waker; }

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
