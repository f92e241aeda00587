#pragma once
// The desktop's Recycle Bin. One Trash serves the whole program: the trash thread (deferred deletions and
// retention), the saver (retention after a save) and the page workers (retention after a settings change)
// call move_to_trash from any thread at the same time, so a driver keeps no per-call state.
//
// A driver only ever moves the file into the user's trash, where the file manager can restore it. When it
// cannot (no trash on that file system, no permission), it returns the error and leaves the file in
// place: it never falls back to deleting the file for good.

#include <filesystem>
#include <memory>
#include <string_view>

#include "base/result.h"

namespace platform {

class Trash {
public:
    virtual ~Trash() = default;
    // Moves the file (or the link itself, for a symbolic link) into the trash. The error is the system's
    // own text, ready to follow a French prefix.
    virtual Result<void> move_to_trash(std::filesystem::path const& path) = 0;
};

struct TrashDriver {
    std::string_view name;
    Result<std::unique_ptr<Trash>> (*open)();
};

// The Linux layer's driver: GIO's g_file_trash (freedesktop.org trash in $XDG_DATA_HOME/Trash, or the
// .Trash-$UID folder at the top of another mount).
extern TrashDriver const gio_trash_driver;

}
