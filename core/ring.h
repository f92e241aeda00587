#pragma once
// The encoded samples of one stream (the capture's video or audio) kept for a sliding time window and under a
// byte budget, always starting on a keyframe, with the keyframe times indexed so that a save can begin on the
// keyframe at or before its start.
//
// A Ring has no lock of its own: every method runs under the lock of the record that holds it (the encoder,
// audio, spill and saver threads share it there). The lists returned by the queries own shared references to
// the payload buffers and segment files, so they stay valid after the lock is released, whatever the ring
// does meanwhile. Encoded bytes are never copied.

#include <cstdint>
#include <deque>
#include <limits>
#include <memory>
#include <utility>
#include <variant>
#include <vector>

#include "core/packet.h"

namespace spill {
class SpillFile;
}

namespace ring {

// The bytes are in memory, shared with the Packet they came from.
struct Memory {
    SharedBytes data;
};

// The bytes were moved to a segment file (or live in the source clip being trimmed). Holding the file keeps it
// open, and a segment file disappears when its last holder lets go.
struct Spilled {
    std::uint32_t len { 0 };
    std::uint64_t offset { 0 };
    std::shared_ptr<spill::SpillFile> file;
};

using Payload = std::variant<Memory, Spilled>;

struct Sample {
    Payload payload;
    std::int64_t time { 0 };  // 100 ns ticks, decode order
    std::uint8_t flags { 0 }; // bit 0: keyframe
    // Ticks the sample is shown after its time (negative: before). Only a clip cut from a file with reordered
    // frames (B-frames) has any; the encoders here never reorder. 32 bits fill the padding after flags.
    std::int32_t composition { 0 };

    std::uint64_t size() const;
    bool is_keyframe() const { return flags & Packet::keyframe_flag; }
    bool in_memory() const { return std::holds_alternative<Memory>(payload); }
};

constexpr std::int64_t default_window_ticks = 1'200'000'000; // 120 s
constexpr std::uint64_t no_byte_limit = std::numeric_limits<std::uint64_t>::max();

// Samples are pushed in non-decreasing time order by their producer; the ring neither checks nor sorts.
// Invariants whenever the owning lock is released: the first sample is a keyframe whose time is keyframes[0];
// keyframes holds exactly the times of the keyframes present; total_bytes and memory_bytes are the sums of the
// sizes of all samples and of the in-memory ones.
struct Ring {
    std::deque<Sample> samples;
    std::deque<std::int64_t> keyframes;
    std::uint64_t id { 0 };
    std::uint64_t total_bytes { 0 };
    std::uint64_t memory_bytes { 0 };
    std::int64_t window { default_window_ticks };
    std::uint64_t byte_limit { no_byte_limit };

    Ring() = default;
    explicit Ring(std::uint64_t ring_id) : id(ring_id) {}

    // Appends a Memory sample, then evicts. A non-keyframe offered to an empty ring is dropped.
    void push(Packet packet);
    // Drops whole keyframe groups from the front while the second group starts at or before newest − window,
    // or while total_bytes is over byte_limit; the last group always stays, however large.
    void evict();
    // The samples of [keyframe at or before start (the first keyframe when start precedes them all), end).
    std::vector<Sample> samples_from_keyframe(std::int64_t start, std::int64_t end) const;
    // The samples with from <= time < to, sharing their payloads.
    std::vector<Sample> samples_between(std::int64_t from, std::int64_t to) const;
    // (time, buffer) of every in-memory sample with time < t, oldest first.
    std::vector<std::pair<std::int64_t, SharedBytes>> unspilled_before(std::int64_t t) const;
    // Drops every sample; id, window and byte_limit stay.
    void clear();

    // Turns the sample at `time` (among those sharing that time) from Memory into `spilled`, but only if it is
    // still there, still in memory and still holds the very buffer `data` that was written out (it may have
    // been evicted or replaced meanwhile). memory_bytes drops by its size. Returns whether the swap happened.
    bool mark_spilled(std::int64_t time, SharedBytes const& data, Spilled spilled);

private:
    std::size_t count_before(std::int64_t t) const; // samples with time < t
};

}
