// The real program's window and notification-area icon seen from outside: the window's first paint, size,
// hints and icon, where it comes back after a close by the window manager, its toast on the first close, a
// second start bringing it to the front, and the save key after it closed; the icon docked in trayer (an
// XEmbed tray), and as a StatusNotifier item seen by a watcher of the test over the session bus.

#include <gtest/gtest.h>

#include <csignal>
#include <regex>

#include <fmt/format.h>

#include "tests/e2e/program_rig.h"

namespace {

using namespace e2e;

class WindowRun : public DesktopRun {
protected:
    void SetUp() override
    {
        DesktopRun::SetUp();
        if (!IsSkipped())
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
    // Closed by the window manager: the program goes on without it.
    void close_and_wait(Program& program, unsigned long id, bool mapped_only = true)
    {
        close_window(id);
        EXPECT_TRUE(poll_until([&] { return main_window(program.pid(), mapped_only) == 0; }));
        EXPECT_TRUE(program.running());
    }
};

bool has_state(unsigned long id, char const* state)
{
    return output_of(fmt::format("xprop -id {} _NET_WM_STATE", id)).find(state) != std::string::npos;
}

}

TEST_F(WindowRun, ShowsPlacesAndRemembersItsWindow)
{
    // Dark from the first painted pixel: no flash of the light theme before the page's first frame.
    MapWatch watch;
    auto toasts = [&] { return watch.maps("QuillmarToast"); }; // the width of each toast shown
    auto toast_gone = [] { return output_of("xdotool search --onlyvisible --class '^QuillmarToast$'").empty(); };
    Program program(home);
    auto first = watch.first_paint(960, 1100, 700);
    ASSERT_TRUE(first) << program.output();
    EXPECT_EQ(std::tuple(int(first->r), int(first->g), int(first->b)), std::tuple(17, 18, 20));
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
    ASSERT_TRUE(poll_until([&] { return has_state(id, "MAXIMIZED_HORZ"); }));
    close_and_wait(program, id);
    // The first close says in a toast that the keys stay on.
    ASSERT_TRUE(poll_until([&] { return toasts().size() == 1; }));
    ASSERT_TRUE(poll_until(toast_gone));
    auto saved = read_file(window_json());
    EXPECT_NE(saved.find("\"maximized\":true}"), std::string::npos) << saved;
    id = reopen(program);
    EXPECT_TRUE(poll_until([&] { return has_state(id, "MAXIMIZED_HORZ"); }));

    // Minimised or fullscreen: the file stays as it was.
    write_file("home/.config/quill.mar/window.json", R"({"x":100.0,"y":90.0,"w":1000.0,"h":700.0,"maximized":false})");
    auto const before = read_file(window_json());
    output_of(fmt::format("xdotool windowminimize {}", id));
    ASSERT_TRUE(poll_until([&] { return main_window(program.pid()) == 0; }));
    close_window(id);
    ASSERT_TRUE(poll_until([&] { return xwininfo_field(id, "Width") < 0; }));
    id = reopen(program);
    EXPECT_EQ(xwininfo_field(id, "Width"), 1000);
    add_state(id, "_NET_WM_STATE_FULLSCREEN");
    ASSERT_TRUE(poll_until([&] { return has_state(id, "FULLSCREEN"); }));
    close_and_wait(program, id);
    EXPECT_EQ(read_file(window_json()), before);

    // Another window in front: a second start brings ours forward.
    id = reopen(program);
    TestGame other("Autre fenêtre");
    ASSERT_FALSE(other.start());
    ASSERT_TRUE(poll_until([&] { return std::stoul("0" + output_of("xdotool getactivewindow")) == other.window_id(); }));
    Program second(home);
    EXPECT_EQ(second.wait_exit(20s), 0);
    EXPECT_TRUE(poll_until([&] { return std::stoul("0" + output_of("xdotool getactivewindow")) == id; }));

    // Closed with the game behind: F6 still saves. Capture may start afresh once the game is in front again:
    // each press answers with a toast, until one has a clip to keep. No close but the first gave a toast.
    close_and_wait(program, id);
    output_of(fmt::format("xdotool windowactivate --sync {}", other.window_id()));
    std::vector<SavedClip> clips;
    for (std::size_t shown = 1; clips.empty() && shown < 10; ++shown) {
        press("F6");
        ASSERT_TRUE(poll_until([&] { return toasts().size() > shown; }));
        ASSERT_TRUE(poll_until(toast_gone));
        clips = list_clips(home.clips_dir());
    }
    ASSERT_FALSE(clips.empty()) << program.output();
    EXPECT_FALSE(media::probe(clips[0].mp4).is_null());
    EXPECT_EQ(media::decode_errors(clips[0].mp4), "");
    EXPECT_NE(toasts()[0], toasts()[1]);
    program.signal(SIGTERM);
    EXPECT_EQ(program.wait_exit(30s), 0);
}

namespace {

class TrayRun : public WindowRun {
protected:
    void SetUp() override
    {
        WindowRun::SetUp();
        if (IsSkipped())
            return;
        if (!std::getenv("DBUS_SESSION_BUS_ADDRESS") || !media::have_tool("trayer") || !media::have_tool("gdbus"))
            GTEST_SKIP() << "needs the session bus, trayer and gdbus";
        tray.emplace(std::vector<std::string> { "trayer", "--edge", "top", "--align", "right", "--widthtype", "request",
                                                "--height", "32" },
                     dir() / "trayer.log");
        ASSERT_TRUE(poll_until([&] { return (panel = std::stoul("0" + output_of("xdotool search --name '^panel$' | head -n 1"))) != 0; }));
    }

    // The icon's centre when it is docked in the tray.
    std::optional<std::pair<int, int>> docked_icon()
    {
        std::smatch match;
        auto tree = output_of(fmt::format("xwininfo -tree -id {}", panel));
        static std::regex const icon(R"re("quill\.mar".*\s(\d+)x(\d+)[+-]\d+[+-]\d+\s+\+(-?\d+)\+(-?\d+))re");
        if (!std::regex_search(tree, match, icon))
            return std::nullopt;
        return std::pair { std::stoi(match[3]) + std::stoi(match[1]) / 2, std::stoi(match[4]) + std::stoi(match[2]) / 2 };
    }
    // Closed by the window manager, so the next open makes a new window.
    void close_main(Program& program)
    {
        unsigned long id = 0;
        ASSERT_TRUE(poll_until([&] { return (id = main_window(program.pid())) != 0; })) << program.output();
        close_and_wait(program, id, false);
    }

    std::optional<Program> tray;
    unsigned long panel { 0 };
};

std::string bus_call(std::string const& dest, std::string const& path, std::string const& method, std::string const& args)
{
    return output_of(fmt::format("gdbus call --session --dest {} --object-path {} --method {} -- {} 2>&1", dest, path, method, args));
}

}

TEST_F(TrayRun, DocksInTrayerOpensOnLeftClickShowsItsMenuOnRightAndQuits)
{
    Program program(home, { "--tray" });
    std::optional<std::pair<int, int>> icon;
    ASSERT_TRUE(poll_until([&] { return (icon = docked_icon()).has_value(); })) << program.output();
    EXPECT_EQ(main_window(program.pid(), false), 0u);

    output_of(fmt::format("xdotool mousemove {} {} click 1", icon->first, icon->second));
    close_main(program);

    output_of(fmt::format("xdotool mousemove {} {} click 3", icon->first, icon->second));
    unsigned long menu = 0;
    ASSERT_TRUE(poll_until([&] { return (menu = shown_menu()) != 0; }));
    EXPECT_GE(xwininfo_field(menu, "Height"), 40) << "room for both items";
    EXPECT_EQ(main_window(program.pid(), false), 0u) << "a right click opens no window";
    // The menu has the keyboard: the second item is "Quitter".
    output_of("xdotool key Down Down Return");
    EXPECT_EQ(program.wait_exit(30s), 0) << program.output();
    EXPECT_TRUE(poll_until([&] { return !docked_icon(); }));
}

TEST_F(TrayRun, StatusNotifierItemHasItsTitleImageAndMenuAndQuits)
{
    Program watcher({ SNI_WATCHER }, dir() / "watcher.log");
    ASSERT_TRUE(poll_until([&] { return watcher.output().find("ready") != std::string::npos; }));
    Program program(home, { "--tray" });
    std::smatch item;
    std::string log;
    static std::regex const registered(R"(item (\S+) (\S+))");
    ASSERT_TRUE(poll_until([&] { return std::regex_search(log = watcher.output(), item, registered); })) << program.output();
    std::string const service = item[1], path = item[2];
    auto property = [&](char const* name) {
        return bus_call(service, path, "org.freedesktop.DBus.Properties.Get", fmt::format("org.kde.StatusNotifierItem {}", name));
    };
    EXPECT_NE(property("Title").find("'quill.mar'"), std::string::npos);
    auto const folder = home.root / ".local" / "share" / "quill.mar" / "icons";
    EXPECT_NE(property("IconThemePath").find(folder.string()), std::string::npos) << property("IconThemePath");
    std::smatch name;
    auto icon_name = property("IconName");
    ASSERT_TRUE(std::regex_search(icon_name, name, std::regex("'([^']+)'")));
    EXPECT_EQ(output_of(fmt::format("file -b '{}'", (folder / (name[1].str() + ".png")).string())).substr(0, 25),
              "PNG image data, 32 x 32, ");

    std::smatch menu_match;
    auto menu_path = property("Menu");
    ASSERT_TRUE(std::regex_search(menu_path, menu_match, std::regex("objectpath '([^']+)'")));
    std::string const menu = menu_match[1];
    auto layout = bus_call(service, menu, "com.canonical.dbusmenu.GetLayout", "0 -1 '[]'");
    auto item_id = [&](std::string const& label) {
        std::smatch match;
        return std::regex_search(layout, match, std::regex("\\((\\d+), \\{[^{}]*'label': <'" + label + "'>"))
            ? match[1].str() : std::string();
    };
    auto const open = item_id("Ouvrir quill\\.mar"), quit = item_id("Quitter");
    ASSERT_FALSE(open.empty()) << layout;
    ASSERT_FALSE(quit.empty()) << layout;

    bus_call(service, menu, "com.canonical.dbusmenu.Event", fmt::format("{} clicked '<int32 0>' 0", open));
    close_main(program);
    bus_call(service, path, "org.kde.StatusNotifierItem.SecondaryActivate", "0 0");
    close_main(program);
    EXPECT_FALSE(docked_icon()) << "an item with a host stays out of the XEmbed tray";
    bus_call(service, menu, "com.canonical.dbusmenu.Event", fmt::format("{} clicked '<int32 0>' 0", quit));
    EXPECT_EQ(program.wait_exit(30s), 0) << program.output();
}
