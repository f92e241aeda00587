#pragma once
// A desktop for tests: a clipboard that remembers what it was given or refuses when told to, shell services
// that write down their calls, and a window whose desktop part (placement, monitors, colour preference, the
// window's own events, timers that run when the test says) the test plays. Called from the test's own thread.

#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/clipboard.h"
#include "platform/shell.h"
#include "platform/window.h"

namespace fakes {

class FakeClipboard final : public platform::Clipboard {
public:
    Result<void> put_file(std::filesystem::path const& path) override
    {
        if (refuse)
            return fail(std::string(platform::clipboard_unavailable_text));
        files.push_back(path);
        return {};
    }
    std::optional<std::string> text() override { return std::nullopt; }
    void keep_after_exit() override { }

    bool refuse { false };
    std::vector<std::filesystem::path> files;
};

// Shell services that write down what they were asked to open or reveal, or refuse when told to.
class FakeShell final : public platform::DesktopShell {
public:
    Result<void> open(std::filesystem::path const& path) override { return take(opened, path); }
    Result<void> reveal(std::filesystem::path const& path) override { return take(revealed, path); }
    std::optional<std::string> pick_folder() override { return std::nullopt; }

    bool refuse { false };
    std::vector<std::filesystem::path> opened;
    std::vector<std::filesystem::path> revealed;

private:
    Result<void> take(std::vector<std::filesystem::path>& log, std::filesystem::path const& path)
    {
        if (refuse)
            return fail("no application");
        log.push_back(path);
        return {};
    }
};

struct DesktopLog {
    // Set by the test.
    std::vector<platform::MonitorArea> monitors { { 1.0, 0, 0, 1920, 1080 } };
    std::optional<platform::Placement> placement { platform::Placement { 100, 80, 1180, 760, false } };
    bool desktop_dark { false };
    // Seen.
    bool window_alive { false }; // the last window made
    int windows { 0 };           // windows alive
    int shown { 0 }; // make_visible calls on the current window
    int hidden { 0 }; // hide calls, on any window
    int dark_asked { 0 };
    platform::WindowSpec spec;
    platform::WindowEvents events;
    // What was asked to run later, in order; the test runs them.
    std::vector<std::pair<std::chrono::milliseconds, std::function<void()>>> timers;
    // The async functions called in pages, with the call that says they settled; the test answers them.
    std::vector<std::pair<std::string, std::function<void()>>> page_calls;

    // Runs the timers asked for so far (only those of delay `only` when given), in order; those they ask for
    // wait for the next call.
    void run_timers(std::optional<std::chrono::milliseconds> only = std::nullopt)
    {
        std::vector<std::function<void()>> due;
        std::erase_if(timers, [&](auto& timer) {
            if (only && timer.first != *only)
                return false;
            due.push_back(std::move(timer.second));
            return true;
        });
        for (auto& fn : due)
            fn();
    }
};

class FakeWindow final : public platform::AppWindow {
public:
    explicit FakeWindow(std::shared_ptr<DesktopLog> log)
        : m_log(std::move(log))
    {
        m_log->window_alive = true;
        ++m_log->windows;
        m_log->shown = 0;
    }
    ~FakeWindow() override
    {
        m_log->window_alive = false;
        --m_log->windows;
    }

    std::unique_ptr<platform::PageView> page_view() override
    {
        struct View final : platform::PageView {
            explicit View(std::shared_ptr<DesktopLog> log) : log(std::move(log)) { }
            void run_script(std::string const&) override { }
            void call_script(std::string const& body, std::function<void()> done) override
            {
                log->page_calls.emplace_back(body, std::move(done));
            }
            std::shared_ptr<DesktopLog> log;
        };
        return std::make_unique<View>(m_log);
    }
    void make_visible() override { ++m_log->shown; }
    void bring_forward() override { }
    void hide() override { ++m_log->hidden; }
    void set_dark(bool) override { }
    void set_fullscreen(bool) override { }
    void reload() override { }
    std::optional<platform::Placement> placement() override { return m_log->placement; }

private:
    std::shared_ptr<DesktopLog> m_log;
};

class FakeDesktop final : public platform::Desktop {
public:
    explicit FakeDesktop(std::shared_ptr<DesktopLog> log) : m_log(std::move(log)) { }

    Result<std::unique_ptr<platform::AppWindow>> open_window(platform::WindowSpec spec,
                                                             platform::WindowEvents events) override
    {
        m_log->spec = std::move(spec);
        m_log->events = std::move(events);
        return std::make_unique<FakeWindow>(m_log);
    }
    Result<std::unique_ptr<platform::TrayIcon>> open_tray(platform::TraySpec) override
    {
        return std::make_unique<platform::TrayIcon>();
    }
    std::vector<platform::MonitorArea> monitors() override { return m_log->monitors; }
    bool prefers_dark() override
    {
        ++m_log->dark_asked;
        return m_log->desktop_dark;
    }
    void after(std::chrono::milliseconds delay, std::function<void()> fn) override
    {
        m_log->timers.emplace_back(delay, std::move(fn));
    }

private:
    std::shared_ptr<DesktopLog> m_log;
};

}
