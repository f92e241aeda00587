// The real program's window seen from outside: its size, hints and icon, where it comes back after a close
// by the window manager, and a second start bringing it to the front.

#include <gtest/gtest.h>

#include <csignal>

#include <fmt/format.h>

#include "tests/e2e/program_rig.h"
#include "tests/e2e/window_checks.h"
#include "tests/support/media_check.h"
#include "tests/support/temp_dir.h"

namespace {

using namespace e2e;

class WindowRun : public testing_support::TempDirTest {
protected:
    void SetUp() override
    {
        TempDirTest::SetUp();
        if (!std::getenv("DISPLAY"))
            GTEST_SKIP() << "needs the test desktop (scripts/desktop-session)";
        for (char const* tool : { "xdotool", "xwininfo", "xprop" }) {
            if (!media::have_tool(tool))
                GTEST_SKIP() << tool << " missing";
        }
        home.root = dir() / "home";
        home.write_settings({ { "theme", "Dark" } });
    }
    std::filesystem::path window_json() const { return home.config_dir() / "window.json"; }

    // A second start asks the first for its window; the new one shows.
    unsigned long reopen(Program& program)
    {
        Program second(home);
        EXPECT_EQ(second.wait_exit(20s), 0);
        unsigned long id = 0;
        EXPECT_TRUE(poll_until([&] { return (id = main_window(program.pid())) != 0; }));
        return id;
    }
    void close_and_wait(Program& program, unsigned long id)
    {
        close_window(id);
        EXPECT_TRUE(poll_until([&] { return main_window(program.pid()) == 0; }));
        EXPECT_TRUE(program.running());
    }

    e2e::Home home;
};

}

TEST_F(WindowRun, ShowsPlacesAndRemembersItsWindow)
{
    Program program(home);
    unsigned long id = 0;
    ASSERT_TRUE(poll_until([&] { return (id = main_window(program.pid())) != 0; })) << program.output();
    EXPECT_EQ(xwininfo_field(id, "Width"), 1180);
    EXPECT_EQ(xwininfo_field(id, "Height"), 760);
    auto props = output_of(fmt::format("xprop -id {}", id));
    EXPECT_NE(props.find("program specified minimum size: 960 by 600"), std::string::npos) << props;
    EXPECT_NE(props.find("Icon (32 x 32)"), std::string::npos);
    EXPECT_NE(props.find("_GTK_THEME_VARIANT(UTF8_STRING) = \"dark\""), std::string::npos);

    // Moved and maximised, then closed by the window manager: it comes back maximised.
    output_of(fmt::format("xdotool windowmove {} 150 120", id));
    add_state(id, "_NET_WM_STATE_MAXIMIZED_VERT", "_NET_WM_STATE_MAXIMIZED_HORZ");
    ASSERT_TRUE(poll_until([&] { return output_of(fmt::format("xprop -id {} _NET_WM_STATE", id)).find("MAXIMIZED_HORZ") != std::string::npos; }));
    close_and_wait(program, id);
    auto saved = read_file(window_json());
    EXPECT_NE(saved.find("\"maximized\":true}"), std::string::npos) << saved;
    id = reopen(program);
    EXPECT_TRUE(poll_until([&] { return output_of(fmt::format("xprop -id {} _NET_WM_STATE", id)).find("MAXIMIZED_HORZ") != std::string::npos; }));

    // Minimised or fullscreen: the file stays as it was.
    write_file("home/.config/quill.mar/window.json", R"({"x":100.0,"y":90.0,"w":1000.0,"h":700.0,"maximized":false})");
    auto const before = read_file(window_json());
    output_of(fmt::format("xdotool windowminimize {}", id));
    ASSERT_TRUE(poll_until([&] { return main_window(program.pid()) == 0; }));
    close_window(id);
    ASSERT_TRUE(poll_until([&] { return !window_exists(id); }));
    id = reopen(program);
    EXPECT_EQ(xwininfo_field(id, "Width"), 1000);
    add_state(id, "_NET_WM_STATE_FULLSCREEN");
    ASSERT_TRUE(poll_until([&] { return output_of(fmt::format("xprop -id {} _NET_WM_STATE", id)).find("FULLSCREEN") != std::string::npos; }));
    close_and_wait(program, id);
    EXPECT_EQ(read_file(window_json()), before);

    // Another window in front: a second start brings ours forward.
    id = reopen(program);
    e2e::TestGame other("Autre fenêtre");
    ASSERT_FALSE(other.start());
    ASSERT_TRUE(poll_until([&] { return std::stoul("0" + output_of("xdotool getactivewindow")) == other.window_id(); }));
    Program second(home);
    EXPECT_EQ(second.wait_exit(20s), 0);
    EXPECT_TRUE(poll_until([&] { return std::stoul("0" + output_of("xdotool getactivewindow")) == id; }));
    program.signal(SIGTERM);
    EXPECT_EQ(program.wait_exit(30s), 0);
}
