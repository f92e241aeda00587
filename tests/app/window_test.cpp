// The window's navigation rule, where a remembered place counts as on a monitor, and on a fake desktop: its
// placement file read and written, when it shows and which theme it starts with.
#include "app/window.h"

#include <climits>
#include <cmath>

#include <gtest/gtest.h>

#include "app/main.h"
#include "tests/fakes/fake_desktop.h"
#include "tests/support/temp_dir.h"

TEST(WindowNavigation, OnlyThePageOriginItself)
{
    struct Row {
        std::string_view url;
        bool allowed;
    };
    Row const rows[] = {
        { "quillmar://app", true },          { "quillmar://app/api/?x#y", true },
        { "quillmar://app#top", true },      { "quillmar://app.evil/", false },
        { "quillmar://appX/", false },       { "quillmar://app@evil/", false },
        { "quillmar://app:99/", false },     { "QUILLMAR://app/", false },
        { "file:///etc/passwd", false },     { "", false },
    };
    for (auto const& [url, allowed] : rows) {
        SCOPED_TRACE(url);
        EXPECT_EQ(window::is_allowed_navigation(url), allowed);
    }
}

// The title-bar point is scaled to the monitor's pixels, rounded half away from zero and saturated.
TEST(WindowTitlePoint, ScalesRoundsHalvesAwayAndSaturates)
{
    using platform::MonitorArea;
    MonitorArea const full_hd { 1.0, 0, 0, 1920, 1080 };
    MonitorArea const right_4k { 2.0, 1920, 0, 5760, 2160 };
    MonitorArea const left_of_zero { 1.0, -1920, 0, 0, 1080 };
    MonitorArea const everything { 1.0, INT_MIN, INT_MIN, INT_MAX, INT_MAX };
    struct Row {
        double x, y;
        MonitorArea monitor;
        bool on;
    };
    Row const rows[] = {
        { 1879.4, 0, full_hd, true },
        { 1879.5, 0, full_hd, false },   // 1919.5 rounds to 1920, past the right edge
        { -40.5, -20, full_hd, false },  // -0.5 rounds away to -1
        { -40.5, -20, left_of_zero, true },
        { 1900, 500, full_hd, false },
        { 1000, 500, right_4k, true },   // (1040, 520) x 2 = (2080, 1040): on the 4K monitor once scaled
        { 2900, 500, right_4k, false },  // (2940, 520) x 2 = (5880, 1040): past its right edge
        { 1e300, 0, everything, false }, // saturates to the right edge, which is outside
        { std::nan(""), std::nan(""), full_hd, true }, // NaN counts as 0
    };
    for (auto const& [x, y, monitor, on] : rows) {
        SCOPED_TRACE(testing::Message() << x << ", " << y << " on " << monitor.left << " x" << monitor.scale);
        EXPECT_EQ(window::title_point_on_monitor(x, y, monitor), on);
    }
}

class ShellWindow : public testing_support::TempDirTest { };

TEST_F(ShellWindow, PlacementIsUsedOnlyWhenWellFormedAndSaneAndAFailedWriteKeepsTheFile)
{
    struct Row {
        std::string_view json;
        bool used;
    };
    Row const rows[] = {
        { R"({"x":200.0,"y":100.0,"w":1400.0,"h":900.0,"maximized":true})", true },
        { R"({"x":-3000.0,"y":0.0,"w":1400.0,"h":900.0,"maximized":false})", false },
        { R"({"x":200.0,"y":100.0,"w":959.0,"h":900.0,"maximized":false})", false },
        { R"({"x":200.0,"y":100.0,"w":32768.0,"h":900.0,"maximized":false})", false },
        { R"({"x":200.0,"y":100.0,"w":1e400,"h":900.0,"maximized":false})", false },
        { R"( {"other":[1,{"a":1,"a":2}],"maximized":true,"h":900,"w":1400,"y":100,"x":200} )" "\t\r\n", true },
        { R"([200,100,1400,900,false])", true },
        { R"([200,100,1400,900])", false },
        { R"({"x":200,"y":100,"w":1400,"h":900})", false },
        { R"({"x":200,"x":200,"y":100,"w":1400,"h":900,"maximized":false})", false },
        { R"({"x":200,"y":100,"w":1400,"h":900,"maximized":false}{})", false },
        { R"({"x":"200","y":100,"w":1400,"h":900,"maximized":false})", false },
    };
    auto log = std::make_shared<fakes::DesktopLog>();
    for (auto const& [json, used] : rows) {
        SCOPED_TRACE(json);
        write_file("window.json", std::string(json));
        EXPECT_EQ(window::remembered_state(dir(), log->monitors).has_value(), used);
    }
    // The remembered state reaches the new window whole: the shell on a fake desktop, its proxy never delivering.
    shell::ShellState state;
    state.desktop = std::make_unique<fakes::FakeDesktop>(log);
    state.data_folder = dir();
    state.proxy = std::make_shared<shell::EventProxy>([](std::function<void()>) { }, [](shell::UserEvent) { });
    write_file("window.json", std::string(rows[0].json));
    shell::handle_event(state, { shell::UserEvent::Show {} });
    EXPECT_EQ(log->spec.position, (std::pair { 200, 100 }));
    EXPECT_EQ(std::tuple(log->spec.width, log->spec.height, log->spec.maximized), std::tuple(1400, 900, true));

    // A blocked temporary name: the old file stays whole.
    log->placement = platform::Placement { 1, 2, 1000, 1000, false };
    std::filesystem::create_directory(dir() / "window.json.tmp");
    log->events.close_requested();
    log->run_timers();
    EXPECT_FALSE(log->window_alive);
    EXPECT_EQ(read_file(dir() / "window.json"), rows[0].json);
}

namespace {

// The shell on a fake desktop, its proxy handing each event to the shell at once on the test's thread.
struct FakeShell {
    explicit FakeShell(std::filesystem::path const& data_folder)
    {
        state.desktop = std::make_unique<fakes::FakeDesktop>(log);
        state.data_folder = data_folder;
        state.proxy = std::make_shared<shell::EventProxy>([](std::function<void()> fn) { fn(); },
            [this](shell::UserEvent event) { shell::handle_event(state, std::move(event)); });
    }
    ~FakeShell() { state.proxy->close(); }
    void open_window()
    {
        window::destroy_window(state);
        log->timers.clear();
        shell::handle_event(state, { shell::UserEvent::Show {} });
    }

    std::shared_ptr<fakes::DesktopLog> log = std::make_shared<fakes::DesktopLog>();
    shell::ShellState state;
};

}

// A new window stays hidden until the page says it is ready, or until the fallback 4 s later for a page that
// never does; it is shown once either way.
TEST_F(ShellWindow, ShownByTheReadyCallOrByTheFallbackFourSecondsLater)
{
    FakeShell fake(dir());
    for (bool page_ready : { true, false }) {
        SCOPED_TRACE(page_ready ? "page ready" : "page silent");
        fake.open_window();
        ASSERT_TRUE(fake.log->window_alive);
        EXPECT_EQ(fake.log->shown, 0);
        if (page_ready) {
            fake.state.proxy->send({ shell::UserEvent::Window { { shell::WindowCommand::Kind::Ready } } });
            EXPECT_EQ(fake.log->shown, 1);
        }
        ASSERT_EQ(fake.log->timers.size(), 1u);
        EXPECT_EQ(fake.log->timers[0].first, std::chrono::milliseconds(4000));
        fake.log->timers[0].second();
        EXPECT_EQ(fake.log->shown, 1);
    }
}

// Clair and Sombre are the player's own choice; System asks the desktop, afresh for each window.
TEST_F(ShellWindow, SystemThemeAsksTheDesktopOthersDoNot)
{
    using settings::Theme;
    FakeShell fake(dir());
    engine::EngineParts parts;
    parts.clips_folder = dir();
    parts.shared = std::make_shared<shared::Shared>();
    fake.state.engine = std::make_shared<engine::Engine>(std::move(parts));
    struct Row {
        Theme theme;
        bool desktop_dark;
        bool dark;
        int asked;
    };
    Row const rows[] = { { Theme::Light, true, false, 0 }, { Theme::Dark, false, true, 0 },
                         { Theme::System, true, true, 1 }, { Theme::System, false, false, 1 } };
    for (auto const& row : rows) {
        SCOPED_TRACE(testing::Message() << int(row.theme) << (row.desktop_dark ? " on a dark desktop" : ""));
        fake.state.engine->settings.with([&](settings::Settings& s) { s.theme = row.theme; });
        fake.log->desktop_dark = row.desktop_dark;
        fake.log->dark_asked = 0;
        fake.open_window();
        EXPECT_EQ(fake.log->spec.dark, row.dark);
        EXPECT_EQ(fake.log->dark_asked, row.asked);
    }
}

// A window that goes leaves the screen at once and is destroyed only once its page has answered (what the
// player was typing is sent by then), or after the bound for a page that never does. Meanwhile a Show makes a
// new window, which the old one's late events leave alone, and a Quit waits for the old one before it ends
// the program; with the window still open, the Quit asks its page first.
TEST_F(ShellWindow, AGoingWindowWaitsForItsPageOrTheBound)
{
    using namespace std::chrono_literals;
    struct Row {
        char const* name;
        bool close;           // the window is closed before anything else; else the Quit finds it open
        bool page_answers;    // else the bound ends the wait
        bool show_meanwhile;
        bool quit_meanwhile;
    };
    Row const rows[] = {
        { "closed, the page answers", true, true, false, false },
        { "closed, the page silent", true, false, false, false },
        { "closed, then shown again", true, true, true, false },
        { "closed, then quit", true, false, false, true },
        { "quit with the window open", false, true, false, true },
    };
    for (auto const& row : rows) {
        SCOPED_TRACE(row.name);
        FakeShell fake(dir());
        int exited = -1;
        fake.state.exit = [&](int code) { exited = code; };
        auto& log = *fake.log;
        fake.open_window();
        auto const first_events = log.events;
        log.timers.clear();
        if (row.close)
            log.events.close_requested();
        if (row.show_meanwhile)
            shell::handle_event(fake.state, { shell::UserEvent::Show {} });
        if (row.quit_meanwhile) {
            shell::handle_event(fake.state, { shell::UserEvent::Quit {} });
            shell::handle_event(fake.state, { shell::UserEvent::Show {} });
        }
        EXPECT_EQ(log.hidden, 1);
        ASSERT_EQ(log.page_calls.size(), 1u);
        EXPECT_EQ(log.page_calls[0].first, window::leave_script);
        EXPECT_EQ(log.windows, row.show_meanwhile ? 2 : 1);
        EXPECT_EQ(fake.state.window != nullptr, row.show_meanwhile);
        log.run_timers(0ms);
        EXPECT_EQ(log.windows, row.show_meanwhile ? 2 : 1) << "gone before its page answered";
        EXPECT_EQ(exited, -1);

        if (row.page_answers) {
            log.page_calls[0].second();
            EXPECT_EQ(log.windows, row.show_meanwhile ? 2 : 1) << "gone inside its page's answer";
            log.run_timers(0ms);
        } else {
            ASSERT_TRUE(std::ranges::any_of(log.timers, [](auto const& t) { return t.first == window::leave_bound; }));
            log.run_timers(window::leave_bound);
        }
        EXPECT_EQ(log.windows, row.show_meanwhile ? 1 : 0);
        EXPECT_TRUE(fake.state.leaving.empty());
        EXPECT_EQ(exited, row.quit_meanwhile ? 0 : -1);
        // The other end of the wait comes too late and does nothing; so do the old window's own events.
        if (row.page_answers)
            log.run_timers();
        else
            log.page_calls[0].second();
        EXPECT_TRUE(log.timers.empty());
        first_events.close_requested();
        first_events.focus_changed(false);
        EXPECT_EQ(log.hidden, 1);
        EXPECT_EQ(fake.state.window != nullptr, row.show_meanwhile);
    }
}
