#pragma once
// The window in front, as raw facts: what the games thread needs to decide between the desktop, an
// application and a game. Deciding is portable (engine/foreground.h); only reading the facts is the
// platform's job.
//
// A probe is opened and used by one thread only (the games thread, or a caller that opens its own for a
// single look): a probe owns its display connection and is not thread-safe. Destroying it closes that
// connection.

#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "base/result.h"

namespace platform {

struct WindowInfo {
    std::string title;        // UTF-8 (the rules replace invalid sequences); empty when the window has none
    std::string window_class; // the class part of the window's class hint; empty when none
    // File name of the executable as the system knows it, without folder ("GTA5_Enhanced.exe", "celeste.x86_64");
    // for Windows programs run by Wine, the file name of the Windows executable. Empty when unknown.
    std::string exe_name;
    std::optional<int> pid;
    bool covers_monitor { false }; // the window with its frame covers the whole monitor it is on
    bool ignored_type { false };   // the desktop or a dock/panel: never an application nor a game
};

class ForegroundProbe {
public:
    virtual ~ForegroundProbe() = default;
    // The window in front now; nothing when no window is in front. Never blocks for long and never fails:
    // a fact that cannot be read is left empty. Called once a second by the games thread.
    virtual std::optional<WindowInfo> sample() = 0;
};

// One backend. open() connects; its error is the player's text.
struct ForegroundDriver {
    std::string_view name;
    Result<std::unique_ptr<ForegroundProbe>> (*open)();
};

}
