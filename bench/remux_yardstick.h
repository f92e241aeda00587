#pragma once
// What the clip-writing benchmarks share: a wall clock, and ffmpeg's faststart remux as the yardstick.

#include <chrono>
#include <filesystem>

#include "base/result.h"
#include "tests/support/media_check.h"

namespace bench {

using Clock = std::chrono::steady_clock;

inline double seconds_since(Clock::time_point start)
{
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// Seconds `ffmpeg -c copy -movflags +faststart` takes (the whole process, no fsync) to remux folder/source.mp4
// into folder/ffmpeg.mp4, or what ffmpeg said when it failed.
inline Result<double> time_ffmpeg_remux(std::filesystem::path const& folder)
{
    std::filesystem::remove(folder / "ffmpeg.mp4");
    auto start = Clock::now();
    auto remux = media::run({ "ffmpeg", "-nostdin", "-v", "error", "-y", "-i", (folder / "source.mp4").string(), "-map",
        "0", "-c", "copy", "-movflags", "+faststart", (folder / "ffmpeg.mp4").string() });
    double seconds = seconds_since(start);
    if (remux.status != 0)
        return fail("ffmpeg failed: " + remux.output);
    return seconds;
}

}
