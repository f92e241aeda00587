#pragma once
// Saving the last seconds: the hotkey or the page asks, save_last_seconds queues a request without ever
// waiting, and the "quillmar-saver" thread cuts the span out of the rings (one clip per video segment the
// span touches), writes each MP4, its thumbnail and its sidecar, then tells the player.

#include <chrono>
#include <cstdint>
#include <memory>
#include <vector>

#include "core/mp4.h"
#include "engine/engine.h"

namespace engine {

// The audio description of every clip: the AAC stream of the audio thread.
inline constexpr mp4::AudioConfig clip_audio { 48'000, 192'000, 2 };
constexpr std::uint32_t save_flush_delay_ms = 250;
constexpr std::uint32_t thumbnail_wait_ms = 1000;

// One clip of a save: a segment's stream description and its samples in the span.
struct SavePart {
    mp4::VideoConfig config;
    std::vector<ring::Sample> video;
    std::vector<ring::Sample> audio;
};

// Cuts [start, end] out of the rings: older segments first, then the current ring. Parts with less than
// one second of video are left out. The stream description of the current ring is read again after the
// cut; when a pipeline restart slipped in between, the cut is made again so that samples are never
// paired with the wrong description.
// `after_cut` runs between the cut and the second look (tests use it to restart the pipeline there).
std::vector<SavePart> collect_parts(shared::Shared& shared, Ticks start, Ticks end,
                                    std::function<void()> const& after_cut = {});

// Writes a clip's thumbnail when an image arrived. Its failure is not the clip's: the clip is whole without it
// and the page shows a placeholder, so neither a save nor a recording fails for it.
void write_thumbnail(std::optional<shared::Thumbnail> const& image, std::filesystem::path const& folder,
                     std::string_view id);

// Queues a save of the last `secs` seconds. Never blocks.
void save_last_seconds(Engine& engine, std::uint32_t secs);

// Body of "quillmar-saver": handles requests one at a time until the Engine or every sender is gone.
void saver_loop(channel::Receiver<SaveRequest> requests, std::weak_ptr<Engine> engine);


// The local time as "2025-03-07 21-04-09".
std::string local_stamp();
std::string local_stamp_at(std::chrono::system_clock::time_point when);
// The hour and minute of such a stamp as clip titles show them: "21h04".
std::string title_clock(std::string_view stamp);

// Whole seconds since 1970 (UTC), never negative: the creation time of a new clip's record.
std::int64_t unix_seconds_now();

}
