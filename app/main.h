#pragma once
// The program's main thread: start-up in a fixed order, the event loop's events and their handling, and
// the quit sequence. Every other thread reaches the main thread only by sending a UserEvent through the
// EventProxy.

#include <chrono>
#include <deque>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <variant>
#include <vector>

#include "app/api/page_server.h"
#include "app/hotkeys.h"
#include "engine/engine.h"
#include "engine/foreground.h"
#include "engine/toast.h"
#include "platform/window.h"

namespace shell {

struct WindowCommand {
    enum class Kind : std::uint8_t { Theme, Fullscreen, Ready };
    Kind kind { Kind::Ready };
    bool on { false }; // dark for Theme, on for Fullscreen
};

struct UserEvent {
    struct Show { };
    struct Quit { };
    struct Window {
        WindowCommand command;
    };
    struct Page {
        engine::PageEvent event;
    };
    // The page's process ended or stopped answering.
    struct WebViewFailed { };
    std::variant<Show, Quit, Window, Page, WebViewFailed> value;
};

// A thread-safe queue that wakes the main loop. Keeps each sender's order; once the loop has ended a
// send fails at once and the event is dropped.
class EventProxy {
public:
    using Waker = std::function<void(std::function<void()>)>; // runs a function on the main thread
    EventProxy(Waker wake, std::function<void(UserEvent)> handler);
    bool send(UserEvent event);
    void close();

private:
    void drain();
    struct State {
        std::mutex mutex;
        std::deque<UserEvent> queue;
        bool closed { false };
        bool scheduled { false };
    };
    std::shared_ptr<State> m_state;
    Waker m_wake;
    std::function<void(UserEvent)> m_handler;
};

// What start-up needs from the platform: the real drivers in the program, fakes in tests.
struct AppPlatform {
    std::shared_ptr<platform::Trash> trash;
    foreground::ProbeOpener open_probe;
    std::function<foreground::ForegroundInfo()> detect_foreground;
    toast::SurfaceOpener open_toast;
    hotkeys::RegistrarFactory open_hotkeys;
    engine::PipelineBodies bodies;
    std::optional<std::filesystem::path> videos_dir;
    std::filesystem::path buffer_dir;       // spill segments
    std::filesystem::path copies_dir;       // light copies
    std::filesystem::path autostart_home;   // $XDG_CONFIG_HOME
    std::filesystem::path executable;       // for the autostart entry
    threads::Spawner spawn = threads::spawn_thread;
};

// The real drivers of this system.
AppPlatform default_platform();
// The desktop drivers of the page's API. Main thread.
api::Platform api_platform();

// Loads the settings, prepares the clips folder, builds the engine and starts its threads in order. The
// error is the player's text ("Dossier des clips : ..."); a thread that cannot start also leaves a crash
// record, and the threads started before it are stopped or left to end with the engine.
Result<std::shared_ptr<engine::Engine>> init_app_state(std::filesystem::path const& data_folder, std::shared_ptr<EventProxy> proxy,
                                AppPlatform platform);

// The bindings of every slot with a key, then the record key.
std::vector<hotkeys::HotkeyBinding> bindings_for(settings::Settings const& settings);
void apply_bindings(hotkeys::HotkeyThread const& handle, settings::Settings const& settings);

// The engine's handle on the hotkeys thread.
class HotkeyShortcuts final : public engine::Shortcuts {
public:
    explicit HotkeyShortcuts(hotkeys::HotkeyThread thread)
        : m_thread(std::move(thread))
    {
    }
    void set_paused(bool paused) override;
    void settle_and_pause(std::chrono::milliseconds bound) override;
    void apply(settings::Settings const& settings) override;
    std::vector<std::string> failed_keys() const override;
    void set_window_focus(bool focused) override;
    hotkeys::HotkeyThread& thread() { return m_thread; }

private:
    hotkeys::HotkeyThread m_thread;
    // A pause and the window's loss of the keyboard reach the thread in the order they were decided.
    std::mutex m_mutex;
    bool m_paused { false };  // by set_paused; the quit's pause is not counted
    bool m_focused { true };  // until the window says otherwise: without a window, nothing gates the page
};

// A window on its way out (window::leave_window): hidden, kept until its page has answered or the time is up.
struct LeavingWindow {
    std::unique_ptr<platform::AppWindow> window;
    std::unique_ptr<platform::PageView> view; // last, so destroyed first
};

struct ShellState {
    std::shared_ptr<engine::Engine> engine;
    std::shared_ptr<api::App> app;
    std::shared_ptr<EventProxy> proxy; // cloned into the window's and the icon's handlers
    channel::Sender<api::PageJob> page_jobs; // the first sender, kept for the whole run
    platform::PageSchemeHandler page_scheme; // serves the window's page
    std::filesystem::path data_folder; // window.json
    std::filesystem::path icon_folder; // the icon's image for notification hosts that load it by name
    std::unique_ptr<platform::Desktop> desktop;
    // The window slot: the window and the PageView of its view exist together.
    std::unique_ptr<platform::AppWindow> window;
    std::unique_ptr<platform::PageView> view;
    // Held while the window is in the slot: its events count only then.
    std::shared_ptr<bool> window_token;
    std::unique_ptr<platform::TrayIcon> tray;
    // Windows closed whose pages are still keeping what was typed; a new window may be open meanwhile.
    std::vector<std::shared_ptr<LeavingWindow>> leaving;
    std::function<void()> after_leaving; // the rest of the quit, once none is left
    std::deque<std::chrono::steady_clock::time_point> page_failures; // of the current window
    bool ready_handled { false };
    bool start_hidden { false };
    bool continue_toast_shown { false };
    bool quitting { false };
    std::function<void(int)> exit; // ends the event loop with this code
};

// A web view was created or its page reloaded: the page that had paused the global keys (while it
// captured a new key) is gone, so they are turned back on.
void view_created(ShellState& state);
// The window took or lost the keyboard: losing it turns the keys the page paused back on.
void window_focus(ShellState& state, bool focused);
// Turns the global keys back on once the hotkeys thread exists.
void resume_keys(ShellState& state);

// The loop's first turn: the notification-area icon, then the window unless the start is hidden.
void first_event(ShellState& state);
// Runs on the main thread for every event.
void handle_event(ShellState& state, UserEvent event);
// The player closed the window: it goes at once from the screen and, once its page has kept what was being
// typed, for good; the program stays in the notification area.
void close_requested(ShellState& state);
// The quit sequence, in its fixed order. Each wait in it is bounded: the page's keeping of what was typed
// (window::leave_bound), the keys' pause, the queued saves (engine::quit_save_bound), the recording's end.
// Other events are ignored from its start.
constexpr std::chrono::seconds quit_keys_bound { 5 };
void quit(ShellState& state);

// The whole program; returns the process exit code.
int run(int argc, char** argv);

}
