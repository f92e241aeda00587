#pragma once
// The foreground probe of X11 desktops. The probe owns its own XCB connection (never shared with another
// thread) and reads, for the window the window manager marks active: its type, title, class, the process that
// created it and whether it covers its monitor. No X11 header here: start-up code and tests include it.

#include <filesystem>
#include <memory>
#include <string>

#include "base/result.h"
#include "platform/foreground.h"

namespace platform::x11 {

struct ForegroundOptions {
    std::string display {};                  // empty: $DISPLAY
    std::filesystem::path proc_root = "/proc"; // where process facts are read; tests point it at a fixture
    bool ask_server_for_pid = true;          // X-Resource first; off: only the window's _NET_WM_PID
};

Result<std::unique_ptr<ForegroundProbe>> open_foreground_probe(ForegroundOptions options);

// The driver row for the drivers table: $DISPLAY, /proc.
extern ForegroundDriver const foreground_driver;

// File name of the executable of process `pid`: from the "exe" link of its process folder, or, for a process
// of Wine or Proton (wine, wine64, wine-preloader, wine64-preloader), the file name of the Windows program in
// its first argument. Empty when it cannot be read (another user's process, a process that has ended).
std::string process_exe_name(std::filesystem::path const& proc_root, int pid);

}
