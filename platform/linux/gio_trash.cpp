// The trash through GIO: g_file_trash follows the freedesktop.org trash rules (the file and a .trashinfo
// record in $XDG_DATA_HOME/Trash, or in .Trash-$UID at the top of another mount), so the desktop's file
// manager lists the clip and can put it back. g_file_trash is synchronous and safe from any thread.

#include "platform/trash.h"

#include <memory>

#include <gio/gio.h>

#include "platform/linux/handles.h"

namespace platform {

namespace {

using handles::GErr;
using handles::GObj;

class GioTrash final : public Trash {
public:
    Result<void> move_to_trash(std::filesystem::path const& path) override
    {
        GObj<GFile> file(g_file_new_for_path(path.c_str()));
        GError* raw_error = nullptr;
        if (g_file_trash(file.get(), nullptr, &raw_error))
            return {};
        // The file stays where it is: a clip is never deleted for good behind the player's back.
        GErr error(raw_error);
        return fail(error && error->message ? std::string(error->message) : std::string("g_file_trash"));
    }
};

Result<std::unique_ptr<Trash>> open_gio_trash()
{
    return std::make_unique<GioTrash>();
}

}

TrashDriver const gio_trash_driver { "gio", &open_gio_trash };

}
