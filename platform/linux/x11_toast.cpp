// The toast window: an ARGB override-redirect window with an empty input shape (clicks go through to the
// game), drawn by putting the premultiplied frame straight into it. Text is laid out with Pango. The
// window lives on the toast thread's own X connection. X11 has no way to keep a window out of a screen
// grab, so the toast shows in captures.

#include "platform/toast_window.h"

#include "platform/linux/handles.h"

#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xresource.h>
#include <X11/Xutil.h>
#include <X11/extensions/Xrandr.h>
#include <X11/extensions/shape.h>
#include <cairo.h>
#include <pango/pangocairo.h>

#include "platform/linux/handles.h"

namespace platform {

namespace {

using XDisplay = std::unique_ptr<Display, handles::Free<&XCloseDisplay>>;

// The desktop's own sans-serif stands in for the named family when it is missing.
std::string pango_family(std::string const& family) { return family + ", Cantarell, DejaVu Sans, sans-serif"; }

PangoFontDescription* font_description(ToastFont const& font)
{
    auto* description = pango_font_description_new();
    pango_font_description_set_family(description, pango_family(font.family).c_str());
    pango_font_description_set_weight(description, static_cast<PangoWeight>(font.weight));
    pango_font_description_set_absolute_size(description, static_cast<double>(font.pixel_height) * PANGO_SCALE);
    return description;
}

class X11Toast final : public ToastSurface {
public:
    static Result<std::unique_ptr<ToastSurface>> open()
    {
        XDisplay display(XOpenDisplay(nullptr));
        if (!display)
            return fail("affichage X11 inaccessible");
        int screen = DefaultScreen(display.get());
        Window root = RootWindow(display.get(), screen);
        XVisualInfo info {};
        bool argb = XMatchVisualInfo(display.get(), screen, 32, TrueColor, &info) != 0;
        Visual* visual = argb ? info.visual : DefaultVisual(display.get(), screen);
        int depth = argb ? 32 : DefaultDepth(display.get(), screen);

        XSetWindowAttributes attributes {};
        attributes.override_redirect = True;
        attributes.background_pixel = 0;
        attributes.border_pixel = 0;
        attributes.colormap = XCreateColormap(display.get(), root, visual, AllocNone);
        Window window = XCreateWindow(display.get(), root, 0, 0, 1, 1, 0, depth, InputOutput, visual,
                                      CWOverrideRedirect | CWBackPixel | CWBorderPixel | CWColormap, &attributes);
        if (!window)
            return fail("fenêtre de notification impossible");

        // Clicks pass through: an empty input region.
        XShapeCombineRectangles(display.get(), window, ShapeInput, 0, 0, nullptr, 0, ShapeSet, YXBanded);
        Atom type = XInternAtom(display.get(), "_NET_WM_WINDOW_TYPE", False);
        Atom notification = XInternAtom(display.get(), "_NET_WM_WINDOW_TYPE_NOTIFICATION", False);
        XChangeProperty(display.get(), window, type, XA_ATOM, 32, PropModeReplace,
                        reinterpret_cast<unsigned char*>(&notification), 1);
        XStoreName(display.get(), window, "quill.mar");
        XClassHint hint { const_cast<char*>("QuillmarToast"), const_cast<char*>("QuillmarToast") };
        XSetClassHint(display.get(), window, &hint);

        auto compositor_atom
            = XInternAtom(display.get(), ("_NET_WM_CM_S" + std::to_string(screen)).c_str(), False);
        bool composited = argb && XGetSelectionOwner(display.get(), compositor_atom) != None;
        GC gc = XCreateGC(display.get(), window, 0, nullptr);
        XFlush(display.get());
        return std::unique_ptr<ToastSurface>(
            new X11Toast(std::move(display), window, attributes.colormap, gc, visual, depth, composited));
    }

    ~X11Toast() override
    {
        XFreeGC(m_display.get(), m_gc);
        XDestroyWindow(m_display.get(), m_window);
        XFreeColormap(m_display.get(), m_colormap);
    }

    ToastMonitor foreground_monitor() override
    {
        Display* d = m_display.get();
        Window root = DefaultRootWindow(d);
        ToastMonitor result { 0, 0, DisplayWidth(d, DefaultScreen(d)), DisplayHeight(d, DefaultScreen(d)), dpi_scale() };
        int count = 0;
        XRRMonitorInfo* monitors = XRRGetMonitors(d, root, True, &count);
        if (!monitors || count == 0) {
            if (monitors)
                XRRFreeMonitors(monitors);
            return result;
        }
        int chosen = 0;
        for (int i = 0; i < count; ++i) {
            if (monitors[i].primary)
                chosen = i;
        }
        if (auto centre = active_window_centre()) {
            for (int i = 0; i < count; ++i) {
                auto const& m = monitors[i];
                if (centre->first >= m.x && centre->first < m.x + m.width && centre->second >= m.y
                    && centre->second < m.y + m.height) {
                    chosen = i;
                    break;
                }
            }
        }
        result.left = monitors[chosen].x;
        result.top = monitors[chosen].y;
        result.width = monitors[chosen].width;
        result.height = monitors[chosen].height;
        XRRFreeMonitors(monitors);
        return result;
    }

    std::pair<int, int> measure(std::string_view text, ToastFont const& font) override
    {
        auto* surface = cairo_image_surface_create(CAIRO_FORMAT_A8, 1, 1);
        auto* cr = cairo_create(surface);
        auto size = layout_size(cr, text, font);
        cairo_destroy(cr);
        cairo_surface_destroy(surface);
        return size;
    }

    std::vector<std::uint8_t> text_mask(int width, int height, std::span<ToastText const> texts) override
    {
        std::vector<std::uint8_t> mask(static_cast<std::size_t>(width) * height, 0);
        auto* surface = cairo_image_surface_create(CAIRO_FORMAT_A8, width, height);
        if (cairo_surface_status(surface) != CAIRO_STATUS_SUCCESS) {
            cairo_surface_destroy(surface);
            return mask;
        }
        auto* cr = cairo_create(surface);
        for (auto const& text : texts) {
            auto* layout = pango_cairo_create_layout(cr);
            auto* description = font_description(text.font);
            pango_layout_set_font_description(layout, description);
            pango_layout_set_text(layout, text.text.data(), static_cast<int>(text.text.size()));
            cairo_move_to(cr, text.x, text.y);
            pango_cairo_show_layout(cr, layout);
            pango_font_description_free(description);
            g_object_unref(layout);
        }
        cairo_surface_flush(surface);
        auto* data = cairo_image_surface_get_data(surface);
        int stride = cairo_image_surface_get_stride(surface);
        for (int y = 0; y < height; ++y)
            std::memcpy(&mask[static_cast<std::size_t>(y) * width], data + static_cast<std::size_t>(y) * stride,
                        width);
        cairo_destroy(cr);
        cairo_surface_destroy(surface);
        return mask;
    }

    bool translucent() const override { return m_composited; }

    void show(int x, int y, int width, int height, std::span<std::uint8_t const> bgra,
              std::span<std::pair<int, int> const> opaque_rows) override
    {
        Display* d = m_display.get();
        if (width != m_width || height != m_height || x != m_x || y != m_y) {
            XMoveResizeWindow(d, m_window, x, y, static_cast<unsigned>(width), static_cast<unsigned>(height));
            m_width = width;
            m_height = height;
            m_x = x;
            m_y = y;
            if (!m_composited)
                cut_to(opaque_rows);
        }
        if (!m_mapped) {
            XMapRaised(d, m_window);
            m_mapped = true;
        } else {
            XRaiseWindow(d, m_window);
        }
        put_pixels(width, height, bgra);
        XFlush(d);
    }

    void hide() override
    {
        if (m_mapped) {
            XUnmapWindow(m_display.get(), m_window);
            m_mapped = false;
            XFlush(m_display.get());
        }
    }

private:
    X11Toast(XDisplay display, Window window, Colormap colormap, GC gc, Visual* visual, int depth, bool composited)
        : m_display(std::move(display))
        , m_window(window)
        , m_colormap(colormap)
        , m_gc(gc)
        , m_visual(visual)
        , m_depth(depth)
        , m_composited(composited)
    {
    }

    std::pair<int, int> layout_size(cairo_t* cr, std::string_view text, ToastFont const& font)
    {
        auto* layout = pango_cairo_create_layout(cr);
        auto* description = font_description(font);
        pango_layout_set_font_description(layout, description);
        pango_layout_set_text(layout, text.data(), static_cast<int>(text.size()));
        int width = 0, height = 0;
        pango_layout_get_pixel_size(layout, &width, &height);
        pango_font_description_free(description);
        g_object_unref(layout);
        return { width, height };
    }

    float dpi_scale()
    {
        char* resources = XResourceManagerString(m_display.get());
        if (!resources)
            return 1.0f;
        XrmInitialize();
        XrmDatabase database = XrmGetStringDatabase(resources);
        if (!database)
            return 1.0f;
        char* type = nullptr;
        XrmValue value {};
        float scale = 1.0f;
        if (XrmGetResource(database, "Xft.dpi", "Xft.Dpi", &type, &value) && value.addr) {
            float dpi = std::strtof(value.addr, nullptr);
            if (dpi >= 48.0f && dpi <= 480.0f)
                scale = dpi / 96.0f;
        }
        XrmDestroyDatabase(database);
        return scale;
    }

    // Asked over a connection of its own through XCB, where a failed request comes back as a value: the
    // window in front may be gone by the time it is looked at (a game that just closed, or a stale
    // _NET_ACTIVE_WINDOW), and Xlib would hand that BadWindow to its process-wide handler, whose default
    // ends the whole program.
    static std::optional<std::pair<int, int>> active_window_centre()
    {
        int screen_number = 0;
        handles::XcbConnection connection(xcb_connect(nullptr, &screen_number));
        xcb_connection_t* c = connection.get();
        if (!c || xcb_connection_has_error(c))
            return std::nullopt;
        auto screens = xcb_setup_roots_iterator(xcb_get_setup(c));
        for (int i = 0; i < screen_number && screens.rem; ++i)
            xcb_screen_next(&screens);
        if (!screens.rem)
            return std::nullopt;
        xcb_window_t const root = screens.data->root;

        constexpr std::string_view active_name = "_NET_ACTIVE_WINDOW";
        xcb_generic_error_t* error = nullptr;
        handles::XcbReply<xcb_intern_atom_reply_t> atom(xcb_intern_atom_reply(
            c, xcb_intern_atom(c, 1, static_cast<std::uint16_t>(active_name.size()), active_name.data()), &error));
        std::free(error);
        if (!atom || atom->atom == XCB_ATOM_NONE)
            return std::nullopt;
        error = nullptr;
        handles::XcbReply<xcb_get_property_reply_t> property(xcb_get_property_reply(
            c, xcb_get_property(c, 0, root, atom->atom, XCB_ATOM_WINDOW, 0, 1), &error));
        std::free(error);
        if (!property || xcb_get_property_value_length(property.get()) < 4)
            return std::nullopt;
        xcb_window_t window = 0;
        std::memcpy(&window, xcb_get_property_value(property.get()), sizeof window);
        if (window == XCB_WINDOW_NONE)
            return std::nullopt;
        error = nullptr;
        handles::XcbReply<xcb_get_geometry_reply_t> geometry(
            xcb_get_geometry_reply(c, xcb_get_geometry(c, window), &error));
        std::free(error);
        if (!geometry)
            return std::nullopt;
        error = nullptr;
        handles::XcbReply<xcb_translate_coordinates_reply_t> origin(
            xcb_translate_coordinates_reply(c, xcb_translate_coordinates(c, window, root, 0, 0), &error));
        std::free(error);
        if (!origin)
            return std::nullopt;
        return std::pair { origin->dst_x + geometry->width / 2, origin->dst_y + geometry->height / 2 };
    }

    void cut_to(std::span<std::pair<int, int> const> rows)
    {
        std::vector<XRectangle> rectangles;
        for (std::size_t y = 0; y < rows.size(); ++y) {
            auto [begin, end] = rows[y];
            if (end > begin)
                rectangles.push_back({ static_cast<short>(begin), static_cast<short>(y),
                                       static_cast<unsigned short>(end - begin), 1 });
        }
        XShapeCombineRectangles(m_display.get(), m_window, ShapeBounding, 0, 0, rectangles.data(),
                                static_cast<int>(rectangles.size()), ShapeSet, YXBanded);
    }

    void put_pixels(int width, int height, std::span<std::uint8_t const> bgra)
    {
        // Both a 32-bit ARGB visual and the usual 24-bit one take B, G, R, X bytes on a little-endian
        // server; the copy lets XDestroyImage free what it owns.
        auto bytes = static_cast<std::size_t>(width) * height * 4;
        auto* copy = static_cast<char*>(std::malloc(bytes));
        if (!copy)
            return;
        std::memcpy(copy, bgra.data(), std::min(bytes, bgra.size()));
        XImage* image = XCreateImage(m_display.get(), m_visual, static_cast<unsigned>(m_depth), ZPixmap, 0, copy,
                                     static_cast<unsigned>(width), static_cast<unsigned>(height), 32, width * 4);
        if (!image) {
            std::free(copy);
            return;
        }
        XPutImage(m_display.get(), m_window, m_gc, image, 0, 0, 0, 0, static_cast<unsigned>(width),
                  static_cast<unsigned>(height));
        XDestroyImage(image);
    }

    XDisplay m_display;
    Window m_window;
    Colormap m_colormap;
    GC m_gc;
    Visual* m_visual;
    int m_depth;
    bool m_composited;
    bool m_mapped { false };
    int m_width { 0 }, m_height { 0 }, m_x { 0 }, m_y { 0 };
};

}

std::span<ToastDriver const> toast_drivers()
{
    static constexpr ToastDriver drivers[] = { { "x11", &X11Toast::open } };
    return drivers;
}

}
