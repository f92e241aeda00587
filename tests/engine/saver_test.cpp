// The saver's parts of a clip, cut per segment, and the thumbnail it writes beside the clip.

#include "engine/saver.h"

#include <gtest/gtest.h>

#include "engine/thumbnail.h"
#include "tests/support/temp_dir.h"

namespace {

constexpr std::int64_t second = ticks::ticks_per_second;

mp4::VideoConfig config(std::uint8_t tag)
{
    return mp4::VideoConfig { { 1, 0x64, 0, 0x28, tag }, 1920, 1080, Codec::H264 };
}

// Video at 10 frames a second with a keyframe every `gop` seconds, over [from, to).
void push_video(ring::Ring& ring, std::int64_t from, std::int64_t to, int gop = 2)
{
    for (std::int64_t t = from; t < to; t += second / 10) {
        bool key = (t - from) % (gop * second) == 0;
        ring.push(Packet { make_shared_bytes({ 0, 0, 0, 1, 0x65 }), t, key ? Packet::keyframe_flag : std::uint8_t(0) });
    }
}

void push_audio(ring::Ring& ring, std::int64_t from, std::int64_t to)
{
    for (std::int64_t t = from; t < to; t += 213'333)
        ring.push(Packet { make_shared_bytes({ 0x21, 0x10 }), t, Packet::keyframe_flag });
}

}

TEST(SaverParts, OneClipPerSegmentAndShortOnesLeftOut)
{
    shared::Shared shared;
    shared.rings.with([](shared::Rings& rings) {
        // An older segment of 10 s, then one of 0.8 s, then the current ring.
        ring::Ring old;
        push_video(old, 0, 10 * second);
        rings.segments.push_back({ config(1), std::move(old) });
        ring::Ring brief;
        push_video(brief, 10 * second, 10 * second + 8 * second / 10);
        rings.segments.push_back({ config(2), std::move(brief) });
        push_video(rings.video, 11 * second, 20 * second);
        push_audio(rings.audio, 0, 20 * second);
    });
    shared::store_video_config(shared, config(3));
    auto parts = engine::collect_parts(shared, 5 * second, 20 * second);
    ASSERT_EQ(parts.size(), 2u);
    EXPECT_EQ(parts[0].config.record.back(), 1);
    EXPECT_EQ(parts[1].config.record.back(), 3);
    // A segment's audio stops at its last video sample; the current ring's runs to the end of the span.
    EXPECT_LE(parts[0].audio.back().time, parts[0].video.back().time);
    EXPECT_GT(parts[1].audio.back().time, parts[1].video.back().time);

    // Without a stream description the current ring cannot be written.
    shared.video_config.set(std::nullopt);
    EXPECT_EQ(engine::collect_parts(shared, 5 * second, 20 * second).size(), 1u);
}

TEST(SaverParts, RestartBetweenCutAndCheckNeverPairsTheWrongDescription)
{
    shared::Shared shared;
    shared::store_video_config(shared, config(1));
    shared.rings.with([](shared::Rings& rings) { push_video(rings.video, 0, 10 * second); });
    bool restarted = false;
    // A pipeline restart lands right after the first cut: the current ring becomes a segment with
    // description 1 and a new stream with description 2 fills a fresh ring.
    auto parts = engine::collect_parts(shared, 0, 20 * second, [&] {
        if (restarted)
            return;
        restarted = true;
        shared::new_segment(shared);
        shared::store_video_config(shared, config(2));
        shared.rings.with([](shared::Rings& rings) { push_video(rings.video, 10 * second, 20 * second); });
    });
    ASSERT_EQ(parts.size(), 2u);
    EXPECT_EQ(parts[0].config.record.back(), 1);
    EXPECT_LT(parts[0].video.back().time, 10 * second);
    EXPECT_EQ(parts[1].config.record.back(), 2);
    EXPECT_GE(parts[1].video.front().time, 10 * second);
}

using Thumbnail = testing_support::TempDirTest;

TEST_F(Thumbnail, RefusesAnImageOfTheWrongLengthAndKeepsTheOldFile)
{
    auto path = write_file("clip.jpg", "old");
    std::vector<std::uint8_t> short_image(1000);
    EXPECT_FALSE(thumbnail::write_jpeg(short_image, path));
    EXPECT_EQ(read_file(path), "old");
}
