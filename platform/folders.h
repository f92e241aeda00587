#pragma once
// Folders the desktop names for the user. Called at start-up and by the API's settings method, from any
// thread.

#include <filesystem>
#include <optional>

namespace platform {

// The user's Videos folder: the desktop's own setting (XDG user dirs), else $HOME/Videos. Nothing when
// neither is usable (no setting and HOME unset, empty or relative); the caller then picks a fallback.
// The folder may not exist yet.
std::optional<std::filesystem::path> videos_dir();

}
