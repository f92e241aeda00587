// Monitor capture on X11: MIT-SHM reads of the monitor's rectangle of the root window, with the cursor from
// XFixes drawn over it. Each source opens its own Display, since Xlib connections are not shared between
// threads.

#include "platform/linux/x11_capture.h"

#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XShm.h>
#include <X11/extensions/Xfixes.h>
#include <X11/extensions/Xrandr.h>
#include <sys/ipc.h>
#include <sys/shm.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>


namespace platform::x11 {

namespace {

struct CloseDisplay {
    void operator()(Display* display) const noexcept { XCloseDisplay(display); }
};
using DisplayPtr = std::unique_ptr<Display, CloseDisplay>;
struct XFreeDeleter {
    void operator()(void* p) const noexcept { XFree(p); }
};
struct FreeMonitors {
    void operator()(XRRMonitorInfo* p) const noexcept { XRRFreeMonitors(p); }
};
struct FreeResources {
    void operator()(XRRScreenResources* p) const noexcept { XRRFreeScreenResources(p); }
};
struct FreeOutput {
    void operator()(XRROutputInfo* p) const noexcept { XRRFreeOutputInfo(p); }
};
struct FreeCrtc {
    void operator()(XRRCrtcInfo* p) const noexcept { XRRFreeCrtcInfo(p); }
};

Result<DisplayPtr> open_display()
{
    // Xlib may be used by several threads of the process, each on its own connection.
    static bool const threads_ready = XInitThreads() != 0;
    (void)threads_ready;
    DisplayPtr display(XOpenDisplay(nullptr));
    if (!display)
        return fail("impossible d'ouvrir l'affichage X11");
    return display;
}

std::uint32_t mode_refresh(Display* display, Window root, RROutput const* outputs, int count)
{
    std::unique_ptr<XRRScreenResources, FreeResources> resources(XRRGetScreenResourcesCurrent(display, root));
    if (!resources || count < 1)
        return 60;
    std::unique_ptr<XRROutputInfo, FreeOutput> output(XRRGetOutputInfo(display, resources.get(), outputs[0]));
    if (!output || !output->crtc)
        return 60;
    std::unique_ptr<XRRCrtcInfo, FreeCrtc> crtc(XRRGetCrtcInfo(display, resources.get(), output->crtc));
    if (!crtc)
        return 60;
    for (int i = 0; i < resources->nmode; ++i) {
        XRRModeInfo const& mode = resources->modes[i];
        if (mode.id != crtc->mode)
            continue;
        double const total = double(mode.hTotal) * double(mode.vTotal);
        std::uint32_t hz = total > 0 ? std::uint32_t(double(mode.dotClock) / total + 0.5) : 0;
        return hz < 31 ? 30 : hz;
    }
    return 60;
}

Result<std::vector<MonitorInfo>> list_monitors(Display* display)
{
    Window const root = DefaultRootWindow(display);
    int count = 0;
    std::unique_ptr<XRRMonitorInfo, FreeMonitors> monitors(XRRGetMonitors(display, root, True, &count));
    std::vector<MonitorInfo> list;
    if (!monitors || count <= 0) {
        // A server without RandR monitors still has its screen.
        Screen* screen = DefaultScreenOfDisplay(display);
        list.push_back({ "default", 0, 0, std::uint32_t(WidthOfScreen(screen)), std::uint32_t(HeightOfScreen(screen)),
                         60, true });
        return list;
    }
    for (int i = 0; i < count; ++i) {
        XRRMonitorInfo const& m = monitors.get()[i];
        MonitorInfo info;
        if (char* name = XGetAtomName(display, m.name)) {
            info.name = name;
            XFree(name);
        }
        info.x = m.x;
        info.y = m.y;
        info.width = std::uint32_t(std::max(m.width, 0));
        info.height = std::uint32_t(std::max(m.height, 0));
        info.refresh = mode_refresh(display, root, m.outputs, m.noutput);
        info.primary = m.primary;
        list.push_back(std::move(info));
    }
    std::stable_sort(list.begin(), list.end(),
                     [](MonitorInfo const& a, MonitorInfo const& b) { return a.primary && !b.primary; });
    return list;
}

// The shared-memory image: created for one size, torn down in the reverse order of its making.
class ShmImage {
public:
    static Result<std::unique_ptr<ShmImage>> create(Display* display, std::uint32_t width, std::uint32_t height)
    {
        auto image = std::unique_ptr<ShmImage>(new ShmImage(display));
        int const screen = DefaultScreen(display);
        image->m_image = XShmCreateImage(display, DefaultVisual(display, screen), DefaultDepth(display, screen),
                                         ZPixmap, nullptr, &image->m_info, width, height);
        if (!image->m_image)
            return fail("XShmCreateImage a échoué");
        if (image->m_image->bits_per_pixel != 32)
            return fail("profondeur d'écran non prise en charge (32 bits par pixel attendus)");
        std::size_t const bytes = std::size_t(image->m_image->bytes_per_line) * height;
        image->m_info.shmid = shmget(IPC_PRIVATE, bytes, IPC_CREAT | 0600);
        if (image->m_info.shmid < 0)
            return fail(os_error(errno));
        void* address = shmat(image->m_info.shmid, nullptr, 0);
        // Marked for removal at once: the segment then disappears with its last attachment, even after a crash.
        shmctl(image->m_info.shmid, IPC_RMID, nullptr);
        if (address == reinterpret_cast<void*>(-1))
            return fail(os_error(errno));
        image->m_info.shmaddr = image->m_image->data = static_cast<char*>(address);
        image->m_info.readOnly = False;
        if (!XShmAttach(display, &image->m_info))
            return fail("XShmAttach a échoué");
        image->m_attached = true;
        XSync(display, False);
        return image;
    }
    ~ShmImage()
    {
        if (m_attached)
            XShmDetach(m_display, &m_info);
        if (m_image) {
            m_image->data = nullptr;
            XDestroyImage(m_image);
        }
        if (m_info.shmaddr)
            shmdt(m_info.shmaddr);
    }
    XImage* image() const { return m_image; }

private:
    explicit ShmImage(Display* display)
        : m_display(display)
    {
        std::memset(&m_info, 0, sizeof m_info);
        m_info.shmid = -1;
    }
    Display* m_display;
    XShmSegmentInfo m_info;
    XImage* m_image { nullptr };
    bool m_attached { false };
};

// X errors must not end the process; the failing call reports through its own return value.
int ignore_x_error(Display*, XErrorEvent*) { return 0; }

class X11Source final : public CaptureSource {
public:
    static Result<std::unique_ptr<CaptureSource>> create(MonitorInfo const& monitor)
    {
        auto display = TRY(open_display());
        XSetErrorHandler(ignore_x_error);
        if (!XShmQueryExtension(display.get()))
            return fail("l'extension MIT-SHM est absente");
        auto source = std::unique_ptr<X11Source>(new X11Source(std::move(display), monitor));
        int event_base = 0, error_base = 0;
        source->m_have_fixes = XFixesQueryExtension(source->m_display.get(), &event_base, &error_base);
        if (XRRQueryExtension(source->m_display.get(), &source->m_randr_event_base, &error_base))
            XRRSelectInput(source->m_display.get(), source->m_root, RRScreenChangeNotifyMask | RRCrtcChangeNotifyMask);
        source->m_shm = TRY(ShmImage::create(source->m_display.get(), monitor.width, monitor.height));
        return std::unique_ptr<CaptureSource>(std::move(source));
    }

    std::uint32_t width() const override { return m_monitor.width; }
    std::uint32_t height() const override { return m_monitor.height; }

    Result<Grab> grab() override
    {
        if (TRY(geometry_changed())) {
            m_shm.reset();
            m_shm = TRY(ShmImage::create(m_display.get(), m_monitor.width, m_monitor.height));
            return Grab::SizeChanged;
        }
        if (!XShmGetImage(m_display.get(), m_root, m_shm->image(), m_monitor.x, m_monitor.y, AllPlanes))
            return fail("XShmGetImage a échoué");
        draw_cursor();
        return Grab::Image;
    }

    BgraImage image() const override
    {
        XImage* image = m_shm->image();
        return { reinterpret_cast<std::uint8_t const*>(image->data), std::uint32_t(image->width),
                 std::uint32_t(image->height), std::size_t(image->bytes_per_line) };
    }

private:
    X11Source(DisplayPtr display, MonitorInfo monitor)
        : m_display(std::move(display))
        , m_root(DefaultRootWindow(m_display.get()))
        , m_monitor(std::move(monitor))
    {
    }

    // RandR events tell that the layout changed; the monitor is then looked up again by name.
    Result<bool> geometry_changed()
    {
        bool changed = false;
        while (XPending(m_display.get())) {
            XEvent event;
            XNextEvent(m_display.get(), &event);
            XRRUpdateConfiguration(&event);
            changed = true;
        }
        if (!changed)
            return false;
        auto monitors = TRY(list_monitors(m_display.get()));
        auto it = std::find_if(monitors.begin(), monitors.end(),
                               [&](MonitorInfo const& m) { return m.name == m_monitor.name; });
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
        std::unique_ptr<XFixesCursorImage, XFreeDeleter> cursor(XFixesGetCursorImage(m_display.get()));
        if (!cursor)
            return;
        XImage* image = m_shm->image();
        int const left = cursor->x - cursor->xhot - m_monitor.x;
        int const top = cursor->y - cursor->yhot - m_monitor.y;
        for (int cy = 0; cy < cursor->height; ++cy) {
            int const y = top + cy;
            if (y < 0 || y >= image->height)
                continue;
            auto* row = reinterpret_cast<std::uint8_t*>(image->data) + std::size_t(y) * image->bytes_per_line;
            for (int cx = 0; cx < cursor->width; ++cx) {
                int const x = left + cx;
                if (x < 0 || x >= image->width)
                    continue;
                // XFixes gives premultiplied ARGB in the low 32 bits of each unsigned long.
                auto const argb = std::uint32_t(cursor->pixels[std::size_t(cy) * cursor->width + cx]);
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

    DisplayPtr m_display;
    Window m_root;
    MonitorInfo m_monitor;
    std::unique_ptr<ShmImage> m_shm;
    bool m_have_fixes { false };
    int m_randr_event_base { 0 };
};

}

Result<std::vector<MonitorInfo>> monitors()
{
    auto display = TRY(open_display());
    return list_monitors(display.get());
}

Result<std::unique_ptr<CaptureSource>> open(MonitorInfo const& monitor) { return X11Source::create(monitor); }

}
