// The toast's picture, and the real toast window under the test desktop's X server.
#include "base/threads.h"
#include "engine/toast.h"

#include <algorithm>
#include <cstdlib>

#include <gtest/gtest.h>

#include "tests/support/media_check.h"

// Xlib defines None, Status and Bool as macros: it comes after every C++ header.
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/extensions/shape.h>

namespace {

std::vector<std::uint8_t> draw(toast::ToastState const& state, float t)
{
    std::vector<std::uint8_t> pixels(static_cast<std::size_t>(state.width) * state.height * 4);
    toast::render(state, toast::animate(t), pixels);
    return pixels;
}

Window find_toast(Display* d)
{
    Window root_return, parent;
    Window* children = nullptr;
    unsigned count = 0;
    Window found = None;
    if (!XQueryTree(d, DefaultRootWindow(d), &root_return, &parent, &children, &count))
        return None;
    for (unsigned i = 0; i < count; ++i) {
        XClassHint hint {};
        if (XGetClassHint(d, children[i], &hint)) {
            if (hint.res_class && std::string(hint.res_class) == "QuillmarToast")
                found = children[i];
            XFree(hint.res_name);
            XFree(hint.res_class);
        }
    }
    if (children)
        XFree(children);
    return found;
}

bool mapped(Display* d, Window w)
{
    XWindowAttributes attributes {};
    return XGetWindowAttributes(d, w, &attributes) && attributes.map_state == IsViewable;
}

}

TEST(ToastRender, TransparentAtStartAndStillDuringHold)
{
    platform::ToastMonitor const monitor { 0, 0, 1920, 1080, 1.0f };
    auto state = toast::state_from(toast::layout(monitor, { 80, 18 }, { 0, 0 }), 1.0f, toast::Kind::Ok);
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

TEST(ToastWindow, ShowsClickThroughThenHides)
{
    if (!std::getenv("DISPLAY"))
        GTEST_SKIP() << "needs the test desktop";
    ASSERT_TRUE(threads::spawn_detached("quillmar-toast", [] { toast::toast_thread(toast::first_surface(platform::toast_drivers())); }));
    Display* d = XOpenDisplay(nullptr);
    ASSERT_NE(d, nullptr);
    Window w = None;
    ASSERT_TRUE(media::poll_until([&] { return (w = find_toast(d)) != None; }));
    EXPECT_FALSE(mapped(d, w));

    toast::post(toast::Kind::Ok, "Clip gardé", "Partie · 30 s");
    ASSERT_TRUE(media::poll_until([&] { return mapped(d, w); }));
    XWindowAttributes attributes {};
    XGetWindowAttributes(d, w, &attributes);
    EXPECT_TRUE(attributes.override_redirect);
    EXPECT_EQ(attributes.height, 98);
    int count = -1, ordering = 0;
    XRectangle* input = XShapeGetRectangles(d, w, ShapeInput, &count, &ordering);
    EXPECT_EQ(count, 0) << "the toast must let clicks through";
    if (input)
        XFree(input);

    // Hidden again once its animation is over.
    EXPECT_TRUE(media::poll_until([&] { return !mapped(d, w); }));
    XCloseDisplay(d);
}
