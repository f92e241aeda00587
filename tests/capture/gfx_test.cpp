#include <gtest/gtest.h>

#include <set>

#include "engine/gfx.h"

namespace {

TEST(GfxLetterboxRect, CentresAndKeepsEvenEdges)
{
    struct Row {
        std::uint32_t sw, sh, tw, th;
        platform::Rect expected;
    };
    Row const rows[] = {
        { 1920, 1080, 1920, 1080, { 0, 0, 1920, 1080 } },
        { 2560, 1080, 1920, 1080, { 0, 134, 1920, 944 } }, // wide: 810 high at top 134
        { 1440, 1080, 1920, 1080, { 240, 0, 1680, 1080 } }, // 4:3: 1440 wide at left 240
        { 1080, 1920, 1280, 720, { 438, 0, 842, 720 } }, // portrait: 405 -> 404 wide
        { 1366, 768, 1366, 768, { 0, 0, 1366, 768 } },
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

// A BGRA picture whose pixel (x, y) holds B = x % 256, G = y % 256, R = (x / 256) * 16 + y / 256.
std::vector<std::uint8_t> coordinate_picture(std::uint32_t w, std::uint32_t h)
{
    std::vector<std::uint8_t> pixels(std::size_t(w) * h * 4);
    for (std::uint32_t y = 0; y < h; ++y)
        for (std::uint32_t x = 0; x < w; ++x) {
            std::uint8_t* p = &pixels[(std::size_t(y) * w + x) * 4];
            p[0] = std::uint8_t(x % 256);
            p[1] = std::uint8_t(y % 256);
            p[2] = std::uint8_t((x / 256) * 16 + y / 256);
            p[3] = 255;
        }
    return pixels;
}

TEST(GfxThumbnail, LandscapeUsesTheWholeFrame)
{
    auto pixels = coordinate_picture(1920, 1080);
    auto thumb = gfx::make_thumbnail({ pixels.data(), 1920, 1080, 1920 * 4 });
    ASSERT_EQ(thumb.size(), gfx::thumbnail_bytes);
    // Pixel (0, 0) averages source (0,0), (2,0), (0,2), (2,2) with steps 2 and 2.
    EXPECT_EQ(thumb[0], 1);
    EXPECT_EQ(thumb[1], 1);
    // Last pixel: x1 = 399 * 1920 / 400 = 1915, y1 = 224 * 1080 / 225 = 1075.
    std::size_t const last = (224 * 400 + 399) * 3;
    EXPECT_EQ(thumb[last + 2], (1915 / 256) * 16 + 1075 / 256);
}

TEST(GfxThumbnail, PortraitCropsTheCentreBand)
{
    auto pixels = coordinate_picture(1080, 1920);
    auto thumb = gfx::make_thumbnail({ pixels.data(), 1080, 1920, 1080 * 4 });
    ASSERT_EQ(thumb.size(), gfx::thumbnail_bytes);
    // 1080 x 607 band from row 656: the first row reads rows 656 and 657 (step 1).
    unsigned const y = 656;
    unsigned const expected_red = y / 256; // x / 256 == 0 at the left edge
    EXPECT_EQ(thumb[2], expected_red);
    EXPECT_EQ(thumb[1], ((y % 256) + (y % 256) + ((y + 1) % 256) + ((y + 1) % 256)) / 4);
    // Bottom row: y1 = 224 * 607 / 225 + 656 = 1260.
    std::size_t const bottom = (224 * 400) * 3;
    EXPECT_EQ(thumb[bottom + 1], ((1260 % 256) * 2 + (1261 % 256) * 2) / 4);
}

TEST(GfxFramePool, NeverHandsOutAFrameStillHeld)
{
    gfx::FramePool pool(64, 32, platform::PixelLayout::Nv12, 3);
    auto a = pool.acquire();
    auto b = pool.acquire();
    auto c = pool.acquire();
    ASSERT_TRUE(a && b && c);
    EXPECT_EQ(pool.acquire(), nullptr);
    auto* second = b.get();
    b.reset();
    auto d = pool.acquire();
    EXPECT_EQ(d.get(), second);
    std::set<std::uint8_t const*> planes { a->planes[0], c->planes[0], d->planes[0] };
    EXPECT_EQ(planes.size(), 3u);
}

TEST(GfxFramePool, FramesStartBlackInBothLayouts)
{
    for (auto layout : { platform::PixelLayout::Nv12, platform::PixelLayout::I420 }) {
        gfx::FramePool pool(96, 54, layout, 1);
        auto frame = pool.acquire();
        ASSERT_TRUE(frame);
        EXPECT_EQ(frame->planes[0][95 + 53 * frame->strides[0]], 16);
        int const chroma_planes = layout == platform::PixelLayout::Nv12 ? 1 : 2;
        for (int p = 1; p <= chroma_planes; ++p)
            EXPECT_EQ(frame->planes[p][26 * frame->strides[p]], 128);
    }
}

TEST(GfxFramePool, FrameOutlivesItsPool)
{
    std::shared_ptr<platform::YuvImage> frame;
    {
        gfx::FramePool pool(32, 16, platform::PixelLayout::I420, 2);
        frame = pool.acquire();
    }
    ASSERT_TRUE(frame);
    frame->planes[0][0] = 200; // still owned memory
    EXPECT_EQ(frame->planes[0][0], 200);
}

}
