#include "engine/shared.h"

#include <gtest/gtest.h>

namespace {

constexpr std::int64_t second = 10'000'000;

Packet packet(std::int64_t time, bool keyframe, std::size_t size = 100)
{
    return Packet { make_shared_bytes(std::vector<std::uint8_t>(size, 7)), time,
                    static_cast<std::uint8_t>(keyframe ? Packet::keyframe_flag : 0) };
}

mp4::VideoConfig config(std::uint32_t width)
{
    mp4::VideoConfig value;
    value.record = { 1, 2, 3 };
    value.width = width;
    value.height = 720;
    return value;
}

// One pipeline start: a stream description, then a second of video.
void run_segment(shared::Shared& shared, std::uint32_t width, std::int64_t start)
{
    shared::store_video_config(shared, config(width));
    shared::push_video(shared, packet(start, true));
    shared::push_video(shared, packet(start + second / 2, false));
}

std::uint64_t video_ring_id(shared::Shared& shared)
{
    return shared.rings.with([](shared::Rings& rings) { return rings.video.id; });
}

}

TEST(SharedNewSegment, ThreeRestartsKeepTheLastTwoRecords)
{
    shared::Shared shared;
    std::vector<std::uint64_t> retired;
    for (std::uint32_t restart = 1; restart <= 3; ++restart) {
        run_segment(shared, 100 * restart, restart * 10 * second);
        retired.push_back(video_ring_id(shared));
        shared::new_segment(shared);
    }
    shared.rings.with([&](shared::Rings& rings) {
        ASSERT_EQ(rings.segments.size(), 2u);
        EXPECT_EQ(rings.segments[0].config.width, 200u);
        EXPECT_EQ(rings.segments[0].ring.id, retired[1]);
        EXPECT_EQ(rings.segments[1].config.width, 300u);
        EXPECT_EQ(rings.segments[1].ring.id, retired[2]);
        EXPECT_TRUE(rings.video.samples.empty());
    });
    EXPECT_FALSE(shared.video_config.copy());
}

TEST(SharedNewSegment, KeepsNoRecordWithoutConfigOrSamples)
{
    struct Row {
        char const* name;
        bool with_config;
        bool with_samples;
    };
    constexpr Row rows[] = { { "empty ring", true, false }, { "no keyframe encoded", false, true }, { "nothing", false, false } };
    for (auto const& row : rows) {
        SCOPED_TRACE(row.name);
        shared::Shared shared;
        if (row.with_config)
            shared::store_video_config(shared, config(640));
        if (row.with_samples)
            shared::push_video(shared, packet(second, true));
        shared.frames = 12;
        shared.drops = 3;
        auto before = video_ring_id(shared);
        shared::new_segment(shared);
        shared.rings.with([&](shared::Rings& rings) {
            EXPECT_TRUE(rings.segments.empty());
            EXPECT_GT(rings.video.id, before);
        });
        EXPECT_EQ(shared.frames.load(), 0u);
        EXPECT_EQ(shared.drops.load(), 0u);
    }
}

TEST(SharedNewSegment, StopsAnAttachedRecordingSoItEndsOnTheOldStream)
{
    shared::Shared shared;
    run_segment(shared, 640, second);
    auto [sink, live] = channel::make<shared::LiveSample>();
    shared.rings.with([&](shared::Rings& rings) { rings.sink = std::move(sink); });
    shared::push_video(shared, packet(2 * second, false));

    shared::new_segment(shared);
    // Samples of the restarted encoder must not reach the old recording.
    shared::store_video_config(shared, config(1280));
    shared::push_video(shared, packet(3 * second, true));
    shared::push_audio(shared, { 1, 2 }, 3 * second);

    auto first = live.try_recv();
    ASSERT_TRUE(first);
    EXPECT_TRUE(std::holds_alternative<shared::LiveSample::Video>(first->value));
    auto second_message = live.try_recv();
    ASSERT_TRUE(second_message);
    EXPECT_TRUE(std::holds_alternative<shared::LiveSample::Stop>(second_message->value));
    channel::RecvStatus status;
    EXPECT_FALSE(live.try_recv(&status));
    EXPECT_EQ(status, channel::RecvStatus::Closed);
    EXPECT_FALSE(shared.rings.with([](shared::Rings& rings) { return rings.sink.has_value(); }));
}

TEST(SharedPushVideo, KeyframeRetiresRecordsOutsideWindowOrBudget)
{
    shared::Shared shared;
    shared::set_ring_window(shared, 10, 1'000'000); // window 12 s
    run_segment(shared, 1, 0);                      // newest sample at 0.5 s
    shared::new_segment(shared);
    run_segment(shared, 2, 5 * second);             // newest at 5.5 s
    shared::new_segment(shared);

    // A delta frame never retires anything.
    shared::push_video(shared, packet(13 * second, false));
    EXPECT_EQ(shared.rings.with([](shared::Rings& rings) { return rings.segments.size(); }), 2u);

    // Keyframe at 14 s: cutoff 2 s, so the first segment (ending at 0.5 s) leaves.
    shared::push_video(shared, packet(14 * second, true));
    shared.rings.with([](shared::Rings& rings) {
        ASSERT_EQ(rings.segments.size(), 1u);
        EXPECT_EQ(rings.segments[0].config.width, 2u);
    });

    // Over the byte budget: the oldest remaining record goes too.
    shared::set_ring_window(shared, 10, 250);
    shared::push_video(shared, packet(15 * second, true));
    EXPECT_EQ(shared.rings.with([](shared::Rings& rings) { return rings.segments.size(); }), 0u);
}
