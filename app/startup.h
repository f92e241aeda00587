#pragma once
// Small pieces of process start-up that need no window: the single-instance key, the "--tray" flag, the
// move of a data folder left under the former product name, and the main thread's crash hook.

#include <cstdint>
#include <filesystem>
#include <span>
#include <string_view>

namespace shell {

// 64-bit FNV-1a over the UTF-16 code units of the path text (each unit XORed in whole). Invalid UTF-8
// bytes count as U+FFFD, so every path still gets a stable key.
std::uint64_t instance_key(std::string_view path_utf8);

// true when any argument, the program path included, is exactly "--tray".
bool start_hidden(std::span<char const* const> args);

// Moves `parent of folder`/"Fennow" to `folder` as library::move_legacy_folder does.
void migrate_legacy_folder(std::filesystem::path const& folder);

// Makes an exception that escapes the main thread append its crash record before the process ends.
void install_main_thread_crash_hook();

}
