// Global shortcuts through passive key grabs on the root window, on the hotkeys thread's own XCB
// connection. Each grab is repeated with the CapsLock and NumLock variants so that the lock keys never
// disable a shortcut. Detectable auto-repeat (XKB) plus a held-key set make a held shortcut fire once.

#include "platform/hotkey_registrar.h"
#include "platform/linux/handles.h"
#include "platform/linux/vk_keysyms.h"

#include <array>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <map>
#include <memory>
#include <optional>
#include <poll.h>
#include <set>
#include <sys/eventfd.h>
#include <unistd.h>
#include <utility>
#include <vector>

#include <X11/keysym.h>
#include <xcb/xcb.h>
#include <xcb/xcb_keysyms.h>
// xkb.h names a field "explicit", which C++ reserves.
#define explicit xcb_explicit
#include <xcb/xkb.h>
#undef explicit

namespace platform::linux_keys {

std::uint32_t vk_to_keysym(std::uint32_t vk)
{
    if (vk >= 0x30 && vk <= 0x39)
        return XK_0 + (vk - 0x30);
    if (vk >= 0x41 && vk <= 0x5A)
        return XK_a + (vk - 0x41);
    if (vk >= 0x60 && vk <= 0x69)
        return XK_KP_0 + (vk - 0x60);
    if (vk >= 0x70 && vk <= 0x87)
        return XK_F1 + (vk - 0x70);
    switch (vk) {
    case 0x08: return XK_BackSpace;
    case 0x09: return XK_Tab;
    case 0x0D: return XK_Return;
    case 0x13: return XK_Pause;
    case 0x14: return XK_Caps_Lock;
    case 0x1B: return XK_Escape;
    case 0x20: return XK_space;
    case 0x21: return XK_Prior;
    case 0x22: return XK_Next;
    case 0x23: return XK_End;
    case 0x24: return XK_Home;
    case 0x25: return XK_Left;
    case 0x26: return XK_Up;
    case 0x27: return XK_Right;
    case 0x28: return XK_Down;
    case 0x2C: return XK_Print;
    case 0x2D: return XK_Insert;
    case 0x2E: return XK_Delete;
    case 0x6A: return XK_KP_Multiply;
    case 0x6B: return XK_KP_Add;
    case 0x6D: return XK_KP_Subtract;
    case 0x6E: return XK_KP_Decimal;
    case 0x6F: return XK_KP_Divide;
    case 0x90: return XK_Num_Lock;
    case 0x91: return XK_Scroll_Lock;
    case 0xBA: return XK_semicolon;
    case 0xBB: return XK_equal;
    case 0xBC: return XK_comma;
    case 0xBD: return XK_minus;
    case 0xBE: return XK_period;
    case 0xBF: return XK_slash;
    case 0xC0: return XK_grave;
    case 0xDB: return XK_bracketleft;
    case 0xDC: return XK_backslash;
    case 0xDD: return XK_bracketright;
    case 0xDE: return XK_apostrophe;
    default: return 0;
    }
}

}

namespace platform {

namespace {

using KeySymbols = std::unique_ptr<xcb_key_symbols_t, handles::Free<&xcb_key_symbols_free>>;

class EventFdWaker final : public HotkeyWaker {
public:
    explicit EventFdWaker(int fd)
        : m_fd(fd)
    {
    }
    ~EventFdWaker() override { ::close(m_fd); }
    void post_app() override
    {
        m_app.store(true);
        signal();
    }
    void post_quit() override
    {
        m_quit.store(true);
        signal();
    }
    int fd() const { return m_fd; }
    bool take_app() { return m_app.exchange(false); }
    bool quit() const { return m_quit.load(); }
    void drain()
    {
        std::uint64_t value;
        while (::read(m_fd, &value, sizeof value) < 0 && errno == EINTR) { }
    }

private:
    void signal()
    {
        std::uint64_t one = 1;
        while (::write(m_fd, &one, sizeof one) < 0 && errno == EINTR) { }
    }
    int m_fd;
    std::atomic<bool> m_app { false };
    std::atomic<bool> m_quit { false };
};

constexpr std::uint8_t bad_access = 10;

class XcbHotkeys final : public HotkeyRegistrar {
public:
    static Result<std::unique_ptr<HotkeyRegistrar>> open()
    {
        int screen_number = 0;
        handles::XcbConnection connection(xcb_connect(nullptr, &screen_number));
        if (!connection || xcb_connection_has_error(connection.get()))
            return fail("affichage X11 inaccessible");
        auto setup = xcb_get_setup(connection.get());
        auto screens = xcb_setup_roots_iterator(setup);
        for (int i = 0; i < screen_number && screens.rem; ++i)
            xcb_screen_next(&screens);
        if (!screens.rem)
            return fail("écran X11 introuvable");
        KeySymbols symbols(xcb_key_symbols_alloc(connection.get()));
        if (!symbols)
            return fail("table des touches X11 indisponible");
        int fd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
        if (fd < 0)
            return fail(os_error(errno));
        auto waker = std::make_shared<EventFdWaker>(fd);
        auto registrar = std::unique_ptr<XcbHotkeys>(
            new XcbHotkeys(std::move(connection), screens.data->root, std::move(symbols), std::move(waker)));
        registrar->enable_detectable_repeat();
        registrar->find_lock_masks();
        return std::unique_ptr<HotkeyRegistrar>(std::move(registrar));
    }

    ~XcbHotkeys() override
    {
        for (auto const& [id, grab] : m_grabs)
            ungrab_variants(grab);
        xcb_flush(m_connection.get());
    }

    Result<void> grab(int id, std::uint32_t mods, std::uint32_t vk) override
    {
        auto keysym = linux_keys::vk_to_keysym(vk);
        if (keysym == 0)
            return fail("touche inconnue");
        handles::XcbReply<xcb_keycode_t> codes(xcb_key_symbols_get_keycode(m_symbols.get(), keysym));
        if (!codes || codes.get()[0] == XCB_NO_SYMBOL)
            return fail("touche absente du clavier");
        Grab wanted { codes.get()[0], to_x_mods(mods) };
        for (auto const& [other_id, grab] : m_grabs) {
            if (grab.keycode == wanted.keycode && grab.mods == wanted.mods)
                return fail("raccourci déjà utilisé");
        }
        std::vector<std::uint16_t> done;
        for (auto variant : variants()) {
            auto cookie = xcb_grab_key_checked(m_connection.get(), 1, m_root, wanted.mods | variant, wanted.keycode,
                                               XCB_GRAB_MODE_ASYNC, XCB_GRAB_MODE_ASYNC);
            handles::XcbReply<xcb_generic_error_t> error(xcb_request_check(m_connection.get(), cookie));
            if (error) {
                for (auto undo : done)
                    xcb_ungrab_key(m_connection.get(), wanted.keycode, m_root, wanted.mods | undo);
                xcb_flush(m_connection.get());
                return fail(error->error_code == bad_access ? "raccourci pris par un autre programme"
                                                            : "raccourci refusé");
            }
            done.push_back(variant);
        }
        m_grabs[id] = wanted;
        return {};
    }

    void ungrab(int id) override
    {
        auto found = m_grabs.find(id);
        if (found == m_grabs.end())
            return;
        ungrab_variants(found->second);
        m_held.erase(found->second.keycode);
        m_grabs.erase(found);
        xcb_flush(m_connection.get());
    }

    HotkeyEvent wait() override
    {
        for (;;) {
            if (m_waker->quit())
                return { HotkeyEvent::Kind::Quit, 0 };
            if (m_waker->take_app()) {
                // One round trip brings in every event the server sent before it, so the presses made
                // before the wake-up come out ahead of its App.
                handles::XcbReply<xcb_get_input_focus_reply_t> synced(
                    xcb_get_input_focus_reply(m_connection.get(), xcb_get_input_focus(m_connection.get()), nullptr));
                m_app_due = true;
            }
            while (auto* raw = xcb_poll_for_event(m_connection.get())) {
                handles::XcbReply<xcb_generic_event_t> event(raw);
                if (auto id = handle(event.get()))
                    return { HotkeyEvent::Kind::Pressed, *id };
            }
            if (std::exchange(m_app_due, false))
                return { HotkeyEvent::Kind::App, 0 };
            if (xcb_connection_has_error(m_connection.get())) {
                // The display is gone: only a quit can still arrive.
                pollfd only_waker { m_waker->fd(), POLLIN, 0 };
                ::poll(&only_waker, 1, -1);
                m_waker->drain();
                continue;
            }
            std::array<pollfd, 2> fds { pollfd { xcb_get_file_descriptor(m_connection.get()), POLLIN, 0 },
                                        pollfd { m_waker->fd(), POLLIN, 0 } };
            if (::poll(fds.data(), fds.size(), -1) < 0 && errno != EINTR)
                continue;
            if (fds[1].revents & POLLIN)
                m_waker->drain();
        }
    }

    std::shared_ptr<HotkeyWaker> waker() override { return m_waker; }

private:
    struct Grab {
        xcb_keycode_t keycode;
        std::uint16_t mods;
    };

    XcbHotkeys(
        handles::XcbConnection connection, xcb_window_t root, KeySymbols symbols, std::shared_ptr<EventFdWaker> waker)
        : m_connection(std::move(connection))
        , m_root(root)
        , m_symbols(std::move(symbols))
        , m_waker(std::move(waker))
    {
    }

    static std::uint16_t to_x_mods(std::uint32_t mods)
    {
        std::uint16_t x = 0;
        if (mods & mod_alt)
            x |= XCB_MOD_MASK_1;
        if (mods & mod_control)
            x |= XCB_MOD_MASK_CONTROL;
        if (mods & mod_shift)
            x |= XCB_MOD_MASK_SHIFT;
        return x;
    }

    std::array<std::uint16_t, 4> variants() const
    {
        return { 0, XCB_MOD_MASK_LOCK, m_num_lock, static_cast<std::uint16_t>(XCB_MOD_MASK_LOCK | m_num_lock) };
    }

    void ungrab_variants(Grab const& grab)
    {
        for (auto variant : variants())
            xcb_ungrab_key(m_connection.get(), grab.keycode, m_root, grab.mods | variant);
    }

    void enable_detectable_repeat()
    {
        auto use = xcb_xkb_use_extension(m_connection.get(), XCB_XKB_MAJOR_VERSION, XCB_XKB_MINOR_VERSION);
        handles::XcbReply<xcb_xkb_use_extension_reply_t> used(
            xcb_xkb_use_extension_reply(m_connection.get(), use, nullptr));
        if (!used || !used->supported)
            return;
        auto cookie = xcb_xkb_per_client_flags(m_connection.get(), XCB_XKB_ID_USE_CORE_KBD,
                                               XCB_XKB_PER_CLIENT_FLAG_DETECTABLE_AUTO_REPEAT,
                                               XCB_XKB_PER_CLIENT_FLAG_DETECTABLE_AUTO_REPEAT, 0, 0, 0);
        handles::XcbReply<xcb_xkb_per_client_flags_reply_t> reply(
            xcb_xkb_per_client_flags_reply(m_connection.get(), cookie, nullptr));
    }

    void find_lock_masks()
    {
        m_num_lock = XCB_MOD_MASK_2;
        handles::XcbReply<xcb_keycode_t> num_codes(xcb_key_symbols_get_keycode(m_symbols.get(), XK_Num_Lock));
        if (!num_codes)
            return;
        auto cookie = xcb_get_modifier_mapping(m_connection.get());
        handles::XcbReply<xcb_get_modifier_mapping_reply_t> mapping(
            xcb_get_modifier_mapping_reply(m_connection.get(), cookie, nullptr));
        if (!mapping)
            return;
        auto* codes = xcb_get_modifier_mapping_keycodes(mapping.get());
        int per = mapping->keycodes_per_modifier;
        for (int modifier = 0; modifier < 8; ++modifier) {
            for (int k = 0; k < per; ++k) {
                auto code = codes[modifier * per + k];
                for (auto* n = num_codes.get(); code != 0 && *n != XCB_NO_SYMBOL; ++n) {
                    if (*n == code) {
                        m_num_lock = static_cast<std::uint16_t>(1u << modifier);
                        return;
                    }
                }
            }
        }
    }

    // The id of the shortcut a key press fires, once per press.
    std::optional<int> handle(xcb_generic_event_t* event)
    {
        auto type = event->response_type & 0x7F;
        if (type == XCB_KEY_RELEASE) {
            m_held.erase(reinterpret_cast<xcb_key_release_event_t*>(event)->detail);
            return std::nullopt;
        }
        if (type != XCB_KEY_PRESS)
            return std::nullopt;
        auto* press = reinterpret_cast<xcb_key_press_event_t*>(event);
        if (!m_held.insert(press->detail).second)
            return std::nullopt;
        std::uint16_t mods = press->state
            & (XCB_MOD_MASK_SHIFT | XCB_MOD_MASK_CONTROL | XCB_MOD_MASK_1);
        for (auto const& [id, grab] : m_grabs) {
            if (grab.keycode == press->detail && grab.mods == mods)
                return id;
        }
        return std::nullopt;
    }

    handles::XcbConnection m_connection;
    xcb_window_t m_root;
    KeySymbols m_symbols;
    std::shared_ptr<EventFdWaker> m_waker;
    std::map<int, Grab> m_grabs;
    std::set<xcb_keycode_t> m_held;
    std::uint16_t m_num_lock { XCB_MOD_MASK_2 };
    bool m_app_due { false };
};

}

static Result<std::unique_ptr<HotkeyRegistrar>> open_xcb_hotkeys() { return XcbHotkeys::open(); }

}

namespace platform {

std::span<HotkeyDriver const> hotkey_drivers()
{
    static constexpr HotkeyDriver drivers[] = { { "xcb", &open_xcb_hotkeys } };
    return drivers;
}

}
