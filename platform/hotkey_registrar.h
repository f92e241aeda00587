#pragma once
// Global shortcuts of the desktop. A HotkeyRegistrar is opened on the hotkeys thread and used only there,
// except for its HotkeyWaker, which any thread may use to wake it (new commands) or end it (quit).

#include <cstdint>
#include <memory>
#include <span>
#include <string_view>

#include "base/result.h"

namespace platform {

// Modifier bits as stored in the settings: Alt 1, Ctrl 2, Shift 4.
constexpr std::uint32_t mod_alt = 1;
constexpr std::uint32_t mod_control = 2;
constexpr std::uint32_t mod_shift = 4;

// Thread-safe wake-ups of the hotkeys thread: post_app() after sending commands, post_quit() to end it.
class HotkeyWaker {
public:
    virtual ~HotkeyWaker() = default;
    virtual void post_app() = 0;
    virtual void post_quit() = 0;
};

struct HotkeyEvent {
    enum class Kind { Pressed, App, Quit };
    Kind kind { Kind::App };
    int id { 0 }; // for Pressed: the id given to grab()
};

class HotkeyRegistrar {
public:
    virtual ~HotkeyRegistrar() = default;
    // Registers the key (a Windows virtual-key code) with its modifiers under id. Fails when the key has
    // no equivalent here, is already held by another program, or is already registered by us.
    virtual Result<void> grab(int id, std::uint32_t mods, std::uint32_t vk) = 0;
    virtual void ungrab(int id) = 0;
    // Blocks until a registered shortcut is pressed (once per press: held keys do not repeat), a post_app(),
    // or a post_quit(). Quit wins over everything pending; a press the desktop made before a post_app() comes
    // out before its App.
    virtual HotkeyEvent wait() = 0;
    virtual std::shared_ptr<HotkeyWaker> waker() = 0;
};

struct HotkeyDriver {
    std::string_view name;
    Result<std::unique_ptr<HotkeyRegistrar>> (*open)();
};

// The drivers of this system, in the order they are tried.
std::span<HotkeyDriver const> hotkey_drivers();

}
