#pragma once
// What the clip-writing benchmarks share: a wall clock, long clips made of a few seconds of samples, and
// ffmpeg's faststart remux as the yardstick.

#include <chrono>
#include <filesystem>
#include <vector>

#include "base/result.h"
#include "core/packet.h"
#include "core/ring.h"
#include "tests/support/media_check.h"

namespace bench {

using Clock = std::chrono::steady_clock;

inline double seconds_since(Clock::time_point start)
{
    return std::chrono::duration<double>(Clock::now() - start).count();
}

enum class Payloads { Shared, Copied };

// The packets repeated over `count` samples, sample i at i * step_num / step_den ticks. With Payloads::Copied
// every sample gets its own buffer, as a full ring holds them. Repeat a whole number of keyframe groups, so
// that every repeat starts on a keyframe.
inline std::vector<ring::Sample> repeat(std::vector<Packet> const& source, std::size_t count, std::int64_t step_num,
    std::int64_t step_den, Payloads payloads)
{
    std::vector<ring::Sample> samples;
    samples.reserve(count);
    for (std::size_t i = 0; i < count; ++i) {
        auto const& packet = source[i % source.size()];
        auto data = payloads == Payloads::Copied ? make_shared_bytes(*packet.data) : packet.data;
        samples.push_back(ring::Sample {
            ring::Memory { std::move(data) }, static_cast<std::int64_t>(i) * step_num / step_den, packet.flags });
    }
    return samples;
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
