#include "engine/foreground.h"

#include <vector>

#include <gtest/gtest.h>

using foreground::ForegroundInfo;
using foreground::ForegroundKind;
using platform::WindowInfo;

namespace {

constexpr auto Desktop = ForegroundKind::Desktop;
constexpr auto App = ForegroundKind::App;
constexpr auto Game = ForegroundKind::Game;
constexpr std::int64_t second = foreground::ticks_per_second;

WindowInfo window(std::string exe, std::string title, bool covers = false)
{
    WindowInfo info;
    info.exe_name = std::move(exe);
    info.title = std::move(title);
    info.covers_monitor = covers;
    return info;
}

std::string kind_text(ForegroundKind kind) { return std::to_string(static_cast<int>(kind)); }

}

TEST(ForegroundClassify, AppliesRulesInOrder)
{
    struct Row {
        char const* what;
        WindowInfo window;
        ForegroundInfo expected;
    };
    auto with_class = [](std::string window_class) {
        auto info = window("SomeGame.exe", "Some Game", true);
        info.window_class = std::move(window_class);
        return info;
    };
    Row const rows[] = {
        { "desktop class", with_class("Progman"), { "Bureau", Desktop } },
        { "class match is exact", with_class("progman"), { "Some Game", Game } },
        { "no stem, full screen, title", window("", "Protected Game - Menu", true), { "Protected Game", Game } },
        { "no stem, full screen, no title", window("", "", true), { "Bureau", Desktop } },
        { "no stem, windowed", window("", "Protected", false), { "Bureau", Desktop } },
        { "system process full screen", window("explorer.exe", "Explorer", true), { "Bureau", Desktop } },
        { "javaw other title falls through", window("javaw.exe", "Eclipse IDE"), { "Eclipse IDE", App } },
        { "game stem lower-cased", window("GTA5_Enhanced.exe", "Grand Theft Auto V"), { "GTA V", Game } },
        { "game table before app table", window("wow.exe", "", false), { "World of Warcraft", Game } },
        { "known app full screen stays an app", window("firefox", "Video - YouTube", true), { "Firefox", App } },
        { "packaged app windowed", window("ApplicationFrameHost.exe", "Calculatrice"), { "Calculatrice", App } },
        { "packaged app full screen", window("ApplicationFrameHost.exe", "Solitaire", true), { "Solitaire", Game } },
        { "packaged app without title", window("ApplicationFrameHost.exe", "*"), { "Bureau", Desktop } },
        { "unknown full screen, no title", window("MyGame-Win64-Shipping.exe", "", true), { "Mygame", Game } },
        { "unknown full screen, title", window("sg.exe", "Super Game\u2122 v1.2.3 - Chapter One", true),
          { "Super Game", Game } },
        { "unknown windowed, plain title", window("calc", "Calculator 2.0"), { "Calculator", App } },
        { "unknown windowed, no title", window("calc", ""), { "Calc", App } },
        { "native launcher suffixes", window("Celeste.bin.x86_64", "Celeste"), { "Celeste", Game } },
    };
    for (auto const& row : rows) {
        SCOPED_TRACE(row.what);
        auto got = foreground::classify_window(row.window);
        EXPECT_EQ(got.name, row.expected.name);
        EXPECT_EQ(kind_text(got.kind), kind_text(row.expected.kind));
    }
    EXPECT_EQ(foreground::classify_window(std::nullopt), foreground::desktop_entry());
}

TEST(ForegroundNames, TitlesExeNamesAndStemsAreCleaned)
{
    struct Row {
        std::string (*clean)(std::string_view);
        char const* input;
        char const* expected;
    };
    auto const title = &foreground::clean_title, exe = &foreground::clean_exe_name, stem = &foreground::exe_stem;
    Row const rows[] = {
        { title, "1.0", "1.0" },
        { title, "Game 2.0 1.20.4b", "Game" },
        { title, "Game v2", "Game v2" },
        { title, "Game V3.1", "Game" },
        { title, "Game 1.2-beta", "Game 1.2-beta" },
        { title, "A | B - C", "A" },
        { title, "Name : Sub", "Name" },
        { title, "Name: Sub", "Name: Sub" },
        { title, "Title (Remastered)", "Title" },
        { title, "Dash\u2013tight", "Dash\u2013tight" },
        { title, "***", "" },
        { title, "  many \t  spaces\u00A0here ", "many spaces here" },
        { title, "bad \xff byte", "bad \xEF\xBF\xBD byte" },
        // Suffixes are cut once each, in order.
        { exe, "x64", "X64" },
        { exe, "game_dx12_x64", "Game Dx12" },
        { exe, "game_x86x64", "Game X86" },
        { exe, "ab64", "Ab64" },
        { exe, "rainbowsix_vulkan_be", "Rainbowsix Vulkan" },
        { exe, "", "Bureau" },
        { exe, "my.cool-game_name", "My Cool Game Name" },
        { exe, "élan_vital", "Élan Vital" },
        { exe, "ßgame", "SSgame" },
        { exe, "straße", "Straße" },
        { stem, "FILE.EXE", "file" },
        { stem, "Game.Exe", "game.exe" },
        { stem, "start.sh", "start" },
        { stem, ".sh", ".sh" },
        { stem, "ÉLAN", "élan" },
    };
    for (auto const& row : rows)
        EXPECT_EQ(row.clean(row.input), row.expected) << row.input;
}

TEST(ForegroundGameBetween, BreaksTiesByKindCountThenLastTime)
{
    struct Run {
        char const* name;
        ForegroundKind kind;
        int count;
        int from; // seconds; one sample a second
    };
    struct Row {
        char const* what;
        std::vector<Run> runs;
        std::int64_t start;
        std::int64_t end;
        char const* expected;
    };
    Row const rows[] = {
        { "kind wins over count", { { "Bureau", Desktop, 10, 0 }, { "ELDEN RING", Game, 3, 10 } }, 0, 100 * second,
            "ELDEN RING" },
        { "count wins among equal kinds",
            { { "Firefox", App, 1, 0 }, { "Discord", App, 3, 2 }, { "Firefox", App, 1, 5 } }, 0, 100 * second,
            "Discord" },
        { "latest last sample wins among equal counts",
            { { "Firefox", App, 2, 0 }, { "Discord", App, 2, 2 }, { "Firefox", App, 1, 4 }, { "Discord", App, 1, 5 } },
            0, 100 * second, "Discord" },
        { "a full tie keeps the earlier",
            { { "Firefox", App, 1, 1 }, { "Discord", App, 2, 2 }, { "Firefox", App, 1, 3 } }, 0, 100 * second,
            "Firefox" },
        { "bounds are inclusive, outside ignored",
            { { "Hades", Game, 5, 0 }, { "Celeste", Game, 2, 10 }, { "Hades", Game, 5, 20 } }, 10 * second, 11 * second,
            "Celeste" },
        { "an empty span asks what is in front now", { { "Hades", Game, 1, 50 } }, 0, 49 * second, "Now" },
    };
    for (auto const& row : rows) {
        SCOPED_TRACE(row.what);
        foreground::ForegroundHistory history;
        for (auto const& run : row.runs) {
            for (int i = 0; i < run.count; ++i)
                foreground::append_sample(history, { (run.from + i) * second, run.name, run.kind });
        }
        int detections = 0;
        auto name = foreground::game_between(history, row.start, row.end, [&] {
            ++detections;
            return ForegroundInfo { "Now", App };
        });
        EXPECT_EQ(name, row.expected);
        EXPECT_EQ(detections, name == "Now" ? 1 : 0);
    }
}
