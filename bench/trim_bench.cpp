// Times trim::cut_clip keeping 60 s out of a 120 s, 1080p60, 20 Mbit/s H.264 clip with AAC, against the
// whole process `ffmpeg -ss 30 -to 90 -i clip.mp4 -c copy -movflags +faststart`, in the same run and folder.
// Each figure is the best of three runs.

#include <cstdio>
#include <filesystem>
#include <string>

#include "bench/remux_yardstick.h"
#include "core/mp4.h"
#include "engine/trim.h"
#include "library/library.h"
#include "tests/support/media_check.h"
#include "tests/support/test_media.h"

using namespace bench;

int main(int argc, char** argv)
{
    std::filesystem::path folder = argc > 1 ? argv[1] : std::filesystem::temp_directory_path();
    auto encoded = encode_source(20'000'000);
    if (!encoded)
        return give_up(encoded.error());
    if (!library::ensure_meta_dir(folder))
        return give_up("cannot prepare the folder");
    mp4::ClipMedia media;
    media.video = encoded->video;
    auto shared = Payloads::Shared;
    media.video_samples = repeat(encoded->video_packets, clip_seconds * fps, second, fps, shared);
    media.audio_samples = repeat(encoded->audio_packets, clip_seconds * 48000 / 1024, 1024 * second, 48000, shared);
    auto source = mp4::write_mp4_file(folder, "clip", media, encoded->audio);
    if (!source)
        return give_up(source.error());
    media = {};

    double ours = 1e9, ffmpeg = 1e9;
    std::uint64_t bytes = 0;
    for (int run = 0; run < runs; ++run) {
        auto start = Clock::now();
        auto cut = trim::cut_clip(folder, "clip", 30.0, 90.0);
        double t = seconds_since(start);
        if (!cut)
            return give_up(cut.error());
        ours = std::min(ours, t);
        bytes = cut->bytes;
        std::filesystem::remove(folder / (cut->id + ".mp4"));
        std::filesystem::remove(library::meta_path(folder, cut->id));

        std::filesystem::remove(folder / "ffmpeg.mp4");
        start = Clock::now();
        auto result = media::run({ "ffmpeg", "-nostdin", "-v", "error", "-y", "-ss", "30", "-to", "90", "-i",
                                   (folder / "clip.mp4").string(), "-map", "0", "-c", "copy", "-movflags", "+faststart",
                                   (folder / "ffmpeg.mp4").string() });
        t = seconds_since(start);
        if (result.status != 0)
            return give_up("ffmpeg failed: " + result.output);
        ffmpeg = std::min(ffmpeg, t);
    }
    for (char const* name : { "clip.mp4", "ffmpeg.mp4" })
        std::filesystem::remove(folder / name);

    std::printf("source: %.1f MB; trimmed clip: %.1f MB\n", static_cast<double>(source->bytes) / 1e6,
                static_cast<double>(bytes) / 1e6);
    std::printf("trim::cut_clip 30-90 s:        %.3f s (fdatasync and rename included)\n", ours);
    std::printf("ffmpeg -ss 30 -to 90 -c copy:  %.3f s (no fsync)\n", ffmpeg);
    std::printf("ours / ffmpeg: %.2f (target at most 0.50) %s\n", ours / ffmpeg, ours / ffmpeg <= 0.5 ? "met" : "MISSED");
    return 0;
}
