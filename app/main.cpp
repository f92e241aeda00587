#include "app/main.h"

#include <cstdio>
#include <cstdlib>
#include <unistd.h>

#include "app/api/page_events.h"
#include "app/tray.h"
#include "app/window.h"
#include "base/file_io.h"
#include "library/library.h"
#include "platform/paths.h"
#include "engine/export.h"
#include "engine/recording.h"
#include "engine/saver.h"
#include "library/settings.h"
#include "engine/spill_thread.h"

namespace shell {

EventProxy::EventProxy(Waker wake, std::function<void(UserEvent)> handler)
    : m_state(std::make_shared<State>())
    , m_wake(std::move(wake))
    , m_handler(std::move(handler))
{
}

bool EventProxy::send(UserEvent event)
{
    bool schedule = false;
    {
        std::lock_guard lock(m_state->mutex);
        if (m_state->closed)
            return false;
        m_state->queue.push_back(std::move(event));
        schedule = !m_state->scheduled;
        m_state->scheduled = true;
    }
    // One wake-up drains everything queued meanwhile, in order.
    if (schedule)
        m_wake([this] { drain(); });
    return true;
}

void EventProxy::close()
{
    std::lock_guard lock(m_state->mutex);
    m_state->closed = true;
    m_state->queue.clear();
}

void EventProxy::drain()
{
    for (;;) {
        std::optional<UserEvent> event;
        {
            std::lock_guard lock(m_state->mutex);
            if (m_state->queue.empty() || m_state->closed) {
                m_state->scheduled = false;
                return;
            }
            event = std::move(m_state->queue.front());
            m_state->queue.pop_front();
        }
        m_handler(std::move(*event));
    }
}

std::vector<hotkeys::HotkeyBinding> bindings_for(settings::Settings const& settings)
{
    std::vector<hotkeys::HotkeyBinding> list;
    for (auto const& slot : settings.slots) {
        if (slot.key)
            list.push_back({ slot.key->label, slot.key->mods, slot.key->vk, engine::HotkeyKind::Save, slot.secs });
    }
    if (settings.record_key)
        list.push_back({ settings.record_key->label, settings.record_key->mods, settings.record_key->vk,
                         engine::HotkeyKind::Record, 0 });
    return list;
}

void apply_bindings(hotkeys::HotkeyThread const& handle, settings::Settings const& settings)
{
    hotkeys::send_command(handle, hotkeys::SetBindings { bindings_for(settings) });
}

void HotkeyShortcuts::set_paused(bool paused)
{
    std::lock_guard lock(m_mutex);
    // A capture asked for just as the window lost the keyboard would leave the keys off for good.
    if (paused && !m_focused)
        return;
    m_paused = paused;
    hotkeys::send_command(m_thread, hotkeys::Pause { paused });
}
void HotkeyShortcuts::set_window_focus(bool focused)
{
    std::lock_guard lock(m_mutex);
    m_focused = focused;
    if (focused || !m_paused)
        return;
    m_paused = false;
    hotkeys::send_command(m_thread, hotkeys::Pause { false });
}
void HotkeyShortcuts::settle_and_pause(std::chrono::milliseconds bound)
{
    auto [applied_tx, applied_rx] = channel::make<bool>();
    hotkeys::send_command(m_thread, hotkeys::Pause { true, std::move(applied_tx) });
    (void)applied_rx.recv_for(bound);
}
void HotkeyShortcuts::apply(settings::Settings const& settings) { apply_bindings(m_thread, settings); }
std::vector<std::string> HotkeyShortcuts::failed_keys() const { return hotkeys::failed_keys(m_thread); }


Result<std::shared_ptr<engine::Engine>> init_app_state(std::filesystem::path const& data_folder,
                                                       std::shared_ptr<EventProxy> proxy, AppPlatform platform)
{
    std::error_code ec;
    std::filesystem::create_directories(data_folder, ec);
    if (ec)
        return fail(os_error(ec.value()));

    auto settings_path = settings::settings_path(data_folder);
    // A clips folder among the program's own files (settings.json edited by hand, or an older version) gives
    // way to the default one, as any unusable folder does.
    auto loaded = settings::sanitize(settings::load(data_folder), paths::own_dirs());

    auto clips = library::resolve_clips_dir(loaded.clips_dir, platform.videos_dir);
    // The default folder is the program's own, like its data folders; a folder the player chose is theirs.
    if (!loaded.clips_dir)
        TRY_VOID_AS("Dossier des clips : {}", files::ensure_own_folder(clips));
    auto prepared = library::ensure_meta_dir(clips);
    if (!prepared)
        return fail(fmt::format("Dossier des clips : {}", prepared.error()));
    // A recording whose journal nobody holds was cut short by a crash, a kill or a power cut (one still held is
    // another copy's, with settings of its own and the same clips folder: it is left alone), and whatever is
    // half-written there was left by a run that ended mid-save.
    engine::complete_unfinished_recordings(*prepared);
    library::remove_leftover_parts(*prepared);
    light_copy::clean_folder(platform.copies_dir, std::chrono::system_clock::now(), light_copy::Leftovers::Remove);

    auto history = std::make_shared<foreground::ForegroundHistory>();
    auto games_stop = std::make_shared<std::atomic<bool>>(false);
    auto [save_tx, save_rx] = channel::make<engine::SaveRequest>();
    auto shared = std::make_shared<shared::Shared>();

    engine::EngineParts parts;
    parts.save_requests = std::move(save_tx);
    parts.settings_path = settings_path;
    parts.shared = shared;
    parts.history = history;
    parts.games_stop = games_stop;
    parts.notifier = [proxy](engine::PageEvent event) { proxy->send(UserEvent { UserEvent::Page { std::move(event) } }); };
    parts.settings = loaded;
    parts.clips_folder = *prepared;
    parts.trash = platform.trash;
    parts.bodies = std::move(platform.bodies);
    parts.actions.toggle_recording = [](std::shared_ptr<engine::Engine> const& e) { engine::toggle_recording(e); };
    parts.actions.save_last_seconds = [](engine::Engine& e, std::uint32_t secs) { engine::save_last_seconds(e, secs); };
    parts.detect_foreground = platform.detect_foreground;
    auto engine = std::make_shared<engine::Engine>(std::move(parts));
    std::weak_ptr<engine::Engine> weak = engine;

    // Every thread started here is needed: without the saver, saves would queue with no word; without the
    // hotkeys thread, no key would work. One that cannot start ends the start-up. The games, gate and trash
    // threads end within a turn once quit is set: they are joined at quit. The others serve until the process
    // ends (toast) or until the engine is gone (saver, spill).
    std::vector<std::thread> joined;
    enum class Keep { Joined, Detached };
    auto start = [&](char const* name, Keep keep, std::function<void()> body,
                     std::source_location where = std::source_location::current()) -> Result<void> {
        auto thread = TRY(threads::start_needed(platform.spawn, name, std::move(body), where));
        if (keep == Keep::Joined)
            joined.push_back(std::move(thread));
        else
            thread.detach();
        return {};
    };
    auto started = [&]() -> Result<void> {
        TRY_VOID(start("quillmar-games", Keep::Joined, [history, games_stop, open = std::move(platform.open_probe)] {
            foreground::foreground_thread(history, games_stop, open);
        }));
        TRY_VOID(start("quillmar-toast", Keep::Detached,
                       [open = std::move(platform.open_toast)] { toast::toast_thread(open); }));
        TRY_VOID(start("quillmar-saver", Keep::Detached,
                       [rx = std::make_shared<channel::Receiver<engine::SaveRequest>>(std::move(save_rx)), weak] {
                           engine::saver_loop(std::move(*rx), weak);
                       }));
        TRY_VOID(start("quillmar-spill", Keep::Detached,
                       [weak_shared = std::weak_ptr<shared::Shared>(shared), folder = platform.buffer_dir] {
                           spill::spill_thread_main(weak_shared, folder);
                       }));

        // The hotkeys thread replies once its queue exists, so the first bindings are never lost.
        auto handle = hotkeys::spawn(
            [weak](engine::HotkeyKind kind, std::uint32_t arg) { engine::hotkey_action(weak, kind, arg); },
            std::move(platform.open_hotkeys), platform.spawn);
        if (!handle)
            return fail(std::move(handle).error());
        apply_bindings(*handle, loaded);
        auto keys = std::make_shared<HotkeyShortcuts>(std::move(*handle));
        bool stored = engine->hotkeys.with([&](auto& slot) {
            if (slot)
                return false;
            slot = keys;
            return true;
        });
        if (!stored)
            hotkeys::drop_thread_handle(keys->thread());

        shared->game_volume.store(loaded.game_volume);
        shared->mic_volume.store(loaded.mic_volume);
        engine::apply_ring_budget(*shared, loaded);

        TRY_VOID(start("quillmar-gate", Keep::Joined, [weak] { engine::gate_thread_main(weak); }));
        TRY_VOID(start("quillmar-trash", Keep::Joined, [weak] { engine::trash_thread_main(weak); }));
        return {};
    }();
    if (!started) {
        // What did start stops: the joined threads at their next turn, the hotkeys thread with its handle, the
        // saver and spill threads with the engine.
        engine->quit.store(true);
        games_stop->store(true);
        if (auto keys = engine->hotkeys.copy())
            hotkeys::drop_thread_handle(static_cast<HotkeyShortcuts&>(*keys).thread());
        for (auto& thread : joined)
            thread.join();
        return fail(std::move(started).error());
    }
    engine->joined_at_quit.set(std::move(joined));

    if (loaded.autostart)
        (void)library::set_autostart(true, platform.autostart_home, platform.executable);
    return engine;
}

namespace {

void finish_quit(ShellState& state)
{
    window::destroy_window(state);
    tray::drop_icon(state);
    if (!state.engine) {
        if (state.exit)
            state.exit(0);
        return;
    }
    // Keys first: a record key pressed now must not start a recording that nothing would finish. The keys
    // pressed before the quit are handled first, so that their saves and recordings are finished below.
    if (auto keys = state.engine->hotkeys.copy())
        keys->settle_and_pause(quit_keys_bound);
    engine::shut_down(state.engine);
    if (state.exit)
        state.exit(0);
}

}

void quit(ShellState& state)
{
    if (state.quitting)
        return;
    state.quitting = true;
    window::save_window_state(state);
    // A title still being typed in the page is sent before anything stops; a window closed a moment ago may
    // still be sending its own.
    window::leave_window(state);
    window::after_leaving(state, [&state] { finish_quit(state); });
}

void resume_keys(ShellState& state)
{
    if (!state.engine)
        return;
    if (auto keys = state.engine->hotkeys.copy())
        keys->set_paused(false);
}

void view_created(ShellState& state) { resume_keys(state); }

void window_focus(ShellState& state, bool focused)
{
    if (state.quitting || !state.engine)
        return;
    if (auto keys = state.engine->hotkeys.copy())
        keys->set_window_focus(focused);
}

void first_event(ShellState& state)
{
    tray::show_icon(state);
    if (!state.start_hidden)
        window::show_window(state);
}

void close_requested(ShellState& state)
{
    if (state.quitting)
        return;
    window::save_window_state(state);
    window::leave_window(state);
    // Keys paused by the page while it captured a new one would otherwise stay off with no page to resume them.
    resume_keys(state);
    if (!state.continue_toast_shown) {
        state.continue_toast_shown = true;
        toast::post(toast::Kind::Ok, fmt::format("{} continue", window::title), "Tes raccourcis restent actifs");
    }
}

namespace {

void window_command(ShellState& state, WindowCommand command)
{
    if (!state.window)
        return;
    switch (command.kind) {
    case WindowCommand::Kind::Theme:
        state.window->set_dark(command.on);
        break;
    case WindowCommand::Kind::Fullscreen:
        state.window->set_fullscreen(command.on);
        break;
    case WindowCommand::Kind::Ready:
        if (state.ready_handled)
            break;
        state.ready_handled = true;
        state.window->make_visible();
        break;
    }
}

}

void handle_event(ShellState& state, UserEvent event)
{
    if (state.quitting)
        return;
    std::visit(
        [&](auto& value) {
            using T = std::decay_t<decltype(value)>;
            if constexpr (std::is_same_v<T, UserEvent::Show>)
                window::show_window(state);
            else if constexpr (std::is_same_v<T, UserEvent::Quit>)
                quit(state);
            else if constexpr (std::is_same_v<T, UserEvent::Window>)
                window_command(state, value.command);
            else if constexpr (std::is_same_v<T, UserEvent::Page>) {
                if (auto object = api::page_event_value(value.event))
                    window::post_page_event(state, *object);
            } else
                window::page_failed(state);
        },
        event.value);
}

}
