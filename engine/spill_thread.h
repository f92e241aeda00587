#pragma once
// The spill thread ("quillmar-spill"): every 0.5 s it moves the payloads of older video samples of Shared
// into segment files (see core/spill.h). It holds only a weak reference to Shared and ends when Shared is
// gone. The round is split into its phases so that each can be driven on its own.

#include <filesystem>
#include <memory>
#include <vector>

#include "core/spill.h"
#include "engine/shared.h"

namespace spill {

struct Gathered {
    std::vector<Job> jobs;
    bool nothing_buffered { false }; // the rings and segment records hold no bytes at all
};

// Under the rings lock: every Memory sample of the video ring older than the cutoff (the newest video
// sample, minus 4 s while capture runs), then every Memory sample of the segment records. Audio stays.
Gathered gather_jobs(shared::Shared& shared);

// Under the rings lock: swaps every record whose sample is still there and unchanged. Returns how many.
std::size_t apply_records(shared::Shared& shared, std::vector<Written> const& records);

enum class Round { Done, Failed };
// One whole round: prepare the folder if needed, gather, write, apply. Failed asks for a 30 s pause.
Round run_round(shared::Shared& shared, Spiller& spiller);

// Thread body: a round every 0.5 s, or 30 s after a failure, until Shared is gone.
void spill_thread_main(std::weak_ptr<shared::Shared> shared, std::filesystem::path folder);

}
