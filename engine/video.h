#pragma once
// The video pipeline: the video thread (monitor capture, conversion, pacing) and the encoder thread
// ("quillmar-encoder") that turns encoded packets into ring samples.
//
// The engine spawns video_thread for each pipeline start; it runs attempts until its stop flag is set. Each
// attempt opens a capture source and an encoder, starts the encoder thread with the receiving end of a frame
// channel of capacity frame_queue and runs the capture loop on its own thread. A failed attempt is reported in the
// pipeline status and once per distinct text as a page event, closes the current video segment, and is
// retried after a pause that doubles from 4 s up to 60 s.

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "base/result.h"
#include "base/channel.h"
#include "base/clock.h"
#include "base/codec.h"
#include "engine/gfx.h"
#include "engine/video_capture.h"
#include "library/settings.h"
#include "platform/capture.h"
#include "platform/encoder.h"

namespace shared {
class Shared;
}
namespace engine {
struct VideoThreadParams;
}

namespace video {

using ticks::Ticks;

// Frames waiting for the encoder: 66 ms at 60 fps, so that the encoder's slow first pictures (its buffers are
// touched for the first time) and a busy moment of the machine do not cost a frame.
constexpr std::size_t frame_queue = gfx::pool_frames - 2;

// -- Sizes, bitrates, encoder choice --------------------------------------------------------------------------

// The encoded size for a resolution setting: never scaled up, always even and at least 2.
std::pair<std::uint32_t, std::uint32_t> scale_to_resolution(
    settings::Resolution resolution, std::uint32_t width, std::uint32_t height);

// What a codec needs of H.264's bitrate for the same picture.
constexpr double codec_factor(Codec codec)
{
    switch (codec) {
    case Codec::Hevc:
        return 0.7;
    case Codec::Av1:
        return 0.6;
    case Codec::H264:
        break;
    }
    return 1.0;
}
// The mean bit/s of 1080p60 H.264 at each quality.
constexpr double reference_bitrate(settings::Quality quality)
{
    switch (quality) {
    case settings::Quality::Compact:
        return 4'000'000;
    case settings::Quality::High:
        return 12'000'000;
    case settings::Quality::Standard:
        break;
    }
    return 6'000'000;
}

// Mean bit/s: the reference bitrate of 1080p60 scaled by pixels^0.85 and (fps / 60)^0.6, times the codec factor.
std::uint32_t encoder_bitrate(
    std::uint32_t width, std::uint32_t height, std::uint32_t fps, settings::Quality quality, double factor);
// 100 (favour quality) up to 2560 x 1440 at 60 frames per second, 50 (favour speed) above.
std::uint32_t quality_vs_speed(std::uint32_t width, std::uint32_t height, std::uint32_t fps);

// The codecs for which some encoder of the driver really opens; for the API's caps.
std::vector<Codec> probe_encoders(platform::EncoderDriver const& driver);

// The requested codec when some encoder for it opens, else H.264; with the parameters the encoder gets.
platform::EncoderParams choose_encoder(std::vector<Codec> const& available, Codec requested,
    std::uint32_t width, std::uint32_t height, std::uint32_t fps, settings::Quality quality);

// -- Monitors ------------------------------------------------------------------------------------------------

// The first monitor with that name, else the primary one (the list comes primary first); none when the list
// is empty.
std::optional<platform::MonitorInfo> pick_monitor(
    std::vector<platform::MonitorInfo> const& monitors, std::optional<std::string> const& name);

// -- Pacing and retries --------------------------------------------------------------------------------------

// Absolute slot deadlines start + k x 1 s / fps, so timer jitter never accumulates. A slot more than two
// intervals late jumps to the current slot and counts the skipped ones as dropped.
class Pacer {
public:
    Pacer(Ticks start, std::uint32_t fps);
    struct Slot {
        Ticks deadline { 0 };
        std::uint64_t dropped { 0 };
    };
    Slot next(Ticks now);
    Ticks interval() const { return m_interval; }

private:
    Ticks m_start;
    std::int64_t m_fps;
    Ticks m_interval;
    std::int64_t m_k { 0 };
};

// Pause before the next attempt, in seconds: doubling from 4 s up to 60 s while attempts fail within 30 s.
class Backoff {
public:
    std::uint32_t next(Ticks attempt_length);

private:
    std::uint32_t m_pause { 2 };
};

// Remembers the last error text so that an identical repeat is not shown to the player again.
class ErrorDedup {
public:
    bool is_new(std::string const& text);

private:
    std::optional<std::string> m_last;
};

// -- Encoded samples -----------------------------------------------------------------------------------------

// The access unit as the rings keep it: H.264/HEVC without parameter sets and delimiters, each NAL unit behind
// a 4-byte big-endian length; AV1 without temporal delimiters, every other OBU whole.
std::vector<std::uint8_t> to_ring_form(Codec codec, std::span<std::uint8_t const> access_unit);

// Stores the stream description from a keyframe unless one is stored, then pushes the packet into the video
// ring (and to an attached recording); nothing once the pipeline's generation is over.
void store_packet(shared::Shared& shared, platform::EncoderParams const& params, std::uint64_t generation,
    platform::EncodedPacket packet);

// Body of "quillmar-encoder" for the pipeline of `generation`: encodes frames until the channel closes, then
// flushes. An encoder failure ends it with the error.
Result<void> encoder_thread(platform::VideoEncoder& encoder, platform::EncoderParams const& params,
    std::uint64_t generation, channel::Receiver<platform::VideoFrame>& frames, shared::Shared& shared);

// -- Capture -------------------------------------------------------------------------------------------------

// The time base of the capture loop; tests run it on a simulated clock.
struct LoopClock {
    std::function<Ticks()> now;
    std::function<void(Ticks deadline)> sleep_until;
};
LoopClock real_clock();

struct VideoDrivers {
    platform::CaptureDriver const* capture { nullptr };
    platform::EncoderDriver const* encoder { nullptr };
};

struct CaptureLoopArgs {
    platform::CaptureSource& source;
    platform::CaptureDriver const& driver;
    std::uint32_t out_width { 0 };
    std::uint32_t out_height { 0 };
    platform::PixelLayout layout { platform::PixelLayout::Nv12 };
    std::uint32_t fps { 60 };
    shared::Shared& shared;
    std::atomic<bool> const& stop;
    channel::Sender<platform::VideoFrame> frames;
    LoopClock const& clock;
};

// Runs one slot per 1/fps second until the stop flag is set (ok). An encoder that went away while the flag is
// clear is an error, so that the pipeline restarts instead of ending silently.
Result<void> capture_loop(CaptureLoopArgs args);

// Everything one video thread needs: the engine's capture record, and how the thread reports and captures.
struct VideoJob : engine::VideoCapture {
    std::function<void(std::string const&)> report_error; // page event "error"
    VideoDrivers drivers;
    LoopClock clock;
};

// Attempts until the stop flag is set.
void run_video(VideoJob job);

// The engine's video pipeline body.
void video_thread(engine::VideoThreadParams params, VideoDrivers drivers);
// The same as a pipeline body for the start-up builder:
//   bodies.video = video::video_body({ &platform::capture_drivers()[0], &platform::encoder_drivers()[0] });
std::function<void(engine::VideoThreadParams)> video_body(VideoDrivers drivers);

}
