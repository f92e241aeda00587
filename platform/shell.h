#pragma once
// The desktop's own handlers, for the page: open a file or folder in its default program, show a clip in
// the file manager, and let the player pick a folder. Page workers call it. No call ever builds a command
// line from a path: files are handed over as URIs.

#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "base/result.h"

namespace platform {

class DesktopShell {
public:
    virtual ~DesktopShell() = default;
    // The path in the default program for its type. Fails when none is registered or it cannot start; the
    // error is the desktop's own text, which callers replace with the player's.
    virtual Result<void> open(std::filesystem::path const& path) = 0;
    // The file manager with the file selected, else its folder opened; fails as open does.
    virtual Result<void> reveal(std::filesystem::path const& path) = 0;
    // A folder chosen by the player, waiting as long as the dialog is open. Nothing when cancelled, when
    // another dialog is already open, or when the path is not valid UTF-8.
    virtual std::optional<std::string> pick_folder() = 0;
};

struct ShellDriver {
    std::string_view name;
    // Main thread.
    Result<std::shared_ptr<DesktopShell>> (*open)();
};

// GIO's application launching, the FileManager1 D-Bus service and GTK's native file chooser
// (platform/linux/gio_shell.cpp).
extern ShellDriver const gio_shell_driver;

inline constexpr std::string_view pick_folder_title = "Choisir le dossier des clips";

}
