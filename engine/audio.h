#pragma once
// The audio thread: captures the sound the computer plays (loopback of an output device) and the microphone,
// applies the player's volume to each, keeps a peak meter per source, fills each source's gaps with silence
// so that both stay on the engine clock, mixes them, keeps a short history of mix levels, and encodes the mix
// to AAC frames that go into the audio ring through shared::push_audio.
//
// Ownership and threads: the engine spawns one audio thread per pipeline start with AudioThreadParams and
// joins it after setting the stop flag. Everything below the thread body is owned by that thread; it touches
// Shared only through push_audio, the level-history lock, and the atomics (meters, volumes, running flag).
// list_endpoints is called from the API's workers.
//
// Format: 48,000 frames per second, 2 channels, signed 16-bit samples interleaved left, right.

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "base/clock.h"
#include "base/result.h"
#include "engine/engine.h"
#include "platform/aac_encoder.h"
#include "platform/audio_source.h"

namespace audio {

using ticks::Ticks;

constexpr std::int64_t sample_rate_hz = 48'000;
using ticks::ticks_per_second;
constexpr std::size_t block_frames = 1'024;
constexpr std::size_t block_samples = 2 * block_frames;
constexpr std::int64_t silence_step_limit_frames = 240'000;  // 5 s
constexpr std::int64_t lateness_threshold_frames = 480;      // 10 ms
constexpr std::int64_t keep_up_margin_frames = 4'800;        // 100 ms
constexpr std::int64_t level_period_frames = 12'000;         // 250 ms
constexpr Ticks poll_interval_ticks = 100'000;               // 10 ms
constexpr Ticks setup_retry_ticks = 2 * ticks_per_second;
constexpr Ticks reopen_after_open_ticks = 2 * ticks_per_second; // after any open attempt
constexpr Ticks reopen_after_loss_ticks = ticks_per_second; // after a stream is lost
// A source whose stream delivers its sound later than the keep-up margin (a slow device, a backlog after the
// program was held up) is waited for, up to this far behind the clock: the padding stops where its next
// sound belongs, so that sound is placed at its capture time. Sound older than that is dropped as it arrives.
constexpr std::int64_t hold_back_limit_frames = 48'000;    // 1 s
constexpr float max_volume = 2.0f;

// One captured device. The output source comes first, then the microphone.
struct Source {
    std::deque<std::int16_t> fifo;          // interleaved samples, volume applied
    std::optional<std::string> device_id;   // configured endpoint id; none = default
    Ticks next_open { 0 };                  // when to try again to open a stream
    std::unique_ptr<platform::AudioStream> stream;
    std::uint64_t frames_received { 0 };    // frames appended since the thread's start, silence included
    std::uint32_t peak { 0 };               // largest |sample| since the meter was last fed (0 to 32768)
    bool is_mic { false };
    std::optional<std::int64_t> frontier;   // where the stream's next sound belongs (frames after base), once
                                            // it has delivered some; none without a stream
};

// Where a packet went: after silence for a gap, right at the end, cut of its start that lies behind what the
// source already holds, or nowhere (all of it lies behind). Sound is never placed later than its capture.
enum class Placement { Appended, SilenceInserted, Trimmed, Discarded };

// Frames of the engine clock from base to time (truncating toward zero).
std::int64_t frames_between(Ticks base, Ticks time);
// Time of the AAC input block that starts after `encoded_frames` frames: from the total, never summed.
Ticks input_time(Ticks base, std::uint64_t encoded_frames);

// A volume as the mixer uses it: 0.0 to 2.0, anything unreadable (NaN) counts as silence.
float usable_volume(float volume);
// One sample at a volume, saturated to the 16-bit range and truncated toward zero.
std::int16_t scale_sample(std::int16_t sample, float volume);

void append_silence(Source& source, std::int64_t frames);
// Appends captured sound at a volume (or silence when `silent`), raising the source's peak.
void append_packet(Source& source, std::span<std::int16_t const> samples, std::uint32_t frames, bool silent, float volume);
// Puts one captured packet on the source's clock: silence for a gap before it, the packet itself, or only
// the part that does not lie behind what the source already holds.
Placement place_packet(Source& source, Ticks base, platform::AudioPacket const& packet, float volume);
// Pads a source that delivers too little (or has no stream) with silence up to 100 ms behind the clock, but
// not past where a stream that is merely late will place its next sound (see hold_back_limit_frames).
void keep_up(Source& source, Ticks base, Ticks now);

// Takes the source's peak (resetting it) and raises the meter to at least that value.
void feed_meter(Source& source, std::atomic<std::uint32_t>& meter);

// Pops the samples every source has and appends their saturated sum.
void mix(std::span<Source> sources, std::vector<std::int16_t>& out);

// One mix level per 12 blocks (12,000 frames or more): the block peak, scaled to 0..254.
class LevelMeter {
public:
    std::optional<std::uint8_t> feed(std::span<std::int16_t const> block);

private:
    std::int64_t m_frames { 0 };
    std::uint32_t m_peak { 0 };
};

// The drivers and the clock the thread runs on; tests substitute fakes and a scripted clock.
struct Runtime {
    std::function<Result<std::unique_ptr<platform::AudioBackend>>()> open_backend;
    std::function<Result<std::unique_ptr<platform::AacEncoder>>()> open_encoder;
    std::function<Ticks()> now;
    std::function<void(Ticks)> sleep;
};
// The given drivers on the engine clock, sleeping for real.
Runtime real_runtime(platform::AudioDriver const& sound, platform::AacDriver const& aac);

// What the engine hands the thread: its stop flag, the device ids and source switches from the settings,
// and Shared.
using AudioThreadParams = engine::AudioThreadParams;

// Body of the (unnamed) audio thread: returns once the stop flag is set. Until the AAC encoder opens it
// retries every 2 s; a source that cannot be opened or is lost gives silence and is reopened later.
void audio_thread(AudioThreadParams params, Runtime const& runtime);
// The audio body of engine::PipelineBodies, for the start-up builder:
//   bodies.audio = audio::thread_body(audio::real_runtime(platform::pulse_audio_driver, platform::lavc_aac_driver));
std::function<void(AudioThreadParams)> thread_body(Runtime runtime);

// Endpoints of one direction: 0 outputs, 1 microphones (monitors excluded), in the server's order.
Result<std::vector<platform::AudioDevice>> list_endpoints(platform::AudioDriver const& driver, std::uint8_t flow);

}
