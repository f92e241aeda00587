#pragma once
// The one block of pipeline state that the capture, encoder and audio threads fill and that the saver, the
// recording, the spill thread, the gate and the API read. One per process, built by the start-up builder and
// shared by reference counting (the spill thread holds a weak reference).
//
// Each lock guards only its own field group and no operation holds two of them at once (they are all
// leaves). The recording sink lives under the rings lock so that a sample is either in the ring before a
// recording attaches or also sent to it, never lost between the two. Counters, meters, volumes and the
// audio-running flag are atomics, so the capture and audio threads never take a lock for them.

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <optional>
#include <string>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

#include "core/mp4.h"
#include "core/packet.h"
#include "core/ring.h"
#include "base/channel.h"
#include "base/clock.h"
#include "library/settings.h"
#include "base/threads.h"

namespace shared {

using ticks::Ticks;

// Thumbnail image: 400 x 225 pixels, three bytes per pixel (blue, green, red), rows top to bottom.
constexpr std::uint32_t thumbnail_width = 400;
constexpr std::uint32_t thumbnail_height = 225;
constexpr std::size_t thumbnail_bytes = std::size_t { thumbnail_width } * thumbnail_height * 3;
using Thumbnail = std::vector<std::uint8_t>;

// What the running recording receives while its sink is attached.
struct LiveSample {
    struct Video {
        Packet packet;
    };
    struct Audio {
        Packet packet;
    };
    struct Stop { };
    std::variant<Video, Audio, Stop> value;
};

// An older video segment kept after a pipeline restart: the stream description and the ring of its samples.
struct SegmentRecord {
    mp4::VideoConfig config;
    ring::Ring ring;
};

constexpr std::size_t max_segment_records = 2;

// What the running video pipeline reports (read by the API status and the spill thread).
struct PipelineStatus {
    std::string encoder;              // friendly name of the encoder in use; empty before the first start
    std::optional<std::string> error; // last error of the video pipeline
    std::uint32_t width { 0 };
    std::uint32_t height { 0 };
    std::uint32_t fps { 0 };
    bool running { false };                  // from a successful capture start until the capture ends
    std::optional<Codec> codec;    // none before the first start
};

struct Rings {
    std::optional<channel::Sender<LiveSample>> sink; // the running recording's channel, if any
    ring::Ring video;
    ring::Ring audio;
    std::vector<SegmentRecord> segments; // at most two, oldest first
};

// Process-wide ring ids, starting at 1: each new Ring takes the next one. The spill thread finds rings again
// by id after it released the lock.
std::uint64_t next_ring_id();

constexpr Ticks initial_ring_window = 120 * ticks::ticks_per_second;

class Shared {
public:
    // Both rings empty (video ring first, then audio ring take the next two ids), window 120 s, no budget.
    Shared();
    Shared(Shared const&) = delete;
    Shared& operator=(Shared const&) = delete;

    threads::Locked<Rings> rings;
    threads::Locked<std::optional<mp4::VideoConfig>> video_config;
    // The sending end of the channel on which the capture loop delivers the next thumbnail once.
    threads::Locked<std::optional<channel::Sender<Thumbnail>>> thumbnail_request;
    threads::Locked<std::deque<std::uint8_t>> level_history; // 0..254, at most 480
    threads::Locked<PipelineStatus> status;

    std::atomic<std::uint64_t> frames { 0 }; // frames sent to the encoder since the last new_segment
    std::atomic<std::uint64_t> drops { 0 };  // frames lost since the last new_segment
    std::atomic<std::uint32_t> output_meter { 0 };
    std::atomic<std::uint32_t> mic_meter { 0 };
    std::atomic<float> game_volume { 1.0f };
    std::atomic<float> mic_volume { 1.0f };
    std::atomic<std::uint8_t> audio_running { 0 };
    // The video pipeline in force. new_segment and clear_buffers move it on before they touch the stream
    // description or the rings, and every store of an encoder thread checks it under the lock it takes, so an
    // encoder thread left running by an older pipeline can no longer change either.
    std::atomic<std::uint64_t> generation { 0 };
};

constexpr std::size_t max_level_history = 480;

// Audio thread: one AAC frame, in time order. Every frame is a keyframe, so the audio ring evicts frame by
// frame. An attached recording also receives it.
void push_audio(Shared& shared, std::vector<std::uint8_t> data, Ticks time);

// Encoder thread of pipeline `generation`: one encoded video access unit. At a keyframe, first retires segment
// records that left the window or the byte budget; then pushes into the video ring and forwards to an attached
// recording. Nothing happens once the generation is over.
void push_video(Shared& shared, Packet packet, std::uint64_t generation);
// The same for the generation in force.
void push_video(Shared& shared, Packet packet);

// Encoder thread of pipeline `generation`: stores the stream description unless one is already stored or the
// generation is over. true when it was stored.
bool store_video_config(Shared& shared, mp4::VideoConfig config, std::uint64_t generation);
bool store_video_config(Shared& shared, mp4::VideoConfig config);

// A video pipeline is about to start: the current video ring becomes a segment record (kept only when a
// stream description exists and it holds samples; at most two are kept), a fresh ring takes its place, and
// frames and drops go back to 0. An attached recording is told to stop, since the new stream may not match
// the header it was started with; it then finishes as a valid file. A new generation begins.
void new_segment(Shared& shared);

// Window = the longest slot + 2 s; both rings get the same byte limit and are evicted at once.
void set_ring_window(Shared& shared, std::uint32_t secs, std::uint64_t byte_limit);

// The pipelines were stopped: empties both rings (ids, windows and budgets stay), drops the segment records,
// the stream description and the level history, and marks the status not running with no error. A new
// generation begins, so an encoder that outlived its pipeline cannot fill the buffers again.
void clear_buffers(Shared& shared);

// Audio and video meters: raise to the peak seen (an atomic maximum).
void raise_meter(std::atomic<std::uint32_t>& meter, std::uint32_t peak);

// Audio thread: one level (0..254) for the status page; the oldest goes beyond 480.
void push_level(Shared& shared, std::uint8_t level);

// One cut of the rings that agrees with the stream description: reads the description, runs
// cut(rings, description) under the rings lock, then reads the description again. A pipeline restart in
// between makes it cut again, at most `attempts` times, so that samples are never paired with the wrong
// description. `after_cut` runs between the cut and the second look (tests restart the pipeline there).
template <class T> struct ConfigCut {
    T cut {};
    std::optional<mp4::VideoConfig> config;
    bool stable { false }; // the description held over the last cut
};
template <class F, class T = std::invoke_result_t<F&, Rings&, std::optional<mp4::VideoConfig> const&>>
ConfigCut<T> cut_with_config(Shared& shared, int attempts, F cut, std::function<void()> const& after_cut = {})
{
    ConfigCut<T> result;
    for (int attempt = 0; attempt < attempts && !result.stable; ++attempt) {
        result.config = shared.video_config.copy();
        result.cut = shared.rings.with([&](Rings& rings) { return cut(rings, std::as_const(result.config)); });
        if (after_cut)
            after_cut();
        result.stable = result.config == shared.video_config.copy();
    }
    return result;
}

// Save request or recording start: a fresh one-shot thumbnail channel whose sending end replaces (and so
// closes) any earlier one in the slot. The capture loop delivers the next frame on it.
channel::Receiver<Thumbnail> request_thumbnail(Shared& shared);
// Capture loop, at each frame: the waiting request, if any, leaving the slot empty.
std::optional<channel::Sender<Thumbnail>> take_thumbnail_request(Shared& shared);

}
