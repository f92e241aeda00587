#include <gtest/gtest.h>

#include "engine/video.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

TEST(VideoScaleToResolution, NeverScalesUpAndKeepsEvenSizes)
{
    struct Row {
        std::uint8_t resolution;
        std::uint32_t w, h, want_w, want_h;
    };
    Row const rows[] = {
        { 1, 2560, 1440, 1920, 1080 },
        { 1, 3440, 1440, 2580, 1080 },
        { 4, 1366, 768, 1366, 768 },
        { 3, 1920, 1080, 1920, 1080 },
        { 0, 1920, 1080, 1280, 720 },
        { 0, 1080, 1920, 404, 720 },
        { 4, 1367, 769, 1366, 768 },
        { 2, 1280, 720, 1280, 720 },
        { 4, 1, 1, 2, 2 },
        { 0, 1366, 768, 1280, 720 },
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

TEST(VideoPickMonitor, FallsBackToThePrimary)
{
    std::vector<platform::MonitorInfo> const monitors { { "HDMI-1", 0, 0, 1920, 1080, 60, true },
        { "DP-2", 1920, 0, 2560, 1440, 144, false } };
    EXPECT_EQ(video::pick_monitor(monitors, "DP-2")->name, "DP-2");
    EXPECT_EQ(video::pick_monitor(monitors, "DP-9")->name, "HDMI-1");
    EXPECT_EQ(video::pick_monitor(monitors, std::nullopt)->name, "HDMI-1");
    EXPECT_EQ(video::pick_monitor(monitors, "dp-2")->name, "HDMI-1"); // byte for byte
    EXPECT_FALSE(video::pick_monitor({}, "DP-2"));
}

TEST(VideoPacer, DeadlinesAreAbsolute)
{
    video::Pacer pacer(1'000, 60);
    EXPECT_EQ(pacer.interval(), 166'666);
    for (std::int64_t k = 1; k <= 120; ++k) {
        auto const slot = pacer.next(1'000 + (k - 1) * 10'000'000 / 60);
        EXPECT_EQ(slot.deadline, 1'000 + k * 10'000'000 / 60);
        EXPECT_EQ(slot.dropped, 0u);
    }
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

TEST(VideoBackoff, DoublesUpToAMinuteAndResetsAfterALongRun)
{
    video::Backoff backoff;
    std::int64_t const quick = 10'000'000;
    std::vector<std::uint32_t> pauses;
    for (int i = 0; i < 6; ++i)
        pauses.push_back(backoff.next(quick));
    EXPECT_EQ(pauses, (std::vector<std::uint32_t> { 4, 8, 16, 32, 60, 60 }));
    EXPECT_EQ(backoff.next(30 * 10'000'000 + 1), 2u);
    EXPECT_EQ(backoff.next(30 * 10'000'000), 4u);
}

TEST(VideoErrorDedup, ReportsOnlyChangedTexts)
{
    video::ErrorDedup dedup;
    EXPECT_TRUE(dedup.is_new("Capture interrompue : a"));
    EXPECT_FALSE(dedup.is_new("Capture interrompue : a"));
    EXPECT_TRUE(dedup.is_new("Capture interrompue : b"));
    EXPECT_TRUE(dedup.is_new("Capture interrompue : a"));
}

TEST(VideoToRingForm, H264KeepsSlicesBehindLengths)
{
    Bytes const au { 0, 0, 0, 1, 0x09, 0xf0, // access unit delimiter
        0, 0, 0, 1, 0x67, 0x64, 0x00, 0x28, 0xac, // SPS
        0, 0, 0, 1, 0x68, 0xee, 0x3c, 0x80, // PPS
        0, 0, 1, 0x06, 0x05, 0x01, // SEI stays
        0, 0, 1, 0x65, 0x88, 0x84, 0x00 }; // IDR slice (last unit keeps its trailing zero)
    Bytes const want { 0, 0, 0, 3, 0x06, 0x05, 0x01, 0, 0, 0, 4, 0x65, 0x88, 0x84, 0x00 };
    EXPECT_EQ(video::to_ring_form(0, au), want);
}

TEST(VideoToRingForm, HevcDropsParameterSetsAndDelimiters)
{
    Bytes const au { 0, 0, 0, 1, 0x46, 0x01, 0x50, // AUD (35)
        0, 0, 0, 1, 0x40, 0x01, 0x0c, // VPS (32)
        0, 0, 0, 1, 0x42, 0x01, 0x01, // SPS (33)
        0, 0, 0, 1, 0x44, 0x01, 0xc1, // PPS (34)
        0, 0, 0, 1, 0x4e, 0x01, 0x05, // prefix SEI (39) stays
        0, 0, 0, 1, 0x26, 0x01, 0xaf, 0x11 }; // IDR_W_RADL (19)
    Bytes const want { 0, 0, 0, 3, 0x4e, 0x01, 0x05, 0, 0, 0, 4, 0x26, 0x01, 0xaf, 0x11 };
    EXPECT_EQ(video::to_ring_form(1, au), want);
}

TEST(VideoToRingForm, Av1DropsTemporalDelimiters)
{
    Bytes const td { 0x12, 0x00 };
    Bytes const sequence_header { 0x0a, 0x03, 0x00, 0x00, 0x00 };
    Bytes const frame { 0x32, 0x02, 0xab, 0xcd };
    Bytes au = td;
    au.insert(au.end(), sequence_header.begin(), sequence_header.end());
    au.insert(au.end(), frame.begin(), frame.end());
    Bytes want = sequence_header;
    want.insert(want.end(), frame.begin(), frame.end());
    EXPECT_EQ(video::to_ring_form(2, au), want);
}

}
