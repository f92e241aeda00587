#include <gtest/gtest.h>

#include "engine/video.h"

namespace {

TEST(VideoScaleToResolution, NeverScalesUpAndKeepsEvenSizes)
{
    struct Row {
        settings::Resolution resolution;
        std::uint32_t w, h, want_w, want_h;
    };
    using enum settings::Resolution;
    Row const rows[] = {
        { P1080, 2560, 1440, 1920, 1080 },
        { Source, 1366, 768, 1366, 768 },
        { P720, 1920, 1080, 1280, 720 },
        { P720, 1080, 1920, 404, 720 },
        { Source, 1367, 769, 1366, 768 },
        { Source, 1, 1, 2, 2 },
        { P1080, 5120, 2160, 2560, 1080 },
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
    auto const av1_missing = video::choose_encoder({ Codec::H264 }, Codec::Av1, 1920, 1080, 60, settings::Quality::Standard);
    auto const h264 = video::choose_encoder({ std::begin(all_codecs), std::end(all_codecs) }, Codec::H264, 1920, 1080, 60, settings::Quality::Standard);
    EXPECT_EQ(av1_missing.codec, Codec::H264);
    EXPECT_EQ(av1_missing.bitrate, h264.bitrate) << "the fallback takes H.264's rate, not AV1's";
    auto const hevc = video::choose_encoder({ std::begin(all_codecs), std::end(all_codecs) }, Codec::Hevc, 1920, 1080, 60, settings::Quality::Standard);
    EXPECT_EQ(hevc.codec, Codec::Hevc);
    EXPECT_LT(hevc.bitrate, h264.bitrate);
    auto const odd = video::choose_encoder({ Codec::H264 }, Codec::H264, 1281, 721, 30, settings::Quality::Compact);
    EXPECT_EQ(odd.max_bitrate, odd.bitrate / 2 * 3);
    EXPECT_EQ(video::choose_encoder({}, Codec::Hevc, 1280, 720, 30, settings::Quality::Compact).codec, Codec::H264);
    // Huge sizes saturate instead of wrapping to a tiny rate.
    EXPECT_EQ(video::encoder_bitrate(100'000, 100'000, 240, settings::Quality::High, 1.0), 4'294'967'295u);
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
