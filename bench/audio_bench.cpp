// Cost of one second of sound through the audio thread's work: two sources placed on the clock, mixed,
// cut into blocks, levelled and encoded by FFmpeg's AAC encoder.

#include <benchmark/benchmark.h>

#include <cmath>

#include "engine/audio.h"

namespace {

platform::AudioPacket packet_at(audio::Ticks time, std::uint64_t first_frame)
{
    platform::AudioPacket packet;
    packet.time = time;
    packet.frames = 480;
    packet.samples.resize(960);
    for (std::size_t i = 0; i < 480; ++i) {
        auto value = std::int16_t(10'000.0 * std::sin(double(first_frame + i) * 2.0 * M_PI * 440.0 / 48'000.0));
        packet.samples[2 * i] = value;
        packet.samples[2 * i + 1] = value;
    }
    return packet;
}

void BM_MixAndEncodeOneSecond(benchmark::State& state)
{
    auto encoder = platform::lavc_aac_driver.open();
    if (!encoder) {
        state.SkipWithError(encoder.error().c_str());
        return;
    }
    std::vector<audio::Source> sources(2);
    sources[1].is_mic = true;
    std::vector<std::int16_t> mix;
    std::vector<platform::AacFrame> frames;
    audio::LevelMeter levels;
    std::uint64_t frame = 0, encoded = 0;
    constexpr audio::Ticks base = 1'000'000'000;
    for (auto _ : state) {
        for (int pass = 0; pass < 100; ++pass, frame += 480) {
            auto packet = packet_at(audio::input_time(base, frame), frame);
            for (auto& source : sources)
                audio::place_packet(source, base, packet, 0.8f);
            audio::mix(sources, mix);
            std::size_t offset = 0;
            while (mix.size() - offset >= audio::block_samples) {
                std::span<std::int16_t const> block(mix.data() + offset, audio::block_samples);
                benchmark::DoNotOptimize(levels.feed(block));
                frames.clear();
                (void)(*encoder)->encode(block, audio::input_time(base, encoded), frames);
                encoded += audio::block_frames;
                offset += audio::block_samples;
            }
            mix.erase(mix.begin(), mix.begin() + std::ptrdiff_t(offset));
        }
    }
    state.SetLabel("one second of 48 kHz stereo per iteration");
}
BENCHMARK(BM_MixAndEncodeOneSecond)->Unit(benchmark::kMillisecond);

}

BENCHMARK_MAIN();
