#pragma once
// Continuous recording: the record key starts a growing MP4 in the clips folder, seeded with the buffered
// samples from the newest keyframe on, and every new sample follows through the live sink of the shared
// state. Pressing the key again stops it, and so does the first write error; an unnamed writer thread finishes
// the file (index, size), then writes the thumbnail and the sidecar and tells the player, failures included.

#include <filesystem>
#include <memory>

#include "engine/engine.h"

namespace engine {

constexpr int recording_ready_checks = 60;
constexpr int recording_ready_interval_ms = 50;

// Starts a recording when none runs, else asks the running one to stop. Every outcome reaches the
// player through the notifier and the toast.
void toggle_recording(std::shared_ptr<Engine> const& engine);

// Start-up, before anything records: completes every recording of the folder that a crash, a kill or a power
// cut left with its journal (index appended after its bytes, sidecar written), so that it is listed like any
// clip. A file that cannot be completed now (a journal whose header cannot be used, a refusal, a failure that
// may pass, even for want of memory) is left as it is with its journal, for a later start or tool.
void complete_unfinished_recordings(std::filesystem::path const& folder);

}
