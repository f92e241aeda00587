#include "app/main.h"

#include <thread>

#include <gtest/gtest.h>

#include "engine/trim.h"
#include "library/library.h"
#include "tests/fakes/fake_app_platform.h"
#include "tests/fakes/watched_spawner.h"
#include "tests/support/temp_dir.h"

using namespace std::chrono_literals;

namespace {

shell::AppPlatform fake_platform(std::filesystem::path const& root, std::shared_ptr<fakes::FakeHotkeys::State> keys)
{
    auto platform = fakes::app_platform(root, std::move(keys));
    platform.bodies.video = [](engine::VideoThreadParams params) {
        while (!params.stop->load())
            std::this_thread::sleep_for(1ms);
    };
    return platform;
}

// What the hotkeys thread holds once it has handled every queued command.
std::map<int, std::uint32_t> grabbed(fakes::FakeHotkeys::State& keys)
{
    EXPECT_TRUE(fakes::FakeHotkeys::settle(keys));
    std::lock_guard lock(keys.mutex);
    return keys.grabbed;
}

}

class ShellStartup : public testing_support::TempDirTest {
protected:
    // The shell's start-up on the fakes, with its data folder under dir() and a proxy that drops every event.
    std::shared_ptr<engine::Engine> start(std::string const& data = "data")
    {
        auto proxy = std::make_shared<shell::EventProxy>([](std::function<void()>) { }, [](shell::UserEvent) { });
        auto engine = shell::init_app_state(dir() / data, proxy, fake_platform(dir(), keys));
        EXPECT_TRUE(engine) << engine.error();
        return engine ? *engine : nullptr;
    }
    std::shared_ptr<fakes::FakeHotkeys::State> keys = std::make_shared<fakes::FakeHotkeys::State>();
};

// Without a settings file the start-up runs on the defaults and writes nothing; what it reads is clamped
// before use, and the autostart entry follows the file.
TEST_F(ShellStartup, StartsOnTheDefaultsOrOnTheFileClamped)
{
    auto engine = start();
    ASSERT_TRUE(engine);
    EXPECT_EQ(engine->settings_copy(), settings::Settings::defaults());
    EXPECT_FALSE(std::filesystem::exists(dir() / "data" / "settings.json"));
    EXPECT_TRUE(std::filesystem::is_directory(dir() / "Videos" / "quill.mar" / ".quillmar"));
    // The first bindings reached the hotkeys thread: ids 1 to 5.
    auto held = grabbed(*keys);
    EXPECT_EQ(held.size(), 5u);
    EXPECT_EQ(held[5], 0x79u);
    engine->quit.store(true);

    // A clips folder inside the program's cache folder (where light copies are cleared) gives way to the default.
    char const* cache_home = std::getenv("XDG_CACHE_HOME");
    std::optional<std::string> const former_cache_home = cache_home ? std::optional<std::string>(cache_home) : std::nullopt;
    ::setenv("XDG_CACHE_HOME", (dir() / ".cache").c_str(), 1);
    auto clamped = settings::Settings::defaults();
    clamped.slots[0].secs = 4000;
    clamped.autostart = true;
    clamped.clips_dir = dir() / ".cache" / "quill.mar" / "discord" / "clips";
    write_file("read/settings.json", *settings::settings_to_file_text(clamped));
    auto read = start("read");
    if (former_cache_home)
        ::setenv("XDG_CACHE_HOME", former_cache_home->c_str(), 1);
    else
        ::unsetenv("XDG_CACHE_HOME");
    ASSERT_TRUE(read);
    EXPECT_EQ(read->settings_copy().slots[0].secs, 1200u);
    EXPECT_EQ(read->settings_copy().clips_dir, std::nullopt);
    EXPECT_EQ(read->clips_dir(), dir() / "Videos" / "quill.mar");
    EXPECT_FALSE(std::filesystem::exists(*clamped.clips_dir));
    EXPECT_TRUE(std::filesystem::exists(dir() / ".config" / "autostart" / "quill.mar.desktop"));
    read->quit.store(true);
}

TEST_F(ShellStartup, NewViewResumesKeysThePagePausedWithTheBindingsSetMeanwhile)
{
    auto engine = start();
    ASSERT_TRUE(engine);
    ASSERT_EQ(grabbed(*keys).size(), 5u);
    auto handle = engine->hotkeys.copy();
    ASSERT_TRUE(handle);
    // The page paused the keys to capture a new one, saved its change, then was reloaded. A slot without a key
    // takes no place among the bindings.
    handle->set_paused(true);
    auto one = settings::Settings::defaults();
    one.slots.resize(2);
    one.slots[0].key.reset();
    one.record_key.reset();
    handle->apply(one);
    ASSERT_TRUE(grabbed(*keys).empty());
    EXPECT_TRUE(handle->failed_keys().empty());
    shell::ShellState state;
    state.engine = engine;
    shell::view_created(state);
    EXPECT_EQ(grabbed(*keys), (std::map<int, std::uint32_t> { { 1, 0x76u } }));
    // Releasing the thread's handle unregisters every key; a command after the end is dropped.
    hotkeys::drop_thread_handle(static_cast<shell::HotkeyShortcuts&>(*handle).thread());
    EXPECT_TRUE(grabbed(*keys).empty());
    handle->set_paused(false);
    engine->quit.store(true);
}

// Quit pauses the keys, waits for a recording start in progress and stops that recording, waits for a light
// copy still writing and refuses a new one, stops the pipelines, and sends a clip marked for deletion a moment
// ago to the trash now rather than after its grace period.
TEST_F(ShellStartup, QuitWaitsForARecordingStartStopsItAndPurges)
{
    auto engine = start();
    ASSERT_TRUE(engine);
    auto& e = *engine;
    grabbed(*keys);
    {
        auto lock = e.pipeline_lock.lock();
        engine::start_pipeline(e, e.settings_copy());
    }
    write_file("Videos/quill.mar/Jeu 2025-01-01 09-00-00.mp4", "x");
    std::vector<std::string> ids { "Jeu 2025-01-01 09-00-00" };
    ASSERT_TRUE(library::mark_deleted(e.pending_deletions, e.clips_dir(), ids, std::chrono::steady_clock::now()));
    shell::ShellState state;
    state.engine = engine;
    std::atomic<int> exit_code { -1 };
    state.exit = [&](int code) { exit_code.store(code); };

    auto pass = e.file_jobs.enter();
    ASSERT_TRUE(pass);
    std::atomic<bool> started { false }, copied { false };
    std::thread copy([&, held = std::move(*pass)]() mutable {
        while (!started.load())
            std::this_thread::sleep_for(1ms);
        std::this_thread::sleep_for(100ms); // the copy's last writes; the quit waits however long they take
        copied.store(true);
        auto done = std::move(held);
    });

    // A start that has passed its quit check holds the start lock while it writes the file header.
    std::optional<threads::RankedMutex::Guard> start_lock;
    start_lock.emplace(e.recording_start);
    std::thread quitting([&] { shell::handle_event(state, shell::UserEvent { shell::UserEvent::Quit {} }); });
    for (int i = 0; i < 150 && exit_code.load() < 0; ++i)
        std::this_thread::sleep_for(2ms);
    EXPECT_EQ(exit_code.load(), -1) << "quit ended while a recording was starting";

    // The start finishes: its sink and slot are set; the writer ends the recording when told to stop.
    auto [sink, live] = channel::make<shared::LiveSample>();
    e.shared->rings.with([&](shared::Rings& rings) { rings.sink = std::move(sink); });
    e.recording.with([](auto& slot) { slot = engine::RecordingSlot { 1, "Jeu 2025-01-01 10-00-00" }; });
    std::atomic<bool> stopped { false };
    std::thread writer([&, live = std::move(live)]() mutable {
        while (auto sample = live.recv_for(5s)) {
            if (std::holds_alternative<shared::LiveSample::Stop>(sample->value)) {
                stopped.store(true);
                break;
            }
        }
        e.recording.with([](auto& slot) { slot.reset(); });
    });
    started.store(true);
    start_lock.reset();
    quitting.join();
    EXPECT_TRUE(copied.load()) << "quit ended while a light copy was writing";
    copy.join();
    writer.join();
    EXPECT_EQ(trim::cut_clip(e, "Jeu 2025-01-01 09-00-00", 0, 5).error(), engine::closing_text);
    EXPECT_TRUE(stopped.load()) << "the recording was not stopped before the exit";
    EXPECT_EQ(exit_code.load(), 0);
    EXPECT_TRUE(e.quit.load());
    EXPECT_FALSE(engine::video_pipeline_running(e));
    EXPECT_TRUE(std::filesystem::exists(dir() / "trash" / "Jeu 2025-01-01 09-00-00.mp4"));
    {
        // The pause was answered before the quit went on.
        std::lock_guard lock(keys->mutex);
        EXPECT_TRUE(keys->grabbed.empty()) << "keys are paused first";
    }
    // Nothing runs after quit, not even a second quit.
    exit_code = -1;
    shell::handle_event(state, shell::UserEvent { shell::UserEvent::Quit {} });
    EXPECT_EQ(exit_code.load(), -1);
}

// Every thread of the start-up is needed: one that cannot start ends the start-up with the player's text and a
// crash record naming it, and the threads that had started and end with a stop flag are already gone.
TEST_F(ShellStartup, ThreadThatCannotStartEndsTheStartUp)
{
    auto proxy = std::make_shared<shell::EventProxy>([](std::function<void()>) { }, [](shell::UserEvent) { });
    for (std::string name : { "quillmar-games", "quillmar-toast", "quillmar-saver", "quillmar-spill",
                              "quillmar-hotkeys", "quillmar-gate", "quillmar-trash" }) {
        SCOPED_TRACE(name);
        auto log = dir() / (name + ".log");
        threads::set_crash_log(log);
        fakes::WatchedSpawner spawner { name };
        auto platform = fake_platform(dir(), keys);
        platform.spawn = spawner.spawner();
        auto engine = shell::init_app_state(dir() / "data", proxy, std::move(platform));
        threads::set_crash_log({});
        ASSERT_FALSE(engine);
        EXPECT_EQ(engine.error(),
                  fmt::format("Démarrage impossible : le fil {} n'a pas démarré ({})", name, fakes::refused_start_text));
        EXPECT_NE(read_file(log).find(fmt::format("{}: {}", name, fakes::refused_start_text)), std::string::npos);
        for (auto const& [started, ended] : spawner.seen()) {
            if (started == "quillmar-games" || started == "quillmar-gate" || started == "quillmar-trash")
                EXPECT_TRUE(ended) << started;
        }
    }
}

// Quit waits for the threads that end on their own once it is set, so that no turn of theirs (a retention
// pass moving clips to the trash) is cut off by the exit.
TEST_F(ShellStartup, QuitJoinsTheThreadsThatEndWithIt)
{
    fakes::WatchedSpawner spawner;
    auto platform = fake_platform(dir(), keys);
    platform.spawn = spawner.spawner();
    auto proxy = std::make_shared<shell::EventProxy>([](std::function<void()>) { }, [](shell::UserEvent) { });
    auto engine = shell::init_app_state(dir() / "data", proxy, std::move(platform));
    ASSERT_TRUE(engine) << engine.error();
    shell::ShellState state;
    state.engine = *engine;
    state.exit = [](int) { };
    shell::quit(state);
    auto seen = spawner.seen();
    for (auto name : { "quillmar-games", "quillmar-gate", "quillmar-trash" })
        EXPECT_TRUE(seen[name]) << name;
}

TEST(ShellProxy, KeepsOrderAndFailsOnceClosed)
{
    std::vector<std::function<void()>> posted;
    std::vector<int> seen;
    shell::EventProxy proxy([&](std::function<void()> fn) { posted.push_back(std::move(fn)); },
                            [&](shell::UserEvent event) {
                                seen.push_back(static_cast<int>(event.value.index()));
                            });
    EXPECT_TRUE(proxy.send({ shell::UserEvent::Show {} }));
    EXPECT_TRUE(proxy.send({ shell::UserEvent::Quit {} }));
    EXPECT_EQ(posted.size(), 1u) << "one wake-up drains both";
    posted[0]();
    EXPECT_EQ(seen, (std::vector<int> { 0, 1 }));
    proxy.close();
    EXPECT_FALSE(proxy.send({ shell::UserEvent::Show {} }));
}
