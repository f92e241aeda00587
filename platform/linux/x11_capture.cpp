// Monitor capture on X11 through XCB: MIT-SHM reads of the monitor's rectangle of the root window, with the
// cursor from XFixes drawn over it. Each source opens its own connection; XCB reports X errors as values, so
// a failed read is an error of this source and never reaches a process-wide error handler.

#include "platform/linux/x11_capture.h"

#include "platform/linux/handles.h"

#include <sys/ipc.h>
#include <sys/shm.h>
#include <xcb/randr.h>
#include <xcb/shm.h>
#include <xcb/xcb.h>
#include <xcb/xfixes.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <memory>

namespace platform::x11 {

namespace {

using Connection = handles::XcbConnection;
template <class T> using Reply = handles::XcbReply<T>;

struct Display {
    Connection connection;
    xcb_screen_t* screen { nullptr };
};

Result<Display> connect()
{
    int screen_number = 0;
    Connection connection(xcb_connect(nullptr, &screen_number));
    if (!connection || xcb_connection_has_error(connection.get()))
        return fail("impossible de se connecter à l'affichage X11");
    auto it = xcb_setup_roots_iterator(xcb_get_setup(connection.get()));
    for (int i = 0; i < screen_number && it.rem; ++i)
        xcb_screen_next(&it);
    if (!it.rem)
        return fail("écran X11 introuvable");
    return Display { std::move(connection), it.data };
}

std::uint32_t mode_refresh(xcb_connection_t* c, xcb_window_t root, xcb_randr_output_t const* outputs, int count)
{
    if (count < 1)
        return 60;
    Reply<xcb_randr_get_screen_resources_current_reply_t> resources(
        xcb_randr_get_screen_resources_current_reply(c, xcb_randr_get_screen_resources_current(c, root), nullptr));
    if (!resources)
        return 60;
    Reply<xcb_randr_get_output_info_reply_t> output(xcb_randr_get_output_info_reply(
        c, xcb_randr_get_output_info(c, outputs[0], resources->config_timestamp), nullptr));
    if (!output || !output->crtc)
        return 60;
    Reply<xcb_randr_get_crtc_info_reply_t> crtc(xcb_randr_get_crtc_info_reply(
        c, xcb_randr_get_crtc_info(c, output->crtc, resources->config_timestamp), nullptr));
    if (!crtc)
        return 60;
    auto const* modes = xcb_randr_get_screen_resources_current_modes(resources.get());
    int const mode_count = xcb_randr_get_screen_resources_current_modes_length(resources.get());
    for (int i = 0; i < mode_count; ++i) {
        if (modes[i].id != crtc->mode)
            continue;
        double const total = double(modes[i].htotal) * double(modes[i].vtotal);
        auto const hz = total > 0 ? std::uint32_t(double(modes[i].dot_clock) / total + 0.5) : 0u;
        return hz < 31 ? 30 : hz;
    }
    return 60;
}

std::string atom_name(xcb_connection_t* c, xcb_atom_t atom)
{
    Reply<xcb_get_atom_name_reply_t> reply(xcb_get_atom_name_reply(c, xcb_get_atom_name(c, atom), nullptr));
    if (!reply)
        return {};
    return std::string(xcb_get_atom_name_name(reply.get()), std::size_t(xcb_get_atom_name_name_length(reply.get())));
}

std::vector<MonitorInfo> list_monitors(Display const& display)
{
    xcb_connection_t* c = display.connection.get();
    xcb_window_t const root = display.screen->root;
    std::vector<MonitorInfo> list;
    Reply<xcb_randr_get_monitors_reply_t> monitors(
        xcb_randr_get_monitors_reply(c, xcb_randr_get_monitors(c, root, 1), nullptr));
    if (monitors) {
        for (auto it = xcb_randr_get_monitors_monitors_iterator(monitors.get()); it.rem;
             xcb_randr_monitor_info_next(&it)) {
            xcb_randr_monitor_info_t const* m = it.data;
            MonitorInfo info;
            info.name = atom_name(c, m->name);
            info.x = m->x;
            info.y = m->y;
            info.width = m->width;
            info.height = m->height;
            info.refresh = mode_refresh(c, root, xcb_randr_monitor_info_outputs(m), m->nOutput);
            info.primary = m->primary != 0;
            list.push_back(std::move(info));
        }
    }
    if (list.empty()) // a server without RandR monitors still has its screen
        list.push_back(
            { "default", 0, 0, display.screen->width_in_pixels, display.screen->height_in_pixels, 60, true });
    std::stable_sort(
        list.begin(), list.end(), [](MonitorInfo const& a, MonitorInfo const& b) { return a.primary && !b.primary; });
    return list;
}

std::string x_error(char const* request, xcb_generic_error_t const* error)
{
    return fmt::format("{} a échoué (erreur X {})", request, error ? int(error->error_code) : 0);
}

// A System V shared-memory segment attached to the server, sized for one picture.
class ShmSegment {
public:
    static Result<std::unique_ptr<ShmSegment>> create(xcb_connection_t* c, std::size_t bytes)
    {
        auto segment = std::unique_ptr<ShmSegment>(new ShmSegment(c));
        segment->m_id = shmget(IPC_PRIVATE, bytes, IPC_CREAT | 0600);
        if (segment->m_id < 0)
            return fail(os_error(errno));
        void* address = shmat(segment->m_id, nullptr, 0);
        // Marked for removal at once: the segment goes with its last attachment, even after a crash.
        shmctl(segment->m_id, IPC_RMID, nullptr);
        if (address == reinterpret_cast<void*>(-1))
            return fail(os_error(errno));
        segment->m_address = static_cast<std::uint8_t*>(address);
        segment->m_seg = xcb_generate_id(c);
        Reply<xcb_generic_error_t> error(
            xcb_request_check(c, xcb_shm_attach_checked(c, segment->m_seg, std::uint32_t(segment->m_id), 0)));
        if (error)
            return fail(x_error("xcb_shm_attach", error.get()));
        segment->m_attached = true;
        return segment;
    }
    ~ShmSegment()
    {
        if (m_attached) {
            xcb_shm_detach(m_connection, m_seg);
            xcb_flush(m_connection);
        }
        if (m_address)
            shmdt(m_address);
    }
    xcb_shm_seg_t seg() const { return m_seg; }
    std::uint8_t* data() const { return m_address; }

private:
    explicit ShmSegment(xcb_connection_t* c)
        : m_connection(c)
    {
    }
    xcb_connection_t* m_connection;
    int m_id { -1 };
    std::uint8_t* m_address { nullptr };
    xcb_shm_seg_t m_seg { 0 };
    bool m_attached { false };
};

class X11Source final : public CaptureSource {
public:
    static Result<std::unique_ptr<CaptureSource>> create(MonitorInfo const& monitor)
    {
        auto display = TRY(connect());
        xcb_connection_t* c = display.connection.get();
        Reply<xcb_shm_query_version_reply_t> shm(xcb_shm_query_version_reply(c, xcb_shm_query_version(c), nullptr));
        if (!shm)
            return fail("l'extension MIT-SHM est absente");
        if (display.screen->root_depth != 24 && display.screen->root_depth != 32)
            return fail(fmt::format("profondeur d'écran {} non prise en charge", int(display.screen->root_depth)));
        auto source = std::unique_ptr<X11Source>(new X11Source(std::move(display), monitor));
        // XFixes answers only after the client said which version it speaks.
        Reply<xcb_xfixes_query_version_reply_t> fixes(
            xcb_xfixes_query_version_reply(c, xcb_xfixes_query_version(c, 4, 0), nullptr));
        source->m_have_fixes = fixes != nullptr;
        xcb_randr_select_input(
            c, source->m_display.screen->root, XCB_RANDR_NOTIFY_MASK_SCREEN_CHANGE | XCB_RANDR_NOTIFY_MASK_CRTC_CHANGE);
        TRY_VOID(source->make_segment());
        return std::unique_ptr<CaptureSource>(std::move(source));
    }

    std::uint32_t width() const override { return m_monitor.width; }
    std::uint32_t height() const override { return m_monitor.height; }

    Result<Grab> grab() override
    {
        xcb_connection_t* c = m_display.connection.get();
        if (xcb_connection_has_error(c))
            return fail("la connexion à l'affichage X11 est perdue");
        if (TRY(geometry_changed())) {
            TRY_VOID(make_segment());
            return Grab::SizeChanged;
        }
        xcb_generic_error_t* raw_error = nullptr;
        Reply<xcb_shm_get_image_reply_t> reply(xcb_shm_get_image_reply(c,
            xcb_shm_get_image(c, m_display.screen->root, std::int16_t(m_monitor.x), std::int16_t(m_monitor.y),
                std::uint16_t(m_monitor.width), std::uint16_t(m_monitor.height), ~0u, XCB_IMAGE_FORMAT_Z_PIXMAP,
                m_segment->seg(), 0),
            &raw_error));
        Reply<xcb_generic_error_t> error(raw_error);
        if (!reply)
            return fail(x_error("xcb_shm_get_image", error.get()));
        draw_cursor();
        return Grab::Image;
    }

    BgraImage image() const override
    {
        return { m_segment->data(), m_monitor.width, m_monitor.height, std::size_t(m_monitor.width) * 4 };
    }

private:
    X11Source(Display display, MonitorInfo monitor)
        : m_display(std::move(display))
        , m_monitor(std::move(monitor))
    {
    }

    Result<void> make_segment()
    {
        m_segment.reset();
        m_segment
            = TRY(ShmSegment::create(m_display.connection.get(), std::size_t(m_monitor.width) * m_monitor.height * 4));
        return {};
    }

    // RandR events tell that the layout changed; the monitor is then looked up again by name.
    Result<bool> geometry_changed()
    {
        bool changed = false;
        while (xcb_generic_event_t* event = xcb_poll_for_event(m_display.connection.get())) {
            std::free(event);
            changed = true;
        }
        if (!changed)
            return false;
        auto const monitors = list_monitors(m_display);
        auto it = std::find_if(
            monitors.begin(), monitors.end(), [&](MonitorInfo const& m) { return m.name == m_monitor.name; });
        if (it == monitors.end())
            return fail(fmt::format("l'écran {} a disparu", m_monitor.name));
        bool const resized = it->width != m_monitor.width || it->height != m_monitor.height;
        m_monitor = *it;
        return resized;
    }

    void draw_cursor()
    {
        if (!m_have_fixes)
            return;
        xcb_connection_t* c = m_display.connection.get();
        Reply<xcb_xfixes_get_cursor_image_reply_t> cursor(
            xcb_xfixes_get_cursor_image_reply(c, xcb_xfixes_get_cursor_image(c), nullptr));
        if (!cursor)
            return;
        std::uint32_t const* pixels = xcb_xfixes_get_cursor_image_cursor_image(cursor.get());
        int const left = cursor->x - cursor->xhot - m_monitor.x;
        int const top = cursor->y - cursor->yhot - m_monitor.y;
        int const width = int(m_monitor.width), height = int(m_monitor.height);
        std::uint8_t* image = m_segment->data();
        for (int cy = 0; cy < cursor->height; ++cy) {
            int const y = top + cy;
            if (y < 0 || y >= height)
                continue;
            std::uint8_t* row = image + std::size_t(y) * std::size_t(width) * 4;
            for (int cx = 0; cx < cursor->width; ++cx) {
                int const x = left + cx;
                if (x < 0 || x >= width)
                    continue;
                // Premultiplied ARGB.
                std::uint32_t const argb = pixels[std::size_t(cy) * cursor->width + cx];
                std::uint32_t const alpha = argb >> 24;
                if (alpha == 0)
                    continue;
                std::uint8_t* px = row + std::size_t(x) * 4;
                std::uint32_t const inverse = 255 - alpha;
                px[0] = std::uint8_t((argb & 0xff) + (px[0] * inverse + 127) / 255);
                px[1] = std::uint8_t(((argb >> 8) & 0xff) + (px[1] * inverse + 127) / 255);
                px[2] = std::uint8_t(((argb >> 16) & 0xff) + (px[2] * inverse + 127) / 255);
            }
        }
    }

    Display m_display;
    MonitorInfo m_monitor;
    std::unique_ptr<ShmSegment> m_segment;
    bool m_have_fixes { false };
};

}

Result<std::vector<MonitorInfo>> monitors()
{
    auto display = TRY(connect());
    return list_monitors(display);
}

Result<std::unique_ptr<CaptureSource>> open(MonitorInfo const& monitor)
{
    return X11Source::create(monitor);
}

}
