// The page API on a real Engine over a temporary clips folder and settings path: pipeline bodies that run
// until stopped and count their starts, recorded page events, a fake trash, clipboard and shell, and an event
// proxy that records window commands.
#include "app/api/api.h"

#include <fstream>
#include <thread>

#include <gtest/gtest.h>

#include "app/api/page_server.h"
#include "app/main.h"
#include "base/file_io.h"
#include "core/mp4.h"
#include "engine/engine.h"
#include "library/library.h"
#include "platform/encoder.h"
#include "tests/fakes/fake_desktop.h"
#include "tests/fakes/fake_transcoder.h"
#include "tests/fakes/fake_trash.h"
#include "tests/support/temp_dir.h"

using json = nlohmann::json;
using namespace std::chrono_literals;

namespace {

struct Log {
    threads::Locked<std::vector<std::string>> lines; // "video", "audio", "recording finished" ... in order
    std::atomic<int> video_starts { 0 };
    std::atomic<int> audio_starts { 0 };
    void add(std::string line)
    {
        lines.with([&](auto& list) { list.push_back(std::move(line)); });
    }
};

class NullWaker final : public platform::HotkeyWaker {
public:
    void post_app() override { }
    void post_quit() override { }
};

// A hotkeys handle whose commands the test reads itself.
struct HotkeysProbe {
    std::shared_ptr<shell::HotkeyShortcuts> handle;
    channel::Receiver<hotkeys::HotkeyCommand> commands;
};

HotkeysProbe hotkeys_probe()
{
    auto [sender, receiver] = channel::make<hotkeys::HotkeyCommand>();
    auto handle = std::make_shared<shell::HotkeyShortcuts>(
        hotkeys::HotkeyThread { std::move(sender), std::make_shared<hotkeys::HotkeyShared>(), std::make_shared<NullWaker>() });
    return { std::move(handle), std::move(receiver) };
}

class ApiTest : public testing_support::TempDirTest {
protected:
    void SetUp() override
    {
        TempDirTest::SetUp();
        log = std::make_shared<Log>();
        page_events->set({});
        trash = std::make_shared<fakes::FakeTrash>(dir() / "bin");
        platform.clipboard = clipboard;
        platform.shell = shell;
        platform.autostart_home = dir() / "config";
        platform.executable = "/usr/bin/quillmar";
        platform.videos_dir = dir() / "videos";
    }
    // Stops the pipelines, so no body outlives its test.
    void TearDown() override
    {
        if (engine) {
            auto lock = engine->pipeline_lock.lock();
            engine::stop_video_pipeline(*engine);
            engine::stop_audio_pipeline(*engine);
        }
        TempDirTest::TearDown();
    }

    // Builds the engine with these settings in force; clips go to dir()/clips.
    void make(settings::Settings settings = {})
    {
        auto [requests, receiver] = channel::make<engine::SaveRequest>();
        saves = std::move(receiver);
        std::filesystem::create_directories(dir() / "clips" / ".quillmar");
        // Each body records its start and runs until stopped.
        auto body = [log = log](char const* name, std::atomic<int>& starts, engine::StopFlag const& stop) {
            ++starts;
            log->add(name);
            while (!stop->load())
                std::this_thread::sleep_for(1ms);
        };
        engine::PipelineBodies bodies {
            [log = log, body](engine::VideoThreadParams params) { body("video", log->video_starts, params.stop); },
            [log = log, body](engine::AudioThreadParams params) { body("audio", log->audio_starts, params.stop); },
        };
        engine::EngineParts parts {
            std::move(requests),
            dir() / "settings.json",
            std::make_shared<shared::Shared>(),
            std::make_shared<foreground::ForegroundHistory>(),
            std::make_shared<std::atomic<bool>>(false),
            [events = page_events](engine::PageEvent event) { events->with([&](auto& list) { list.push_back(std::move(event)); }); },
            std::move(settings),
            dir() / "clips",
            trash,
            std::move(bodies),
            actions,
            {},
        };
        engine = std::make_shared<engine::Engine>(std::move(parts));
        app = std::make_shared<api::App>(api::App { engine, platform });
        // Window commands are recorded on the calling thread: the waker runs the drain at once.
        job.proxy = std::make_shared<shell::EventProxy>([](std::function<void()> fn) { fn(); },
                                                        [events = window_events](shell::UserEvent e) { events->push_back(std::move(e)); });
        job.app = app;
    }
    api::ApiResult call(std::string_view method, json const& params = nullptr)
    {
        return api::dispatch_api_method(*app, job, method, params);
    }
    // An MP4 file (any bytes) named id.mp4 in the clips folder.
    void add_clip(std::string const& id) { std::ofstream(dir() / "clips" / (id + ".mp4")) << "mp4"; }
    std::vector<engine::PageEvent> events() { return page_events->copy(); }
    // Starts both pipelines as the gate would, and waits until both bodies run.
    void start_pipelines()
    {
        {
            auto lock = engine->pipeline_lock.lock();
            engine::start_pipeline(*engine, engine->settings_copy());
        }
        wait_for_starts(1, 1);
    }
    // Waits (10 s at most) until the bodies have started this often in all.
    void wait_for_starts(int video, int audio)
    {
        auto deadline = std::chrono::steady_clock::now() + 10s;
        while ((log->video_starts < video || log->audio_starts < audio) && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(1ms);
    }

    std::shared_ptr<Log> log = std::make_shared<Log>();
    std::shared_ptr<fakes::FakeTrash> trash;
    std::shared_ptr<fakes::FakeClipboard> clipboard = std::make_shared<fakes::FakeClipboard>();
    std::shared_ptr<fakes::FakeShell> shell = std::make_shared<fakes::FakeShell>();
    std::shared_ptr<threads::Locked<std::vector<engine::PageEvent>>> page_events
        = std::make_shared<threads::Locked<std::vector<engine::PageEvent>>>();
    std::shared_ptr<std::vector<shell::UserEvent>> window_events = std::make_shared<std::vector<shell::UserEvent>>();
    engine::Actions actions; // set before make()
    api::Platform platform;
    std::shared_ptr<engine::Engine> engine;
    std::shared_ptr<api::App> app;
    api::PageJob job;
    channel::Receiver<engine::SaveRequest> saves;
};

std::string error_of(api::ApiResult const& result) { return result ? std::string("(réussite)") : result.error(); }

std::vector<std::string> pending(engine::Engine& engine)
{
    return library::pending_ids(engine.pending_deletions, engine.clips_dir());
}

}

// Every refusal, whatever the method, names its reason and changes nothing: an unknown name, a missing or
// unknown id, empty text, bounds that are not numbers, and the clip being recorded.
TEST_F(ApiTest, RefusalsSayWhyAndChangeNothing)
{
    platform.transcoder = std::make_shared<fakes::FakeTranscoder>();
    make();
    add_clip("a");
    add_clip("Enregistrement");
    engine->recording.set(engine::RecordingSlot { 1, "Enregistrement" });
    std::string const missing = "identifiant manquant", gone = "Ce clip n'existe plus.",
                      recording = "Ce clip est en cours d'enregistrement.";
    std::tuple<char const*, json, std::string> const rows[] = {
        { "rename", { { "title", "   " } }, "Le titre est vide." },
        { "rename", { { "title", 5 }, { "id", "a" } }, "Le titre est vide." },
        { "game", { { "game", "\u3000\t" } }, "Le nom du jeu est vide." },
        { "rename", { { "title", "Ok" } }, missing },
        { "rename", { { "title", "Ok" }, { "id", "Autre" } }, std::string(library::not_found_text) },
        { "favorite", { { "v", true } }, missing },
        { "delete", { { "ids", json::array() } }, missing },
        { "delete", { { "ids", "a" } }, missing },
        { "delete", { { "ids", { "a", "zz" } } }, gone },
        { "copy", json::object(), missing },
        { "open", { { "id", "../a" } }, gone },
        { "reveal", { { "id", "../a" } }, gone },
        { "trim", { { "from", 2 }, { "to", 7 } }, missing },
        { "trim", { { "id", "a" }, { "from", "2" }, { "to", "7" } }, "La sélection est trop courte." },
        { "trim", { { "id", "zz" }, { "from", 2 }, { "to", 7 } }, gone },
        { "copy-light", json::object(), missing },
        { "copy-light", { { "id", "zz" } }, gone },
        { "delete", { { "ids", { "a", "Enregistrement" } } }, recording },
        { "rename", { { "title", "x" }, { "id", "Enregistrement" } }, recording },
        { "game", { { "game", "x" }, { "id", "Enregistrement" } }, recording },
        { "favorite", { { "v", true }, { "id", "Enregistrement" } }, recording },
    };
    for (auto const& [method, params, error] : rows)
        EXPECT_EQ(error_of(call(method, params)), error) << method << " " << params.dump();
    for (auto name : { "", "State", "state ", " clips", "Trim", "copy_light", "open_folder", "stat" })
        EXPECT_EQ(error_of(call(name, json::object())), "méthode inconnue") << name;
    EXPECT_TRUE(pending(*engine).empty());
    EXPECT_FALSE(std::filesystem::exists(library::meta_path(dir() / "clips", "Enregistrement")));
    EXPECT_TRUE(clipboard->files.empty() && shell->opened.empty() && shell->revealed.empty());
    // Only the clip being recorded is held back.
    EXPECT_TRUE(call("favorite", { { "v", true }, { "id", "a" } }));
}

TEST_F(ApiTest, SaveReadsSecsOnlyAsANonNegativeInteger)
{
    auto seen = std::make_shared<std::vector<std::uint32_t>>();
    actions.save_last_seconds = [seen](engine::Engine&, std::uint32_t secs) { seen->push_back(secs); };
    make();
    for (auto body : { R"({"secs":45})", R"({"secs":"45"})", R"({"secs":-5})", R"({"secs":4.5})", "null",
                       R"({"secs":4294967303})" })
        EXPECT_EQ(call("save", json::parse(body)), json::object()) << body;
    EXPECT_EQ(*seen, (std::vector<std::uint32_t> { 45, 30, 30, 30, 30, 7 }));
}

TEST_F(ApiTest, EditsTrimAndCutTextByCharacters)
{
    make();
    add_clip("Jeu 1");
    std::string const long_title = std::string(129, 'a') + "\xF0\x9F\x8E\xAE"; // 130 characters, the last one 4 bytes
    std::string const emoji_title = std::string(119, 'b') + "\xF0\x9F\x8E\xAE" + "zz";
    std::tuple<char const*, json, char const*, json> const rows[] = {
        { "rename", { { "title", "  " + long_title + " \n" } }, "title", std::string(120, 'a') },
        { "rename", { { "title", emoji_title } }, "title", std::string(119, 'b') + "\xF0\x9F\x8E\xAE" },
        { "game", { { "game", std::string(70, 'g') } }, "game", std::string(60, 'g') },
        { "favorite", { { "v", true } }, "favorite", true },
        { "favorite", { { "v", "oui" } }, "favorite", false },
    };
    for (auto [method, params, field, value] : rows) {
        params["id"] = "Jeu 1";
        auto result = call(method, params);
        ASSERT_TRUE(result) << method << " " << result.error();
        EXPECT_EQ((*result)[field], value) << method << " " << params.dump();
        EXPECT_EQ((*result)["id"], "Jeu 1");
    }
}

TEST_F(ApiTest, DeleteMarksTextIdsOnceAndRestoreGivesThemBack)
{
    make();
    for (auto id : { "a", "b", "c" })
        add_clip(id);
    ASSERT_EQ(call("delete", { { "ids", { "a", 7, "b", "a" } } }), json::object());
    EXPECT_EQ(pending(*engine), (std::vector<std::string> { "a", "b" }));
    auto clips = call("clips");
    ASSERT_TRUE(clips);
    ASSERT_EQ(clips->size(), 1u);
    EXPECT_EQ((*clips)[0]["id"], "c");

    auto restored = call("restore", { { "ids", { "b" } } });
    ASSERT_TRUE(restored);
    EXPECT_EQ((*restored)["clips"].size(), 2u);

    // The id given twice went to the trash once, so no failed second move reaches the page.
    engine::purge_deleted(*engine, library::Force::Yes);
    EXPECT_EQ(trash->asked, (std::vector<std::filesystem::path> { dir() / "clips" / "a.mp4" }));
    EXPECT_TRUE(events().empty());
}

TEST_F(ApiTest, SuspendReachesTheHotkeysThreadOnlyWhenThereIsOne)
{
    make();
    EXPECT_EQ(call("suspend", { { "v", true } }), json::object());
    auto probe = hotkeys_probe();
    engine->hotkeys.set(probe.handle);
    EXPECT_EQ(call("suspend", { { "v", true } }), json::object());
    EXPECT_EQ(call("suspend", json::object()), json::object());
    for (bool expected : { true, false }) {
        auto command = probe.commands.try_recv();
        ASSERT_TRUE(command && std::holds_alternative<hotkeys::Pause>(*command));
        EXPECT_EQ(std::get<hotkeys::Pause>(*command).paused, expected);
    }
    EXPECT_FALSE(probe.commands.try_recv());
}

TEST_F(ApiTest, WindowCommandsGoThroughTheProxy)
{
    make();
    using Kind = shell::WindowCommand::Kind;
    std::tuple<char const*, json, Kind, bool> const rows[] = {
        { "theme", { { "dark", true } }, Kind::Theme, true },
        { "theme", { { "dark", 1 } }, Kind::Theme, false },
        { "fullscreen", { { "v", true } }, Kind::Fullscreen, true },
        { "ready", nullptr, Kind::Ready, false },
    };
    for (auto const& [method, params, kind, on] : rows)
        EXPECT_EQ(call(method, params), json::object()) << method;
    ASSERT_EQ(window_events->size(), std::size(rows));
    for (std::size_t i = 0; i < std::size(rows); ++i) {
        auto const& command = std::get<shell::UserEvent::Window>((*window_events)[i].value).command;
        EXPECT_EQ(command.kind, std::get<2>(rows[i]));
        EXPECT_EQ(command.on, std::get<3>(rows[i]));
    }
    // A closed event loop loses the command; the page is answered all the same.
    job.proxy->close();
    EXPECT_EQ(call("ready"), json::object());
}

TEST_F(ApiTest, ClipboardAndShellMethods)
{
    make();
    add_clip("Été 2");
    json const clip { { "id", "Été 2" } };
    auto const path = dir() / "clips" / "Été 2.mp4";
    for (auto method : { "copy", "open", "reveal" })
        EXPECT_EQ(call(method, clip), json::object()) << method;
    EXPECT_EQ(clipboard->files, std::vector { path });
    EXPECT_EQ(shell->opened, std::vector { path });
    EXPECT_EQ(shell->revealed, std::vector { path });
    clipboard->refuse = true;
    EXPECT_EQ(error_of(call("copy", clip)), "Copie impossible : presse-papiers indisponible");

    EXPECT_EQ(call("open-folder"), json::object());
    EXPECT_EQ(shell->opened.back(), dir() / "clips");

    EXPECT_EQ(call("pick-folder"), json({ { "path", nullptr } }));
    shell->picked = "/media/Jeux";
    EXPECT_EQ(call("pick-folder"), json({ { "path", "/media/Jeux" } }));
}

TEST_F(ApiTest, StatusCountsBufferRecordingAndMeters)
{
    settings::Settings hevc;
    hevc.codec = settings::Codec::Hevc;
    make(hevc);
    // Waiting: no pipeline runs, and the bitrate is the estimate for the codec of the settings.
    auto idle = call("status");
    ASSERT_TRUE(idle);
    EXPECT_EQ((*idle)["status"]["waiting"], true);
    EXPECT_EQ((*idle)["status"]["running"], false);
    EXPECT_EQ((*idle)["status"]["codec"], nullptr);
    EXPECT_EQ((*idle)["status"]["bitrate"], 4);
    EXPECT_EQ((*idle)["status"]["failedKeys"], json::array());
    EXPECT_EQ((*idle)["levels"], json::array());

    start_pipelines();
    auto& shared = *engine->shared;
    // A running encoder's own codec decides the bitrate.
    shared.status.set({ "x264", std::nullopt, 1920, 1080, 60, true, settings::Codec::H264 });
    shared::store_video_config(shared, mp4::VideoConfig { { 1 }, 2, 2, 0 });
    ticks::Ticks const t0 = ticks::now();
    shared::push_video(shared, Packet { make_shared_bytes({ 1, 2, 3 }), t0, Packet::keyframe_flag });
    shared::push_video(shared, Packet { make_shared_bytes({ 4 }), t0 + 25'000'000, 0 });
    shared::push_audio(shared, { 5, 6 }, t0 + 90'000'000);
    shared::push_level(shared, 200);
    engine->recording.set(engine::RecordingSlot { ticks::now() - 3 * ticks::ticks_per_second - 1, "r" });
    auto reply = call("status");
    ASSERT_TRUE(reply);
    auto const& status = (*reply)["status"];
    EXPECT_EQ(status["bufferedSecs"], 2.5);
    EXPECT_EQ(status["memoryBytes"], 6);
    EXPECT_EQ(status["diskBytes"], 0);
    EXPECT_EQ(status["recording"], true);
    EXPECT_GE(status["recordingSecs"].get<int>(), 3);
    EXPECT_EQ(status["waiting"], false);
    EXPECT_EQ(status["codec"], "H264");
    EXPECT_EQ(status["bitrate"], 6'000'000);
    EXPECT_EQ((*reply)["levels"], json::array({ 200 }));
    // The meters are read once: each read swaps them to zero.
    shared.output_meter = 1200;
    shared.mic_meter = 34;
    EXPECT_EQ(call("meters"), json::array({ 1200, 34 }));
    EXPECT_EQ(call("meters"), json::array({ 0, 0 }));
}

namespace {

std::atomic<int> monitor_lists { 0 };

platform::CaptureDriver const counting_capture {
    "compteur",
    []() -> Result<std::vector<platform::MonitorInfo>> {
        ++monitor_lists;
        return std::vector<platform::MonitorInfo> { { "DP-1", 1920, 0, 2560, 1440, 144, false },
                                                    { "HDMI-1", 0, 0, 1920, 1080, 60, true } };
    },
    nullptr,
    nullptr,
};

platform::EncoderDriver const two_codecs { "deux", [] { return std::vector<std::uint8_t> { 2, 0 }; }, nullptr };

platform::AudioDriver const two_devices {
    "sons",
    nullptr,
    [](platform::AudioFlow flow) -> Result<std::vector<platform::AudioDevice>> {
        if (flow == platform::AudioFlow::Capture)
            return fail("pas de micro");
        return std::vector<platform::AudioDevice> { { "out-1", "Casque", true } };
    },
};

}

TEST_F(ApiTest, CapsAreBuiltOncePerTwentySecondsAndMonitor)
{
    platform.capture = &counting_capture;
    platform.encoder = &two_codecs;
    platform.audio = &two_devices;
    make();
    monitor_lists = 0;
    auto first = call("caps");
    ASSERT_TRUE(first);
    EXPECT_EQ(*first, json::parse(R"({"codecs":["H264","Av1"],"monitorWidth":1920,"monitorHeight":1080,
        "monitorHz":60,"monitors":[{"id":"HDMI-1","width":1920,"height":1080,"hz":60,"primary":true},
        {"id":"DP-1","width":2560,"height":1440,"hz":144,"primary":false}],"microphones":[],
        "outputs":[{"id":"out-1","name":"Casque","isDefault":true}]})"));
    EXPECT_EQ(call("caps"), first);
    EXPECT_EQ(monitor_lists, 1);

    engine->settings.with([](settings::Settings& s) { s.monitor = "DP-1"; });
    auto second = call("caps");
    EXPECT_EQ(monitor_lists, 2);
    EXPECT_EQ((*second)["monitorHz"], 144);

    engine->caps_cache.with([](std::optional<engine::CapsCache>& cache) { cache->taken_at -= api::caps_lifetime; });
    EXPECT_EQ(call("caps"), second);
    EXPECT_EQ(monitor_lists, 3);
}

TEST_F(ApiTest, CapsWithoutMonitorsFallBack)
{
    make();
    EXPECT_EQ(call("caps"), json::parse(R"({"codecs":[],"monitorWidth":1920,"monitorHeight":1080,"monitorHz":60,
        "monitors":[],"microphones":[],"outputs":[]})"));
}

namespace {

// Ten seconds of video at 10 frames a second with a keyframe each second; the bytes are never decoded.
void write_clip(std::filesystem::path const& folder, library::Clip record)
{
    mp4::ClipMedia media;
    media.video = { { 1, 2, 3 }, 640, 360, 1 };
    for (int i = 0; i < 100; ++i)
        media.video_samples.push_back({ ring::Memory { make_shared_bytes(std::vector<std::uint8_t>(64, 7)) },
            i * mp4::ticks_per_second / 10, static_cast<std::uint8_t>(i % 10 == 0) });
    ASSERT_TRUE(mp4::write_mp4_file(folder, record.id, media, std::nullopt));
    ASSERT_TRUE(library::save_clip_metadata(folder, record));
}

}

TEST_F(ApiTest, TrimRepliesTheNewClipFromTheKeyframeAtOrBeforeTheStart)
{
    make();
    write_clip(dir() / "clips", { .id = "a", .title = "Partie", .game = "Hades", .favorite = true });
    // Integers are seconds; the cut starts on the keyframe at or before the start.
    std::pair<json, double> const rows[] = {
        { { { "id", "a" }, { "from", 2 }, { "to", 7 } }, 5.0 },
        { { { "id", "a" }, { "from", 2.5 }, { "to", 7.25 } }, 5.3 },
    };
    for (auto const& [params, secs] : rows) {
        auto result = call("trim", params);
        ASSERT_TRUE(result) << result.error();
        EXPECT_NE((*result)["id"], "a");
        EXPECT_EQ((*result)["title"], "Partie (coupé)");
        EXPECT_EQ((*result)["favorite"], false);
        EXPECT_NEAR((*result)["secs"].get<double>(), secs, 1e-9) << params.dump();
    }
    // The page inserts the reply itself: no clip event follows.
    EXPECT_TRUE(events().empty());
    EXPECT_EQ(call("clips")->size(), 3u);
}

TEST_F(ApiTest, CopyLightPutsTheLightFileOnTheClipboardAndRepliesItsSize)
{
    ::setenv("XDG_CACHE_HOME", (dir() / "cache").c_str(), 1);
    auto transcoder = std::make_shared<fakes::FakeTranscoder>();
    transcoder->sizes = { 9'999'999 };
    platform.transcoder = transcoder;
    make();
    add_clip("petit");
    add_clip("Gros");
    std::filesystem::resize_file(dir() / "clips" / "Gros.mp4", 10'000'001);
    struct Row {
        json params;
        bool refuse_clipboard;
        json reply; // {"error": text} for an error
        std::filesystem::path file; // what the clipboard then holds
    };
    Row const rows[] = {
        { { { "id", "petit" } }, false, { { "bytes", 3 } }, dir() / "clips" / "petit.mp4" },
        { { { "id", "Gros" } }, false, { { "bytes", 9'999'999 } }, dir() / "cache" / "quill.mar" / "discord" / "Gros.mp4" },
        { { { "id", "Gros" } }, true, { { "error", "Copie impossible : presse-papiers indisponible" } }, {} },
    };
    for (auto const& row : rows) {
        SCOPED_TRACE(row.params.dump());
        clipboard->refuse = row.refuse_clipboard;
        clipboard->files.clear();
        auto result = call("copy-light", row.params);
        EXPECT_EQ((result ? *result : json { { "error", result.error() } }), row.reply);
        EXPECT_EQ(clipboard->files, row.file.empty() ? std::vector<std::filesystem::path> {} : std::vector { row.file });
    }
    app->platform.transcoder = nullptr;
    EXPECT_EQ(error_of(call("copy-light", { { "id", "petit" } })), "Version légère impossible : aucun encodeur disponible");
}

// The settings method on real files: settings.json, the clips folder and the autostart entry.

namespace {

class ApiSettings : public ApiTest {
protected:
    json value(settings::Settings const& s) { return *settings::settings_to_value(s); }
    std::filesystem::path file() { return dir() / "settings.json"; }
    std::optional<settings::Settings> on_disk()
    {
        auto text = files::read_text(file());
        if (!text)
            return std::nullopt;
        auto parsed = settings::deserialize_settings(*text);
        return parsed ? std::optional(*parsed) : std::nullopt;
    }
    std::filesystem::path autostart_entry() { return platform.autostart_home / "autostart" / "quill.mar.desktop"; }
    int settings_events()
    {
        int count = 0;
        for (auto const& event : events())
            count += std::holds_alternative<engine::PageEvent::SettingsChanged>(event.value);
        return count;
    }
};

}

TEST_F(ApiSettings, UnchangedWritesNothingAndAVolumeChangeRebindsWithoutRestart)
{
    make();
    start_pipelines();
    // The settings in force change nothing: no write, no event.
    EXPECT_EQ(call("settings", value(settings::Settings {})), call("state"));
    EXPECT_FALSE(std::filesystem::exists(file()));
    auto probe = hotkeys_probe();
    engine->hotkeys.set(probe.handle);
    settings::Settings next;
    next.game_volume = 0.5f;
    auto reply = call("settings", value(next));
    ASSERT_TRUE(reply) << reply.error();
    EXPECT_EQ((*reply)["settings"]["gameVolume"], 0.5);
    EXPECT_EQ(engine->shared->game_volume.load(), 0.5f);
    EXPECT_EQ(on_disk(), next);
    EXPECT_EQ(engine->settings_copy(), next);
    auto command = probe.commands.try_recv();
    ASSERT_TRUE(command && std::holds_alternative<hotkeys::SetBindings>(*command));
    EXPECT_EQ(std::get<hotkeys::SetBindings>(*command).bindings, shell::bindings_for(next));
    EXPECT_EQ(log->video_starts + log->audio_starts, 2);
    EXPECT_EQ(settings_events(), 1);
}

TEST_F(ApiSettings, CodecChangeFinishesTheRecordingBeforeRestartingVideoOnly)
{
    auto log = this->log;
    actions.toggle_recording = [log](std::shared_ptr<engine::Engine> const& e) {
        // The recording finishes on its own thread, a little later, as the real one does.
        std::thread([log, e] {
            std::this_thread::sleep_for(50ms);
            log->add("recording finished");
            e->recording.set(std::nullopt);
        }).detach();
    };
    make();
    start_pipelines();
    engine->recording.set(engine::RecordingSlot { 1, "r" });
    settings::Settings next;
    next.codec = settings::Codec::Hevc;
    ASSERT_TRUE(call("settings", value(next)));
    wait_for_starts(2, 1);
    auto lines = log->lines.copy();
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(lines[2], "recording finished");
    EXPECT_EQ(lines[3], "video");
    EXPECT_EQ(log->audio_starts, 1);
}

TEST_F(ApiSettings, SoundFolderAndAutostartChangeWithoutCaptureSaveAndStartNothing)
{
    make();
    json next = value(settings::Settings {});
    next["micDevice"] = "micro-2";
    next["clipsDir"] = (dir() / "ailleurs").native();
    next["autostart"] = true;
    next.erase("slots");
    engine->settings.with([](settings::Settings& s) { s.slots = { { 45, std::nullopt } }; });
    auto reply = call("settings", next);
    ASSERT_TRUE(reply) << reply.error();
    EXPECT_EQ(on_disk()->mic_device, "micro-2");
    EXPECT_EQ((*reply)["clipsDir"], (dir() / "ailleurs").native());
    EXPECT_TRUE(std::filesystem::is_directory(dir() / "ailleurs" / ".quillmar"));
    EXPECT_TRUE(std::filesystem::exists(autostart_entry()));
    // Keys left out take their defaults, not the values in force.
    EXPECT_EQ(engine->settings_copy().slots, settings::default_slots());
    EXPECT_EQ(log->video_starts + log->audio_starts, 0);
    auto refused = call("settings", { { "fps", "60" } });
    ASSERT_FALSE(refused);
    EXPECT_TRUE(refused.error().starts_with("invalid type: string")) << refused.error();
    EXPECT_EQ(engine->settings_copy().mic_device, "micro-2");
}

TEST_F(ApiSettings, FailuresLeaveEverythingAsItWas)
{
    struct Row {
        char const* name;
        char const* error_prefix;
        std::function<void(std::filesystem::path const&, settings::Settings&)> arrange;
    };
    Row const rows[] = {
        { "clips folder under a file", "Dossier des clips : ",
          [](auto const& root, settings::Settings& next) {
              std::ofstream(root / "plain") << "x";
              next.clips_dir = root / "plain" / "clips";
              next.autostart = true;
          } },
        { "autostart folder is a file", "Démarrage avec Windows : ",
          [](auto const& root, settings::Settings& next) {
              std::filesystem::create_directories(root / "config");
              std::ofstream(root / "config" / "autostart") << "x";
              next.clips_dir = root / "new clips";
              next.autostart = true;
          } },
        { "temporary settings name is a folder", "Réglages : ",
          [](auto const& root, settings::Settings& next) {
              std::filesystem::create_directories(root / "settings.json.tmp");
              next.clips_dir = root / "new clips";
              next.autostart = true;
          } },
    };
    for (auto const& row : rows) {
        SCOPED_TRACE(row.name);
        TearDown();
        SetUp();
        make();
        start_pipelines();
        settings::Settings const old;
        ASSERT_TRUE(settings::save(file(), old));
        auto const before = files::read_text(file());
        settings::Settings next;
        next.codec = settings::Codec::Av1;
        next.game_volume = 0.25f;
        row.arrange(dir(), next);

        auto reply = call("settings", value(next));
        ASSERT_FALSE(reply);
        EXPECT_TRUE(reply.error().starts_with(row.error_prefix)) << reply.error();
        EXPECT_TRUE(reply.error().ends_with(")")) << reply.error();
        EXPECT_EQ(engine->settings_copy(), old);
        EXPECT_EQ(files::read_text(file()), before);
        EXPECT_EQ(engine->clips_dir(), dir() / "clips");
        EXPECT_FALSE(std::filesystem::exists(autostart_entry()));
        EXPECT_EQ(engine->shared->game_volume.load(), 1.0f);
        EXPECT_EQ(log->video_starts + log->audio_starts, 2);
        EXPECT_EQ(settings_events(), 0);
    }
}

TEST_F(ApiSettings, ConcurrentChangesLeaveMemoryAndFileAgreeing)
{
    make();
    constexpr int rounds = 200;
    std::vector<std::string> last_replies(2);
    auto post = [&](int thread) {
        for (int i = 0; i < rounds; ++i) {
            // Both threads post the same two objects in opposite phase: every call changes something.
            settings::Settings next;
            next.fps = 30 + (i + thread) % 2;
            auto reply = call("settings", value(next));
            last_replies[thread] = reply ? reply->dump() : reply.error();
        }
    };
    std::thread other(post, 1);
    post(0);
    other.join();
    auto memory = engine->settings_copy();
    EXPECT_EQ(on_disk(), memory);
    auto state = call("state")->dump();
    // The change applied last is the last one of one of the two threads, and its reply said so.
    EXPECT_TRUE(state == last_replies[0] || state == last_replies[1]) << state;
    EXPECT_TRUE(memory.fps == 30 || memory.fps == 31);
}
