// The program itself: the real drivers of this system, gathered in one place (the rest of the program
// receives them as values, so tests can hand in their own), and the start-up order of the main thread.

#include "app/main.h"

#include <cstdio>

#include "app/startup.h"
#include "base/file_io.h"
#include "platform/instance.h"
#include "platform/main_loop.h"

#include "engine/audio.h"
#include "engine/export.h"
#include "platform/paths.h"
#include "engine/spill_thread.h"
#include "engine/video.h"
#include "platform/audio_source.h"
#include "platform/aac_encoder.h"
#include "platform/clipboard.h"
#include "platform/folders.h"
#include "platform/memory.h"
#include "platform/linux/lavc_encoder.h"
#include "platform/linux/x11_capture.h"
#include "platform/linux/x11_foreground.h"
#include "platform/shell.h"
#include "platform/toast_window.h"
#include "platform/transcode.h"
#include "platform/trash.h"
#include "platform/window.h"

namespace shell {

namespace {

// A trash that cannot open reports the reason at each use and never deletes anything.
class UnavailableTrash final : public platform::Trash {
public:
    explicit UnavailableTrash(std::string reason)
        : m_reason(std::move(reason))
    {
    }
    Result<void> move_to_trash(std::filesystem::path const&) override { return fail(m_reason); }

private:
    std::string m_reason;
};

std::filesystem::path own_executable()
{
    auto path = files::own_executable();
    return path ? *path : std::filesystem::path("quillmar");
}

}

AppPlatform default_platform()
{
    AppPlatform platform;
    if (auto trash = platform::gio_trash_driver.open())
        platform.trash = std::move(*trash);
    else
        platform.trash = std::make_shared<UnavailableTrash>(trash.error());

    static platform::ForegroundDriver const foreground_drivers[] = { platform::x11::foreground_driver };
    platform.open_probe = foreground::opener_from(foreground_drivers);
    platform.detect_foreground = [] { return foreground::detect_once(foreground_drivers); };
    platform.open_toast = toast::first_surface(platform::toast_drivers());
    platform.open_hotkeys = hotkeys::system_registrar();
    platform.bodies.video = [](engine::VideoThreadParams params) {
        video::video_thread(std::move(params), video::VideoDrivers { &platform::x11_capture_driver,
                                                                     &platform::lavc_encoder_driver });
    };
    platform.bodies.audio
        = audio::thread_body(audio::real_runtime(platform::pulse_audio_driver, platform::lavc_aac_driver));
    platform.bodies.release_memory = platform::release_free_memory;
    platform.videos_dir = platform::videos_dir();
    // Never tmpfs: segments can hold gigabytes.
    platform.buffer_dir = paths::cache_dir() / "buffer";
    platform.copies_dir = light_copy::light_copy_dir();
    platform.autostart_home = paths::config_home();
    platform.executable = own_executable();
    return platform;
}

api::Platform api_platform()
{
    api::Platform platform;
    platform.capture = &platform::x11_capture_driver;
    platform.encoder = &platform::lavc_encoder_driver;
    platform.audio = &platform::pulse_audio_driver;
    // Without a display there is no clipboard: "copy" then says so, and "paste" finds nothing.
    if (auto clipboard = platform::gtk_clipboard_driver.open())
        platform.clipboard = std::move(*clipboard);
    if (auto shell = platform::gio_shell_driver.open())
        platform.shell = std::move(*shell);
    // Without it "copy-light" says so; every other method works.
    if (auto transcoder = platform::lavc_transcode_driver.open())
        platform.transcoder = std::move(*transcoder);
    platform.autostart_home = paths::config_home();
    platform.executable = own_executable();
    platform.videos_dir = platform::videos_dir();
    return platform;
}

int run(int argc, char** argv)
{
    platform::lavc::quiet_library_logs();
    // Without a usable HOME these fall under the shared temporary folder, where another user may have made
    // them first, with settings of their choosing.
    migrate_legacy_folder(paths::config_dir());
    migrate_legacy_folder(paths::data_dir());
    for (auto const& folder : { paths::config_dir(), paths::data_dir(), paths::cache_dir() }) {
        if (auto own = files::ensure_own_folder(folder); !own) {
            std::fputs(fmt::format("Dossier {} : {}\n", folder.string(), own.error()).c_str(), stderr);
            return 1;
        }
    }
    // Without a display there is no window and no icon: say why and stop.
    auto desktop = platform::open_gtk_desktop(paths::data_dir() / "WebView");
    if (!desktop) {
        std::fputs((desktop.error() + "\n").c_str(), stderr);
        return 1;
    }
    auto data_folder = paths::config_dir();
    threads::set_crash_log(data_folder / "crash.log");
    install_main_thread_crash_hook();

    ShellState state;
    state.desktop = std::move(*desktop);
    state.data_folder = data_folder;
    state.icon_folder = paths::data_dir() / "icons";
    auto proxy = std::make_shared<EventProxy>([](std::function<void()> fn) { platform::invoke_on_main(std::move(fn)); },
                                              [&state](UserEvent event) { handle_event(state, std::move(event)); });
    // Taken over before anything else starts: a signal during start-up would otherwise end the process at
    // once. It waits as a Quit event until the main loop runs, after the engine exists.
    platform::on_termination_signals([proxy] { proxy->send(UserEvent { UserEvent::Quit {} }); });

    auto instance = platform::claim_instance(instance_key(data_folder.string()),
                                             [proxy] { proxy->send(UserEvent { UserEvent::Show {} }); });
    if (instance && instance->role == platform::InstanceOutcome::Role::Second)
        return 0;

    std::vector<char const*> args(argv, argv + argc);
    state.start_hidden = start_hidden(args);
    // Threads that did start may still run after a failure: the process ends without static destructors.
    auto fail_start = [](std::string const& error) {
        std::fputs((error + "\n").c_str(), stderr);
        std::fflush(nullptr);
        std::_Exit(1);
    };
    auto engine = init_app_state(data_folder, proxy, default_platform());
    if (!engine)
        fail_start(engine.error());
    state.engine = std::move(*engine);
    state.app = std::make_shared<api::App>(state.engine, api_platform());
    auto page_jobs = api::spawn_page_workers();
    if (!page_jobs)
        fail_start(page_jobs.error());
    state.page_jobs = std::move(*page_jobs);
    state.proxy = proxy;
    state.page_scheme = api::scheme_handler({ proxy, state.page_jobs, state.app });
    int exit_code = 0;
    state.exit = [&](int code) {
        exit_code = code;
        proxy->close();
        platform::quit_main_loop();
    };
    // The loop's first turn builds the icon and the window.
    platform::invoke_on_main([&state] { first_event(state); });
    platform::run_main_loop();
    // A copied clip stays pasteable once a clipboard manager holds it. That waits for the manager, so a start
    // meanwhile must not find this process still in place: it would ask a window that never comes.
    if (instance)
        instance->lock.reset();
    if (auto const& clipboard = state.app->platform.clipboard)
        clipboard->keep_after_exit();
    std::fflush(nullptr);
    // Detached threads still run: end without static destructors under them.
    std::_Exit(exit_code);
}

}
