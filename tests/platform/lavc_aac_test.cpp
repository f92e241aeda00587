// FFmpeg's AAC encoder behind the seam: its stream description and the times it gives its frames.

#include "platform/aac_encoder.h"

#include <gtest/gtest.h>

#include <cmath>

#include "engine/audio.h"

namespace {

std::vector<std::int16_t> sine_block(std::uint64_t first_frame)
{
    std::vector<std::int16_t> block(audio::block_samples);
    for (std::size_t i = 0; i < audio::block_frames; ++i) {
        double t = double(first_frame + i) / 48'000.0;
        auto value = std::int16_t(std::lround(12'000.0 * std::sin(2.0 * M_PI * 1'000.0 * t)));
        block[2 * i] = value;
        block[2 * i + 1] = value;
    }
    return block;
}

// The first frame carries the encoder's priming, one block before the first input; the others follow on the
// input clock, so decoded sound lines up with the times the mixer gave.
TEST(LavcAac, FramesLagOneBlockAndPrimingStartsOneBlockEarly)
{
    auto encoder = platform::lavc_aac_driver.open();
    ASSERT_TRUE(encoder) << encoder.error();
    constexpr audio::Ticks base = 77'000'000'001;
    std::vector<platform::AacFrame> frames;
    std::vector<std::size_t> after_each;
    for (std::uint64_t block = 0; block < 5; ++block) {
        auto done = (*encoder)->encode(sine_block(block * 1'024), audio::input_time(base, block * 1'024), frames);
        ASSERT_TRUE(done) << done.error();
        after_each.push_back(frames.size());
    }
    EXPECT_EQ(after_each, (std::vector<std::size_t> { 0, 1, 2, 3, 4 }));
    ASSERT_EQ(frames.size(), 4u);
    EXPECT_EQ(frames[0].time, base - 213'333);
    EXPECT_EQ(frames[1].time, base);
    EXPECT_EQ(frames[2].time, base + 213'333);
    EXPECT_EQ(frames[3].time, base + 426'666);
    for (auto const& frame : frames) {
        EXPECT_GT(frame.bytes.size(), 4u);
        // Raw frames: no ADTS sync word in front.
        EXPECT_FALSE(frame.bytes[0] == 0xFF && (frame.bytes[1] & 0xF0) == 0xF0);
    }
}

}
