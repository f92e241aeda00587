// Times mp4::write_mp4_file on a 120 s, 1080p60, 20 Mbit/s H.264 clip with AAC (every sample its own buffer,
// as in the rings), against ffmpeg remuxing the same samples with -c copy -movflags +faststart, and against a
// plain sequential write (1 MiB writes, then fdatasync) of the same number of bytes to the same folder.
// Each figure is the best of three runs. Prints the ratios and our throughput.

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

#include "bench/remux_yardstick.h"
#include "base/file_io.h"
#include "core/mp4.h"
#include "tests/support/media_check.h"
#include "tests/support/test_media.h"

namespace {

constexpr std::int64_t second = 10'000'000;
constexpr int fps = 60;
constexpr int clip_seconds = 120;
constexpr int runs = 3;

using bench::Clock;
using bench::seconds_since;

double plain_write(std::filesystem::path const& path, std::uint64_t bytes)
{
    std::vector<std::uint8_t> block(files::BufWriter::capacity_bytes, 0x5A);
    auto start = Clock::now();
    auto fd = files::open_write(path, files::Create::Truncate);
    if (!fd)
        return -1;
    for (std::uint64_t done = 0; done < bytes;) {
        auto n = static_cast<std::size_t>(std::min<std::uint64_t>(block.size(), bytes - done));
        if (!files::write_all(fd->get(), std::span(block.data(), n)))
            return -1;
        done += n;
    }
    if (!files::fdatasync_fd(fd->get()))
        return -1;
    fd->reset();
    return seconds_since(start);
}

} // namespace

int main(int argc, char** argv)
{
    std::filesystem::path folder = argc > 1 ? argv[1] : std::filesystem::temp_directory_path();
    test_media::Request request { .codec = Codec::H264, .seconds = 4, .fps = fps, .width = 1920, .height = 1080,
                                  .bitrate = 20'000'000, .noisy = true, .keyframe_interval = fps };
    std::fprintf(stderr, "encoding 4 s of 1080p60 H.264 and AAC...\n");
    auto encoded = test_media::encode(request);
    if (!encoded) {
        std::fprintf(stderr, "%s\n", encoded.error().c_str());
        return 1;
    }
    mp4::ClipMedia media;
    media.video = encoded->video;
    media.video.width = 1920;
    media.video.height = 1080;
    // Every payload copied, so that the clip is held whole in memory as a full ring would hold it.
    auto copied = bench::Payloads::Copied;
    media.video_samples = bench::repeat(encoded->video_packets, clip_seconds * fps, second, fps, copied);
    media.audio_samples = bench::repeat(encoded->audio_packets, clip_seconds * 48000 / 1024, 1024 * second, 48000, copied);
    std::uint64_t media_bytes = 0;
    for (auto const* list : { &media.video_samples, &media.audio_samples })
        for (auto const& sample : *list)
            media_bytes += sample.size();

    // ffmpeg's input: the same samples in an MP4, written before any timing.
    auto source = mp4::write_mp4_file(folder, "source", media, encoded->audio);
    if (!source) {
        std::fprintf(stderr, "%s\n", source.error().c_str());
        return 1;
    }

    double ours = 1e9, ffmpeg = 1e9, plain = 1e9;
    std::uint64_t file_bytes = source->bytes;
    for (int run = 0; run < runs; ++run) {
        std::filesystem::remove(folder / "ours.mp4");
        auto start = Clock::now();
        auto written = mp4::write_mp4_file(folder, "ours", media, encoded->audio);
        double t = seconds_since(start);
        if (!written) {
            std::fprintf(stderr, "%s\n", written.error().c_str());
            return 1;
        }
        ours = std::min(ours, t);

        auto remux = bench::time_ffmpeg_remux(folder);
        if (!remux) {
            std::fprintf(stderr, "%s\n", remux.error().c_str());
            return 1;
        }
        ffmpeg = std::min(ffmpeg, *remux);

        std::filesystem::remove(folder / "plain.bin");
        t = plain_write(folder / "plain.bin", file_bytes);
        if (t < 0) {
            std::fprintf(stderr, "plain write failed\n");
            return 1;
        }
        plain = std::min(plain, t);
    }
    for (char const* name : { "source.mp4", "ours.mp4", "ffmpeg.mp4", "plain.bin" })
        std::filesystem::remove(folder / name);

    double megabytes = static_cast<double>(file_bytes) / 1e6;
    std::printf("clip: %zu video + %zu audio samples, %.1f MB of media, %.1f MB file\n", media.video_samples.size(),
                media.audio_samples.size(), static_cast<double>(media_bytes) / 1e6, megabytes);
    std::printf("write_mp4_file:        %.3f s  %.0f MB/s (fdatasync and rename included)\n", ours, megabytes / ours);
    std::printf("ffmpeg remux faststart %.3f s  %.0f MB/s (no fsync)\n", ffmpeg, megabytes / ffmpeg);
    std::printf("plain write + fdatasync %.3f s  %.0f MB/s\n", plain, megabytes / plain);
    std::printf("ours / ffmpeg: %.2f (target at most 0.50) %s\n", ours / ffmpeg, ours / ffmpeg <= 0.5 ? "met" : "MISSED");
    std::printf("ours / plain:  %.2f (target at most 1.50) %s\n", ours / plain, ours / plain <= 1.5 ? "met" : "MISSED");
    return 0;
}
