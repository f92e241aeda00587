#pragma once
// The global shortcuts live on their own thread, "quillmar-hotkeys", which owns the desktop's key grabs.
// Other threads never grab keys: they send a HotkeyCommand on the channel and wake the thread. When a
// shortcut is pressed, the thread calls the engine's callback with the binding's kind and argument. The
// labels of the shortcuts the desktop refused are published for the status page.

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "base/channel.h"
#include "base/threads.h"
#include "engine/engine.h"
#include "platform/hotkey_registrar.h"

namespace hotkeys {

struct HotkeyBinding {
    std::string label;      // shown to the player; used only to report a failure
    std::uint32_t mods { 0 }; // Alt 1, Ctrl 2, Shift 4
    std::uint32_t vk { 0 };   // Windows virtual-key code
    engine::HotkeyKind kind { engine::HotkeyKind::Save };
    std::uint32_t arg { 0 };  // for Save: the slot's seconds
    bool operator==(HotkeyBinding const&) const = default;
};

struct SetBindings {
    std::vector<HotkeyBinding> bindings;
};
struct Pause {
    bool paused { false };
    // Answered once the pause is in force; every shortcut pressed before the command was sent has been
    // handled by then.
    std::optional<channel::Sender<bool>> applied {};
};
using HotkeyCommand = std::variant<SetBindings, Pause>;

// The labels of the bindings whose registration failed at the last application.
struct HotkeyShared {
    threads::Locked<std::vector<std::string>> failed;
};

using HotkeyCallback = std::function<void(engine::HotkeyKind kind, std::uint32_t arg)>;

// The handle kept by the engine. Releasing it (drop_thread_handle) ends the thread, which then releases
// every shortcut itself.
struct HotkeyThread {
    channel::Sender<HotkeyCommand> commands;
    std::shared_ptr<HotkeyShared> shared;
    std::shared_ptr<platform::HotkeyWaker> waker; // stands for the thread id: wakes or ends the thread
};

// Opens a registrar: the first driver that opens. Used by thread_main; tests pass their own.
using RegistrarFactory = std::function<Result<std::unique_ptr<platform::HotkeyRegistrar>>()>;
RegistrarFactory system_registrar();

// Body of "quillmar-hotkeys". Sends the thread's waker on id_reply once its queue exists, then serves
// commands and presses until the waker posts quit.
void thread_main(channel::Receiver<HotkeyCommand> commands,
                 channel::Sender<std::shared_ptr<platform::HotkeyWaker>> id_reply, std::shared_ptr<HotkeyShared> shared,
                 HotkeyCallback callback, RegistrarFactory open_registrar);

// Starts "quillmar-hotkeys" and waits (without limit) for its waker; the handle, or the player's text of a
// thread that did not start or ended at once.
Result<HotkeyThread> spawn(HotkeyCallback callback, RegistrarFactory open_registrar = system_registrar(),
                           threads::Spawner const& start = threads::spawn_thread);

// Sends the command, then wakes the thread. A thread that is gone drops it.
void send_command(HotkeyThread const& handle, HotkeyCommand command);

// Posts quit and releases the handle's ends.
void drop_thread_handle(HotkeyThread& handle);

// The failed labels, as the status page shows them.
std::vector<std::string> failed_keys(HotkeyThread const& handle);

}
