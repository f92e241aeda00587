// Times the light copy of 1080p60 clips at 19.5 Mbit/s (H.264 with AAC; the Standard rate at 2160p60, where 1080p60
// Standard is 6 Mbit/s) against the ffmpeg command line re-encoding the same clip with the same size, rates,
// preset, buffer, AAC and +faststart. For each clip length: light_copy::make_light_copy once (which attempts ran,
// the size it gave), then, three times each, our transcode at the passing attempt's target and ffmpeg's; the best
// of three is reported.
// Usage: light_copy_bench FOLDER [SECONDS...]   (default lengths: 30 60 120)

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "bench/remux_yardstick.h"
#include "core/mp4.h"
#include "engine/export.h"
#include "library/library.h"
#include "tests/support/media_check.h"
#include "tests/support/test_media.h"

namespace {

using namespace bench;

class Recorder final : public platform::Transcoder {
public:
    explicit Recorder(platform::Transcoder& real)
        : m_real(real)
    {
    }
    Result<platform::MediaInfo> probe_media(std::filesystem::path const& source) override
    {
        return m_real.probe_media(source);
    }
    Result<void> transcode_h264(std::filesystem::path const& source, std::filesystem::path const& output,
        platform::TranscodeTarget const& target) override
    {
        targets.push_back(target);
        return m_real.transcode_h264(source, output, target);
    }
    std::vector<platform::TranscodeTarget> targets;

private:
    platform::Transcoder& m_real;
};

Result<double> time_ffmpeg(
    std::filesystem::path const& source, std::filesystem::path const& output, platform::TranscodeTarget const& t)
{
    std::filesystem::remove(output);
    auto rate = std::to_string(t.video_bitrate);
    auto start = Clock::now();
    auto result = media::run({ "ffmpeg", "-nostdin", "-v", "error", "-y", "-i", source.string(), "-map", "0:v:0",
        "-map", "0:a:0", "-vf", "scale=" + std::to_string(t.width) + ":" + std::to_string(t.height), "-c:v", "libx264",
        "-preset", "veryfast", "-profile:v", "main", "-pix_fmt", "yuv420p", "-b:v", rate, "-maxrate", rate, "-bufsize",
        std::to_string(2ULL * t.video_bitrate), "-c:a", "aac", "-b:a", std::to_string(t.audio_bitrate), "-ar", "48000",
        "-ac", "2", "-movflags", "+faststart", output.string() });
    double seconds = seconds_since(start);
    if (result.status != 0)
        return fail("ffmpeg failed: " + result.output);
    return seconds;
}

} // namespace

int main(int argc, char** argv)
{
    std::filesystem::path folder = argc > 1 ? argv[1] : std::filesystem::temp_directory_path();
    std::vector<int> lengths;
    for (int i = 2; i < argc; ++i)
        lengths.push_back(std::stoi(argv[i]));
    if (lengths.empty())
        lengths = { 30, 60, 120 };

    auto encoded = encode_source(19'500'000);
    if (!encoded)
        return give_up(encoded.error());
    auto opened = platform::lavc_transcode_driver.open();
    if (!opened)
        return give_up(opened.error());
    auto& real = **opened;
    auto clips = folder / "clips";
    if (!library::ensure_meta_dir(clips))
        return give_up("cannot prepare " + clips.string());

    std::printf("| clip | clip size | attempts | factor | target | light copy | make_light_copy | ours | ffmpeg | ours "
                "/ ffmpeg |\n");
    std::printf("|---|---|---|---|---|---|---|---|---|---|\n");
    for (int length : lengths) {
        mp4::ClipMedia media;
        media.video = encoded->video;
        media.video_samples = bench::repeat(
            encoded->video_packets, static_cast<std::size_t>(length) * fps, second, fps, Payloads::Shared);
        media.audio_samples = bench::repeat(encoded->audio_packets, static_cast<std::size_t>(length) * 48000 / 1024,
            1024 * second, 48000, Payloads::Shared);
        auto id = std::to_string(length) + "s";
        auto written = mp4::write_mp4_file(clips, id, media, encoded->audio);
        if (!written)
            return give_up(written.error());
        library::Clip record { .id = id,
            .title = id,
            .game = "Bench",
            .created = 0,
            .secs = static_cast<double>(written->duration_ticks) / second,
            .bytes = written->bytes,
            .favorite = false,
            .recording = false,
            .width = 1920,
            .height = 1080 };
        (void)library::save_clip_metadata(clips, record);

        Recorder recorder(real);
        auto start = Clock::now();
        auto light = light_copy::make_light_copy(clips, id, recorder, folder / "discord");
        double whole = seconds_since(start);
        if (!light)
            return give_up(light.error());
        auto target = recorder.targets.back();
        double ours = 1e9, ffmpeg = 1e9;
        auto source = clips / (id + ".mp4");
        for (int run = 0; run < runs; ++run) {
            auto output = folder / "ours.mp4";
            std::filesystem::remove(output);
            auto t0 = Clock::now();
            if (auto done = real.transcode_h264(source, output, target); !done)
                return give_up(done.error());
            ours = std::min(ours, seconds_since(t0));
            auto theirs = time_ffmpeg(source, folder / "ffmpeg.mp4", target);
            if (!theirs)
                return give_up(theirs.error());
            ffmpeg = std::min(ffmpeg, *theirs);
        }
        double factor = light_copy::factors[recorder.targets.size() - 1];
        std::printf("| %d s | %.1f MB | %zu | %.2f | %ux%u, %.3f + %.0f kbit/s | %llu bytes | %.2f s | %.2f s | %.2f s "
                    "| %.2f %s |\n",
            length, static_cast<double>(written->bytes) / 1e6, recorder.targets.size(), factor, target.width,
            target.height, target.video_bitrate / 1e6, target.audio_bitrate / 1e3,
            static_cast<unsigned long long>(light->bytes), whole, ours, ffmpeg, ours / ffmpeg,
            ours / ffmpeg <= 1.1 ? "met" : "MISSED");
        std::fflush(stdout);
        for (auto const& name : { folder / "ours.mp4", folder / "ffmpeg.mp4", light->path, source })
            std::filesystem::remove(name);
    }
    return 0;
}
