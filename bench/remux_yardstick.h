#pragma once
// What the clip-writing benchmarks share: a wall clock, the encoded source, long clips made of a few seconds
// of its samples, and ffmpeg's faststart remux as the yardstick.

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "base/clock.h"
#include "base/result.h"
#include "core/packet.h"
#include "core/ring.h"
#include "tests/support/media_check.h"
#include "tests/support/test_media.h"

namespace bench {

using Clock = std::chrono::steady_clock;

constexpr std::int64_t second = ticks::ticks_per_second;
constexpr int fps = 60;
constexpr int clip_seconds = 120;
constexpr int runs = 3; // each figure is the best of three runs

// Prints the text to standard error; main's failure code.
inline int give_up(std::string const& text)
{
    std::fprintf(stderr, "%s\n", text.c_str());
    return 1;
}

// The source of every long clip: 4 s of 1080p60 H.264 at `bitrate` with AAC, a keyframe each second, so that
// the repeated stream stays decodable.
inline Result<test_media::Media> encode_source(std::uint32_t bitrate)
{
    std::fprintf(stderr, "encoding 4 s of 1080p60 H.264 and AAC...\n");
    auto encoded = TRY(test_media::encode({ .codec = Codec::H264, .seconds = 4, .fps = fps, .width = 1920,
        .height = 1080, .bitrate = bitrate, .noisy = true, .keyframe_interval = fps }));
    encoded.video.width = 1920;
    encoded.video.height = 1080;
    return encoded;
}

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
