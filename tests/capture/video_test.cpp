// The capture side's pure parts: output sizes and letterbox, encoder choice, slot pacing, the frame pool and
// the BGRA to YUV conversion.

#include <gtest/gtest.h>

#include <cstring>
#include <set>

#include "engine/gfx.h"
#include "engine/video.h"
#include "platform/linux/x11_capture.h"

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

TEST(GfxLetterboxRect, CentresAndKeepsEvenEdges)
{
    struct Row {
        std::uint32_t sw, sh, tw, th;
        platform::Rect expected;
    };
    Row const rows[] = {
        { 2560, 1080, 1920, 1080, { 0, 134, 1920, 944 } }, // wide: 810 high at top 134
        { 1080, 1920, 1280, 720, { 438, 0, 842, 720 } }, // portrait: 405 -> 404 wide
        { 0, 0, 1280, 720, { 0, 0, 0, 0 } },
    };
    for (auto const& row : rows) {
        SCOPED_TRACE(testing::Message() << row.sw << "x" << row.sh << " -> " << row.tw << "x" << row.th);
        auto const rect = gfx::letterbox_rect(row.sw, row.sh, row.tw, row.th);
        EXPECT_EQ(rect, row.expected) << rect.left << "," << rect.top << "," << rect.right << "," << rect.bottom;
        EXPECT_EQ(rect.left % 2, 0u);
        EXPECT_EQ(rect.top % 2, 0u);
        EXPECT_EQ(rect.width() % 2, 0u);
        EXPECT_EQ(rect.height() % 2, 0u);
    }
}

// Frames stay with the encoder after the pool that made them is gone (a size change replaces the pool).
TEST(GfxFramePool, NeverHandsOutAFrameStillHeldAndFramesOutliveThePool)
{
    auto pool = std::make_unique<gfx::FramePool>(64, 32, platform::PixelLayout::Nv12, 3);
    auto a = pool->acquire();
    auto b = pool->acquire();
    auto c = pool->acquire();
    ASSERT_TRUE(a && b && c);
    EXPECT_EQ(pool->acquire(), nullptr);
    auto* second = b.get();
    b.reset();
    auto d = pool->acquire();
    EXPECT_EQ(d.get(), second);
    std::set<std::uint8_t const*> planes { a->planes[0], c->planes[0], d->planes[0] };
    EXPECT_EQ(planes.size(), 3u);
    pool.reset();
    d->planes[0][0] = 200; // still owned memory
    EXPECT_EQ(d->planes[0][0], 200);
}

std::vector<std::uint8_t> solid(std::uint32_t w, std::uint32_t h, std::uint8_t r, std::uint8_t g, std::uint8_t b)
{
    std::vector<std::uint8_t> pixels(std::size_t(w) * h * 4);
    for (std::size_t i = 0; i < pixels.size(); i += 4) {
        pixels[i] = b;
        pixels[i + 1] = g;
        pixels[i + 2] = r;
        pixels[i + 3] = 255;
    }
    return pixels;
}

// Chroma sited left: each chroma sample is centred on the even column, so a red column at an even x weighs
// twice as much as one at the odd column next to it.
TEST(YuvConvert, ChromaIsSitedOnTheEvenColumn)
{
    std::uint32_t const w = 16, h = 2;
    auto pixels = solid(w, h, 128, 128, 128);
    auto paint_red = [&](std::uint32_t x) {
        for (std::uint32_t y = 0; y < h; ++y) {
            pixels[(y * w + x) * 4 + 2] = 255;
            pixels[(y * w + x) * 4 + 1] = 0;
            pixels[(y * w + x) * 4 + 0] = 0;
        }
    };
    paint_red(4); // even: under chroma sample 2
    paint_red(9); // odd: between chroma samples 4 and 5
    gfx::FramePool pool(w, h, platform::PixelLayout::I420, 1);
    auto frame = pool.acquire();
    platform::yuv::bgra_to_yuv({ pixels.data(), w, h, w * 4 }, *frame);
    std::uint8_t const* v = frame->planes[2];
    int const centre = v[2] - 128;
    EXPECT_GT(centre, 40);
    EXPECT_NEAR(v[4] - 128, centre / 2.0, 2);
    EXPECT_NEAR(v[5] - 128, centre / 2.0, 2);
    EXPECT_NEAR(v[1], 128, 1);
    EXPECT_NEAR(v[3], 128, 1);
    EXPECT_NEAR(v[6], 128, 1);
}

TEST(YuvConvert, ConverterScalesIntoTheLetterboxAndLeavesTheBorders)
{
    std::uint32_t const sw = 400, sh = 300, ow = 320, oh = 180;
    auto pixels = solid(sw, sh, 255, 255, 255);
    auto rect = gfx::letterbox_rect(sw, sh, ow, oh); // 240 wide at left 40
    auto converter = platform::yuv::converter(sw, sh, rect);
    gfx::FramePool pool(ow, oh, platform::PixelLayout::Nv12, 1);
    auto frame = pool.acquire();
    converter->convert({ pixels.data(), sw, sh, sw * 4 }, *frame);
    auto luma = [&](std::uint32_t x, std::uint32_t y) { return frame->planes[0][y * frame->strides[0] + x]; };
    EXPECT_EQ(luma(0, 90), 16);
    EXPECT_EQ(luma(39, 90), 16);
    EXPECT_EQ(luma(40, 90), 235);
    EXPECT_EQ(luma(279, 179), 235);
    EXPECT_EQ(luma(280, 0), 16);
    EXPECT_EQ(frame->planes[1][45 * frame->strides[1] + 10], 128);
}

// A large picture is converted in two bands on two threads; the seam must not show. The vector row loops
// give the bytes of the portable ones, including the tails of rows that are not a whole number of steps.
TEST(YuvConvert, TwoBandsAndVectorLoopsEqualOnePortablePass)
{
    for (auto [w, h] : { std::pair<std::uint32_t, std::uint32_t> { 1280, 722 }, { 62, 6 } }) {
        std::vector<std::uint8_t> pixels(std::size_t(w) * h * 4);
        for (std::size_t i = 0; i < pixels.size(); ++i)
            pixels[i] = std::uint8_t(i * 7 + i / 4099 + (i * i) / 13);
        platform::BgraImage const image { pixels.data(), w, h, std::size_t(w) * 4 };
        for (auto layout : { platform::PixelLayout::Nv12, platform::PixelLayout::I420 }) {
            gfx::FramePool pool(w, h, layout, 3);
            auto banded = pool.acquire();
            auto single = pool.acquire();
            auto portable = pool.acquire();
            platform::yuv::converter(w, h, { 0, 0, w, h })->convert(image, *banded);
            platform::yuv::bgra_to_yuv(image, *single);
            platform::yuv::use_vector_loops(false);
            platform::yuv::bgra_to_yuv(image, *portable);
            platform::yuv::use_vector_loops(true);
            int const planes = layout == platform::PixelLayout::Nv12 ? 2 : 3;
            for (int p = 0; p < planes; ++p) {
                std::uint32_t const rows = p == 0 ? h : h / 2;
                std::uint32_t const bytes = p == 0 || layout == platform::PixelLayout::Nv12 ? w : w / 2;
                for (std::uint32_t y = 0; y < rows; ++y) {
                    auto row = [&](auto const& frame) { return frame->planes[p] + y * frame->strides[p]; };
                    ASSERT_EQ(std::memcmp(row(banded), row(portable), bytes), 0) << w << " plane " << p << " row " << y;
                    ASSERT_EQ(std::memcmp(row(single), row(portable), bytes), 0) << w << " plane " << p << " row " << y;
                }
            }
        }
    }
}

}
