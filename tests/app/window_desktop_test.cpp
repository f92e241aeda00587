// The real window on the test desktop: GTK, WebKitGTK and the scheme adapter, with a small page of the test
// served through the shell's own handling of events.
#include "app/window.h"

#include <csignal>

#include <gtest/gtest.h>

#include "app/main.h"
#include "platform/main_loop.h"
#include "tests/fakes/fake_hotkeys.h"
#include "tests/support/media_check.h"
#include "tests/support/gtk_wait.h"
#include "tests/support/temp_dir.h"

// Last: Xlib defines None, Status and Bool as macros.
#include <gdk/gdkx.h>
#include <gtk/gtk.h>

namespace {

using namespace std::chrono_literals;
using shell::UserEvent;
using shell::WindowCommand;

constexpr std::string_view page = R"(<!doctype html><meta charset="utf-8"><title>page</title>
<a id="out" href="quillmar://app.evil/" target="_blank">dehors</a>
<script>
window.marker = String(Math.random()).slice(2);
setTimeout(() => fetch('/ready'), 0);
</script>)";

using testing_support::spin_until;

class DesktopWindow : public testing_support::TempDirTest {
protected:
    void SetUp() override
    {
        TempDirTest::SetUp();
        auto desktop = platform::open_gtk_desktop(dir() / "WebView");
        if (!desktop)
            GTEST_SKIP() << desktop.error();
        state.desktop = std::move(*desktop);
        state.data_folder = dir();
        engine::EngineParts parts;
        parts.clips_folder = dir();
        parts.shared = std::make_shared<shared::Shared>();
        parts.settings.theme = settings::Theme::Dark;
        state.engine = std::make_shared<engine::Engine>(std::move(parts));
        state.proxy = std::make_shared<shell::EventProxy>(
            [](std::function<void()> fn) { platform::invoke_on_main(std::move(fn)); },
            [this](UserEvent event) { shell::handle_event(state, std::move(event)); });
        state.page_scheme = [this](platform::PageRequest request, platform::PageFinisher finish) {
            serve(std::move(request), std::move(finish));
        };
    }
    void TearDown() override
    {
        testing_support::close_shell_window(state);
        TempDirTest::TearDown();
    }

    void serve(platform::PageRequest request, platform::PageFinisher finish)
    {
        auto path = request.uri.substr(std::min(request.uri.size(), platform::page_origin.size()));
        requests.push_back(request.uri);
        if (path == "/ready") {
            ready_called = true;
            state.proxy->send({ UserEvent::Window { { WindowCommand::Kind::Ready } } });
        } else if (path == "/slow") {
            slow = std::move(finish);
            return;
        }
        platform::PageResponse response;
        response.headers = { { "Content-Type", path == "/" ? "text/html; charset=utf-8" : "text/plain" } };
        response.body = std::vector<std::uint8_t>(page.begin(), page.end());
        finish(std::move(response));
    }

    int count(std::string_view uri) { return int(std::ranges::count(requests, uri)); }

    GtkWidget* toplevel() { return testing_support::titled_toplevel(window::title); }
    int visible_toplevels()
    {
        GList* list = gtk_window_list_toplevels();
        int visible = 0;
        for (GList* item = list; item; item = item->next)
            visible += gtk_widget_get_visible(GTK_WIDGET(item->data)) && gtk_window_get_window_type(GTK_WINDOW(item->data)) == GTK_WINDOW_TOPLEVEL;
        g_list_free(list);
        return visible;
    }
    std::string xprop(char const* property)
    {
        gdk_display_flush(gdk_display_get_default());
        auto xid = gdk_x11_window_get_xid(gtk_widget_get_window(toplevel()));
        return media::run({ "xprop", "-id", std::to_string(xid), property }).output;
    }
    // Opens the window and waits for the page to show it.
    void open_shown()
    {
        window::show_window(state);
        ASSERT_TRUE(spin_until([&] { return toplevel() && gtk_widget_get_visible(toplevel()); }));
    }

    shell::ShellState state;
    std::vector<std::string> requests;
    bool ready_called { false };
    std::optional<platform::PageFinisher> slow;
};

}

TEST_F(DesktopWindow, HiddenUntilThePageIsReadyThenThemed)
{
    window::show_window(state);
    ASSERT_TRUE(toplevel());
    EXPECT_FALSE(gtk_widget_get_visible(toplevel()));
    // Shown by the page's ready call, not by the fallback: the call comes first.
    bool ready_first = false;
    ASSERT_TRUE(spin_until([&] { return (ready_first = ready_called), gtk_widget_get_visible(toplevel()); }));
    EXPECT_TRUE(ready_first);

    // Dark from the setting at the first paint is seen on the real program's window; here, the switches.
    for (bool dark : { false, true }) {
        shell::handle_event(state, { UserEvent::Window { { WindowCommand::Kind::Theme, dark } } });
        auto variant = dark ? "\"dark\"" : "\"light\"";
        EXPECT_TRUE(spin_until([&] { return xprop("_GTK_THEME_VARIANT").find(variant) != std::string::npos; }, 20s));
    }
}

TEST_F(DesktopWindow, RefusedNavigationsKeepThePageAndALateAnswerIsDropped)
{
    open_shown();
    // Each refused navigation gets time to unload the page if it were let through; a refused one never
    // starts, so the page's last request always comes.
    state.view->run_script(R"((async () => {
        const pause = () => new Promise((resolve) => setTimeout(resolve, 300));
        for (const url of ['quillmar://app.evil/', 'quillmar://app:99/', 'quillmar://app@evil/', 'quillmar://appX/',
                           'http://127.0.0.1:9/']) {
            location.href = url;
            await pause();
        }
        window.open('quillmar://app/second');
        document.getElementById('out').click();
        await pause();
        fetch('/slow');
        fetch('/alive?' + window.marker);
    })())");
    ASSERT_TRUE(spin_until([&] { return slow && std::ranges::any_of(requests, [](auto& r) { return r.starts_with("quillmar://app/alive?"); }); }));
    // An allowed navigation loads: the refused ones above would have shown up the same way.
    state.view->run_script("location.href = 'quillmar://app/next'");
    ASSERT_TRUE(spin_until([&] { return count("quillmar://app/next") == 1; }));
    for (auto const& uri : requests)
        EXPECT_TRUE(uri.starts_with("quillmar://app/")) << uri;
    EXPECT_EQ(count("quillmar://app/second"), 0);
    EXPECT_EQ(visible_toplevels(), 1);

    // The answer the page is still waiting for comes after the window closed: it is dropped.
    shell::close_requested(state);
    ASSERT_TRUE(spin_until([&] { return !toplevel(); }));
    platform::PageResponse response;
    response.body = std::vector<std::uint8_t> { 'o', 'k' };
    (*slow)(std::move(response));
    slow.reset();
    bool after = false;
    platform::invoke_on_main([&] { after = true; });
    EXPECT_TRUE(spin_until([&] { return after; }));
}

TEST_F(DesktopWindow, KilledPageReloadsAndResumesKeysUntilTheThirdFailureClosesTheWindow)
{
    auto keys = std::make_shared<fakes::FakeHotkeys::State>();
    auto handle = hotkeys::spawn([](engine::HotkeyKind, std::uint32_t) { },
                                 [keys]() -> Result<std::unique_ptr<platform::HotkeyRegistrar>> {
                                     return std::make_unique<fakes::FakeHotkeys>(keys);
                                 });
    ASSERT_TRUE(handle);
    auto shortcuts = std::make_shared<shell::HotkeyShortcuts>(std::move(*handle));
    auto* thread = &shortcuts->thread();
    state.engine->hotkeys.with([&](auto& slot) { slot = shortcuts; });
    hotkeys::send_command(*thread, hotkeys::SetBindings { { { "F6", 0, 0x75, engine::HotkeyKind::Save, 30 } } });
    auto grabbed = [&] {
        std::lock_guard lock(keys->mutex);
        return !keys->grabbed.empty();
    };
    ASSERT_TRUE(spin_until(grabbed));
    open_shown();

    pid_t killed = 0;
    for (int failure = 1; failure <= 3; ++failure) {
        SCOPED_TRACE(failure);
        // The page paused the keys to capture one, then its process dies.
        hotkeys::send_command(*thread, hotkeys::Pause { true });
        ASSERT_TRUE(spin_until([&] { return !grabbed(); }));
        std::vector<pid_t> pages;
        ASSERT_TRUE(spin_until([&] {
            pages.clear();
            for (auto const& [pid, name] : testing_support::descendants())
                if (name == "WebKitWebProces")
                    pages.push_back(pid);
            return pages.size() == 1 && pages[0] != killed;
        }));
        killed = pages[0];
        ASSERT_EQ(::kill(killed, SIGKILL), 0);
        if (failure < 3) {
            EXPECT_TRUE(spin_until([&] { return count("quillmar://app/") == failure + 1 && grabbed(); }))
                << "reloaded with the keys back on";
        }
    }
    EXPECT_TRUE(spin_until([&] { return !state.window; }));
    EXPECT_FALSE(toplevel());
    EXPECT_TRUE(spin_until(grabbed)) << "the keys the page paused are back on";
    EXPECT_EQ(toast::current_message().title, "Fenêtre indisponible");
    EXPECT_TRUE(std::filesystem::exists(dir() / "window.json"));
    hotkeys::drop_thread_handle(*thread);
}
