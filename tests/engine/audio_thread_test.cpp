// The audio thread end to end on fakes: a scripted clock that moves only when the thread sleeps, tone
// sources, and an encoder that turns each block into one frame holding the block's peak.

#include "engine/audio.h"

#include <gtest/gtest.h>

#include "engine/shared.h"
#include "tests/fakes/fake_audio.h"

namespace {

using audio::Ticks;
using platform::AudioRole;

constexpr Ticks ms = 10'000;

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
    void run_for(Ticks duration, audio::AudioThreadParams thread_params)
    {
        start = fake.clock->now;
        Ticks end = start + duration;
        fake.clock->on_sleep = [this, end] {
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
                frames.push_back({ sample.time, fakes::fake_frame_peak(bytes) });
            }
        });
        return frames;
    }

    fakes::FakeAudio fake;
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

}
