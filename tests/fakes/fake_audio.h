#pragma once
// Test doubles for the audio thread: a scripted clock, sound sources that deliver a tone in 10 ms packets
// stamped on that clock (optionally late, optionally failing), and an AAC encoder that turns each block into
// one recognisable frame. All of them run on the test's own thread, driven by the thread body's sleeps.

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "engine/audio.h"

namespace fakes {

// A clock that moves only when the code under test sleeps. `on_sleep` runs after each step (the test stops
// the thread from there).
struct FakeClock {
    audio::Ticks now { 1'000'000'000 };
    std::function<void()> on_sleep;
};

struct FakeSourceScript {
    bool opens { true };                 // false: every open fails
    std::int16_t amplitude { 8'000 };    // square wave, 1 kHz
    audio::Ticks lag { 10 * 10'000 };     // delivery delay after capture
    int lose_after_reads { -1 };         // the stream fails at this read (then reopened)
};

struct FakeSoundLog {
    std::vector<std::pair<platform::AudioRole, audio::Ticks>> opens;      // role, clock at the attempt
    std::vector<std::optional<std::string>> devices;
};

struct FakeEncoderLog {
    int opens { 0 };
    std::vector<audio::Ticks> input_times;
};

struct FakeAudio {
    std::shared_ptr<FakeClock> clock = std::make_shared<FakeClock>();
    std::map<platform::AudioRole, FakeSourceScript> sources;  // a role not listed fails to open
    int encoder_failures_before_open { 0 };                   // the first N encoder opens fail
    int encoder_fails_at_block { -1 };                        // encode() fails at this block (once)
    std::shared_ptr<FakeSoundLog> sound_log = std::make_shared<FakeSoundLog>();
    std::shared_ptr<FakeEncoderLog> encoder_log = std::make_shared<FakeEncoderLog>();

    audio::Runtime runtime();
};

// Bytes of the frame the fake encoder makes for a block: the block's peak, little-endian.
std::uint16_t fake_frame_peak(std::vector<std::uint8_t> const& bytes);

}
