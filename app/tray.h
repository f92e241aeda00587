#pragma once
// The notification-area icon: the program's way back to its window once closed, and the only way to quit it.
// The icon's two menu items and its clicks only turn into UserEvents sent through the proxy, so everything
// they cause is handled on a later turn of the main loop. Main thread.

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "platform/window.h"

namespace shell {
class EventProxy;
struct ShellState;
}

namespace tray {

constexpr int icon_size = 32;
constexpr std::string_view tooltip = "quill.mar";
constexpr std::string_view open_item = platform::tray_open_item;
constexpr std::string_view quit_item = platform::tray_quit_item;
constexpr std::string_view quit_label = "Quitter";

// "Ouvrir quill.mar".
std::string open_label();

// 32 x 32 RGBA, rows top to bottom: a dark square with soft corners and a red stroke in a gentle S; also
// the window's icon.
std::span<std::uint8_t const> icon_rgba();

// The open item shows the window, the quit item quits; anything else is ignored. A send that fails (the
// loop has ended) is dropped.
void on_menu_event(shell::EventProxy& proxy, std::string_view item);
// The release of a left click shows the window; every other click is ignored.
void on_tray_event(shell::EventProxy& proxy, platform::TrayClick click);

// Builds the icon into the state's icon slot; a failure leaves the slot empty and is dropped.
void show_icon(shell::ShellState& state);
// Takes the icon out of the notification area.
void drop_icon(shell::ShellState& state);

}
