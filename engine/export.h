#pragma once
// The light copy for Discord: a file of at most 10,000,000 bytes to share for a clip. A clip already that
// small is its own light copy; a larger one is re-encoded as H.264/AAC, at up to three ever lower bit rates,
// into a folder of the program's own under the user's cache folder, which holds nothing else.
//
// Runs on the calling thread (a page worker) and blocks it for the whole re-encode; it takes the library lock
// only to read the clips folder. The clip itself is never changed.

#include <array>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>

#include "base/result.h"
#include "platform/transcode.h"

namespace engine {
class Engine;
}

namespace light_copy {

using platform::TranscodeTarget;

// Discord's upload limit as the page states it.
constexpr std::uint64_t light_limit_bytes = 10'000'000;
// Each attempt aims the whole file at 9,000,000 bytes times its factor.
constexpr double aim_bits = 72'000'000.0;
constexpr std::array<double, 3> factors { 1.0, 0.75, 0.55 };
constexpr std::int64_t max_age_secs = 86'400;
// A file name holds at most 255 bytes on Linux, ".mp4" included.
constexpr std::size_t name_max_bytes = 251;

struct LightCopy {
    std::filesystem::path path;
    std::uint64_t bytes { 0 };
};

// $XDG_CACHE_HOME/quill.mar/discord.
std::filesystem::path light_copy_dir();

// The encode of one attempt for a clip of `secs` seconds (under 1 s counts as 1 s) whose picture is
// source_width x source_height.
TranscodeTarget plan_attempt(double factor, double secs, std::uint32_t source_width, std::uint32_t source_height);

// The output file's stem for a clip title: characters a file name cannot hold become "_", white space and
// trailing full stops are trimmed, "clip" stands for an empty result, and the stem is cut on a character
// boundary to name_max_bytes.
std::string output_name(std::string_view title);

enum class Leftovers { Keep, Remove };

// Removes the regular files of the folder last written more than a day before `now` or after `now`, and with
// Leftovers::Remove the transcoder's temporary files of any age, which only a run that ended mid-copy leaves
// (start-up, before any copy runs). Links are neither followed nor removed; errors are ignored.
void clean_folder(std::filesystem::path const& folder, std::chrono::system_clock::time_point now,
    Leftovers leftovers = Leftovers::Keep);

// The light copy of clip `id` of the engine's clips folder. Errors: "Ce clip n'existe plus.", "Version légère
// impossible : {}" with the transcoder's text, a file-system error's text, or "Ce clip reste trop lourd pour
// Discord, même allégé." (the last attempt's file then stays in the folder); engine::closing_text once quit
// has begun. Quit waits for a copy under way (engine::FileJobs).
Result<LightCopy> make_light_copy(engine::Engine& engine, std::string_view id, platform::Transcoder& transcoder);

// The same for clip `id` of `clips_folder`, the copies going to `copies_folder` (created mode 0700).
Result<LightCopy> make_light_copy(std::filesystem::path const& clips_folder, std::string_view id,
    platform::Transcoder& transcoder, std::filesystem::path const& copies_folder);

}
