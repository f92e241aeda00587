#include <gtest/gtest.h>

#include "engine/video.h"

namespace {

TEST(VideoScaleToResolution, NeverScalesUpAndKeepsEvenSizes)
{
    struct Row {
        std::uint8_t resolution;
        std::uint32_t w, h, want_w, want_h;
    };
    Row const rows[] = {
        { 1, 2560, 1440, 1920, 1080 },
        { 4, 1366, 768, 1366, 768 },
        { 0, 1920, 1080, 1280, 720 },
        { 0, 1080, 1920, 404, 720 },
        { 4, 1367, 769, 1366, 768 },
        { 4, 1, 1, 2, 2 },
        { 1, 5120, 2160, 2560, 1080 },
    };
    for (auto const& row : rows) {
        SCOPED_TRACE(testing::Message() << int(row.resolution) << ": " << row.w << "x" << row.h);
        auto const [w, h] = video::scale_to_resolution(row.resolution, row.w, row.h);
        EXPECT_EQ(w, row.want_w);
        EXPECT_EQ(h, row.want_h);
    }
}

TEST(VideoChooseEncoder, FallsBackToH264WithItsFactor)
{
    auto const av1_missing = video::choose_encoder({ 0 }, 2, 1920, 1080, 60, 1);
    auto const h264 = video::choose_encoder({ 0, 1, 2 }, 0, 1920, 1080, 60, 1);
    EXPECT_EQ(av1_missing.codec, 0);
    EXPECT_EQ(av1_missing.bitrate, h264.bitrate) << "the fallback takes H.264's rate, not AV1's";
    auto const hevc = video::choose_encoder({ 0, 1, 2 }, 1, 1920, 1080, 60, 1);
    EXPECT_EQ(hevc.codec, 1);
    EXPECT_LT(hevc.bitrate, h264.bitrate);
    auto const odd = video::choose_encoder({ 0 }, 0, 1281, 721, 30, 0);
    EXPECT_EQ(odd.max_bitrate, odd.bitrate / 2 * 3);
    EXPECT_EQ(video::choose_encoder({}, 7, 1280, 720, 30, 0).codec, 0);
    // Huge sizes saturate instead of wrapping to a tiny rate.
    EXPECT_EQ(video::encoder_bitrate(100'000, 100'000, 240, 2, 1.0), 4'294'967'295u);
}

TEST(VideoPacer, ThreeIntervalsLateDropsTwoDoesNot)
{
    {
        video::Pacer pacer(0, 60);
        auto const slot = pacer.next(166'666 + 2 * 166'666);
        EXPECT_EQ(slot.deadline, 166'666);
        EXPECT_EQ(slot.dropped, 0u);
    }
    {
        video::Pacer pacer(0, 60);
        auto const slot = pacer.next(166'666 + 3 * 166'666);
        EXPECT_EQ(slot.deadline, 3 * 10'000'000 / 60);
        EXPECT_EQ(slot.dropped, 2u);
        EXPECT_EQ(pacer.next(slot.deadline).deadline, 4 * 10'000'000 / 60); // carries on from the new slot
    }
}

}
