// The mixer's clock rules, volume and mixing, with packets built by hand and the clock given as plain
// numbers; then the audio thread end to end on fakes: a scripted clock that moves only when the thread
// sleeps, tone sources that deliver 10 ms packets stamped on that clock (optionally late, optionally
// failing), and an encoder that turns each block into one frame holding the block's peak, little-endian. The
// fakes run on the test's own thread, driven by the thread body's sleeps.

#include "engine/audio.h"
#include "engine/shared.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <map>
#include <utility>

namespace {

using audio::Placement;
using audio::Source;
using audio::Ticks;

constexpr Ticks base = 5'000'000'000;
constexpr Ticks ms = 10'000;

platform::AudioPacket tone_packet(Ticks time, std::uint32_t frames, std::int16_t value = 1'000)
{
    platform::AudioPacket packet;
    packet.time = time;
    packet.frames = frames;
    packet.samples.assign(std::size_t(frames) * 2, value);
    return packet;
}

// Time of frame `frame` after base, rounded up so that frames_between gives `frame` back exactly.
Ticks at_frame(std::int64_t frame) { return base + (frame * audio::ticks_per_second + 47'999) / audio::sample_rate_hz; }

std::size_t leading_zero_frames(Source const& source)
{
    std::size_t count = 0;
    while (count * 2 < source.fifo.size() && source.fifo[count * 2] == 0 && source.fifo[count * 2 + 1] == 0)
        ++count;
    return count;
}

TEST(AudioPlacePacket, FillsGapsAndDropsPacketsBehindTheCount)
{
    struct Row {
        char const* what;
        std::int64_t received;   // frames the source already holds
        std::int64_t position;   // where the packet's capture time falls
        Placement placement;
        std::int64_t silence;    // frames of silence inserted before it
        std::int64_t kept;       // frames of the 960-frame packet appended
    };
    constexpr Row rows[] = {
        { "on time", 10'000, 10'000, Placement::Appended, 0, 960 },
        { "slightly early, within the lateness threshold", 10'000, 10'480, Placement::Appended, 0, 960 },
        { "600 frames after the count", 10'000, 10'600, Placement::SilenceInserted, 600, 960 },
        { "ten seconds after: at most five seconds of silence", 10'000, 490'000, Placement::SilenceInserted, 240'000, 960 },
        { "slightly late, within the lateness threshold", 10'000, 9'520, Placement::Appended, 0, 960 },
        { "600 frames behind: that part is dropped", 10'000, 9'400, Placement::Trimmed, 0, 360 },
        { "ending exactly at the count", 10'000, 9'040, Placement::Discarded, 0, 0 },
        { "far behind", 10'000, 7'599, Placement::Discarded, 0, 0 },
    };
    for (auto const& row : rows) {
        SCOPED_TRACE(row.what);
        Source source;
        source.frames_received = std::uint64_t(row.received);
        auto packet = tone_packet(at_frame(row.position), 960);
        // The packet's last frames are marked, to see that what is kept is its end.
        packet.samples.back() = 2'000;
        auto placement = audio::place_packet(source, base, packet, 1.0f);
        EXPECT_EQ(placement, row.placement);
        EXPECT_EQ(source.frames_received, std::uint64_t(row.received + row.silence + row.kept));
        EXPECT_EQ(source.fifo.size(), std::size_t(row.silence + row.kept) * 2);
        if (row.kept == 0)
            continue;
        EXPECT_EQ(leading_zero_frames(source), std::size_t(row.silence));
        EXPECT_EQ(source.fifo.back(), 2'000);
    }
}

// Packets of 480 frames captured back to back, each delivered the next of `delays` (in turn) after its capture;
// the clock pads the source every 10 ms. A stall stops everything (the process is stopped: no pass, no
// padding) for its length; afterwards the server hands its backlog over at most `burst` frames per pass, as
// PulseAudio does. Counts what became of the packets, and how far from its capture time any sound landed.
struct Delivery {
    int appended { 0 };
    std::int64_t discarded_frames { 0 };
    std::int64_t sent { 0 };          // frames
    std::int64_t worst_offset { 0 };  // frames between where a packet landed and where it was captured
};

struct DeliveryScript {
    std::vector<Ticks> delays;
    Ticks stall_at { 0 };
    Ticks stall { 0 };
    std::int64_t burst { 16'320 }; // 340 ms
};

Delivery deliver(Source& source, DeliveryScript const& script, int passes)
{
    constexpr std::uint32_t packet_frames = 480;
    Delivery result;
    for (int pass = 0; pass < passes; ++pass) {
        Ticks now = base + pass * 10 * ms;
        if (now - base >= script.stall_at && now - base < script.stall_at + script.stall)
            continue;
        for (std::int64_t handed = 0; handed < script.burst; handed += packet_frames) {
            Ticks captured = audio::input_time(base, std::uint64_t(result.sent));
            if (captured + script.delays[std::size_t(result.sent / packet_frames) % script.delays.size()] > now)
                break;
            auto placement = audio::place_packet(source, base, tone_packet(captured, packet_frames), 1.0f);
            if (placement == Placement::Discarded) {
                result.discarded_frames += packet_frames;
            } else {
                result.appended += placement == Placement::Appended;
                std::int64_t landed = std::int64_t(source.frames_received) - packet_frames;
                result.worst_offset = std::max<std::int64_t>(result.worst_offset, std::llabs(landed - result.sent));
            }
            result.sent += packet_frames;
        }
        audio::keep_up(source, base, now);
    }
    return result;
}

// However late packets arrive (steadily late, in irregular bursts, or all at once after the program was
// stopped), each is placed at its capture time or not at all: a source is never shifted later. A source whose
// sound reaches us 200 ms after capture lags more than the keep-up margin: it is waited for, not silenced. A
// short stall's backlog is kept whole; what a long one held back is dropped, and what follows is in time.
TEST(AudioPlacePacket, DeliveryTimingNeverMovesTheSound)
{
    struct Row {
        char const* what;
        DeliveryScript script;
        int passes;
        std::int64_t max_discarded;  // frames
    };
    Row const rows[] = {
        // Before its first packet the stream says nothing: the padding covers 100 ms, as for a silent device.
        { "200 ms late, every packet", { { 200 * ms } }, 300, 4'800 },
        { "bursts up to 60 ms late", { { 10 * ms, 60 * ms, 25 * ms, 5 * ms, 45 * ms, 15 * ms } }, 400, 0 },
        { "stopped for 0.5 s", { { 15 * ms }, 1'000 * ms, 500 * ms }, 300, 0 },
        { "stopped for 2 s", { { 15 * ms }, 1'000 * ms, 2'000 * ms }, 500, 2 * 48'000 },
        { "stopped for 10 s", { { 15 * ms }, 1'000 * ms, 10'000 * ms }, 1'300, 10 * 48'000 },
    };
    for (auto const& row : rows) {
        SCOPED_TRACE(row.what);
        Source source;
        auto result = deliver(source, row.script, row.passes);
        EXPECT_LE(result.worst_offset, 40 * 48) << "frames off their capture time";
        EXPECT_LE(result.discarded_frames, row.max_discarded);
        if (row.script.stall > 0)
            RecordProperty(std::string(row.what) + ": ms kept",
                           std::to_string(row.script.stall / ms - result.discarded_frames / 48));
        // The source is heard up to the end, and what it holds ends where its newest sound was captured.
        ASSERT_FALSE(source.fifo.empty());
        EXPECT_EQ(source.fifo.back(), 1'000);
        EXPECT_LE(std::llabs(std::int64_t(source.frames_received) - result.sent), audio::lateness_threshold_frames);
    }
}

TEST(AudioVolume, UnusableVolumesAreClamped)
{
    for (auto [volume, usable] : { std::pair { std::numeric_limits<float>::quiet_NaN(), 0.0f }, { -1.0f, 0.0f },
                                   { std::numeric_limits<float>::infinity(), 2.0f }, { 0.75f, 0.75f } })
        EXPECT_EQ(audio::usable_volume(volume), usable) << volume;

    Source source;
    audio::append_packet(source, std::vector<std::int16_t>(4, 30'000), 2, false, 100.0f);
    EXPECT_EQ(source.fifo.front(), 32'767);
    EXPECT_EQ(source.peak, 32'767u);
}

TEST(AudioMix, SumsSaturatingAndKeepsWhatOnlyOneSourceHas)
{
    std::vector<Source> sources(2);
    sources[0].fifo = { 30'000, -30'000, 100, -100, 7, 8 };
    sources[1].fifo = { 30'000, -30'000, 200, 100 };
    std::vector<std::int16_t> out;
    audio::mix(sources, out);
    EXPECT_EQ(out, (std::vector<std::int16_t> { 32'767, -32'768, 300, 0 }));
    EXPECT_EQ(sources[0].fifo, (std::deque<std::int16_t> { 7, 8 }));
    EXPECT_TRUE(sources[1].fifo.empty());

    std::vector<Source> none;
    audio::mix(none, out);
    EXPECT_EQ(out.size(), 4u);
}

TEST(AudioInputTime, ComputedFromTheTotalCount)
{
    EXPECT_EQ(audio::input_time(base, 2'048), base + 426'666);
    // An hour of blocks lands exactly on the hour; adding 213,333 per block would be 5.6 ms short.
    std::uint64_t hour_frames = 1'024ull * 168'750;
    EXPECT_EQ(audio::input_time(base, hour_frames), base + 36'000'000'000);
}

// A clock that moves only when the code under test sleeps. `on_sleep` runs after each step (the test stops
// the thread from there).
struct FakeClock {
    audio::Ticks now { 1'000'000'000 };
    std::function<void()> on_sleep;
};

struct FakeSourceScript {
    bool opens { true };                 // false: every open fails
    audio::Ticks lag { 10 * 10'000 };     // delivery delay after capture
    int lose_after_reads { -1 };         // the stream fails at this read (then reopened)
    std::uint32_t burst { 1u << 31 };    // at most this many frames handed over per read
    int time_code { 0 };                 // instead of the square wave, the packet number n as 100 x (n % 140)
                                         // (1) or as 1 + n % 90 (2): a mix of both tells each apart
};

struct FakeSoundLog {
    std::vector<std::pair<platform::AudioRole, audio::Ticks>> opens;      // role, clock at the attempt
    std::vector<std::optional<std::string>> devices;
};

struct FakeEncoderLog {
    int opens { 0 };
    std::vector<audio::Ticks> input_times;
    std::vector<std::int16_t> samples;  // every block encoded, in order
};

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
        for (std::uint32_t handed = 0; handed < m_script.burst && m_next_capture + duration + m_script.lag <= m_clock->now;
             handed += frames) {
            platform::AudioPacket packet;
            packet.time = m_next_capture;
            packet.frames = frames;
            packet.samples.resize(frames * 2);
            for (std::uint32_t i = 0; i < frames; ++i) {
                // A square wave of 8,000, 48 frames per period: 1 kHz.
                std::int16_t value = ((m_frame + i) / 24) % 2 ? 8'000 : -8'000;
                if (m_script.time_code)
                    value = std::int16_t(m_script.time_code == 1 ? 100 * (m_frame / frames % 140) : 1 + m_frame / frames % 90);
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
        m_log->samples.insert(m_log->samples.end(), block.begin(), block.end());
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

struct FakeAudio {
    std::shared_ptr<FakeClock> clock = std::make_shared<FakeClock>();
    std::map<platform::AudioRole, FakeSourceScript> sources;  // a role not listed fails to open
    int encoder_failures_before_open { 0 };                   // the first N encoder opens fail
    int encoder_fails_at_block { -1 };                        // encode() fails at this block (once)
    std::shared_ptr<FakeSoundLog> sound_log = std::make_shared<FakeSoundLog>();
    std::shared_ptr<FakeEncoderLog> encoder_log = std::make_shared<FakeEncoderLog>();

    audio::Runtime runtime()
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
};

using platform::AudioRole;

struct RingFrame {
    Ticks time;
    std::uint16_t peak;
};

class AudioThread : public testing::Test {
protected:
    audio::AudioThreadParams params(bool game_audio, bool mic_audio)
    {
        audio::AudioThreadParams result;
        result.stop = stop;
        result.game_audio = game_audio;
        result.mic_audio = mic_audio;
        result.output_device = "sortie";
        result.shared = shared;
        return result;
    }

    // Runs the thread body on this thread until the scripted clock has moved `duration`.
    // With `stall`, the whole process is stopped that long once `stall_at` has passed: the clock jumps.
    void run_for(Ticks duration, audio::AudioThreadParams thread_params, Ticks stall_at = 0, Ticks stall = 0)
    {
        start = fake.clock->now;
        Ticks end = start + duration + stall;
        fake.clock->on_sleep = [this, end, stall_at, stall, stalled = false]() mutable {
            if (stall > 0 && !stalled && fake.clock->now - start >= stall_at) {
                fake.clock->now += stall;
                stalled = true;
            }
            running_seen = std::max<int>(running_seen, shared->audio_running.load());
            if (fake.clock->now >= end)
                stop->store(true);
        };
        audio::audio_thread(std::move(thread_params), fake.runtime());
    }

    std::vector<RingFrame> ring_frames()
    {
        std::vector<RingFrame> frames;
        shared->rings.with([&](shared::Rings& rings) {
            for (auto const& sample : rings.audio.samples) {
                auto const& bytes = *std::get<ring::Memory>(sample.payload).data;
                frames.push_back({ sample.time, std::uint16_t(bytes.at(0) | bytes.at(1) << 8) });
            }
        });
        return frames;
    }

    FakeAudio fake;
    std::shared_ptr<shared::Shared> shared = std::make_shared<shared::Shared>();
    std::shared_ptr<std::atomic<bool>> stop = std::make_shared<std::atomic<bool>>(false);
    Ticks start { 0 };
    int running_seen { 0 };
};

// The microphone opens but delivers nothing: it gets silence 100 ms behind the clock, so the output's sound
// still advances through the mix with at most about 100 ms of delay.
TEST_F(AudioThread, SilentMicrophoneDoesNotHoldBackTheMix)
{
    fake.sources[AudioRole::Output] = {};
    fake.sources[AudioRole::Microphone] = { .lag = 3'600 * 10'000'000LL };
    shared->game_volume = 0.5f;
    run_for(2'000 * ms, params(true, true));

    auto frames = ring_frames();
    // (2 s − 100 ms) of mix, give or take a poll and a block.
    EXPECT_GE(frames.size(), std::size_t((1'900 * 48 - 1'500) / 1'024));
    EXPECT_LE(frames.size(), std::size_t(1'900 * 48 / 1'024) + 1);
    ASSERT_FALSE(frames.empty());
    Ticks base = fake.encoder_log->input_times.front();
    for (std::size_t i = 0; i < frames.size(); ++i) {
        EXPECT_EQ(frames[i].time, audio::input_time(base, i * 1'024)) << i;
        EXPECT_EQ(frames[i].peak, 4'000) << i;
    }
    EXPECT_EQ(shared->output_meter.load(), 4'000u);
    EXPECT_EQ(shared->mic_meter.load(), 0u);
    auto levels = shared->level_history.copy();
    EXPECT_EQ(levels.size(), frames.size() / 12);
    for (auto level : levels)
        EXPECT_EQ(level, 4'000 / 129);
    EXPECT_EQ(fake.sound_log->devices.front(), std::optional<std::string>("sortie"));
}

TEST_F(AudioThread, SetUpRetriesEveryTwoSecondsAndAStopEndsTheWaitAtOnce)
{
    fake.encoder_failures_before_open = 1'000;
    run_for(3'005 * ms, params(true, true));
    EXPECT_EQ(fake.encoder_log->opens, 2);
    EXPECT_LE(fake.clock->now - start, 3'015 * ms);
    EXPECT_EQ(running_seen, 0);
}

TEST_F(AudioThread, LostStreamReopensAfterOneSecondAndFailedOpenAfterTwo)
{
    fake.sources[AudioRole::Output] = { .lose_after_reads = 5 };
    fake.sources[AudioRole::Microphone] = { .opens = false };
    run_for(3'500 * ms, params(true, true));
    std::vector<Ticks> output, mic;
    for (auto const& [role, at] : fake.sound_log->opens)
        (role == AudioRole::Output ? output : mic).push_back(at - start);
    // Output: open at 0, lost at its 6th read (after 5 sleeps), reopened 1 s later, and so on.
    ASSERT_GE(output.size(), 3u);
    EXPECT_EQ(output[0], 0);
    EXPECT_EQ(output[1], 1'050 * ms);
    EXPECT_EQ(output[2], 2'100 * ms);
    EXPECT_EQ(mic, (std::vector<Ticks> { 0, 2'000 * ms }));
    // The lost and missing sources still gave silence: the mix kept going.
    EXPECT_GT(ring_frames().size(), 140u);
}

TEST_F(AudioThread, EncoderFailureStartsOverTwoSecondsLaterOnANewBase)
{
    fake.sources[AudioRole::Output] = {};
    fake.encoder_fails_at_block = 10;
    run_for(4'000 * ms, params(true, false));
    EXPECT_EQ(fake.encoder_log->opens, 2);
    auto const& times = fake.encoder_log->input_times;
    ASSERT_GT(times.size(), 20u);
    // Ten blocks on the first base, then the second run starts at least 2 s later on a base of its own.
    EXPECT_EQ(times[9], audio::input_time(times[0], 9 * 1'024));
    EXPECT_GE(times[10] - times[9], 2'000 * ms);
    EXPECT_EQ(times[11], audio::input_time(times[10], 1'024));
    EXPECT_EQ(running_seen, 1);
    EXPECT_EQ(shared->audio_running.load(), 0);
}


// The program stopped for 3 s while both sources played: each hands its backlog over in bursts afterwards.
// Every mixed frame holds the sound of each source captured at its own time (or silence for what could not be
// kept), never one source shifted against the other or against the clock.
TEST_F(AudioThread, AStallKeepsBothSourcesOnTheClockAndTogether)
{
    fake.sources[AudioRole::Output] = { .lag = 15 * ms, .burst = 16'320, .time_code = 1 };
    fake.sources[AudioRole::Microphone] = { .lag = 15 * ms, .burst = 16'320, .time_code = 2 };
    run_for(3'000 * ms, params(true, true), 1'000 * ms, 3'000 * ms);

    auto const& mixed = fake.encoder_log->samples;
    // All but the last 200 ms of the run: the mix went on after the stall.
    ASSERT_GE(mixed.size() / 2, std::size_t(2'800 + 3'000) * 48);
    // How many packets the sound in a frame lies from the frame's own time, modulo the code's period.
    auto packets_off = [](int code, std::size_t frame, int period) {
        return (code - int(frame / 480 % std::size_t(period)) + period + period / 2) % period - period / 2;
    };
    std::size_t both = 0;
    for (std::size_t frame = 0; frame < mixed.size() / 2; ++frame) {
        int const value = mixed[frame * 2];
        int const output = value / 100;
        int const mic = value % 100;
        if (output != 0) {
            ASSERT_LE(std::abs(packets_off(output, frame, 140)), 1) << "output sound at frame " << frame;
        }
        if (mic != 0) {
            ASSERT_LE(std::abs(packets_off(mic - 1, frame, 90)), 1) << "microphone sound at frame " << frame;
        }
        both += output != 0 && mic != 0;
    }
    // Sound on both sides of the stall, mostly from both sources at once.
    EXPECT_GE(both, std::size_t(2'500) * 48);
}
}
