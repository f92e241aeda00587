#include "platform/linux/x11_foreground.h"

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <thread>
#include <unistd.h>

#include <gtest/gtest.h>
#include <xcb/xcb.h>

#include "engine/foreground.h"
#include "tests/support/media_check.h"
#include "tests/support/temp_dir.h"

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using namespace std::string_literals;
using foreground::ForegroundKind;

namespace {

// A process folder of a fixture /proc: an "exe" link to `target` and, when given, a command line.
void make_process(fs::path const& proc, int pid, std::string const& target, std::optional<std::string> cmdline = {})
{
    fs::create_directories(proc / std::to_string(pid));
    fs::create_symlink(target, proc / std::to_string(pid) / "exe");
    if (cmdline)
        std::ofstream(proc / std::to_string(pid) / "cmdline", std::ios::binary) << *cmdline;
}

// The window manager works asynchronously: its answers are polled for 10 s at most.
bool eventually(std::function<bool()> const& done) { return media::poll_until(done, 10s); }

struct WindowSpec {
    std::string title {};                       // _NET_WM_NAME (UTF-8)
    std::string window_class = "QuillTest";
    std::optional<std::uint32_t> pid {}; // _NET_WM_PID
    std::optional<std::string> type {};  // _NET_WM_WINDOW_TYPE_*
    std::int16_t x = 100, y = 120;
    std::uint16_t width = 400, height = 300;
};

// A small X client of its own, on its own connection, that makes the windows the probe looks at.
class TestClient {
public:
    TestClient()
        : m_connection(xcb_connect(nullptr, nullptr))
    {
        if (xcb_connection_has_error(m_connection))
            return;
        m_root = xcb_setup_roots_iterator(xcb_get_setup(m_connection)).data->root;
    }
    ~TestClient()
    {
        xcb_disconnect(m_connection);
    }
    bool ok() const { return !xcb_connection_has_error(m_connection); }

    xcb_atom_t atom(std::string const& name)
    {
        auto* reply = xcb_intern_atom_reply(m_connection,
            xcb_intern_atom(m_connection, 0, static_cast<std::uint16_t>(name.size()), name.c_str()), nullptr);
        xcb_atom_t atom = reply ? reply->atom : xcb_atom_t(XCB_ATOM_NONE);
        std::free(reply);
        return atom;
    }

    void set_property(xcb_window_t window, xcb_atom_t property, xcb_atom_t type, std::uint8_t format, void const* data,
                      std::uint32_t count)
    {
        xcb_change_property(m_connection, XCB_PROP_MODE_REPLACE, window, property, type, format, count, data);
    }

    xcb_window_t create(WindowSpec const& spec)
    {
        auto window = xcb_generate_id(m_connection);
        xcb_create_window(m_connection, XCB_COPY_FROM_PARENT, window, m_root, spec.x, spec.y, spec.width, spec.height, 0,
                          XCB_WINDOW_CLASS_INPUT_OUTPUT, XCB_COPY_FROM_PARENT, 0, nullptr);
        set_property(window, atom("_NET_WM_NAME"), atom("UTF8_STRING"), 8, spec.title.data(),
                     static_cast<std::uint32_t>(spec.title.size()));
        std::string wm_class = "quill\0"s + spec.window_class + '\0';
        set_property(window, XCB_ATOM_WM_CLASS, XCB_ATOM_STRING, 8, wm_class.data(),
                     static_cast<std::uint32_t>(wm_class.size()));
        if (spec.pid)
            set_property(window, atom("_NET_WM_PID"), XCB_ATOM_CARDINAL, 32, &*spec.pid, 1);
        if (spec.type) {
            auto type = atom(*spec.type);
            set_property(window, atom("_NET_WM_WINDOW_TYPE"), XCB_ATOM_ATOM, 32, &type, 1);
        }
        xcb_map_window(m_connection, window);
        xcb_flush(m_connection);
        m_windows.push_back(window);
        return window;
    }

    // The windows a property of the root window names (_NET_CLIENT_LIST, _NET_ACTIVE_WINDOW).
    std::vector<xcb_window_t> root_list(char const* property)
    {
        auto* reply = xcb_get_property_reply(m_connection,
            xcb_get_property(m_connection, 0, m_root, atom(property), XCB_ATOM_WINDOW, 0, 1024), nullptr);
        std::vector<xcb_window_t> windows;
        if (reply) {
            auto* data = static_cast<xcb_window_t*>(xcb_get_property_value(reply));
            windows.assign(data, data + xcb_get_property_value_length(reply) / 4);
        }
        std::free(reply);
        return windows;
    }

    // Asks the window manager to bring the window to the front, as a pager does, until it is active.
    bool activate(xcb_window_t window)
    {
        return eventually([&] {
            if (root_list("_NET_ACTIVE_WINDOW") == std::vector { window })
                return true;
            xcb_client_message_event_t event {};
            event.response_type = XCB_CLIENT_MESSAGE;
            event.format = 32;
            event.window = window;
            event.type = atom("_NET_ACTIVE_WINDOW");
            event.data.data32[0] = 2;
            event.data.data32[1] = XCB_CURRENT_TIME;
            xcb_send_event(m_connection, 0, m_root,
                           XCB_EVENT_MASK_SUBSTRUCTURE_REDIRECT | XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY,
                           reinterpret_cast<char const*>(&event));
            xcb_flush(m_connection);
            return false;
        });
    }

    // Destroys our windows and waits until the window manager has let go of them, so that the next test never
    // meets a window the manager still remembers.
    void destroy_all()
    {
        for (auto window : m_windows)
            xcb_destroy_window(m_connection, window);
        xcb_flush(m_connection);
        eventually([&] {
            auto windows = root_list("_NET_CLIENT_LIST");
            return std::ranges::none_of(m_windows, [&](auto w) { return std::ranges::find(windows, w) != windows.end(); });
        });
        m_windows.clear();
    }

private:
    xcb_connection_t* m_connection;
    xcb_window_t m_root { 0 };
    std::vector<xcb_window_t> m_windows;
};

class X11Foreground : public testing_support::TempDirTest {
protected:
    // One client for the whole suite: the server hands the window ids of a closed connection to the next one,
    // and the window manager may not have forgotten the old windows yet.
    static void SetUpTestSuite()
    {
        if (std::getenv("DISPLAY"))
            s_client = new TestClient;
    }
    static void TearDownTestSuite()
    {
        delete s_client;
        s_client = nullptr;
    }
    void SetUp() override
    {
        TempDirTest::SetUp();
        if (!s_client)
            GTEST_SKIP() << "no DISPLAY: run under scripts/desktop-session";
        ASSERT_TRUE(s_client->ok());
    }
    void TearDown() override
    {
        if (s_client)
            s_client->destroy_all();
        TempDirTest::TearDown();
    }

    static inline TestClient* s_client = nullptr;
};

}

TEST_F(X11Foreground, NamesTheWindowInFront)
{
    using foreground::ForegroundInfo;
    struct Row {
        char const* what;
        WindowSpec spec;
        int pid; // the _NET_WM_PID the probe reads instead of asking the server, from a fixture /proc; 0: asks
        bool covers;
        ForegroundInfo expected;
    };
    Row const rows[] = {
        // An unknown program in a window titled "document - program" is named after its executable; a large
        // window that leaves part of the monitor does not cover it.
        { "own process, large window", { .title = "notes.txt - Éditeur", .window_class = "QuillNotes", .x = 0, .y = 0,
                                         .width = 1900, .height = 1000 },
          0, false, { "X11 Foreground Test", ForegroundKind::App } },
        // A desktop window covers its monitor and is in no table: without the window type it would count as a
        // game and keep capture running for as long as the desktop is in front.
        { "desktop window", { .title = "Bureau de fichiers", .type = "_NET_WM_WINDOW_TYPE_DESKTOP", .x = 0, .y = 0,
                              .width = 1920, .height = 1080 },
          0, true, foreground::desktop_entry() },
        { "pid property without the server", { .title = "Minecraft 1.20.4", .pid = 4242 },
          4242, false, { "Minecraft", ForegroundKind::Game } },
    };
    std::unique_ptr<platform::ForegroundProbe> probe;
    for (auto const& row : rows) {
        SCOPED_TRACE(row.what);
        platform::x11::ForegroundOptions options { .ask_server_for_pid = row.pid == 0 };
        if (row.pid) { // a fixture process folder whose program is Java
            make_process(dir() / "proc", row.pid, "/usr/lib/jvm/java-17/bin/java");
            options.proc_root = dir() / "proc";
        }
        auto opened = platform::x11::open_foreground_probe(std::move(options));
        ASSERT_TRUE(opened) << opened.error();
        probe = std::move(*opened);
        EXPECT_TRUE(s_client->activate(s_client->create(row.spec))) << "the window manager never made it active";
        // The window manager may still be moving the window.
        std::optional<platform::WindowInfo> seen;
        eventually([&] {
            return (seen = probe->sample()) && seen->title == row.spec.title && seen->covers_monitor == row.covers;
        });
        ASSERT_TRUE(seen);
        EXPECT_EQ(seen->window_class, row.spec.window_class);
        EXPECT_EQ(seen->pid, row.pid ? row.pid : getpid());
        if (!row.pid) {
            EXPECT_EQ(seen->exe_name, fs::read_symlink("/proc/self/exe").filename().string());
        }
        EXPECT_EQ(seen->covers_monitor, row.covers);
        EXPECT_EQ(seen->ignored_type, row.spec.type.has_value());
        EXPECT_EQ(foreground::classify_window(seen), row.expected);
        s_client->destroy_all();
    }
    EXPECT_TRUE(eventually([&] { return !probe->sample(); })) << "the last window closed: nothing is in front";
}

using ProcExeName = testing_support::TempDirTest;

// The program behind a window, from /proc: a native one by its executable, one under Wine or Proton by the
// Windows program on its command line.
TEST_F(ProcExeName, NativeAndWineProcesses)
{
    struct Row {
        int pid;
        char const* exe; // the "exe" link; none for a process that is gone
        std::optional<std::string> cmdline;
        char const* exe_name;
    };
    Row const rows[] = {
        { 10, "/opt/celeste/Celeste.bin.x86_64", {}, "Celeste.bin.x86_64" },
        { 11, "/usr/bin/java (deleted)", {}, "java" },
        { 12, "/home/me/.steam/proton/files/bin/wine64-preloader",
          "C:\\Program Files\\Rockstar Games\\GTA5_Enhanced.exe\0-fullscreen\0"s, "GTA5_Enhanced.exe" },
        { 13, "/usr/lib/wine/wine", "Z:\\home\\me/Games/Hades2.exe\0"s, "Hades2.exe" },
        { 14, "/usr/lib/wine/wine-preloader", ""s, "" }, // no Windows program: as without a command line
        { 16, "/usr/bin/winecfg", "C:\\x\\notepad.exe\0"s, "winecfg" },
        { 99, nullptr, {}, "" },
    };
    for (auto const& row : rows) {
        SCOPED_TRACE(row.pid);
        if (row.exe)
            make_process(dir(), row.pid, row.exe, row.cmdline);
        auto name = platform::x11::process_exe_name(dir(), row.pid);
        EXPECT_EQ(name, row.exe_name);
    }
}
