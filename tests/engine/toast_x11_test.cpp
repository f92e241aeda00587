// The real toast window under the test desktop's X server.
#include "base/threads.h"
#include "engine/toast.h"

#include <cstdlib>

#include <gtest/gtest.h>

#include "tests/support/media_check.h"

// Xlib defines None, Status and Bool as macros: it comes after every C++ header.
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/extensions/shape.h>

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
