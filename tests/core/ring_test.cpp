#include "core/ring.h"

#include <gtest/gtest.h>

namespace {

constexpr std::int64_t second = 10'000'000;

Packet packet(std::int64_t time, bool key, std::size_t size = 10)
{
    return Packet { make_shared_bytes(std::vector<std::uint8_t>(size, static_cast<std::uint8_t>(time))), time,
                    static_cast<std::uint8_t>(key ? 1 : 0) };
}

std::vector<std::int64_t> times_of(ring::Ring const& ring)
{
    std::vector<std::int64_t> times;
    for (auto const& sample : ring.samples)
        times.push_back(sample.time);
    return times;
}

void expect_counters_match(ring::Ring const& ring)
{
    std::uint64_t total = 0;
    std::uint64_t memory = 0;
    std::vector<std::int64_t> keys;
    for (auto const& sample : ring.samples) {
        total += sample.size();
        if (sample.in_memory())
            memory += sample.size();
        if (sample.is_keyframe())
            keys.push_back(sample.time);
    }
    EXPECT_EQ(ring.total_bytes, total);
    EXPECT_EQ(ring.memory_bytes, memory);
    EXPECT_EQ(std::vector<std::int64_t>(ring.keyframes.begin(), ring.keyframes.end()), keys);
    if (!ring.samples.empty()) {
        EXPECT_TRUE(ring.samples.front().is_keyframe());
    }
}

} // namespace

TEST(RingPush, DropsNonKeyframeOfferedToEmptyRing)
{
    ring::Ring ring(7);
    ring.push(packet(0, false));
    EXPECT_TRUE(ring.samples.empty());
    EXPECT_EQ(ring.total_bytes, 0u);
    EXPECT_EQ(ring.memory_bytes, 0u);
    ring.push(packet(1, true));
    ring.push(packet(2, false));
    EXPECT_EQ(times_of(ring), (std::vector<std::int64_t> { 1, 2 }));
    expect_counters_match(ring);
}

TEST(RingEvict, DropsGroupOnlyWhenSecondKeyframeLeavesWindow)
{
    struct Row {
        std::int64_t newest;
        std::int64_t first_left;
    };
    // Keyframes at 0 s and 10 s, window 120 s: the first group goes once 10 s <= newest - 120 s.
    Row const rows[] = { { 129, 0 }, { 130, 10 }, { 131, 10 } };
    for (auto const& row : rows) {
        SCOPED_TRACE(row.newest);
        ring::Ring ring;
        ring.push(packet(0, true));
        ring.push(packet(5 * second, false));
        ring.push(packet(10 * second, true));
        ring.push(packet(row.newest * second, false));
        EXPECT_EQ(ring.samples.front().time, row.first_left * second);
        expect_counters_match(ring);
    }
}

TEST(RingEvict, DropsOlderGroupWhenOneByteOverBudgetButKeepsTheLast)
{
    ring::Ring ring;
    for (std::int64_t t = 0; t < 4; ++t) // groups [0,1] [2,3], 40 bytes
        ring.push(packet(t * second, t % 2 == 0));
    ring.byte_limit = 40;
    ring.evict();
    EXPECT_EQ(ring.samples.size(), 4u);
    ring.byte_limit = 39;
    ring.evict();
    EXPECT_EQ(times_of(ring), (std::vector<std::int64_t> { 2 * second, 3 * second }));
    expect_counters_match(ring);
    ring.byte_limit = 5; // the one group left stays, over budget
    ring.evict();
    EXPECT_EQ(ring.samples.size(), 2u);
}

TEST(RingEvict, HugeWindowNeverOverflows)
{
    ring::Ring ring;
    ring.window = std::numeric_limits<std::int64_t>::max();
    ring.push(packet(std::numeric_limits<std::int64_t>::min() + 5, true));
    ring.push(packet(-5, true));
    ring.push(packet(0, true));
    EXPECT_EQ(ring.samples.size(), 3u);
}
