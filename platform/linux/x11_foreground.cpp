#include "platform/linux/x11_foreground.h"

#include <algorithm>
#include <array>
#include <climits>
#include <fstream>
#include <iterator>
#include <optional>
#include <span>
#include <string_view>
#include <system_error>
#include <vector>

#include "platform/linux/handles.h"

#include <xcb/randr.h>
#include <xcb/res.h>

namespace platform::x11 {

namespace {

using handles::XcbReply;

// Ask for a reply and take ownership of it; an X error (a window destroyed between two requests) is freed
// here, so that it never piles up in the event queue of a connection that reads no events.
template <class Reply, class Cookie>
XcbReply<Reply> take_reply(xcb_connection_t* connection, Cookie cookie,
                           Reply* (*reply_fn)(xcb_connection_t*, Cookie, xcb_generic_error_t**))
{
    xcb_generic_error_t* error = nullptr;
    XcbReply<Reply> reply(reply_fn(connection, cookie, &error));
    std::free(error);
    return reply;
}

enum Atom : std::size_t {
    NetActiveWindow,
    NetWmName,
    Utf8String,
    NetWmPid,
    NetWmWindowType,
    NetWmWindowTypeDesktop,
    NetWmWindowTypeDock,
    NetFrameExtents,
    AtomCount,
};

constexpr std::array<std::string_view, AtomCount> atom_names = {
    "_NET_ACTIVE_WINDOW", "_NET_WM_NAME", "UTF8_STRING", "_NET_WM_PID", "_NET_WM_WINDOW_TYPE",
    "_NET_WM_WINDOW_TYPE_DESKTOP", "_NET_WM_WINDOW_TYPE_DOCK", "_NET_FRAME_EXTENTS",
};

struct Rect {
    std::int64_t left, top, right, bottom; // right and bottom exclusive

    std::int64_t overlap(Rect const& other) const
    {
        auto width = std::min(right, other.right) - std::max(left, other.left);
        auto height = std::min(bottom, other.bottom) - std::max(top, other.top);
        return width > 0 && height > 0 ? width * height : 0;
    }
    // Squared distance between the centres, doubled coordinates to stay in integers.
    std::int64_t centre_distance(Rect const& other) const
    {
        auto dx = (left + right) - (other.left + other.right);
        auto dy = (top + bottom) - (other.top + other.bottom);
        return dx * dx + dy * dy;
    }
    bool covers(Rect const& other) const
    {
        return left <= other.left && top <= other.top && right >= other.right && bottom >= other.bottom;
    }
};

// The monitor a window is on: the one it overlaps most, else the nearest.
Rect const& nearest_monitor(std::span<Rect const> monitors, Rect const& window)
{
    auto const* best = &monitors.front();
    for (auto const& monitor : monitors) {
        auto overlap = monitor.overlap(window);
        auto best_overlap = best->overlap(window);
        if (overlap > best_overlap
            || (overlap == best_overlap && overlap == 0 && monitor.centre_distance(window) < best->centre_distance(window)))
            best = &monitor;
    }
    return *best;
}

std::string latin1_to_utf8(std::string_view text)
{
    std::string out;
    out.reserve(text.size());
    for (unsigned char c : text) {
        if (c < 0x80) {
            out.push_back(static_cast<char>(c));
        } else {
            out.push_back(static_cast<char>(0xC0 | (c >> 6)));
            out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        }
    }
    return out;
}

std::string_view property_bytes(xcb_get_property_reply_t const* reply)
{
    if (!reply || reply->format != 8)
        return {};
    auto const* data = static_cast<char const*>(xcb_get_property_value(reply));
    auto length = static_cast<std::size_t>(xcb_get_property_value_length(reply));
    std::string_view text(data, length);
    // Some clients store the terminating NUL too.
    while (!text.empty() && text.back() == '\0')
        text.remove_suffix(1);
    return text;
}

std::span<std::uint32_t const> property_words(xcb_get_property_reply_t const* reply)
{
    if (!reply || reply->format != 32)
        return {};
    auto const* data = static_cast<std::uint32_t const*>(xcb_get_property_value(reply));
    return { data, static_cast<std::size_t>(xcb_get_property_value_length(reply)) / 4 };
}

std::optional<std::string> read_link(std::filesystem::path const& path)
{
    std::error_code error;
    auto target = std::filesystem::read_symlink(path, error);
    if (error)
        return std::nullopt;
    return target.string();
}

constexpr std::string_view wine_loaders[] = { "wine-preloader", "wine64-preloader", "wine", "wine64" };

std::string_view last_component(std::string_view path)
{
    auto slash = path.find_last_of("/\\");
    return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

class X11ForegroundProbe final : public ForegroundProbe {
public:
    explicit X11ForegroundProbe(ForegroundOptions options)
        : m_options(std::move(options))
    {
    }

    Result<void> connect();
    std::optional<WindowInfo> sample() override;

private:
    std::optional<WindowInfo> read_window(xcb_window_t window);
    std::vector<Rect> monitors();
    std::optional<int> pid_from_server(xcb_window_t window);

    ForegroundOptions m_options;
    handles::XcbConnection m_connection;
    xcb_window_t m_root { 0 };
    Rect m_screen {};
    std::array<xcb_atom_t, AtomCount> m_atoms {};
    bool m_has_res { false };
    bool m_has_monitors { false };
};

Result<void> X11ForegroundProbe::connect()
{
    m_connection.reset();
    int screen_number = 0;
    handles::XcbConnection connection(
        xcb_connect(m_options.display.empty() ? nullptr : m_options.display.c_str(), &screen_number));
    if (int code = xcb_connection_has_error(connection.get()))
        return fail(fmt::format("Écran X11 inaccessible (erreur de connexion {})", code));
    auto* c = connection.get();

    auto screens = xcb_setup_roots_iterator(xcb_get_setup(c));
    for (int i = 0; i < screen_number && screens.rem; ++i)
        xcb_screen_next(&screens);
    if (!screens.rem)
        return fail("Écran X11 inaccessible (écran introuvable)");
    m_root = screens.data->root;
    m_screen = { 0, 0, screens.data->width_in_pixels, screens.data->height_in_pixels };

    std::array<xcb_intern_atom_cookie_t, AtomCount> cookies;
    for (std::size_t i = 0; i < AtomCount; ++i)
        cookies[i] = xcb_intern_atom(c, 0, static_cast<std::uint16_t>(atom_names[i].size()), atom_names[i].data());
    for (std::size_t i = 0; i < AtomCount; ++i) {
        auto reply = take_reply(c, cookies[i], xcb_intern_atom_reply);
        if (!reply)
            return fail("Écran X11 inaccessible (atomes)");
        m_atoms[i] = reply->atom;
    }

    // The client of a window is asked from X-Resource 1.2; monitors from RandR 1.5. Without them the pid comes
    // from the window's own property and the screen counts as one monitor.
    m_has_res = false;
    if (m_options.ask_server_for_pid) {
        auto const* res = xcb_get_extension_data(c, &xcb_res_id);
        if (res && res->present) {
            auto version = take_reply(c, xcb_res_query_version(c, 1, 2), xcb_res_query_version_reply);
            m_has_res = version && (version->server_major > 1 || (version->server_major == 1 && version->server_minor >= 2));
        }
    }
    m_has_monitors = false;
    auto const* randr = xcb_get_extension_data(c, &xcb_randr_id);
    if (randr && randr->present) {
        auto version = take_reply(c, xcb_randr_query_version(c, 1, 5), xcb_randr_query_version_reply);
        m_has_monitors = version && (version->major_version > 1 || (version->major_version == 1 && version->minor_version >= 5));
    }

    m_connection = std::move(connection);
    return {};
}

std::optional<WindowInfo> X11ForegroundProbe::sample()
{
    // A lost connection (the X server restarted) is opened again at the next look.
    if (!m_connection || xcb_connection_has_error(m_connection.get())) {
        if (!connect())
            return std::nullopt;
    }
    auto* c = m_connection.get();
    // Nothing is selected, but drop whatever the server may have queued so that it never grows.
    while (XcbReply<xcb_generic_event_t> event { xcb_poll_for_event(c) }) { }

    auto active = take_reply(c, xcb_get_property(c, 0, m_root, m_atoms[NetActiveWindow], XCB_ATOM_WINDOW, 0, 1),
                             xcb_get_property_reply);
    auto words = property_words(active.get());
    if (words.empty() || words[0] == XCB_WINDOW_NONE || words[0] == m_root)
        return std::nullopt;
    return read_window(words[0]);
}

std::optional<int> X11ForegroundProbe::pid_from_server(xcb_window_t window)
{
    auto* c = m_connection.get();
    xcb_res_client_id_spec_t spec { window, XCB_RES_CLIENT_ID_MASK_LOCAL_CLIENT_PID };
    auto reply = take_reply(c, xcb_res_query_client_ids(c, 1, &spec), xcb_res_query_client_ids_reply);
    if (!reply)
        return std::nullopt;
    for (auto it = xcb_res_query_client_ids_ids_iterator(reply.get()); it.rem; xcb_res_client_id_value_next(&it)) {
        if ((it.data->spec.mask & XCB_RES_CLIENT_ID_MASK_LOCAL_CLIENT_PID) && it.data->length >= 4) {
            auto pid = *xcb_res_client_id_value_value(it.data);
            if (pid > 0 && pid <= static_cast<std::uint32_t>(INT_MAX))
                return static_cast<int>(pid);
        }
    }
    return std::nullopt;
}

std::vector<Rect> X11ForegroundProbe::monitors()
{
    std::vector<Rect> rects;
    if (m_has_monitors) {
        auto* c = m_connection.get();
        auto reply = take_reply(c, xcb_randr_get_monitors(c, m_root, 1), xcb_randr_get_monitors_reply);
        if (reply) {
            for (auto it = xcb_randr_get_monitors_monitors_iterator(reply.get()); it.rem; xcb_randr_monitor_info_next(&it)) {
                auto const* m = it.data;
                if (m->width && m->height)
                    rects.push_back({ m->x, m->y, std::int64_t(m->x) + m->width, std::int64_t(m->y) + m->height });
            }
        }
    }
    if (rects.empty())
        rects.push_back(m_screen);
    return rects;
}

std::optional<WindowInfo> X11ForegroundProbe::read_window(xcb_window_t window)
{
    auto* c = m_connection.get();
    constexpr std::uint32_t long_length = 1024; // in 32-bit units: 4 KiB of title is plenty
    // Every request goes out before the first reply is awaited: one round trip for the whole look.
    auto type_cookie = xcb_get_property(c, 0, window, m_atoms[NetWmWindowType], XCB_ATOM_ATOM, 0, 32);
    auto net_name_cookie = xcb_get_property(c, 0, window, m_atoms[NetWmName], m_atoms[Utf8String], 0, long_length);
    auto name_cookie = xcb_get_property(c, 0, window, XCB_ATOM_WM_NAME, XCB_GET_PROPERTY_TYPE_ANY, 0, long_length);
    auto class_cookie = xcb_get_property(c, 0, window, XCB_ATOM_WM_CLASS, XCB_ATOM_STRING, 0, long_length);
    auto pid_cookie = xcb_get_property(c, 0, window, m_atoms[NetWmPid], XCB_ATOM_CARDINAL, 0, 1);
    auto frame_cookie = xcb_get_property(c, 0, window, m_atoms[NetFrameExtents], XCB_ATOM_CARDINAL, 0, 4);
    auto geometry_cookie = xcb_get_geometry(c, window);
    auto position_cookie = xcb_translate_coordinates(c, window, m_root, 0, 0);

    auto type = take_reply(c, type_cookie, xcb_get_property_reply);
    auto net_name = take_reply(c, net_name_cookie, xcb_get_property_reply);
    auto name = take_reply(c, name_cookie, xcb_get_property_reply);
    auto window_class = take_reply(c, class_cookie, xcb_get_property_reply);
    auto wm_pid = take_reply(c, pid_cookie, xcb_get_property_reply);
    auto frame = take_reply(c, frame_cookie, xcb_get_property_reply);
    auto geometry = take_reply(c, geometry_cookie, xcb_get_geometry_reply);
    auto position = take_reply(c, position_cookie, xcb_translate_coordinates_reply);
    // The window went away between the two looks: nothing is in front any more.
    if (!geometry || !position)
        return std::nullopt;

    WindowInfo info;
    for (auto atom : property_words(type.get())) {
        if (atom == m_atoms[NetWmWindowTypeDesktop] || atom == m_atoms[NetWmWindowTypeDock])
            info.ignored_type = true;
    }

    info.title = std::string(property_bytes(net_name.get()));
    if (info.title.empty() && name) {
        auto bytes = property_bytes(name.get());
        info.title = name->type == m_atoms[Utf8String] ? std::string(bytes) : latin1_to_utf8(bytes);
    }

    // WM_CLASS holds the instance name, a NUL, then the class name.
    auto class_bytes = property_bytes(window_class.get());
    if (auto nul = class_bytes.find('\0'); nul != std::string_view::npos) {
        auto class_name = class_bytes.substr(nul + 1);
        info.window_class = std::string(class_name.substr(0, class_name.find('\0')));
    }

    if (m_has_res)
        info.pid = pid_from_server(window);
    if (!info.pid) {
        auto words = property_words(wm_pid.get());
        if (!words.empty() && words[0] > 0 && words[0] <= static_cast<std::uint32_t>(INT_MAX))
            info.pid = static_cast<int>(words[0]);
    }
    if (info.pid)
        info.exe_name = process_exe_name(m_options.proc_root, *info.pid);

    // The window with its border and the frame the window manager drew around it, in root coordinates.
    std::int64_t border = geometry->border_width;
    Rect rect { std::int64_t(position->dst_x) - border, std::int64_t(position->dst_y) - border,
                std::int64_t(position->dst_x) + geometry->width + border,
                std::int64_t(position->dst_y) + geometry->height + border };
    auto extents = property_words(frame.get());
    if (extents.size() == 4) {
        rect.left -= extents[0];
        rect.right += extents[1];
        rect.top -= extents[2];
        rect.bottom += extents[3];
    }
    auto screens = monitors();
    info.covers_monitor = rect.covers(nearest_monitor(screens, rect));
    return info;
}

Result<std::unique_ptr<ForegroundProbe>> open_default()
{
    return open_foreground_probe({});
}

}

Result<std::unique_ptr<ForegroundProbe>> open_foreground_probe(ForegroundOptions options)
{
    auto probe = std::make_unique<X11ForegroundProbe>(std::move(options));
    TRY_VOID(probe->connect());
    return probe;
}

ForegroundDriver const foreground_driver { "x11", &open_default };

std::string process_exe_name(std::filesystem::path const& proc_root, int pid)
{
    if (pid <= 0)
        return {};
    auto folder = proc_root / std::to_string(pid);
    auto target = read_link(folder / "exe");
    if (!target)
        return {};
    std::string_view path = *target;
    // The link of a program replaced on disk since it started still names it.
    constexpr std::string_view deleted = " (deleted)";
    if (path.ends_with(deleted))
        path.remove_suffix(deleted.size());
    auto name = last_component(path);
    if (std::ranges::find(wine_loaders, name) == std::end(wine_loaders))
        return std::string(name);

    // Wine puts the Windows path of the program ("C:\Games\Game.exe") in the first argument.
    std::ifstream cmdline(folder / "cmdline", std::ios::binary);
    std::string first;
    if (!cmdline || !std::getline(cmdline, first, '\0'))
        return {};
    return std::string(last_component(first));
}

}
