// Folders the desktop names for the user, from GLib's reading of the XDG user dirs.

#include "platform/folders.h"

#include <glib.h>

#include "platform/paths.h"

namespace platform {

std::optional<std::filesystem::path> videos_dir()
{
    // GLib reads $XDG_CONFIG_HOME/user-dirs.dirs once per process and gives nothing when the folder is not
    // set there.
    if (char const* videos = g_get_user_special_dir(G_USER_DIRECTORY_VIDEOS); videos && *videos == '/')
        return std::filesystem::path(videos);
    if (auto home = paths::home_dir())
        return *home / "Videos";
    return std::nullopt;
}

}
