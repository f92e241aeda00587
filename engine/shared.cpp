#include "engine/shared.h"

#include <limits>

namespace shared {

namespace {

std::atomic<std::uint64_t> g_next_ring_id { 1 };

ring::Ring fresh_ring(std::uint64_t id)
{
    ring::Ring ring(id);
    ring.window = initial_ring_window;
    ring.byte_limit = ring::no_byte_limit;
    return ring;
}

// Sends on the sink when one is attached. A recording whose receiver is gone drops the message; it removes
// the sink itself.
void forward(Rings& rings, LiveSample sample)
{
    if (rings.sink)
        rings.sink->send(std::move(sample));
}

}

std::uint64_t next_ring_id() { return g_next_ring_id.fetch_add(1); }

Shared::Shared()
    : rings([] {
        // Named temporaries fix the order: the video ring takes its id before the audio ring.
        auto video = fresh_ring(next_ring_id());
        auto audio = fresh_ring(next_ring_id());
        return Rings { std::nullopt, std::move(video), std::move(audio), {} };
    }())
{
}

void push_audio(Shared& shared, std::vector<std::uint8_t> data, Ticks time)
{
    Packet packet { make_shared_bytes(std::move(data)), time, Packet::keyframe_flag };
    shared.rings.with([&](Rings& rings) {
        rings.audio.push(packet);
        forward(rings, LiveSample { LiveSample::Audio { std::move(packet) } });
    });
}

void push_video(Shared& shared, Packet packet)
{
    push_video(shared, std::move(packet), shared.generation.load());
}

void push_video(Shared& shared, Packet packet, std::uint64_t generation)
{
    shared.rings.with([&](Rings& rings) {
        if (shared.generation.load() != generation)
            return;
        if (packet.is_keyframe() && !rings.segments.empty()) {
            Ticks cutoff = packet.time - rings.video.window;
            std::erase_if(rings.segments, [&](SegmentRecord const& record) {
                return record.ring.samples.empty() || record.ring.samples.back().time < cutoff;
            });
            auto total = [&] {
                std::uint64_t sum = rings.video.total_bytes + rings.audio.total_bytes;
                for (auto const& record : rings.segments)
                    sum += record.ring.total_bytes;
                return sum;
            };
            while (!rings.segments.empty() && total() > rings.video.byte_limit)
                rings.segments.erase(rings.segments.begin());
        }
        rings.video.push(packet);
        forward(rings, LiveSample { LiveSample::Video { std::move(packet) } });
    });
}

bool store_video_config(Shared& shared, mp4::VideoConfig config)
{
    return store_video_config(shared, std::move(config), shared.generation.load());
}

bool store_video_config(Shared& shared, mp4::VideoConfig config, std::uint64_t generation)
{
    return shared.video_config.with([&](std::optional<mp4::VideoConfig>& stored) {
        if (stored || shared.generation.load() != generation)
            return false;
        stored = std::move(config);
        return true;
    });
}

void new_segment(Shared& shared)
{
    shared.generation.fetch_add(1);
    auto config = shared.video_config.with([](std::optional<mp4::VideoConfig>& stored) {
        return std::exchange(stored, std::nullopt);
    });

    // What leaves the lock is destroyed after it is released: dropping a ring frees its buffers and may
    // close segment files.
    std::optional<SegmentRecord> dropped;
    std::optional<ring::Ring> old_ring;
    shared.rings.with([&](Rings& rings) {
        auto fresh = fresh_ring(next_ring_id());
        fresh.window = rings.video.window;
        fresh.byte_limit = rings.video.byte_limit;
        old_ring.emplace(std::exchange(rings.video, std::move(fresh)));
        if (config && !old_ring->samples.empty()) {
            rings.segments.push_back(SegmentRecord { std::move(*config), std::move(*old_ring) });
            old_ring.reset();
            if (rings.segments.size() > max_segment_records) {
                dropped.emplace(std::move(rings.segments.front()));
                rings.segments.erase(rings.segments.begin());
            }
        }
        // A recording started on the old stream cannot take samples of the new one: its header describes
        // the old encoder's output. Stopping it here lets it finish as a valid file.
        if (rings.sink) {
            auto sink = std::move(*rings.sink);
            rings.sink.reset();
            sink.send(LiveSample { LiveSample::Stop {} });
        }
    });
    dropped.reset();
    old_ring.reset();

    shared.frames.store(0, std::memory_order_relaxed);
    shared.drops.store(0, std::memory_order_relaxed);
}

void set_ring_window(Shared& shared, std::uint32_t secs, std::uint64_t byte_limit)
{
    Ticks window = Ticks { secs } * ticks::ticks_per_second + 2 * ticks::ticks_per_second;
    shared.rings.with([&](Rings& rings) {
        rings.video.window = window;
        rings.video.byte_limit = byte_limit;
        rings.video.evict();
        rings.audio.window = window;
        rings.audio.byte_limit = byte_limit;
        rings.audio.evict();
    });
}

namespace {

ring::Ring empty_like(ring::Ring const& ring)
{
    ring::Ring empty(ring.id);
    empty.window = ring.window;
    empty.byte_limit = ring.byte_limit;
    return empty;
}

}

void clear_buffers(Shared& shared)
{
    // Moved out under the lock and freed after it: dropping samples releases buffers and closes segment files.
    ring::Ring old_video;
    ring::Ring old_audio;
    std::vector<SegmentRecord> old_segments;
    shared.generation.fetch_add(1);
    shared.rings.with([&](Rings& rings) {
        old_video = std::exchange(rings.video, empty_like(rings.video));
        old_audio = std::exchange(rings.audio, empty_like(rings.audio));
        old_segments = std::exchange(rings.segments, {});
    });
    shared.video_config.set(std::nullopt);
    shared.level_history.with([](std::deque<std::uint8_t>& levels) { levels.clear(); });
    shared.status.with([](PipelineStatus& status) {
        status.running = false;
        status.error.reset();
    });
}

void raise_meter(std::atomic<std::uint32_t>& meter, std::uint32_t peak)
{
    auto current = meter.load(std::memory_order_relaxed);
    while (current < peak && !meter.compare_exchange_weak(current, peak, std::memory_order_relaxed)) { }
}

void push_level(Shared& shared, std::uint8_t level)
{
    shared.level_history.with([&](std::deque<std::uint8_t>& levels) {
        levels.push_back(level);
        while (levels.size() > max_level_history)
            levels.pop_front();
    });
}

channel::Receiver<Thumbnail> request_thumbnail(Shared& shared)
{
    auto [sender, receiver] = channel::make<Thumbnail>();
    std::optional<channel::Sender<Thumbnail>> previous;
    shared.thumbnail_request.with([&](std::optional<channel::Sender<Thumbnail>>& slot) {
        previous = std::exchange(slot, std::move(sender));
    });
    return std::move(receiver);
}

std::optional<channel::Sender<Thumbnail>> take_thumbnail_request(Shared& shared)
{
    return shared.thumbnail_request.with(
        [](std::optional<channel::Sender<Thumbnail>>& slot) { return std::exchange(slot, std::nullopt); });
}

}
