#include "tests/fakes/fake_audio.h"

#include <algorithm>
#include <cstdlib>
#include <utility>

namespace fakes {

namespace {

class FakeStream final : public platform::AudioStream {
public:
    FakeStream(std::shared_ptr<FakeClock> clock, FakeSourceScript script)
        : m_clock(std::move(clock))
        , m_script(script)
        , m_next_capture(m_clock->now)
    {
    }

    Result<void> read(std::vector<platform::AudioPacket>& out) override
    {
        if (m_script.lose_after_reads >= 0 && m_reads++ >= m_script.lose_after_reads)
            return fail("Son : flux perdu");
        constexpr std::uint32_t frames = 480;
        constexpr audio::Ticks duration = 100'000;
        while (m_next_capture + duration + m_script.lag <= m_clock->now) {
            platform::AudioPacket packet;
            packet.time = m_next_capture;
            packet.frames = frames;
            packet.samples.resize(frames * 2);
            for (std::uint32_t i = 0; i < frames; ++i) {
                // 48 frames per period: 1 kHz.
                std::int16_t value = ((m_frame + i) / 24) % 2 ? m_script.amplitude : std::int16_t(-m_script.amplitude);
                packet.samples[2 * i] = value;
                packet.samples[2 * i + 1] = value;
            }
            m_frame += frames;
            m_next_capture += duration;
            out.push_back(std::move(packet));
        }
        return {};
    }

private:
    std::shared_ptr<FakeClock> m_clock;
    FakeSourceScript m_script;
    audio::Ticks m_next_capture;
    std::uint64_t m_frame { 0 };
    int m_reads { 0 };
};

class FakeBackend final : public platform::AudioBackend {
public:
    FakeBackend(std::shared_ptr<FakeClock> clock, std::map<platform::AudioRole, FakeSourceScript> sources,
                std::shared_ptr<FakeSoundLog> log)
        : m_clock(std::move(clock))
        , m_sources(std::move(sources))
        , m_log(std::move(log))
    {
    }

    Result<std::unique_ptr<platform::AudioStream>> open(platform::AudioRole role,
                                                        std::optional<std::string> const& device) override
    {
        m_log->opens.emplace_back(role, m_clock->now);
        m_log->devices.push_back(device);
        auto script = m_sources.find(role);
        if (script == m_sources.end() || !script->second.opens)
            return fail("Son : aucun périphérique");
        return std::unique_ptr<platform::AudioStream>(std::make_unique<FakeStream>(m_clock, script->second));
    }

private:
    std::shared_ptr<FakeClock> m_clock;
    std::map<platform::AudioRole, FakeSourceScript> m_sources;
    std::shared_ptr<FakeSoundLog> m_log;
};

class FakeEncoder final : public platform::AacEncoder {
public:
    FakeEncoder(std::shared_ptr<FakeEncoderLog> log, int fails_at_block)
        : m_log(std::move(log))
        , m_fails_at_block(fails_at_block)
    {
    }

    Result<void> encode(std::span<std::int16_t const> block, std::int64_t time,
                        std::vector<platform::AacFrame>& out) override
    {
        if (m_blocks++ == m_fails_at_block)
            return fail("Encodeur AAC : refus");
        m_log->input_times.push_back(time);
        int peak = 0;
        for (auto sample : block)
            peak = std::max(peak, std::abs(int(sample)));
        peak = std::min(peak, 0xFFFF);
        out.push_back({ { std::uint8_t(peak & 0xFF), std::uint8_t(peak >> 8) }, time });
        return {};
    }

    std::vector<std::uint8_t> audio_specific_config() const override { return { 0x11, 0x90 }; }

private:
    std::shared_ptr<FakeEncoderLog> m_log;
    int m_fails_at_block;
    int m_blocks { 0 };
};

}

audio::Runtime FakeAudio::runtime()
{
    audio::Runtime runtime;
    runtime.now = [clock = clock] { return clock->now; };
    runtime.sleep = [clock = clock](audio::Ticks duration) {
        clock->now += duration;
        if (clock->on_sleep)
            clock->on_sleep();
    };
    runtime.open_backend = [clock = clock, sources = sources, log = sound_log]()
        -> Result<std::unique_ptr<platform::AudioBackend>> {
        return std::unique_ptr<platform::AudioBackend>(std::make_unique<FakeBackend>(clock, sources, log));
    };
    auto failures = std::make_shared<int>(encoder_failures_before_open);
    auto fails_at = std::make_shared<int>(encoder_fails_at_block);
    runtime.open_encoder = [failures, fails_at, log = encoder_log]() -> Result<std::unique_ptr<platform::AacEncoder>> {
        ++log->opens;
        if (*failures > 0) {
            --*failures;
            return fail("Encodeur AAC : introuvable");
        }
        // Only the first encoder that opens fails mid-stream.
        return std::unique_ptr<platform::AacEncoder>(std::make_unique<FakeEncoder>(log, std::exchange(*fails_at, -1)));
    };
    return runtime;
}

std::uint16_t fake_frame_peak(std::vector<std::uint8_t> const& bytes)
{
    return bytes.size() < 2 ? 0 : std::uint16_t(bytes[0] | (bytes[1] << 8));
}

}
