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

using namespace bench;

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
    auto encoded = encode_source(20'000'000);
    if (!encoded)
        return give_up(encoded.error());
    mp4::ClipMedia media;
    media.video = encoded->video;
    // Every payload copied, so that the clip is held whole in memory as a full ring would hold it.
    auto copied = Payloads::Copied;
    media.video_samples = repeat(encoded->video_packets, clip_seconds * fps, second, fps, copied);
    media.audio_samples = repeat(encoded->audio_packets, clip_seconds * 48000 / 1024, 1024 * second, 48000, copied);
    std::uint64_t media_bytes = 0;
    for (auto const* list : { &media.video_samples, &media.audio_samples })
        for (auto const& sample : *list)
            media_bytes += sample.size();

    // ffmpeg's input: the same samples in an MP4, written before any timing.
    auto source = mp4::write_mp4_file(folder, "source", media, encoded->audio);
    if (!source)
        return give_up(source.error());

    double ours = 1e9, ffmpeg = 1e9, plain = 1e9;
    std::uint64_t file_bytes = source->bytes;
    for (int run = 0; run < runs; ++run) {
        std::filesystem::remove(folder / "ours.mp4");
        auto start = Clock::now();
        auto written = mp4::write_mp4_file(folder, "ours", media, encoded->audio);
        double t = seconds_since(start);
        if (!written)
            return give_up(written.error());
        ours = std::min(ours, t);

        auto remux = time_ffmpeg_remux(folder);
        if (!remux)
            return give_up(remux.error());
        ffmpeg = std::min(ffmpeg, *remux);

        std::filesystem::remove(folder / "plain.bin");
        t = plain_write(folder / "plain.bin", file_bytes);
        if (t < 0)
            return give_up("plain write failed");
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
