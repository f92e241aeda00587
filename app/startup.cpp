#include "app/startup.h"

#include <cstdlib>
#include <exception>
#include <source_location>

#include "base/utf8.h"
#include "base/threads.h"
#include "library/library.h"

namespace shell {

std::uint64_t instance_key(std::string_view path_utf8)
{
    std::uint64_t hash = 0xcbf29ce484222325ULL;
    auto mix = [&](std::uint16_t unit) {
        hash ^= unit;
        hash *= 0x100000001b3ULL;
    };
    for (std::size_t i = 0; i < path_utf8.size();) {
        char32_t cp = utf8::next(path_utf8, i);
        if (cp >= 0x10000) {
            cp -= 0x10000;
            mix(static_cast<std::uint16_t>(0xD800 + (cp >> 10)));
            mix(static_cast<std::uint16_t>(0xDC00 + (cp & 0x3FF)));
        } else {
            mix(static_cast<std::uint16_t>(cp));
        }
    }
    return hash;
}

bool start_hidden(std::span<char const* const> args)
{
    for (auto const* arg : args) {
        if (arg && std::string_view(arg) == "--tray")
            return true;
    }
    return false;
}

void migrate_legacy_folder(std::filesystem::path const& folder)
{
    library::move_legacy_folder(folder.parent_path() / library::legacy_clips_dir_name, folder);
}

void install_main_thread_crash_hook()
{
    std::set_terminate([] {
        std::string message = "exception inconnue";
        if (auto current = std::current_exception()) {
            try {
                std::rethrow_exception(current);
            } catch (std::exception const& error) {
                message = error.what();
            } catch (...) {
            }
        }
        threads::append_crash_record(std::source_location::current(), "main: " + message);
        std::_Exit(101);
    });
}

}
