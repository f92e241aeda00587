#include "engine/toast.h"

#include <cmath>

#include <gtest/gtest.h>

namespace {

toast::ToastState state_for(float scale, std::pair<int, int> title, std::pair<int, int> subtext, std::uint8_t kind)
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

TEST(ToastAnimation, FollowsItsTimeline)
{
    auto start = toast::animate(0.0f);
    EXPECT_FLOAT_EQ(start.p, 0.0f);
    EXPECT_FLOAT_EQ(start.a, 0.0f);
    // The spring overshoots its rest size during the entrance.
    float highest = 0;
    for (float t = 0; t < 0.46f; t += 0.01f)
        highest = std::max(highest, toast::animate(t).p);
    EXPECT_GT(highest, 1.0f);
    auto hold = toast::animate(1.0f);
    EXPECT_EQ(hold.p, 1.0f);
    EXPECT_EQ(hold.b, 1.0f);
    auto exit = toast::animate(2.87f);
    EXPECT_NEAR(exit.a, 0.5f, 1e-4);
    EXPECT_NEAR(exit.b, 0.0f, 1e-4);
    EXPECT_TRUE(toast::animate(2.98f).over);
    EXPECT_FALSE(toast::animate(2.97f).over);
}

TEST(ToastRender, TransparentAtStartAndStillDuringHold)
{
    auto state = state_for(1.0f, { 80, 18 }, { 0, 0 }, toast::kind_success);
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

TEST(ToastSlot, KeepsTheLatestMessage)
{
    toast::post(toast::kind_success, "Clip gardé", "30 s");
    toast::post(toast::kind_failure, "Échec", "");
    auto message = toast::current_message();
    EXPECT_EQ(message.title, "Échec");
    EXPECT_EQ(message.kind, toast::kind_failure);
}
