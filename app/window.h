#pragma once
// The program's one window: a top-level window whose client area is the web view of the page the program
// serves itself, created hidden and shown once the page reports ready, and window.json, which remembers its
// place between runs. Everything here runs on the main thread, on the window slot of ShellState; the
// desktop itself (GTK and WebKitGTK in the program) sits behind platform::Desktop.

#include <chrono>
#include <deque>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "base/result.h"
#include "library/settings.h"
#include "platform/window.h"

namespace shell {
struct ShellState;
}

namespace window {

// The remembered placement, in logical pixels: the outer frame's corner and the client area's size.
struct WindowState {
    double x { 0 };
    double y { 0 };
    double w { 0 };
    double h { 0 };
    bool maximized { false };
    bool operator==(WindowState const&) const = default;
};

constexpr std::string_view title = "quill.mar";
constexpr std::string_view state_file_name = "window.json";
constexpr std::string_view state_temp_name = "window.json.tmp";
constexpr std::string_view start_url = "quillmar://app/";
constexpr int default_width = 1180;
constexpr int default_height = 760;
constexpr int min_width = 960;
constexpr int min_height = 600;
// Past this no window system draws a window, and the conversion to an int coordinate would overflow.
constexpr double max_remembered_size = 32767;
constexpr std::chrono::milliseconds ready_fallback_delay { 4000 };
// A page that fails this often this quickly would be reloaded for ever: the window closes instead.
constexpr int page_failure_limit = 3;
constexpr std::chrono::seconds page_failure_window { 60 };
// A window that goes leaves the screen at once; its page is first asked to send what the player was still
// typing, and the window is destroyed once the page has answered, or after this long without an answer.
constexpr std::chrono::milliseconds leave_bound { 500 };
// The page's side of that question: it settles once what it had to keep is answered.
constexpr std::string_view leave_script = "await keepTitleBeforeLeaving();";

// {"x":100.0,"y":80.0,"w":1180.0,"h":760.0,"maximized":false}: shortest round-trip numbers, always with a
// fraction or an exponent.
std::string state_text(WindowState const& state);
// The object form (other keys skipped, each of the five once) or the array of the five values in order;
// nothing but whitespace after it.
Result<WindowState> parse_state(std::string_view text);

// Whether the point (x + 40, y + 20), in the title bar, falls on the monitor once scaled to its pixels.
bool title_point_on_monitor(double x, double y, platform::MonitorArea const& monitor);

// window.json from the data folder when it reads, its size is sane and its title bar is on a monitor.
std::optional<WindowState> remembered_state(std::filesystem::path const& data_folder,
                                            std::span<platform::MonitorArea const> monitors);
// Replaces window.json through a temporary file, so a failed write keeps the previous one.
Result<void> write_state(std::filesystem::path const& data_folder, WindowState const& state);

// The page's origin alone, or followed by "/", "?" or "#".
bool is_allowed_navigation(std::string_view url);

// Light and Dark as set; System asks the desktop.
bool choose_dark(settings::Theme theme, std::function<bool()> const& desktop_dark);

// Adds a page failure at `now` to the recent ones; true when the limit is reached within the time window.
bool too_many_failures(std::deque<std::chrono::steady_clock::time_point>& recent,
                       std::chrono::steady_clock::time_point now);

// Brings the window forward, or creates it hidden; a failure ends in the toast "Fenêtre indisponible".
void show_window(shell::ShellState& state);
// Remembers the placement unless no window exists or it is fullscreen or minimised; errors are dropped.
void save_window_state(shell::ShellState& state);
// Destroys the view, then the window. Callers save first.
void destroy_window(shell::ShellState& state);
// Hides the window and takes it out of the slot, so that a Show meanwhile makes a new one; it is destroyed once
// its page has answered leave_script, or after leave_bound. Callers save first.
void leave_window(shell::ShellState& state);
// Runs `then` once no window is leaving any more: at once when none is.
void after_leaving(shell::ShellState& state, std::function<void()> then);
// The page's process failed: reload, or give up after too many failures in a short time.
void page_failed(shell::ShellState& state);

}
