#include <gtest/gtest.h>

#include <cstring>

#include "engine/gfx.h"
#include "platform/linux/x11_capture.h"

namespace {

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
