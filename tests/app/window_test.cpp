// The window's rules and the shell's handling of window events, on a fake desktop.
#include "app/window.h"

#include <climits>
#include <cmath>

#include <gtest/gtest.h>

#include "app/main.h"
#include "app/tray.h"
#include "tests/fakes/fake_desktop.h"
#include "tests/support/temp_dir.h"

namespace {

using platform::MonitorArea;
using shell::UserEvent;
using shell::WindowCommand;

double const not_a_number = std::nan("");

}

TEST(WindowStateFile, WritesShortestNumbersWithAFractionAndReadsThemBack)
{
    struct Row {
        window::WindowState state;
        std::string_view text;
    };
    Row const rows[] = {
        { { 100, 80, 1180, 760, false }, R"({"x":100.0,"y":80.0,"w":1180.0,"h":760.0,"maximized":false})" },
        { { -3000.5, 0.1, 959.25, 1e21, true }, R"({"x":-3000.5,"y":0.1,"w":959.25,"h":1e+21,"maximized":true})" },
    };
    for (auto const& [state, text] : rows) {
        EXPECT_EQ(window::state_text(state), text);
        auto back = window::parse_state(text);
        ASSERT_TRUE(back) << text;
        EXPECT_EQ(*back, state);
    }
}

TEST(WindowStateFile, ReadingRules)
{
    struct Row {
        std::string_view text;
        bool ok;
    };
    Row const rows[] = {
        { R"({"x":1,"y":2,"w":960,"h":600,"maximized":false})", true },
        { R"( {"other":[1,{"a":1,"a":2}],"maximized":true,"h":600,"w":960,"y":2,"x":1} )"
          "\t\r\n",
          true },
        { R"([1,2,960,600,false])", true },
        { R"([1,2,960,600])", false },
        { R"([1,2,960,600,false,0])", false },
        { R"({"x":1,"y":2,"w":960,"h":600})", false },
        { R"({"x":1,"x":1,"y":2,"w":960,"h":600,"maximized":false})", false },
        { R"({"x":1,"y":2,"w":960,"h":600,"maximized":false}x)", false },
        { R"({"x":1,"y":2,"w":960,"h":600,"maximized":false}{})", false },
        { R"({"x":"1","y":2,"w":960,"h":600,"maximized":false})", false },
        { R"({"x":1,"y":2,"w":960,"h":600,"maximized":0})", false },
        { "", false },
    };
    for (auto const& [text, ok] : rows) {
        SCOPED_TRACE(text);
        EXPECT_EQ(window::parse_state(text).has_value(), ok);
    }
}

TEST(WindowTitlePoint, ScalesRoundsHalvesAwayAndSaturates)
{
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
        { -40, -20, full_hd, true },
        { 1879.4, 0, full_hd, true },
        { 1879.5, 0, full_hd, false },     // 1919.5 rounds to 1920, past the right edge
        { -40.4, -20, full_hd, true },     // -0.4 rounds to 0
        { -40.5, -20, full_hd, false },    // -0.5 rounds away to -1
        { -40.5, -20, left_of_zero, true },
        { 1900, 500, full_hd, false },
        { 1900, 500, right_4k, true },     // (1940, 520) x 2
        { 1e300, 0, everything, false },   // saturates to the right edge, which is outside
        { -1e300, -1e300, everything, true },
        { not_a_number, not_a_number, full_hd, true }, // NaN counts as 0
    };
    for (auto const& [x, y, monitor, on] : rows) {
        SCOPED_TRACE(testing::Message() << x << ", " << y << " on " << monitor.left << " x" << monitor.scale);
        EXPECT_EQ(window::title_point_on_monitor(x, y, monitor), on);
    }
}

TEST(WindowNavigation, OnlyThePageOriginItself)
{
    struct Row {
        std::string_view url;
        bool allowed;
    };
    Row const rows[] = {
        { "quillmar://app", true },          { "quillmar://app/", true },
        { "quillmar://app/api/?x#y", true }, { "quillmar://app?q", true },
        { "quillmar://app#top", true },      { "quillmar://app.evil/", false },
        { "quillmar://appX/", false },       { "quillmar://app@evil/", false },
        { "quillmar://app:99/", false },     { "QUILLMAR://app/", false },
        { "quillmar://ap", false },          { "https://example.com/", false },
        { "file:///etc/passwd", false },     { "", false },
    };
    for (auto const& [url, allowed] : rows) {
        SCOPED_TRACE(url);
        EXPECT_EQ(window::is_allowed_navigation(url), allowed);
    }
}

TEST(WindowTheme, SystemAsksTheDesktopOthersDoNot)
{
    using settings::Theme;
    struct Row {
        Theme theme;
        bool desktop_dark;
        bool dark;
        int asked;
    };
    Row const rows[] = { { Theme::Light, true, false, 0 }, { Theme::Dark, false, true, 0 },
                         { Theme::System, true, true, 1 }, { Theme::System, false, false, 1 } };
    for (auto const& row : rows) {
        int asked = 0;
        EXPECT_EQ(window::choose_dark(row.theme, [&] { return ++asked, row.desktop_dark; }), row.dark);
        EXPECT_EQ(asked, row.asked);
    }
}

TEST(WindowFailures, ThreeWithinAMinute)
{
    using namespace std::chrono_literals;
    std::deque<std::chrono::steady_clock::time_point> recent;
    auto t0 = std::chrono::steady_clock::time_point {} + 1000s;
    EXPECT_FALSE(window::too_many_failures(recent, t0));
    EXPECT_FALSE(window::too_many_failures(recent, t0 + 30s));
    EXPECT_FALSE(window::too_many_failures(recent, t0 + 60s)); // the first is a minute old: forgotten
    EXPECT_TRUE(window::too_many_failures(recent, t0 + 61s));
}

TEST(TrayIcon, ImageIsADarkSoftSquareWithARedStroke)
{
    auto pixels = tray::icon_rgba();
    ASSERT_EQ(pixels.size(), 32u * 32 * 4);
    auto at = [&](int x, int y) { return std::vector<int>(&pixels[std::size_t(y * 32 + x) * 4], &pixels[std::size_t(y * 32 + x) * 4 + 4]); };
    int margin = 0, red_top = 0, red_bottom = 0;
    for (int i = 0; i < 32; ++i) {
        for (auto [x, y] : { std::pair { i, 0 }, { i, 1 }, { 0, i }, { 31, i }, { i, 30 } })
            margin += at(x, y)[3];
        for (int x = 0; x < 32; ++x) {
            auto p = at(x, i);
            bool red = p[0] > 200 && p[1] < 80 && p[3] == 255;
            red_top += red && i < 10 && x > 18;
            red_bottom += red && i > 25;
        }
    }
    EXPECT_EQ(margin, 0);
    EXPECT_EQ(at(2, 2)[3], 0); // beyond the corner's arc
    EXPECT_GT(at(4, 4)[3], 0); // on it, partly covered
    EXPECT_LT(at(4, 4)[3], 255);
    EXPECT_EQ(at(5, 16), (std::vector { 23, 24, 27, 255 }));
    EXPECT_GT(red_top, 3) << "the stroke starts near the top right";
    EXPECT_GT(red_bottom, 3) << "and reaches the bottom";
}

TEST(TrayClicks, OpenQuitLeftReleaseAndNothingOnceClosed)
{
    std::vector<std::function<void()>> wakes;
    std::vector<std::size_t> seen;
    shell::EventProxy proxy([&](std::function<void()> fn) { wakes.push_back(std::move(fn)); },
                            [&](UserEvent event) { seen.push_back(event.value.index()); });
    tray::on_menu_event(proxy, tray::open_item);
    tray::on_menu_event(proxy, tray::quit_item);
    tray::on_menu_event(proxy, "open-other");
    tray::on_tray_event(proxy, { platform::TrayButton::Left, false });
    tray::on_tray_event(proxy, { platform::TrayButton::Right, true });
    tray::on_tray_event(proxy, { platform::TrayButton::Left, true });
    for (auto& wake : wakes)
        wake();
    EXPECT_EQ(seen, (std::vector<std::size_t> { 0, 1, 0 })); // Show, Quit, Show
    proxy.close();
    tray::on_menu_event(proxy, tray::quit_item);
    tray::on_tray_event(proxy, { platform::TrayButton::Left, true });
    EXPECT_EQ(seen.size(), 3u);
}

namespace {

// The shell on a fake desktop, its proxy delivering on demand.
class ShellWindow : public testing_support::TempDirTest {
protected:
    void SetUp() override
    {
        TempDirTest::SetUp();
        state.desktop = std::make_unique<fakes::FakeDesktop>(log);
        state.data_folder = dir();
        state.proxy = std::make_shared<shell::EventProxy>([this](std::function<void()> fn) { wakes.push_back(std::move(fn)); },
                                                          [this](UserEvent event) { shell::handle_event(state, std::move(event)); });
        state.exit = [this](int code) { exit_code = code; };
    }
    void TearDown() override
    {
        state.proxy->close();
        TempDirTest::TearDown();
    }
    void deliver()
    {
        auto pending = std::move(wakes);
        for (auto& wake : pending)
            wake();
    }
    void send(UserEvent event)
    {
        shell::handle_event(state, std::move(event));
    }
    void command(WindowCommand::Kind kind, bool on = false) { send({ UserEvent::Window { { kind, on } } }); }
    std::string window_json() { return read_file(dir() / "window.json"); }

    std::shared_ptr<fakes::DesktopLog> log = std::make_shared<fakes::DesktopLog>();
    shell::ShellState state;
    std::vector<std::function<void()>> wakes;
    int exit_code { -1 };
};

}

TEST_F(ShellWindow, FirstEventBuildsTheIconThenAHiddenWindowThatReadyShowsOnce)
{
    shell::first_event(state);
    EXPECT_TRUE(log->tray_alive);
    EXPECT_EQ(log->tray.open_label, "Ouvrir quill.mar");
    EXPECT_EQ(log->tray.tooltip, "quill.mar");
    ASSERT_TRUE(log->window_alive);
    EXPECT_FALSE(log->visible);
    EXPECT_EQ(log->spec.title, "quill.mar");
    EXPECT_EQ(log->spec.start_url, "quillmar://app/");
    EXPECT_EQ(std::pair(log->spec.width, log->spec.height), std::pair(1180, 760));
    EXPECT_EQ(std::pair(log->spec.min_width, log->spec.min_height), std::pair(960, 600));
    EXPECT_FALSE(log->spec.position);

    // The page reports ready; the fallback's later Ready changes nothing.
    command(WindowCommand::Kind::Ready);
    EXPECT_TRUE(log->visible);
    ASSERT_EQ(log->timers.size(), 1u);
    EXPECT_EQ(log->timers[0].first, std::chrono::milliseconds(4000));
    log->timers[0].second();
    deliver();
    EXPECT_EQ(log->presents, 1);

    // Show with a window brings it forward; commands reach it.
    send({ UserEvent::Show {} });
    EXPECT_EQ(log->windows_opened, 1);
    EXPECT_EQ(log->presents, 2);
    command(WindowCommand::Kind::Theme, true);
    command(WindowCommand::Kind::Fullscreen, true);
    EXPECT_EQ(log->dark, true);
    EXPECT_EQ(log->fullscreen, true);
}

TEST_F(ShellWindow, RememberedPlacementIsUsedOnlyWhenSaneAndOnAMonitor)
{
    struct Row {
        std::string_view json;
        bool used;
    };
    Row const rows[] = {
        { R"({"x":200.0,"y":100.0,"w":1400.0,"h":900.0,"maximized":true})", true },
        { R"({"x":-3000.0,"y":0.0,"w":1400.0,"h":900.0,"maximized":false})", false },
        { R"({"x":200.0,"y":100.0,"w":959.0,"h":900.0,"maximized":false})", false },
        { R"({"x":200.0,"y":100.0,"w":1400.0,"h":599.0,"maximized":false})", false },
        { R"({"x":200.0,"y":100.0,"w":32768.0,"h":900.0,"maximized":false})", false },
        { R"({"x":200.0,"y":100.0,"w":1400.0,"h":1e300,"maximized":false})", false },
        { R"({"x":200.0,"y":100.0,"w":1e400,"h":900.0,"maximized":false})", false },
    };
    for (auto const& [json, used] : rows) {
        SCOPED_TRACE(json);
        write_file("window.json", std::string(json));
        EXPECT_EQ(window::remembered_state(dir(), log->monitors).has_value(), used);
    }
    // The remembered state reaches the new window whole.
    write_file("window.json", std::string(rows[0].json));
    send({ UserEvent::Show {} });
    EXPECT_EQ(log->spec.position, (std::pair { 200, 100 }));
    EXPECT_EQ(std::tuple(log->spec.width, log->spec.height, log->spec.maximized), std::tuple(1400, 900, true));
}

TEST_F(ShellWindow, CloseSavesDestroysAndToastsOnceAndAFailedWriteKeepsTheFile)
{
    shell::first_event(state);
    command(WindowCommand::Kind::Ready);
    log->placement = platform::Placement { -10, 20, 1200, 700, true };
    log->events.close_requested();
    EXPECT_FALSE(log->window_alive);
    EXPECT_FALSE(state.view);
    EXPECT_EQ(window_json(), R"({"x":-10.0,"y":20.0,"w":1200.0,"h":700.0,"maximized":true})");
    EXPECT_EQ(toast::current_message().title, "quill.mar continue");
    EXPECT_EQ(toast::current_message().subtext, "Tes raccourcis restent actifs");

    // Minimised or fullscreen: nothing to remember. A blocked temporary name: the old file stays.
    toast::post(toast::kind_success, "autre", "");
    send({ UserEvent::Show {} });
    log->placement.reset();
    log->events.close_requested();
    log->placement = platform::Placement { 1, 2, 1000, 1000, false };
    std::filesystem::create_directory(dir() / "window.json.tmp");
    send({ UserEvent::Show {} });
    log->events.close_requested();
    EXPECT_EQ(window_json(), R"({"x":-10.0,"y":20.0,"w":1200.0,"h":700.0,"maximized":true})");
    EXPECT_EQ(toast::current_message().title, "autre") << "the continue toast shows once per run";
}

TEST_F(ShellWindow, ThirdPageFailureClosesTheWindowAndTheNextShowStartsAfresh)
{
    send({ UserEvent::Show {} });
    for (int i = 0; i < 3; ++i)
        send({ UserEvent::WebViewFailed { false } });
    EXPECT_EQ(log->reloads, 2);
    EXPECT_FALSE(log->window_alive);
    EXPECT_EQ(toast::current_message().subtext, "La page s'est arrêtée plusieurs fois.");
    send({ UserEvent::Show {} });
    send({ UserEvent::WebViewFailed { false } });
    EXPECT_EQ(log->reloads, 3);
    EXPECT_TRUE(log->window_alive);

    // A browser failure makes a new hidden window where the old one was.
    log->placement = platform::Placement { 300, 200, 1000, 650, false };
    send({ UserEvent::WebViewFailed { true } });
    EXPECT_EQ(log->windows_opened, 3);
    EXPECT_EQ(log->spec.position, (std::pair { 300, 200 }));
    EXPECT_FALSE(log->visible);
}

TEST_F(ShellWindow, RefusedWindowToastsAndQuitSavesDropsTheIconAndExits)
{
    log->refuse_window = "pas de vue";
    shell::first_event(state);
    EXPECT_FALSE(log->window_alive);
    EXPECT_EQ(toast::current_message().title, "Fenêtre indisponible");
    EXPECT_EQ(toast::current_message().subtext, "pas de vue");

    log->refuse_window.reset();
    send({ UserEvent::Show {} });
    command(WindowCommand::Kind::Ready);
    send({ UserEvent::Page { engine::PageEvent { engine::PageEvent::RecordingStarted {} } } });
    EXPECT_EQ(log->scripts.size(), 1u);
    log->tray.on_menu(tray::quit_item);
    deliver();
    EXPECT_EQ(exit_code, 0);
    EXPECT_FALSE(log->window_alive);
    EXPECT_FALSE(log->tray_alive);
    EXPECT_TRUE(std::filesystem::exists(dir() / "window.json"));
}
