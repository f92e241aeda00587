#pragma once
// The desktop of the main thread: the one main window with its web view, the notification-area icon, the
// monitors, the desktop's colour preference and timers on the main loop. The shell owns one Desktop for the
// run (GTK and WebKitGTK in the program, a fake in tests); every call and every callback happens on the main
// thread, and callbacks never destroy the object that calls them (the shell queues such work).

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "base/result.h"
#include "platform/page_scheme.h"

namespace platform {

// A monitor in physical pixels, with its scale (physical pixels per logical pixel).
struct MonitorArea {
    double scale { 1.0 };
    int left { 0 };
    int top { 0 };
    int right { 0 };
    int bottom { 0 };
};

// Where the window is, in logical pixels: the outer frame's corner and the client area's size.
struct Placement {
    double x { 0 };
    double y { 0 };
    double w { 0 };
    double h { 0 };
    bool maximized { false };
};

struct WindowSpec {
    std::string title;
    std::span<std::uint8_t const> icon_rgba; // square, rows top to bottom
    int icon_size { 0 };
    int min_width { 0 }; // client area, logical pixels
    int min_height { 0 };
    int width { 0 };
    int height { 0 };
    std::optional<std::pair<int, int>> position; // outer frame corner; the window manager places it otherwise
    bool maximized { false };
    bool dark { false };     // the frame's theme and the view's background until the page paints
    std::string start_url;
    std::function<bool(std::string_view)> allow_navigation;
    // Serves the page's scheme; registered on the first window's context, which every later window shares.
    PageSchemeHandler scheme;
};

struct WindowEvents {
    std::function<void()> close_requested; // the player closes the window; it stays until destroyed
    std::function<void()> page_committed;  // every load of the page, reloads included
    // The window took (true) or lost (false) the keyboard focus; hidden or minimised, it has lost it.
    std::function<void(bool)> focus_changed;
    // The page's process ended (crash, memory limit) or stopped answering (it was ended first).
    std::function<void()> page_failed;
};

// Created hidden; destroying it destroys the view, then the window.
class AppWindow {
public:
    virtual ~AppWindow() = default;
    // A PageView of this window's view; it may outlive the window and then does nothing.
    virtual std::unique_ptr<PageView> page_view() = 0;
    // Shows the window and brings it to the front.
    virtual void make_visible() = 0;
    // Restores it when minimised and brings it to the front when it is visible; a hidden window stays hidden.
    virtual void bring_forward() = 0;
    // Takes the window off the screen; it stays, with its page running, until destroyed.
    virtual void hide() = 0;
    virtual void set_dark(bool dark) = 0;
    virtual void set_fullscreen(bool on) = 0;
    virtual void reload() = 0;
    // Nothing while fullscreen or minimised.
    virtual std::optional<Placement> placement() = 0;
};

enum class TrayButton : std::uint8_t { Left, Right, Middle };
struct TrayClick {
    TrayButton button { TrayButton::Left };
    bool up { true }; // the release of the button
};

// The names the tray's menu items are reported by.
inline constexpr char tray_open_item[] = "open";
inline constexpr char tray_quit_item[] = "quit";

struct TraySpec {
    std::string id;      // the item's name on the session bus
    std::string title;
    std::string tooltip;
    std::span<std::uint8_t const> icon_rgba;
    int icon_size { 0 };
    std::filesystem::path icon_folder; // where the image is written for hosts that load it by name
    std::string open_label;
    std::string quit_label;
    // Called with tray_open_item or tray_quit_item for the menu's items, and with each click on the icon.
    std::function<void(std::string_view item)> on_menu;
    std::function<void(TrayClick)> on_click;
};

// Leaves the notification area when destroyed.
class TrayIcon {
public:
    virtual ~TrayIcon() = default;
};

class Desktop {
public:
    virtual ~Desktop() = default;
    virtual Result<std::unique_ptr<AppWindow>> open_window(WindowSpec spec, WindowEvents events) = 0;
    virtual Result<std::unique_ptr<TrayIcon>> open_tray(TraySpec spec) = 0;
    virtual std::vector<MonitorArea> monitors() = 0;
    // The desktop's colour preference: true for dark; light when it cannot be read.
    virtual bool prefers_dark() = 0;
    // Runs fn on the main loop once, after `delay`.
    virtual void after(std::chrono::milliseconds delay, std::function<void()> fn) = 0;
};

// Connects to the display (GTK), reads the desktop's colour preference and makes the web views' pages follow
// it. The error says why no display could be opened. Main thread, before any other call here.
Result<std::unique_ptr<Desktop>> open_gtk_desktop(std::filesystem::path web_data_folder);

}
