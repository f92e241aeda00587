#include "app/hotkeys.h"

#include <condition_variable>
#include <map>
#include <mutex>
#include <utility>

#include "platform/open_first.h"

namespace hotkeys {

namespace {

// Stands in for the desktop's registrar when none can be opened (no display): every shortcut is reported
// as refused, and the thread still serves commands so that the rest of the program runs.
class UnavailableRegistrar final : public platform::HotkeyRegistrar {
public:
    explicit UnavailableRegistrar(std::string reason)
        : m_reason(std::move(reason))
        , m_waker(std::make_shared<Waker>())
    {
    }
    Result<void> grab(int, std::uint32_t, std::uint32_t) override { return fail(m_reason); }
    void ungrab(int) override { }
    platform::HotkeyEvent wait() override { return m_waker->wait(); }
    std::shared_ptr<platform::HotkeyWaker> waker() override { return m_waker; }

private:
    class Waker final : public platform::HotkeyWaker {
    public:
        void post_app() override
        {
            std::lock_guard lock(m_mutex);
            m_app = true;
            m_changed.notify_all();
        }
        void post_quit() override
        {
            std::lock_guard lock(m_mutex);
            m_quit = true;
            m_changed.notify_all();
        }
        platform::HotkeyEvent wait()
        {
            std::unique_lock lock(m_mutex);
            m_changed.wait(lock, [&] { return m_app || m_quit; });
            if (m_quit)
                return { platform::HotkeyEvent::Kind::Quit, 0 };
            m_app = false;
            return { platform::HotkeyEvent::Kind::App, 0 };
        }

    private:
        std::mutex m_mutex;
        std::condition_variable m_changed;
        bool m_app { false };
        bool m_quit { false };
    };

    std::string m_reason;
    std::shared_ptr<Waker> m_waker;
};

struct Registered {
    engine::HotkeyKind kind;
    std::uint32_t arg;
};

// Releases everything, then registers the current set unless paused. Ids are consecutive from 1 in list
// order; a refused binding still uses up its id.
void apply_state(platform::HotkeyRegistrar& registrar, std::vector<HotkeyBinding> const& bindings, bool paused,
                 std::map<int, Registered>& registered, HotkeyShared& shared)
{
    for (auto const& [id, binding] : registered)
        registrar.ungrab(id);
    registered.clear();
    std::vector<std::string> failed;
    if (!paused) {
        int id = 0;
        for (auto const& binding : bindings) {
            ++id;
            if (registrar.grab(id, binding.mods, binding.vk))
                registered[id] = { binding.kind, binding.arg };
            else
                failed.push_back(binding.label);
        }
    }
    shared.failed.set(std::move(failed));
}

}

RegistrarFactory system_registrar()
{
    return [] { return platform::open_first(platform::hotkey_drivers(), "aucun pilote de raccourcis"); };
}

void thread_main(channel::Receiver<HotkeyCommand> commands,
                 channel::Sender<std::shared_ptr<platform::HotkeyWaker>> id_reply, std::shared_ptr<HotkeyShared> shared,
                 HotkeyCallback callback, RegistrarFactory open_registrar)
{
    std::unique_ptr<platform::HotkeyRegistrar> registrar;
    if (auto opened = open_registrar())
        registrar = std::move(opened).value();
    else
        registrar = std::make_unique<UnavailableRegistrar>(opened.error());
    id_reply.send(registrar->waker());
    id_reply.reset();

    std::vector<HotkeyBinding> bindings;
    bool paused = false;
    std::map<int, Registered> registered;
    for (;;) {
        auto event = registrar->wait();
        switch (event.kind) {
        case platform::HotkeyEvent::Kind::Quit:
            for (auto const& [id, binding] : registered)
                registrar->ungrab(id);
            return;
        case platform::HotkeyEvent::Kind::Pressed:
            if (auto found = registered.find(event.id); found != registered.end() && callback)
                callback(found->second.kind, found->second.arg);
            break;
        case platform::HotkeyEvent::Kind::App: {
            // Several commands posted together are applied once: the last Set and the last Pause win.
            std::vector<channel::Sender<bool>> answers;
            while (auto command = commands.try_recv()) {
                if (auto* set = std::get_if<SetBindings>(&*command)) {
                    bindings = std::move(set->bindings);
                } else {
                    auto& pause = std::get<Pause>(*command);
                    paused = pause.paused;
                    if (pause.applied)
                        answers.push_back(std::move(*pause.applied));
                }
            }
            apply_state(*registrar, bindings, paused, registered, *shared);
            for (auto& answer : answers)
                answer.send(true);
            break;
        }
        }
    }
}

Result<HotkeyThread> spawn(HotkeyCallback callback, RegistrarFactory open_registrar, threads::Spawner const& start)
{
    auto [command_tx, command_rx] = channel::make<HotkeyCommand>();
    auto [id_tx, id_rx] = channel::make<std::shared_ptr<platform::HotkeyWaker>>(1);
    auto shared = std::make_shared<HotkeyShared>();
    auto thread = TRY(threads::start_needed(start,
        "quillmar-hotkeys",
        [commands = std::make_shared<channel::Receiver<HotkeyCommand>>(std::move(command_rx)),
         id_tx = std::move(id_tx), shared, callback = std::move(callback),
         open_registrar = std::move(open_registrar)]() mutable {
            thread_main(std::move(*commands), std::move(id_tx), shared, std::move(callback), std::move(open_registrar));
        }));
    // It ends when its handle is dropped, which the engine does not wait for.
    thread.detach();
    auto waker = id_rx.recv();
    if (!waker)
        return fail("Démarrage impossible : le fil quillmar-hotkeys s'est arrêté");
    return HotkeyThread { std::move(command_tx), std::move(shared), std::move(*waker) };
}

void send_command(HotkeyThread const& handle, HotkeyCommand command)
{
    if (!handle.commands.send(std::move(command)))
        return;
    if (handle.waker)
        handle.waker->post_app();
}

void drop_thread_handle(HotkeyThread& handle)
{
    if (handle.waker)
        handle.waker->post_quit();
    handle.commands.reset();
    handle.waker.reset();
    handle.shared.reset();
}

std::vector<std::string> failed_keys(HotkeyThread const& handle)
{
    return handle.shared ? handle.shared->failed.copy() : std::vector<std::string> {};
}

}
