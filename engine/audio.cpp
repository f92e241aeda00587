#include "engine/audio.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <thread>
#include <utility>

#include "base/clock.h"
#include "engine/shared.h"

namespace audio {

std::int64_t frames_between(Ticks base, Ticks time)
{
    return std::int64_t((__int128(time - base) * sample_rate_hz) / ticks_per_second);
}

Ticks input_time(Ticks base, std::uint64_t encoded_frames)
{
    return base + Ticks((__int128(encoded_frames) * ticks_per_second) / sample_rate_hz);
}

float usable_volume(float volume)
{
    if (!(volume > 0.0f))
        return 0.0f;
    return std::min(volume, max_volume);
}

std::int16_t scale_sample(std::int16_t sample, float volume)
{
    float value = std::clamp(float(sample) * volume, -32'768.0f, 32'767.0f);
    return std::int16_t(value);
}

void append_silence(Source& source, std::int64_t frames)
{
    if (frames <= 0)
        return;
    source.fifo.insert(source.fifo.end(), std::size_t(frames) * 2, std::int16_t(0));
    source.frames_received += std::uint64_t(frames);
}

void append_packet(Source& source, std::span<std::int16_t const> samples, std::uint32_t frames, bool silent, float volume)
{
    std::size_t count = std::size_t(frames) * 2;
    if (silent || samples.size() < count) {
        // A packet without its sound still takes its place on the clock.
        source.fifo.insert(source.fifo.end(), count, std::int16_t(0));
    } else {
        volume = usable_volume(volume);
        std::uint32_t peak = source.peak;
        for (std::size_t i = 0; i < count; ++i) {
            std::int16_t value = scale_sample(samples[i], volume);
            peak = std::max<std::uint32_t>(peak, std::uint32_t(std::abs(int(value))));
            source.fifo.push_back(value);
        }
        source.peak = peak;
    }
    source.frames_received += frames;
}

Placement place_packet(Source& source, Ticks base, platform::AudioPacket const& packet, float volume)
{
    std::int64_t position = frames_between(base, packet.time);
    std::int64_t gap = position - std::int64_t(source.frames_received);
    source.frontier = position + packet.frames;
    if (gap > lateness_threshold_frames) {
        append_silence(source, std::min(gap, silence_step_limit_frames));
        append_packet(source, packet.samples, packet.frames, packet.silent, volume);
        return Placement::SilenceInserted;
    }
    if (gap >= -lateness_threshold_frames) {
        append_packet(source, packet.samples, packet.frames, packet.silent, volume);
        return Placement::Appended;
    }
    // The start of the packet lies behind what the source already holds (silence padded while the sound was
    // on its way): that part is dropped. Appending it anyway would put this source, and everything it
    // delivers after, late for the rest of the run.
    std::int64_t behind = -gap;
    if (behind >= std::int64_t(packet.frames))
        return Placement::Discarded;
    std::span<std::int16_t const> samples(packet.samples);
    std::size_t cut = std::size_t(behind) * 2;
    append_packet(source, samples.size() >= cut ? samples.subspan(cut) : samples.subspan(samples.size()),
                  packet.frames - std::uint32_t(behind), packet.silent, volume);
    return Placement::Trimmed;
}

void keep_up(Source& source, Ticks base, Ticks now)
{
    std::int64_t clock = frames_between(base, now);
    std::int64_t target = clock - keep_up_margin_frames;
    if (source.frontier && *source.frontier >= clock - hold_back_limit_frames)
        target = std::min(target, *source.frontier);
    if (std::int64_t(source.frames_received) < target)
        append_silence(source, target - std::int64_t(source.frames_received));
}

void feed_meter(Source& source, std::atomic<std::uint32_t>& meter)
{
    shared::raise_meter(meter, std::exchange(source.peak, 0));
}

void mix(std::span<Source> sources, std::vector<std::int16_t>& out)
{
    if (sources.empty())
        return;
    std::size_t count = sources.front().fifo.size();
    for (auto const& source : sources)
        count = std::min(count, source.fifo.size());
    out.reserve(out.size() + count);
    for (std::size_t i = 0; i < count; ++i) {
        std::int32_t sum = 0;
        for (auto& source : sources) {
            sum += source.fifo.front();
            source.fifo.pop_front();
        }
        out.push_back(std::int16_t(std::clamp(sum, -32'768, 32'767)));
    }
}

std::optional<std::uint8_t> LevelMeter::feed(std::span<std::int16_t const> block)
{
    for (auto sample : block)
        m_peak = std::max<std::uint32_t>(m_peak, std::uint32_t(std::abs(int(sample))));
    m_frames += std::int64_t(block.size() / 2);
    if (m_frames < level_period_frames)
        return std::nullopt;
    auto level = std::uint8_t(std::min<std::uint32_t>(m_peak, 32'767) / 129);
    m_frames = 0;
    m_peak = 0;
    return level;
}

Result<std::vector<platform::AudioDevice>> list_endpoints(platform::AudioDriver const& driver, std::uint8_t flow)
{
    return driver.list_endpoints(flow == 0 ? platform::AudioFlow::Render : platform::AudioFlow::Capture);
}

namespace {

// What one successful set-up builds; dropped whole when the encoder fails. The backend is declared before
// the sources so that their streams are closed first.
struct Run {
    std::unique_ptr<platform::AacEncoder> encoder;
    std::unique_ptr<platform::AudioBackend> backend;
    std::vector<Source> sources;
    Ticks base { 0 };
    std::vector<std::int16_t> mix_buffer;
    std::uint64_t encoded_frames { 0 };
    LevelMeter levels;
};

// Sleeps up to `duration` in poll steps, so that a stop is seen within one step.
void wait_or_stop(Runtime const& runtime, std::atomic<bool> const& stop, Ticks duration)
{
    Ticks deadline = runtime.now() + duration;
    while (!stop.load()) {
        Ticks left = deadline - runtime.now();
        if (left <= 0)
            return;
        runtime.sleep(std::min(left, poll_interval_ticks));
    }
}

void open_stream(Run& run, Source& source, Runtime const& runtime, Ticks now)
{
    source.next_open = now + reopen_after_open_ticks;
    if (!run.backend) {
        auto backend = runtime.open_backend();
        if (!backend)
            return;
        run.backend = std::move(*backend);
    }
    auto stream = run.backend->open(source.is_mic ? platform::AudioRole::Microphone : platform::AudioRole::Output,
                                    source.device_id);
    if (stream)
        source.stream = std::move(*stream);
}

void capture(Run& run, Source& source, shared::Shared& shared, Runtime const& runtime,
             std::vector<platform::AudioPacket>& packets)
{
    float volume = (source.is_mic ? shared.mic_volume : shared.game_volume).load(std::memory_order_relaxed);
    Ticks now = runtime.now();
    if (!source.stream && now >= source.next_open)
        open_stream(run, source, runtime, now);
    if (source.stream) {
        packets.clear();
        auto read = source.stream->read(packets);
        for (auto const& packet : packets)
            place_packet(source, run.base, packet, volume);
        if (!read) {
            source.stream.reset();
            source.frontier.reset();
            source.next_open = runtime.now() + reopen_after_loss_ticks;
        }
    }
    keep_up(source, run.base, runtime.now());
    feed_meter(source, source.is_mic ? shared.mic_meter : shared.output_meter);
}

// Mixes what every source has and encodes each whole block. An error means the encoder is unusable.
Result<void> encode_mix(Run& run, shared::Shared& shared, std::vector<platform::AacFrame>& frames)
{
    mix(run.sources, run.mix_buffer);
    std::size_t offset = 0;
    Result<void> result;
    while (run.mix_buffer.size() - offset >= block_samples) {
        std::span<std::int16_t const> block(run.mix_buffer.data() + offset, block_samples);
        if (auto level = run.levels.feed(block))
            shared::push_level(shared, *level);
        frames.clear();
        result = run.encoder->encode(block, input_time(run.base, run.encoded_frames), frames);
        if (!result)
            break;
        for (auto& frame : frames)
            shared::push_audio(shared, std::move(frame.bytes), frame.time);
        run.encoded_frames += block_frames;
        offset += block_samples;
    }
    run.mix_buffer.erase(run.mix_buffer.begin(), run.mix_buffer.begin() + std::ptrdiff_t(offset));
    return result;
}

}

Runtime real_runtime(platform::AudioDriver const& sound, platform::AacDriver const& aac)
{
    Runtime runtime;
    runtime.open_backend = sound.create;
    runtime.open_encoder = aac.open;
    runtime.now = [] { return ticks::now(); };
    runtime.sleep = [](Ticks duration) { std::this_thread::sleep_for(std::chrono::nanoseconds(duration * 100)); };
    return runtime;
}

std::function<void(AudioThreadParams)> thread_body(Runtime runtime)
{
    return [runtime = std::move(runtime)](AudioThreadParams params) { audio_thread(std::move(params), runtime); };
}

void audio_thread(AudioThreadParams params, Runtime const& runtime)
{
    auto& shared = *params.shared;
    auto const& stop = *params.stop;
    std::vector<platform::AudioPacket> packets;
    std::vector<platform::AacFrame> frames;
    while (!stop.load()) {
        auto encoder = runtime.open_encoder();
        if (!encoder) {
            wait_or_stop(runtime, stop, setup_retry_ticks);
            continue;
        }
        Run run;
        run.encoder = std::move(*encoder);
        Ticks start = runtime.now();
        auto add_source = [&](std::optional<std::string> const& device, bool is_mic) {
            auto& source = run.sources.emplace_back();
            source.device_id = device;
            source.next_open = start;
            source.is_mic = is_mic;
        };
        if (params.game_audio)
            add_source(params.output_device, false);
        if (params.mic_audio)
            add_source(params.mic_device, true);
        shared.audio_running.store(1);
        run.base = runtime.now();
        run.mix_buffer.reserve(16'384);

        bool failed = false;
        while (!stop.load()) {
            for (auto& source : run.sources)
                capture(run, source, shared, runtime, packets);
            if (!encode_mix(run, shared, frames)) {
                failed = true;
                break;
            }
            runtime.sleep(poll_interval_ticks);
        }
        if (failed) {
            run.sources.clear();
            run = Run {};
            wait_or_stop(runtime, stop, setup_retry_ticks);
        }
    }
    shared.audio_running.store(0);
}

}
