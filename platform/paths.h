#pragma once
// Where the program keeps its files on Linux, from the XDG base-directory variables. Nothing here creates a
// folder or touches the disk; every function reads the
// environment at each call (tests point the variables at a temporary folder), and any thread may call them.
//
// An XDG variable counts only when it holds an absolute path: an empty or relative value is ignored and the
// default under HOME is used. HOME counts only when absolute too; without a usable HOME the defaults fall
// under the temporary folder so that no path is ever relative.

#include <filesystem>
#include <optional>
#include <string_view>
#include <vector>

namespace paths {

constexpr std::string_view app_folder_name = "quill.mar";

// $HOME when it is an absolute path.
std::optional<std::filesystem::path> home_dir();

// The XDG base folders: $XDG_CONFIG_HOME (default $HOME/.config), $XDG_DATA_HOME ($HOME/.local/share),
// $XDG_CACHE_HOME ($HOME/.cache).
std::filesystem::path config_home();
std::filesystem::path data_home();
std::filesystem::path cache_home();

// The program's own folders inside them:
//   config_dir(): settings.json, window.json, crash.log (the program's "data folder");
//   data_dir():   the web view's data (its "WebView" subfolder);
//   cache_dir():  spill segments (its "buffer" subfolder; never tmpfs nor $XDG_RUNTIME_DIR).
std::filesystem::path config_dir();
std::filesystem::path data_dir();
std::filesystem::path cache_dir();
// Those three, which no clips folder may be or lie inside.
std::vector<std::filesystem::path> own_dirs();

// std::filesystem::temp_directory_path() ($TMPDIR, else /tmp), without throwing: "/tmp" when that fails.
std::filesystem::path temp_dir();

// $XDG_RUNTIME_DIR when it is an absolute path.
std::optional<std::filesystem::path> runtime_dir();

}
