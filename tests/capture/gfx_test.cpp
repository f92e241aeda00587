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
        { 2560, 1080, 1920, 1080, { 0, 134, 1920, 944 } }, // wide: 810 high at top 134
        { 1440, 1080, 1920, 1080, { 240, 0, 1680, 1080 } }, // 4:3: 1440 wide at left 240
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

}
