// A clip copied in the real program stays pasteable after it quits, once a clipboard manager took it over. The
// manager is Xfce's settings daemon, which answers the request a quitting program sends it; it also grabs keys
// and publishes desktop settings that other tests must not see, so this binary runs on a test desktop of its
// own (e2e.cmake starts scripts/desktop-session around it).

#include <gtest/gtest.h>

#include <csignal>

#include <fmt/format.h>

#include "tests/e2e/program_rig.h"

// Last: Xlib defines None, Status and Bool as macros.
#include <X11/Xlib.h>

namespace {

using namespace e2e;

bool manager_runs()
{
    Display* display = XOpenDisplay(nullptr);
    if (!display)
        return false;
    bool owned = XGetSelectionOwner(display, XInternAtom(display, "CLIPBOARD_MANAGER", False)) != None;
    XCloseDisplay(display);
    return owned;
}

std::string clipboard(char const* target)
{
    return output_of(fmt::format("xclip -selection clipboard -o -t {} 2>/dev/null", target));
}

}

TEST_F(DesktopRun, CopiedClipStaysPasteableAfterQuit)
{
    if (!media::have_tool("xfsettingsd") || !media::have_tool("xclip"))
        GTEST_SKIP() << "needs xfsettingsd and xclip";
    home.write_settings();
    auto manager_argv = home.variables();
    manager_argv.insert(manager_argv.begin(), "env");
    for (char const* arg : { "xfsettingsd", "--disable-wm-check", "--sm-client-disable" })
        manager_argv.emplace_back(arg);
    std::filesystem::create_directories(home.root);
    Program manager(manager_argv, home.root / "manager.log");
    ASSERT_TRUE(poll_until(manager_runs)) << manager.output();

    auto clip = write_file("home/Videos/quill.mar/Partie.mp4", "mp4");
    Program program(home);
    unsigned long id = 0;
    ASSERT_TRUE(poll_until([&] { return (id = main_window(program.pid())) != 0; })) << program.output();
    output_of(fmt::format("xdotool windowactivate --sync {}", id));
    // Tab through the page until the clip's card holds the focus, where Ctrl+C copies it.
    auto offered = [] { return clipboard("TARGETS").find("text/uri-list") != std::string::npos; };
    bool copied = false;
    for (int i = 0; i < 40 && !copied; ++i) {
        press("Tab");
        press("ctrl+c");
        copied = poll_until(offered, 300ms);
    }
    ASSERT_TRUE(copied) << program.output();
    auto const uri = clipboard("text/uri-list");
    EXPECT_TRUE(uri.starts_with("file:///") && uri.ends_with("/Partie.mp4\r\n")) << uri;

    program.signal(SIGTERM);
    ASSERT_EQ(program.wait_exit(30s), 0) << program.output();
    // The program's own offer died with it: what answers now is the manager's copy of both targets.
    EXPECT_EQ(clipboard("text/uri-list"), uri);
    EXPECT_EQ(clipboard("x-special/gnome-copied-files"), "copy\n" + uri.substr(0, uri.size() - 2));
    EXPECT_TRUE(manager.running());
}
