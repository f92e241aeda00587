// What trim pays before it can copy anything: opening a long recording reads and expands its whole index.
// The recording is written once by the recorder (60 fps video and 48 kHz AAC, tiny payloads so that only the
// index is large); each iteration opens it again.

#include <benchmark/benchmark.h>

#include "core/demux.h"
#include "core/mp4_recorder.h"
#include "tests/support/temp_dir.h"

namespace fs = std::filesystem;

namespace {

Packet packet(std::int64_t time, bool key, std::size_t size)
{
    return { make_shared_bytes(std::vector<std::uint8_t>(size, 0x5A)), time, std::uint8_t(key ? 1 : 0) };
}

// Writes `minutes` of recording; returns the file length.
std::uint64_t write_recording(fs::path const& path, int minutes)
{
    auto fd = files::open_write(path, files::Create::Truncate);
    auto recorder = mp4::Recorder::start(std::move(*fd), Codec::H264);
    std::int64_t end = std::int64_t { minutes } * 60 * 10'000'000;
    std::int64_t audio_time = 0;
    for (std::int64_t frame = 0;; ++frame) {
        std::int64_t time = frame * 10'000'000 / 60;
        if (time >= end)
            break;
        for (; audio_time <= time; audio_time += 213'333)
            (void)recorder->push_audio(packet(audio_time, true, 8));
        (void)recorder->push_video(packet(time, frame % 60 == 0, 24));
    }
    mp4::VideoConfig video { { 1, 0x64, 0, 0x28, 0xFF }, 1920, 1080, Codec::H264 };
    mp4::AudioConfig audio { 48'000, 192'000, 2 };
    return recorder->finish(video, &audio)->bytes;
}

}

static void OpenRecording(benchmark::State& state)
{
    auto root = testing_support::make_temp_dir("quillmar-bench");
    auto path = root / "recording.mp4";
    auto bytes = write_recording(path, static_cast<int>(state.range(0)));
    std::size_t samples = 0;
    for (auto _ : state) {
        auto opened = demux::open_file(path);
        samples = opened->video_samples.size() + opened->audio_samples.size();
        benchmark::DoNotOptimize(opened);
    }
    state.counters["samples"] = static_cast<double>(samples);
    state.counters["file_MB"] = static_cast<double>(bytes) / 1e6;
    std::error_code ec;
    fs::remove_all(root, ec);
}
BENCHMARK(OpenRecording)->Arg(10)->Arg(60)->Unit(benchmark::kMillisecond);
BENCHMARK_MAIN();
