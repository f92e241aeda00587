#include "engine/toast.h"

#include <gtest/gtest.h>

namespace {

toast::ToastState state_for(float scale, std::pair<int, int> title, std::pair<int, int> subtext, toast::Kind kind)
{
    platform::ToastMonitor monitor { 0, 0, 1920, 1080, scale };
    return toast::state_from(toast::layout(monitor, title, subtext), scale, kind);
}

std::vector<std::uint8_t> draw(toast::ToastState const& state, float t)
{
    std::vector<std::uint8_t> pixels(static_cast<std::size_t>(state.width) * state.height * 4);
    toast::render(state, toast::animate(t), pixels);
    return pixels;
}

}

TEST(ToastRender, TransparentAtStartAndStillDuringHold)
{
    auto state = state_for(1.0f, { 80, 18 }, { 0, 0 }, toast::Kind::Ok);
    auto first = draw(state, 0.0f);
    EXPECT_TRUE(std::all_of(first.begin(), first.end(), [](std::uint8_t v) { return v == 0; }));
    auto early = draw(state, 0.5f);
    auto late = draw(state, 2.7f);
    EXPECT_EQ(early, late);
    // The centre is the opaque capsule fill; a corner is nearly clear.
    auto at = [&](int x, int y) { return &late[(static_cast<std::size_t>(y) * state.width + x) * 4]; };
    auto* centre = at(state.width / 2, state.height / 2);
    // 0.97 fill laid over the shadow below it.
    EXPECT_NEAR(centre[3], 250, 2);
    EXPECT_NEAR(centre[2], 23 * 0.97, 2);
    EXPECT_LT(at(0, 0)[3], 5);
    // Premultiplied: no channel exceeds alpha.
    for (std::size_t i = 0; i < late.size(); i += 4)
        ASSERT_LE(std::max({ late[i], late[i + 1], late[i + 2] }), late[i + 3]);
}
