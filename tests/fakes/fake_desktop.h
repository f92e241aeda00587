#pragma once
// A desktop for tests: a clipboard and a shell that remember what they were asked and answer what the test
// set, and a window and icon whose desktop part (placement, monitors, preference, timers, the window's own
// events) the test plays. Called from the test's own thread.

#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
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
    std::optional<std::string> text() override { return held_text; }

    bool refuse { false };
    std::optional<std::string> held_text;
    std::vector<std::filesystem::path> files;
};

class FakeShell final : public platform::DesktopShell {
public:
    void open(std::filesystem::path const& path) override { opened.push_back(path); }
    void reveal(std::filesystem::path const& path) override { revealed.push_back(path); }
    std::optional<std::string> pick_folder() override { return picked; }

    std::optional<std::string> picked;
    std::vector<std::filesystem::path> opened;
    std::vector<std::filesystem::path> revealed;
};


struct DesktopLog {
    // Set by the test.
    std::vector<platform::MonitorArea> monitors { { 1.0, 0, 0, 1920, 1080 } };
    bool prefers_dark { false };
    std::optional<std::string> refuse_window;
    std::optional<platform::Placement> placement { platform::Placement { 100, 80, 1180, 760, false } };
    // Seen.
    int windows_opened { 0 };
    bool window_alive { false };
    platform::WindowSpec spec;
    platform::WindowEvents events;
    bool visible { false };
    int presents { 0 };
    std::optional<bool> dark;
    std::optional<bool> fullscreen;
    int reloads { 0 };
    std::vector<std::string> scripts;
    std::vector<std::pair<std::chrono::milliseconds, std::function<void()>>> timers;
    bool tray_alive { false };
    platform::TraySpec tray;
};

class FakeWindow final : public platform::AppWindow {
public:
    explicit FakeWindow(std::shared_ptr<DesktopLog> log) : m_log(std::move(log)) { m_log->window_alive = true; }
    ~FakeWindow() override { m_log->window_alive = false; }

    std::unique_ptr<platform::PageView> page_view() override
    {
        struct View final : platform::PageView {
            std::shared_ptr<DesktopLog> log;
            void run_script(std::string const& script) override { log->scripts.push_back(script); }
        };
        auto view = std::make_unique<View>();
        view->log = m_log;
        return view;
    }
    void make_visible() override
    {
        m_log->visible = true;
        ++m_log->presents;
    }
    void bring_forward() override { m_log->presents += m_log->visible; }
    void set_dark(bool dark) override { m_log->dark = dark; }
    void set_fullscreen(bool on) override { m_log->fullscreen = on; }
    void reload() override { ++m_log->reloads; }
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
        if (m_log->refuse_window)
            return fail(*m_log->refuse_window);
        ++m_log->windows_opened;
        m_log->spec = std::move(spec);
        m_log->events = std::move(events);
        m_log->visible = false;
        m_log->dark = m_log->spec.dark;
        return std::make_unique<FakeWindow>(m_log);
    }
    Result<std::unique_ptr<platform::TrayIcon>> open_tray(platform::TraySpec spec) override
    {
        struct Icon final : platform::TrayIcon {
            std::shared_ptr<DesktopLog> log;
            ~Icon() override { log->tray_alive = false; }
        };
        m_log->tray = std::move(spec);
        m_log->tray_alive = true;
        auto icon = std::make_unique<Icon>();
        icon->log = m_log;
        return icon;
    }
    std::vector<platform::MonitorArea> monitors() override { return m_log->monitors; }
    bool prefers_dark() override { return m_log->prefers_dark; }
    void after(std::chrono::milliseconds delay, std::function<void()> fn) override
    {
        m_log->timers.emplace_back(delay, std::move(fn));
    }

private:
    std::shared_ptr<DesktopLog> m_log;
};

}
