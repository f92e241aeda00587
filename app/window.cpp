#include "app/window.h"

#include <climits>
#include <cmath>
#include <set>
#include <utility>

#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include "app/main.h"
#include "app/tray.h"
#include "base/file_io.h"
#include "engine/toast.h"

namespace window {

namespace {

void append_number(std::string& out, double value)
{
    auto text = fmt::format("{}", value);
    out += text;
    if (text.find_first_of(".eEn") == std::string::npos)
        out += ".0";
}

// Halves away from zero, saturated to the 32-bit range; NaN gives 0.
int to_pixel(double value)
{
    if (std::isnan(value))
        return 0;
    double rounded = std::round(value);
    if (rounded >= double(INT_MAX))
        return INT_MAX;
    if (rounded <= double(INT_MIN))
        return INT_MIN;
    return int(rounded);
}

Result<WindowState> state_from_values(nlohmann::json const& x, nlohmann::json const& y, nlohmann::json const& w,
                                      nlohmann::json const& h, nlohmann::json const& maximized)
{
    for (auto const* number : { &x, &y, &w, &h }) {
        if (!number->is_number())
            return fail("nombre attendu");
    }
    if (!maximized.is_boolean())
        return fail("booléen attendu");
    return WindowState { x.get<double>(), y.get<double>(), w.get<double>(), h.get<double>(), maximized.get<bool>() };
}

}

std::string state_text(WindowState const& state)
{
    std::string out = "{\"x\":";
    append_number(out, state.x);
    out += ",\"y\":";
    append_number(out, state.y);
    out += ",\"w\":";
    append_number(out, state.w);
    out += ",\"h\":";
    append_number(out, state.h);
    out += state.maximized ? ",\"maximized\":true}" : ",\"maximized\":false}";
    return out;
}

Result<WindowState> parse_state(std::string_view text)
{
    // The parser keeps the last of two equal keys; the callback sees each key of the record itself first.
    bool repeated = false;
    std::set<std::string> keys;
    auto callback = [&](int depth, nlohmann::json::parse_event_t event, nlohmann::json& parsed) {
        if (event == nlohmann::json::parse_event_t::key && depth == 1 && !keys.insert(parsed.get<std::string>()).second)
            repeated = true;
        return true;
    };
    auto value = nlohmann::json::parse(text.begin(), text.end(), callback, false);
    if (value.is_discarded())
        return fail("JSON invalide");
    if (repeated)
        return fail("clé répétée");
    if (value.is_array()) {
        if (value.size() != 5)
            return fail("cinq valeurs attendues");
        return state_from_values(value[0], value[1], value[2], value[3], value[4]);
    }
    if (!value.is_object())
        return fail("objet attendu");
    for (char const* key : { "x", "y", "w", "h", "maximized" }) {
        if (!value.contains(key))
            return fail(fmt::format("clé manquante : {}", key));
    }
    return state_from_values(value["x"], value["y"], value["w"], value["h"], value["maximized"]);
}

bool title_point_on_monitor(double x, double y, platform::MonitorArea const& monitor)
{
    int px = to_pixel((x + 40) * monitor.scale);
    int py = to_pixel((y + 20) * monitor.scale);
    return monitor.left <= px && px < monitor.right && monitor.top <= py && py < monitor.bottom;
}

std::optional<WindowState> remembered_state(std::filesystem::path const& data_folder,
                                            std::span<platform::MonitorArea const> monitors)
{
    auto text = files::read_text(data_folder / state_file_name);
    if (!text)
        return std::nullopt;
    auto state = parse_state(*text);
    if (!state)
        return std::nullopt;
    for (double value : { state->x, state->y, state->w, state->h }) {
        if (!std::isfinite(value))
            return std::nullopt;
    }
    if (state->w < min_width || state->h < min_height || state->w > max_remembered_size
        || state->h > max_remembered_size)
        return std::nullopt;
    for (auto const& monitor : monitors) {
        if (title_point_on_monitor(state->x, state->y, monitor))
            return *state;
    }
    return std::nullopt;
}

Result<void> write_state(std::filesystem::path const& data_folder, WindowState const& state)
{
    return files::atomic_replace(data_folder / state_file_name, data_folder / state_temp_name, state_text(state));
}

bool is_allowed_navigation(std::string_view url)
{
    auto const origin = platform::page_origin;
    if (!url.starts_with(origin))
        return false;
    auto rest = url.substr(origin.size());
    return rest.empty() || rest[0] == '/' || rest[0] == '?' || rest[0] == '#';
}

bool choose_dark(settings::Theme theme, std::function<bool()> const& desktop_dark)
{
    switch (theme) {
    case settings::Theme::Light:
        return false;
    case settings::Theme::Dark:
        return true;
    case settings::Theme::System:
        break;
    }
    return desktop_dark && desktop_dark();
}

bool too_many_failures(std::deque<std::chrono::steady_clock::time_point>& recent,
                       std::chrono::steady_clock::time_point now)
{
    while (!recent.empty() && now - recent.front() >= page_failure_window)
        recent.pop_front();
    recent.push_back(now);
    return recent.size() >= page_failure_limit;
}

namespace {

Result<std::unique_ptr<platform::AppWindow>> create_window(shell::ShellState& state, std::weak_ptr<bool> own)
{
    if (!state.desktop)
        return fail("aucun écran");
    auto monitors = state.desktop->monitors();
    auto remembered = remembered_state(state.data_folder, monitors);

    platform::WindowSpec spec;
    spec.title = std::string(title);
    spec.icon_rgba = tray::icon_rgba();
    spec.icon_size = tray::icon_size;
    spec.min_width = min_width;
    spec.min_height = min_height;
    if (remembered) {
        // Checked on a monitor above, so both fit an int.
        spec.width = int(remembered->w);
        spec.height = int(remembered->h);
        spec.position = std::pair { to_pixel(remembered->x), to_pixel(remembered->y) };
        spec.maximized = remembered->maximized;
    } else {
        spec.width = default_width;
        spec.height = default_height;
    }
    auto theme = state.engine ? state.engine->settings_copy().theme : settings::Theme::System;
    spec.dark = choose_dark(theme, [&] { return state.desktop->prefers_dark(); });
    spec.start_url = std::string(start_url);
    spec.allow_navigation = is_allowed_navigation;
    spec.scheme = state.page_scheme;

    platform::WindowEvents events;
    // The window belongs to the state: these run only while it exists. Once it has left the slot (hidden, its
    // page finishing), what happens to it is no longer the window's the shell speaks of: its focus lost as it
    // hides, its page failing meanwhile.
    events.close_requested = [&state, own] {
        if (!own.expired())
            shell::close_requested(state);
    };
    events.page_committed = [&state, own] {
        if (!own.expired())
            shell::view_created(state);
    };
    events.focus_changed = [&state, own](bool focused) {
        if (!own.expired())
            shell::window_focus(state, focused);
    };
    events.page_failed = [proxy = state.proxy, own] {
        if (proxy && !own.expired())
            proxy->send(shell::UserEvent { shell::UserEvent::WebViewFailed {} });
    };
    return state.desktop->open_window(std::move(spec), std::move(events));
}

}

void show_window(shell::ShellState& state)
{
    if (state.window) {
        state.window->bring_forward();
        return;
    }
    auto token = std::make_shared<bool>(true);
    auto created = create_window(state, token);
    if (!created) {
        toast::post(toast::Kind::Ok, "Fenêtre indisponible", created.error());
        return;
    }
    state.window = std::move(*created);
    state.window_token = std::move(token);
    state.view = state.window->page_view();
    state.ready_handled = false;
    state.page_failures.clear();
    // A page that never reports ready still gets its window shown.
    if (state.proxy)
        state.desktop->after(ready_fallback_delay, [proxy = state.proxy] {
            proxy->send(shell::UserEvent { shell::UserEvent::Window { { shell::WindowCommand::Kind::Ready } } });
        });
}

void save_window_state(shell::ShellState& state)
{
    if (!state.window)
        return;
    auto placement = state.window->placement();
    if (!placement)
        return;
    (void)write_state(state.data_folder, { placement->x, placement->y, placement->w, placement->h, placement->maximized });
}

void destroy_window(shell::ShellState& state)
{
    state.window_token.reset();
    state.view.reset();
    state.window.reset();
    state.page_failures.clear();
}

namespace {

// Never from inside a call of the window's own: its page's answer is handed on to a later turn.
void window_left(shell::ShellState& state, std::weak_ptr<shell::LeavingWindow> const& weak)
{
    auto held = weak.lock();
    if (!held)
        return;
    std::erase(state.leaving, held);
    held.reset();
    if (state.leaving.empty() && state.after_leaving)
        std::exchange(state.after_leaving, nullptr)();
}

}

void leave_window(shell::ShellState& state)
{
    if (!state.window)
        return;
    auto leaving = std::make_shared<shell::LeavingWindow>();
    leaving->window = std::move(state.window);
    leaving->view = std::move(state.view);
    state.window_token.reset();
    state.page_failures.clear();
    leaving->window->hide();
    state.leaving.push_back(leaving);
    // Both callbacks hold the window weakly: whichever comes second finds it gone. Alive, it is the state's,
    // so the state is too.
    std::weak_ptr<shell::LeavingWindow> weak = leaving;
    state.desktop->after(leave_bound, [&state, weak] { window_left(state, weak); });
    leaving->view->call_script(std::string(leave_script), [&state, weak] {
        if (!weak.expired())
            state.desktop->after(std::chrono::milliseconds(0), [&state, weak] { window_left(state, weak); });
    });
}

void after_leaving(shell::ShellState& state, std::function<void()> then)
{
    if (state.leaving.empty())
        then();
    else
        state.after_leaving = std::move(then);
}

void page_failed(shell::ShellState& state)
{
    if (!state.window)
        return;
    if (!too_many_failures(state.page_failures, std::chrono::steady_clock::now())) {
        state.window->reload();
        return;
    }
    save_window_state(state);
    destroy_window(state);
    // The page that may have paused the keys is gone with it.
    shell::resume_keys(state);
    toast::post(toast::Kind::Ok, "Fenêtre indisponible", "La page s'est arrêtée plusieurs fois.");
}

}
