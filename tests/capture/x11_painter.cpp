#include "tests/capture/x11_painter.h"

#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include <chrono>

namespace capture_test {

namespace {
unsigned long pixel(Colour c)
{
    return (unsigned long)(c.r) << 16 | (unsigned long)(c.g) << 8 | c.b;
}
}

bool Painter::start()
{
    Display* probe = XOpenDisplay(nullptr);
    if (!probe)
        return false;
    XCloseDisplay(probe);
    m_started = true;
    m_thread = std::thread([this] {
        Display* display = XOpenDisplay(nullptr);
        int const screen = DefaultScreen(display);
        int const width = DisplayWidth(display, screen);
        int const height = DisplayHeight(display, screen);
        XSetWindowAttributes attributes {};
        attributes.override_redirect = True;
        attributes.background_pixel = pixel(background);
        Window window = XCreateWindow(display, RootWindow(display, screen), 0, 0, unsigned(width), unsigned(height), 0,
            CopyFromParent, InputOutput, CopyFromParent, CWOverrideRedirect | CWBackPixel, &attributes);
        XMapRaised(display, window);
        GC gc = XCreateGC(display, window, 0, nullptr);
        // No cursor over the blocks whose colours are checked.
        XWarpPointer(display, None, RootWindow(display, screen), 0, 0, 0, 0, width / 2, height * 3 / 4);
        int frame = 0;
        while (!m_stop.load()) {
            XSetForeground(display, gc, pixel(block_a));
            XFillRectangle(display, window, gc, 0, 0, unsigned(width / 2), unsigned(height / 2));
            XSetForeground(display, gc, pixel(block_b));
            XFillRectangle(display, window, gc, width / 2, 0, unsigned(width - width / 2), unsigned(height / 2));
            XSetForeground(display, gc, pixel(background));
            XFillRectangle(display, window, gc, 0, height / 2, unsigned(width), unsigned(height - height / 2));
            XSetForeground(display, gc, 0xffffff);
            int const x = (frame * 12) % (width - 200);
            XFillRectangle(display, window, gc, x, height / 2 + 100, 200, 200);
            XSync(display, False);
            m_ready.store(true);
            ++frame;
            std::this_thread::sleep_for(std::chrono::milliseconds(16));
        }
        XFreeGC(display, gc);
        XDestroyWindow(display, window);
        XCloseDisplay(display);
    });
    while (!m_ready.load())
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    return true;
}

void Painter::stop()
{
    if (!m_started)
        return;
    m_stop.store(true);
    if (m_thread.joinable())
        m_thread.join();
    m_started = false;
}

}
