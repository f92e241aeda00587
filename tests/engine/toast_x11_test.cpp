// The real toast window under the test desktop's X server.
#include "base/threads.h"
#include "engine/toast.h"

#include <chrono>
#include <cstdlib>
#include <thread>

#include <gtest/gtest.h>

#include "tests/support/media_check.h"

// Xlib defines None, Status and Bool as macros: it comes after every C++ header.
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/extensions/shape.h>

using namespace std::chrono_literals;

namespace {

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

TEST(ToastWindow, ShowsClickThroughThenHides)
{
    if (!std::getenv("DISPLAY"))
        GTEST_SKIP() << "needs the test desktop";
    ASSERT_TRUE(threads::spawn_detached("quillmar-toast", [] { toast::toast_thread(toast::first_surface(platform::toast_drivers())); }));
    Display* d = XOpenDisplay(nullptr);
    ASSERT_NE(d, nullptr);
    Window w = None;
    for (int i = 0; i < 200 && w == None; ++i) {
        std::this_thread::sleep_for(10ms);
        w = find_toast(d);
    }
    ASSERT_NE(w, None);
    EXPECT_FALSE(mapped(d, w));

    auto posted = std::chrono::steady_clock::now();
    toast::post(toast::kind_success, "Clip gardé", "Partie · 30 s");
    bool shown = false;
    for (int i = 0; i < 100 && !shown; ++i) {
        std::this_thread::sleep_for(10ms);
        shown = mapped(d, w);
    }
    ASSERT_TRUE(shown);
    XWindowAttributes attributes {};
    XGetWindowAttributes(d, w, &attributes);
    EXPECT_TRUE(attributes.override_redirect);
    EXPECT_EQ(attributes.height, 98);
    int count = -1, ordering = 0;
    XRectangle* input = XShapeGetRectangles(d, w, ShapeInput, &count, &ordering);
    EXPECT_EQ(count, 0) << "the toast must let clicks through";
    if (input)
        XFree(input);

    // A screenshot during the hold, kept beside the test binary for a person to look at.
    std::this_thread::sleep_for(800ms);
    auto shot = std::filesystem::current_path() / "toast-screenshot.png";
    if (media::have_tool("import"))
        media::run({ "import", "-window", "root", "-crop", "700x140+610+0", shot.string() });
    std::cout << "toast screenshot: " << shot << "\n";

    while (mapped(d, w) && std::chrono::steady_clock::now() - posted < 5s)
        std::this_thread::sleep_for(20ms);
    auto gone_after = std::chrono::steady_clock::now() - posted;
    EXPECT_FALSE(mapped(d, w));
    EXPECT_GT(gone_after, 2800ms);
    EXPECT_LT(gone_after, 3600ms);
    XCloseDisplay(d);
}
