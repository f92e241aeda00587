#pragma once
// Trim: keeps a part of an existing clip as a new clip without decoding. The new file starts on the sync
// sample at or before the chosen start and its samples are the source's bytes, copied by positional reads
// from the source file straight into the clip writer. The source clip, its sidecar and its thumbnail are never
// changed.
//
// Runs on the calling thread (a page worker) and blocks it for the copy; it takes the library lock only to
// read the clips folder. Two trims may run at once: each reserves its own free name.

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string_view>

#include "base/result.h"
#include "library/library.h"

namespace engine {
class Engine;
}

namespace trim {

// A selection must last at least half a second (the page asks for one second).
constexpr double min_selection_secs = 0.5;

// Seconds to 100 ns ticks, truncated toward zero and saturated at the limits of i64 (NaN gives 0). A plain
// cast of an out-of-range double is undefined behaviour.
std::int64_t seconds_to_ticks(double secs);

// Cuts [from, to] seconds of clip `id` of the engine's clips folder into a new clip, and returns its record.
// Errors: "Ce clip n'existe plus.", "La sélection est trop courte.", the reader's "MP4 illisible : {}" or the
// system's text, the writer's "Écriture impossible : {}", or the sidecar's write error (the new MP4 stays);
// engine::closing_text once quit has begun. Quit waits for a cut under way (engine::FileJobs).
Result<library::Clip> cut_clip(engine::Engine& engine, std::string_view id, double from, double to);

// The same in `folder`. `after_index` runs once the source's index is read (tests use it to replace the
// source file there).
Result<library::Clip> cut_clip(std::filesystem::path const& folder, std::string_view id, double from, double to,
    std::function<void()> const& after_index = {});

}
