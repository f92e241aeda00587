// Save latency of a 120 s, 1080p60 H.264 clip at 19.5 Mbit/s with AAC (the Standard rate at 2160p60, which the ring
// budget assumes at every size; 1080p60 Standard is 6 Mbit/s), taken from full rings in the shared state: the
// saver's cut (engine::collect_parts under the rings lock) plus mp4::write_mp4_file, without the saver's fixed
// waits (250 ms flush, up to 1 s for the thumbnail). Against the whole process
// `ffmpeg -c copy -movflags +faststart` remuxing the same samples from an MP4 in the page cache.
// Each figure is the best of three runs.

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>

#include "bench/remux_yardstick.h"
#include "engine/saver.h"
#include "engine/shared.h"
#include "tests/support/media_check.h"
#include "tests/support/test_media.h"

namespace {

using namespace bench;

constexpr std::uint32_t ring_budget_bitrate = 19'500'000;

// Fills the rings as the encoder and audio threads would over two minutes: the encoded samples repeated with
// re-stamped times, each in its own buffer, the two streams interleaved in time order.
void fill_rings(shared::Shared& shared, test_media::Media const& encoded)
{
    shared.rings.with([](shared::Rings& rings) {
        rings.video.window = (clip_seconds + 10) * second;
        rings.audio.window = (clip_seconds + 10) * second;
    });
    shared::store_video_config(shared, encoded.video);
    std::size_t video_count = clip_seconds * fps;
    std::size_t audio_count = clip_seconds * 48'000 / 1024;
    std::size_t a = 0;
    auto audio_time = [](std::size_t j) { return static_cast<std::int64_t>(j) * 1024 * second / 48'000; };
    for (std::size_t i = 0; i < video_count; ++i) {
        std::int64_t time = static_cast<std::int64_t>(i) * second / fps;
        for (; a < audio_count && audio_time(a) <= time; ++a)
            shared::push_audio(shared, *encoded.audio_packets[a % encoded.audio_packets.size()].data, audio_time(a));
        auto const& packet = encoded.video_packets[i % encoded.video_packets.size()];
        shared::push_video(shared, Packet { make_shared_bytes(*packet.data), time, packet.flags });
    }
    for (; a < audio_count; ++a)
        shared::push_audio(shared, *encoded.audio_packets[a % encoded.audio_packets.size()].data, audio_time(a));
}

} // namespace

int main(int argc, char** argv)
{
    std::filesystem::path folder = argc > 1 ? argv[1] : std::filesystem::temp_directory_path();
    auto encoded = encode_source(ring_budget_bitrate);
    if (!encoded)
        return give_up(encoded.error());
    shared::Shared shared;
    fill_rings(shared, *encoded);
    auto [newest, video_bytes, audio_bytes] = shared.rings.with([](shared::Rings& rings) {
        return std::tuple(rings.video.samples.back().time, rings.video.total_bytes, rings.audio.total_bytes);
    });
    std::int64_t end = newest + second / fps;
    std::int64_t start = end - clip_seconds * second;

    // ffmpeg's input: the same cut written once, before any timing.
    auto parts = engine::collect_parts(shared, start, end);
    if (parts.size() != 1)
        return give_up("the cut did not give one part");
    mp4::ClipMedia source_media { parts[0].config, parts[0].video, parts[0].audio };
    auto source = mp4::write_mp4_file(folder, "source", source_media, engine::clip_audio);
    if (!source)
        return give_up(source.error());

    double ours = 1e9, cut = 1e9, ffmpeg = 1e9;
    std::uint64_t bytes = 0;
    for (int run = 0; run < runs; ++run) {
        std::filesystem::remove(folder / "ours.mp4");
        auto began = Clock::now();
        auto taken = engine::collect_parts(shared, start, end);
        double cut_time = seconds_since(began);
        if (taken.size() != 1)
            return give_up("the cut did not give one part");
        mp4::ClipMedia media { taken[0].config, std::move(taken[0].video), std::move(taken[0].audio) };
        auto written = mp4::write_mp4_file(folder, "ours", media, engine::clip_audio);
        double t = seconds_since(began);
        if (!written)
            return give_up(written.error());
        bytes = written->bytes;
        ours = std::min(ours, t);
        cut = std::min(cut, cut_time);

        auto remux = time_ffmpeg_remux(folder);
        if (!remux)
            return give_up(remux.error());
        ffmpeg = std::min(ffmpeg, *remux);
    }
    // ffprobe counts every packet of our clip (a full decode would cost more than the whole benchmark).
    auto probed = media::probe(folder / "ours.mp4");
    for (char const* name : { "source.mp4", "ours.mp4", "ffmpeg.mp4" })
        std::filesystem::remove(folder / name);
    if (probed.is_null() || probed["streams"].size() != 2
        || probed["streams"][0]["nb_read_packets"] != std::to_string(clip_seconds * fps))
        return give_up("ffprobe does not find the whole clip in our file");

    double megabytes = static_cast<double>(bytes) / 1e6;
    std::printf("rings: %zu video + %zu audio samples, %.1f MB video + %.1f MB audio; clip file %.1f MB\n",
                source_media.video_samples.size(), source_media.audio_samples.size(),
                static_cast<double>(video_bytes) / 1e6, static_cast<double>(audio_bytes) / 1e6, megabytes);
    std::printf("cut (collect_parts):               %.4f s\n", cut);
    std::printf("save (cut + write_mp4_file):       %.3f s  %.0f MB/s (fdatasync and rename included)\n", ours,
                megabytes / ours);
    std::printf("ffmpeg -c copy -movflags +faststart %.3f s  (whole process, no fsync)\n", ffmpeg);
    std::printf("ours / ffmpeg: %.2f (target at most 0.50) %s\n", ours / ffmpeg, ours / ffmpeg <= 0.5 ? "met" : "MISSED");
    return 0;
}
