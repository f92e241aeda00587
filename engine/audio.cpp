#include "engine/audio.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>

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
    std::int64_t position = frames_between(base, packet.time) + source.delay_frames;
    std::int64_t gap = position - std::int64_t(source.frames_received);
    if (gap > lateness_threshold_frames && source.delay_frames > 0) {
        // A source shifted later for lagging has caught up: give back the shift before inserting silence.
        std::int64_t back = std::min(gap, source.delay_frames);
        source.delay_frames -= back;
        gap -= back;
    }
    if (gap > lateness_threshold_frames) {
        append_silence(source, std::min(gap, silence_step_limit_frames));
        append_packet(source, packet.samples, packet.frames, packet.silent, volume);
        source.stale_frames = 0;
        return Placement::SilenceInserted;
    }
    if (gap >= -look_ahead_limit_frames) {
        append_packet(source, packet.samples, packet.frames, packet.silent, volume);
        source.stale_frames = 0;
        return Placement::Appended;
    }
    // The packet lies behind what the source already holds: a stray late packet is dropped. But a source
    // whose every packet lands here lags more than the keep-up margin, and the padding would overtake each of
    // its packets for the rest of the run; place it later instead, so it is heard (late) rather than lost.
    source.stale_frames += packet.frames;
    if (source.stale_frames < stale_run_limit_frames)
        return Placement::Discarded;
    source.delay_frames += reanchor_cushion_frames - gap;
    source.stale_frames = 0;
    append_silence(source, reanchor_cushion_frames);
    append_packet(source, packet.samples, packet.frames, packet.silent, volume);
    return Placement::Reanchored;
}

void keep_up(Source& source, Ticks base, Ticks now)
{
    std::int64_t target = frames_between(base, now) - keep_up_margin_frames;
    if (std::int64_t(source.frames_received) < target)
        append_silence(source, target - std::int64_t(source.frames_received));
}

void raise_meter(std::atomic<std::uint32_t>& meter, std::uint32_t value)
{
    std::uint32_t current = meter.load(std::memory_order_relaxed);
    while (current < value && !meter.compare_exchange_weak(current, value, std::memory_order_relaxed)) { }
}

void feed_meter(Source& source, std::atomic<std::uint32_t>& meter)
{
    std::uint32_t peak = std::exchange(source.peak, 0);
    raise_meter(meter, peak);
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

void push_level(std::deque<std::uint8_t>& history, std::uint8_t level)
{
    history.push_back(level);
    while (history.size() > level_history_capacity)
        history.pop_front();
}

Result<std::vector<platform::AudioDevice>> list_endpoints(platform::AudioDriver const& driver, std::uint8_t flow)
{
    return driver.list_endpoints(flow == 0 ? platform::AudioFlow::Render : platform::AudioFlow::Capture);
}

}
