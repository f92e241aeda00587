// The page API on a real Engine over a temporary clips folder, its settings.json inside: pipeline bodies that
// run until stopped and count their starts, recorded page events, a fake trash and clipboard, and shortcuts
// that write down what they are given. What the page does with the API is proven in Chromium (the library,
// player and settings tests); here are the refusals, the guards against lost data, and what the page cannot
// tell apart: the seconds a save reads, the status figures, the caps without a monitor, the window commands
// and the pause of the real hotkeys thread.
#include "app/api/api.h"

#include <algorithm>
#include <fstream>
#include <thread>

#include <gtest/gtest.h>

#include "app/api/page_server.h"
#include "app/hotkeys.h"
#include "app/main.h"
#include "base/file_io.h"
#include "platform/encoder.h"
#include "tests/engine/engine_rig.h"
#include "tests/fakes/fake_desktop.h"
#include "tests/fakes/fake_hotkeys.h"
#include "tests/fakes/fake_transcoder.h"
#include "tests/support/temp_dir.h"

using json = nlohmann::json;
using namespace std::chrono_literals;

namespace {

// What the pipeline bodies and the recording did, in order: "video", "audio", "recording finished".
struct Log {
    threads::Locked<std::vector<std::string>> lines;
    void add(std::string line)
    {
        lines.with([&](auto& list) { list.push_back(std::move(line)); });
    }
    long count(std::string_view line)
    {
        return lines.with([&](auto& list) { return std::ranges::count(list, line); });
    }
};

// Shortcuts that write down the settings they are given, and report the refused keys they are told.
struct RecordedShortcuts final : engine::Shortcuts {
    void set_paused(bool) override { }
    void settle_and_pause(std::chrono::milliseconds) override { }
    void apply(settings::Settings const& settings) override { applied.push_back(settings); }
    std::vector<std::string> failed_keys() const override { return failed; }
    void set_window_focus(bool) override { }
    std::vector<settings::Settings> applied;
    std::vector<std::string> failed;
};

class ApiTest : public testing_support::TempDirTest {
protected:
    void SetUp() override
    {
        TempDirTest::SetUp();
        log = std::make_shared<Log>();
        rig = {};
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

    // Builds the engine on the default settings over dir()/clips.
    void make()
    {
        std::filesystem::create_directories(dir() / "clips" / ".quillmar");
        // Each body records its start and runs until stopped.
        auto body = [log = log](char const* name, engine::StopFlag const& stop) {
            log->add(name);
            while (!stop->load())
                std::this_thread::sleep_for(1ms);
        };
        engine::PipelineBodies bodies {
            [body](engine::VideoThreadParams params) { body("video", params.stop); },
            [body](engine::AudioThreadParams params) { body("audio", params.stop); },
        };
        engine = rig.make(dir() / "clips", std::move(bodies), {}, actions);
        app = std::make_shared<api::App>(engine, platform);
    }
    api::ApiResult call(std::string_view method, json const& params = nullptr)
    {
        return api::dispatch_api_method(*app, job, method, params);
    }
    // An MP4 file (any bytes) named id.mp4 in the clips folder.
    void add_clip(std::string const& id) { std::ofstream(dir() / "clips" / (id + ".mp4")) << "mp4"; }
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
        media::poll_until([&] { return log->count("video") >= video && log->count("audio") >= audio; });
    }

    std::shared_ptr<Log> log;
    engine_rig::Rig rig;
    std::shared_ptr<fakes::FakeClipboard> clipboard = std::make_shared<fakes::FakeClipboard>();
    std::shared_ptr<fakes::FakeShell> shell = std::make_shared<fakes::FakeShell>();
    engine::Actions actions; // set before make()
    api::Platform platform;
    std::shared_ptr<engine::Engine> engine;
    std::shared_ptr<api::App> app;
    api::PageJob job;
};

std::string error_of(api::ApiResult const& result) { return result ? std::string("(réussite)") : result.error(); }

std::vector<std::string> pending(engine::Engine& engine)
{
    return library::pending_ids(engine.pending_deletions, engine.clips_dir());
}

}

// Every refusal names its reason and changes nothing, one row per way of refusing: empty text (read before the
// id), a missing id or id list, an unknown clip for an edit, a deletion, a trim and a light copy, a path-like
// id, bounds that are not numbers, a clipboard that refuses, and the clip being recorded for each kind of edit
// and for whatever hands its file to another program.
TEST_F(ApiTest, RefusalsSayWhyAndChangeNothing)
{
    platform.transcoder = std::make_shared<fakes::FakeTranscoder>();
    make();
    add_clip("a");
    add_clip("Enregistrement");
    engine->recording.set(engine::RecordingSlot { 1, "Enregistrement" });
    clipboard->refuse = true;
    std::string const missing = "identifiant manquant", gone = "Ce clip n'existe plus.",
                      recording = "Ce clip est en cours d'enregistrement.";
    std::tuple<char const*, json, std::string> const rows[] = {
        { "game", { { "game", "\u3000\t" } }, "Le nom du jeu est vide." },
        { "rename", { { "title", "Ok" } }, missing },
        { "rename", { { "title", "Ok" }, { "id", "Autre" } }, std::string(library::not_found_text) },
        { "delete", { { "ids", "a" } }, missing },
        { "delete", { { "ids", { "a", "zz" } } }, gone },
        { "open", { { "id", "../a" } }, gone },
        { "trim", { { "id", "a" }, { "from", "2" }, { "to", "7" } }, "La sélection est trop courte." },
        { "trim", { { "id", "zz" }, { "from", 2 }, { "to", 7 } }, gone },
        { "copy-light", { { "id", "zz" } }, gone },
        { "copy", { { "id", "a" } }, "Copie impossible : presse-papiers indisponible" },
        { "delete", { { "ids", { "a", "Enregistrement" } } }, recording },
        { "rename", { { "title", "x" }, { "id", "Enregistrement" } }, recording },
        { "favorite", { { "v", true }, { "id", "Enregistrement" } }, recording },
        // Its file has no index yet: nothing may hand it to another program or cut it.
        { "copy", { { "id", "Enregistrement" } }, recording },
        { "open", { { "id", "Enregistrement" } }, recording },
        { "trim", { { "id", "Enregistrement" }, { "from", 0 }, { "to", 5 } }, recording },
        { "copy-light", { { "id", "Enregistrement" } }, recording },
    };
    for (auto const& [method, params, error] : rows)
        EXPECT_EQ(error_of(call(method, params)), error) << method << " " << params.dump();
    for (auto name : { "", "State", "state ", "copy_light" })
        EXPECT_EQ(error_of(call(name, json::object())), "méthode inconnue") << name;
    // The table names each method once, and a name with a trailing space is unknown.
    auto const methods = api::api_methods();
    EXPECT_EQ(methods.size(), 25u);
    for (auto const& method : methods) {
        EXPECT_EQ(std::ranges::count(methods, method.name, &api::ApiMethod::name), 1) << method.name;
        EXPECT_EQ(error_of(call(std::string(method.name) + " ", json::object())), api::unknown_method_text)
            << method.name;
    }
    app->platform.transcoder = nullptr;
    EXPECT_EQ(error_of(call("copy-light", { { "id", "a" } })), "Version légère impossible : aucun encodeur disponible");
    EXPECT_EQ(error_of(call("copy-light", { { "id", "Enregistrement" } })), recording);
    EXPECT_TRUE(pending(*engine).empty());
    EXPECT_FALSE(std::filesystem::exists(library::meta_path(dir() / "clips", "Enregistrement")));
    EXPECT_TRUE(clipboard->files.empty());
    EXPECT_TRUE(shell->opened.empty());
    // Only the clip being recorded is held back, and showing it in its folder harms nothing.
    EXPECT_TRUE(call("favorite", { { "v", true }, { "id", "a" } }));
    EXPECT_TRUE(call("reveal", { { "id", "Enregistrement" } }));
}

// Opening, revealing and opening the clips folder say when the desktop has nothing to take the clip or the
// folder, or no shell at all.
TEST_F(ApiTest, OpenAndRevealSayWhenNothingTakesTheClip)
{
    make();
    add_clip("a");
    auto const clip = dir() / "clips" / "a.mp4";
    std::string const no_player = "Aucune application ne sait ouvrir ce clip.",
                      no_file_manager = "Aucun gestionnaire de fichiers pour montrer ce clip.",
                      no_folder = "Aucun gestionnaire de fichiers pour ouvrir ce dossier.";
    std::tuple<char const*, bool, bool, std::string> const rows[] = {
        { "open", true, false, "(réussite)" },
        { "reveal", true, false, "(réussite)" },
        { "open-folder", true, false, "(réussite)" },
        { "open", true, true, no_player },
        { "reveal", true, true, no_file_manager },
        { "open-folder", true, true, no_folder },
        { "open", false, false, no_player },
        { "reveal", false, false, no_file_manager },
        { "open-folder", false, false, no_folder },
    };
    for (auto const& [method, has_shell, refuse, answer] : rows) {
        app->platform.shell = has_shell ? shell : nullptr;
        shell->refuse = refuse;
        EXPECT_EQ(error_of(call(method, { { "id", "a" } })), answer) << method << has_shell << refuse;
    }
    EXPECT_EQ(shell->opened, (std::vector { clip, dir() / "clips" }));
    EXPECT_EQ(shell->revealed, std::vector { clip });
}

// The file being recorded is not listed until it is finished, whenever the page asks (its growing file would
// show as a broken clip of no game); once the recording ends, the listing holds it with the others.
TEST_F(ApiTest, ClipsLeaveOutTheRecordingUntilItEnds)
{
    make();
    add_clip("a");
    add_clip("Enregistrement");
    auto ids = [](json const& clips) {
        std::vector<std::string> listed;
        for (auto const& clip : clips)
            listed.push_back(clip["id"]);
        std::ranges::sort(listed);
        return listed;
    };
    engine->recording.set(engine::RecordingSlot { 1, "Enregistrement" });
    EXPECT_EQ(ids(call("clips").value_or(nullptr)), std::vector<std::string> { "a" });
    // "restore" answers with the listing too.
    EXPECT_EQ(ids(call("restore", { { "ids", { "a" } } }).value_or(nullptr)["clips"]), std::vector<std::string> { "a" });
    engine->recording.set(std::nullopt);
    EXPECT_EQ(ids(call("clips").value_or(nullptr)), (std::vector<std::string> { "Enregistrement", "a" }));
}

// Edits cut their text by characters, never inside one, once the surrounding white space is gone. Ids that are
// not text are skipped, and an id given twice goes to the trash once, so no failed second move reaches the page.
TEST_F(ApiTest, EditsCutByCharactersAndDeletionTakesEachIdOnce)
{
    make();
    for (auto id : { "a", "b", "c" })
        add_clip(id);
    auto const title = std::string(119, 'b') + "\xF0\x9F\x8E\xAE"; // 120 characters, the last one of 4 bytes
    std::tuple<char const*, json, char const*, json> const rows[] = {
        { "rename", { { "title", " \n" + title + "zz" } }, "title", title },
        { "game", { { "game", std::string(70, 'g') } }, "game", std::string(60, 'g') },
    };
    for (auto [method, params, field, value] : rows) {
        params["id"] = "c";
        auto result = call(method, params);
        ASSERT_TRUE(result) << method << " " << result.error();
        EXPECT_EQ((*result)[field], value) << method;
    }

    ASSERT_EQ(call("delete", { { "ids", { "a", 7, "b", "a" } } }), json::object());
    EXPECT_EQ(pending(*engine), (std::vector<std::string> { "a", "b" }));
    EXPECT_EQ(call("clips")->size(), 1u);
    engine::purge_deleted(*engine, library::Force::Yes);
    EXPECT_EQ(rig.trash->asked, (std::vector { dir() / "clips" / "a.mp4", dir() / "clips" / "b.mp4" }));
    EXPECT_TRUE(rig.events->copy().empty());
}

// The settings method on real files: settings.json, the clips folder and the autostart entry.

namespace {

class ApiSettings : public ApiTest {
protected:
    json value(settings::Settings const& s) { return *settings::settings_to_value(s); }
    std::filesystem::path file() { return dir() / "clips" / "settings.json"; }
    // What a start would read: the defaults when the file is missing or broken.
    settings::Settings on_disk() { return settings::load(dir() / "clips"); }
    std::filesystem::path autostart_entry() { return platform.autostart_home / "autostart" / "quill.mar.desktop"; }
    int settings_events()
    {
        int count = 0;
        for (auto const& event : rig.events->copy())
            count += std::holds_alternative<engine::PageEvent::SettingsChanged>(event.value);
        return count;
    }
};

}

// Idle, a sound, folder and autostart change starts no capture. Running, a codec change finishes the recording
// before it restarts the video alone, and a volume applies without a restart. The settings in force change
// nothing; every change reaches settings.json and the shortcuts.
TEST_F(ApiSettings, ChangesRestartOnlyWhatTheyConcern)
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
    auto keys = std::make_shared<RecordedShortcuts>();
    engine->hotkeys.set(keys);
    EXPECT_EQ(call("settings", value(settings::Settings {})), call("state"));
    EXPECT_FALSE(std::filesystem::exists(file()));
    settings::Settings next;
    next.mic_device = "micro-2";
    next.clips_dir = dir() / "ailleurs";
    next.autostart = true;
    auto reply = call("settings", value(next));
    ASSERT_TRUE(reply) << reply.error();
    EXPECT_EQ((*reply)["clipsDir"], (dir() / "ailleurs").native());
    EXPECT_TRUE(std::filesystem::is_directory(dir() / "ailleurs" / ".quillmar"));
    EXPECT_TRUE(std::filesystem::exists(autostart_entry()));
    EXPECT_TRUE(log->lines.copy().empty());

    start_pipelines();
    engine->recording.set(engine::RecordingSlot { 1, "r" });
    next.codec = Codec::Hevc;
    next.game_volume = 0.5f;
    ASSERT_TRUE(call("settings", value(next)));
    wait_for_starts(2, 1);
    auto lines = log->lines.copy();
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(lines[2], "recording finished");
    EXPECT_EQ(lines[3], "video");
    EXPECT_EQ(log->count("audio"), 1);
    EXPECT_EQ(engine->shared->game_volume.load(), 0.5f);
    EXPECT_EQ(on_disk(), next);
    ASSERT_EQ(keys->applied.size(), 2u);
    EXPECT_EQ(keys->applied.back(), next);
    EXPECT_EQ(settings_events(), 2);
}

// A change that cannot be made whole is not made at all, whichever step fails.
TEST_F(ApiSettings, FailuresLeaveEverythingAsItWas)
{
    struct Row {
        char const* error_prefix;
        char const* blocker; // a file, or a folder when it ends with "/"
        char const* clips_dir;
    };
    Row const rows[] = {
        { "Dossier des clips : ", "plain", "plain/clips" },
        { "Démarrage avec la session : ", "config/autostart", "new clips" },
        { "Réglages : ", "clips/settings.json.tmp/", "new clips" },
    };
    for (auto const& row : rows) {
        SCOPED_TRACE(row.error_prefix);
        TearDown();
        SetUp();
        make();
        start_pipelines();
        settings::Settings const old;
        ASSERT_TRUE(settings::save(file(), old));
        auto const before = files::read_text(file());
        if (std::string_view(row.blocker).ends_with('/'))
            std::filesystem::create_directories(dir() / row.blocker);
        else
            write_file(row.blocker, "x");
        settings::Settings next;
        next.codec = Codec::Av1;
        next.game_volume = 0.25f;
        next.clips_dir = dir() / row.clips_dir;
        next.autostart = true;

        auto reply = call("settings", value(next));
        ASSERT_FALSE(reply);
        EXPECT_TRUE(reply.error().starts_with(row.error_prefix)) << reply.error();
        EXPECT_TRUE(reply.error().ends_with(")")) << reply.error();
        EXPECT_EQ(engine->settings_copy(), old);
        EXPECT_EQ(files::read_text(file()), before);
        EXPECT_EQ(engine->clips_dir(), dir() / "clips");
        EXPECT_FALSE(std::filesystem::exists(autostart_entry()));
        EXPECT_EQ(engine->shared->game_volume.load(), 1.0f);
        EXPECT_EQ(log->lines.copy().size(), 2u);
        EXPECT_EQ(settings_events(), 0);
    }
}

// A clips folder the page sends must be an absolute path of valid UTF-8 without NUL, and neither a ".quillmar"
// folder nor one of the program's own (XDG) folders, nor inside one, even through a link; any other is refused
// before anything changes (sanitising alone would put the default folder in place of the player's choice).
TEST_F(ApiSettings, UnusableClipsFoldersAreRefused)
{
    auto const xdg = dir() / "xdg";
    std::vector<std::pair<char const*, std::optional<std::string>>> saved_env;
    for (auto [name, sub] : { std::pair { "XDG_CONFIG_HOME", "config" }, { "XDG_DATA_HOME", "data" },
                              { "XDG_CACHE_HOME", "cache" } }) {
        char const* was = std::getenv(name);
        saved_env.emplace_back(name, was ? std::optional<std::string>(was) : std::nullopt);
        ::setenv(name, (xdg / sub).c_str(), 1);
    }
    std::filesystem::create_directories(xdg / "cache" / "quill.mar" / "discord");
    std::filesystem::create_directory_symlink(xdg / "cache" / "quill.mar", dir() / "link to cache");
    make();
    auto const before = engine->settings_copy();
    auto const invalid = "Dossier des clips : le chemin contient des caractères invalides";
    auto const meta = "Dossier des clips : le dossier caché .quillmar garde les fiches des clips, pas les clips";
    auto const own = "Dossier des clips : ce dossier appartient à quill.mar, qui peut y effacer des fichiers";
    std::pair<std::string, char const*> const rows[] = {
        { "", "Dossier des clips : le chemin doit être absolu" },
        { "rel-clips", "Dossier des clips : le chemin doit être absolu" },
        { "..", "Dossier des clips : le chemin doit être absolu" },
        { (dir() / "cut").string() + std::string(1, '\0') + "here", invalid },
        { (dir() / "bad\xff").string(), invalid },
        { (dir() / "clips" / ".quillmar").string(), meta },
        { (dir() / "clips" / ".quillmar" / "clips").string(), meta },
        { (xdg / "cache" / "quill.mar" / "discord").string(), own },
        { (xdg / "cache" / "quill.mar" / "x" / ".." / "new").string(), own },
        { (xdg / "config" / "quill.mar/").string(), own },
        { (xdg / "data" / "quill.mar" / "WebView" / "clips").string(), own },
        { (dir() / "link to cache" / "discord").string(), own },
    };
    for (auto const& [folder, error] : rows) {
        SCOPED_TRACE(folder);
        auto body = value(settings::Settings {});
        body["clipsDir"] = folder;
        body["fps"] = 30;
        auto reply = call("settings", body);
        EXPECT_EQ(reply ? std::string("accepted") : reply.error(), error);
        EXPECT_EQ(engine->settings_copy(), before);
        EXPECT_EQ(engine->clips_dir(), dir() / "clips");
    }
    EXPECT_FALSE(std::filesystem::exists(dir() / "cut"));
    EXPECT_FALSE(std::filesystem::exists("rel-clips"));
    EXPECT_FALSE(std::filesystem::exists(xdg / "cache" / "quill.mar" / "discord" / ".quillmar"));
    EXPECT_FALSE(std::filesystem::exists(xdg / "config"));
    EXPECT_EQ(settings_events(), 0);
    for (auto const& [name, value] : saved_env) {
        if (value)
            ::setenv(name, value->c_str(), 1);
        else
            ::unsetenv(name);
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

platform::EncoderDriver const two_codecs { "deux", [] { return std::vector<Codec> { Codec::Av1, Codec::H264 }; }, nullptr };

}

// The drivers are asked once per 20 s and monitor setting; codecs come in their own order, primary screen first.
TEST_F(ApiTest, CapsAreBuiltOncePerTwentySecondsAndMonitor)
{
    platform.capture = &counting_capture;
    platform.encoder = &two_codecs;
    make();
    monitor_lists = 0;
    auto first = call("caps");
    ASSERT_TRUE(first);
    EXPECT_EQ((*first)["codecs"], json::parse(R"(["H264","Av1"])"));
    EXPECT_EQ((*first)["monitors"][0]["id"], "HDMI-1");
    EXPECT_EQ(call("caps"), first);
    EXPECT_EQ(monitor_lists, 1);

    engine->settings.with([](settings::Settings& s) { s.monitor = "DP-1"; });
    EXPECT_EQ((*call("caps"))["monitorHz"], 144);
    EXPECT_EQ(monitor_lists, 2);
    app->caps_cache.with([](std::optional<api::CapsCache>& cache) { cache->taken_at -= api::caps_lifetime; });
    EXPECT_TRUE(call("caps"));
    EXPECT_EQ(monitor_lists, 3);
}

// The bitrate shown is the encoder's model: before the first frame the smallest picture stands in for the
// zero sizes; with a picture, its size, rate and codec.
TEST_F(ApiTest, StatusBitrateFollowsTheEncoderModel)
{
    make();
    struct Row {
        std::uint32_t width, height, fps;
        std::optional<Codec> codec;
        Codec setting;
        std::uint32_t bitrate;
    };
    for (auto const& row : std::vector<Row> { { 0, 0, 0, std::nullopt, Codec::H264, 7 },
             { 0, 0, 0, std::nullopt, Codec::Hevc, 4 }, { 1920, 1080, 60, Codec::H264, Codec::Hevc, 6'000'000 } }) {
        engine->settings.with([&](settings::Settings& s) { s.codec = row.setting; });
        engine->shared->status.with([&](shared::PipelineStatus& s) {
            s.width = row.width, s.height = row.height, s.fps = row.fps, s.codec = row.codec;
        });
        auto status = call("status");
        ASSERT_TRUE(status);
        EXPECT_EQ((*status)["status"]["bitrate"], row.bitrate) << row.width << " " << int(row.setting);
        EXPECT_EQ((*status)["status"]["waiting"], true);
    }
}

// "save" takes its seconds only as a non-negative integer, as their low 32 bits; anything else saves 30 s.
TEST_F(ApiTest, SaveReadsSecsOnlyAsANonNegativeInteger)
{
    std::vector<std::uint32_t> seen;
    actions.save_last_seconds = [&seen](engine::Engine&, std::uint32_t secs) { seen.push_back(secs); };
    make();
    std::pair<char const*, std::uint32_t> const rows[] = {
        { R"({"secs":45})", 45 }, { R"({"secs":"45"})", 30 }, { R"({"secs":-5})", 30 },
        { R"({"secs":4.5})", 30 }, { "null", 30 },         { R"({"secs":4294967303})", 7 },
    };
    for (auto const& [body, secs] : rows) {
        EXPECT_EQ(call("save", json::parse(body)), json::object()) << body;
        ASSERT_FALSE(seen.empty());
        EXPECT_EQ(seen.back(), secs) << body;
    }
    EXPECT_EQ(seen.size(), std::size(rows));
}

// The buffered time spans the video ring and every segment kept from before a codec change, spilled or not
// (the audio never extends what a clip holds); memory and disk bytes count every ring. Then the recording's
// whole seconds, the level history and the keys another program holds. The meters are read once: each read
// swaps them to zero.
TEST_F(ApiTest, StatusCountsBufferRecordingKeysAndMeters)
{
    make();
    auto idle = call("status");
    ASSERT_TRUE(idle);
    EXPECT_EQ((*idle)["status"]["failedKeys"], json::array());
    EXPECT_EQ((*idle)["status"]["recording"], false);
    EXPECT_EQ((*idle)["levels"], json::array());
    auto keys = std::make_shared<RecordedShortcuts>();
    keys->failed = { "F9", "Ctrl F10" };
    engine->hotkeys.set(keys);

    auto& shared = *engine->shared;
    ticks::Ticks const t0 = ticks::now();
    shared::store_video_config(shared, mp4::VideoConfig { { 1 }, 2, 2, Codec::H264 });
    shared::push_video(shared, Packet { make_shared_bytes({ 1, 2, 3 }), t0, Packet::keyframe_flag });
    shared::push_video(shared, Packet { make_shared_bytes({ 4 }), t0 + 25'000'000, 0 });
    shared::push_audio(shared, { 5, 6 }, t0 + 90'000'000);
    shared.rings.with([&](shared::Rings& rings) {
        shared::SegmentRecord segment { mp4::VideoConfig { { 1 }, 2, 2, Codec::Hevc },
                                        ring::Ring(shared::next_ring_id()) };
        auto later = make_shared_bytes({ 7, 7, 7, 7, 7 });
        segment.ring.push(Packet { make_shared_bytes({ 8, 8, 8, 8 }), t0 - 30'000'000, Packet::keyframe_flag });
        segment.ring.push(Packet { later, t0 - 15'000'000, 0 });
        ASSERT_TRUE(segment.ring.mark_spilled(t0 - 15'000'000, later, ring::Spilled {}));
        rings.segments.push_back(std::move(segment));
    });
    shared::push_level(shared, 200);
    engine->recording.set(engine::RecordingSlot { ticks::now() - 3 * ticks::ticks_per_second - 1, "r" });
    auto reply = call("status");
    ASSERT_TRUE(reply);
    auto const& status = (*reply)["status"];
    EXPECT_EQ(status["bufferedSecs"], 4.0);
    EXPECT_EQ(status["memoryBytes"], 10);
    EXPECT_EQ(status["diskBytes"], 5);
    EXPECT_EQ(status["recording"], true);
    EXPECT_GE(status["recordingSecs"].get<int>(), 3);
    EXPECT_LT(status["recordingSecs"].get<int>(), 3600);
    EXPECT_EQ(status["failedKeys"], json::parse(R"(["F9","Ctrl F10"])"));
    EXPECT_EQ((*reply)["levels"], json::array({ 200 }));
    shared.output_meter = 1200;
    shared.mic_meter = 34;
    EXPECT_EQ(call("meters").value_or(nullptr), json::array({ 1200, 34 }));
    EXPECT_EQ(call("meters").value_or(nullptr), json::array({ 0, 0 }));
}

namespace {

platform::CaptureDriver const no_monitors {
    "aucun", []() -> Result<std::vector<platform::MonitorInfo>> { return std::vector<platform::MonitorInfo> {}; },
    nullptr, nullptr,
};
platform::CaptureDriver const refused_monitors {
    "refus", []() -> Result<std::vector<platform::MonitorInfo>> { return fail("pas d'écran"); }, nullptr, nullptr,
};

}

// Without a monitor (none listed, the list refused, or no capture at all) nothing can be captured: the figures
// fall back to 1920 x 1080 at 60 and no codec is offered, though an encoder would open.
TEST_F(ApiTest, CapsWithoutAMonitorFallBackAndOfferNoCodec)
{
    platform.encoder = &two_codecs;
    make();
    platform::CaptureDriver const* const none = nullptr;
    for (auto const* capture : { &no_monitors, &refused_monitors, none }) {
        SCOPED_TRACE(capture ? capture->name : "aucune capture");
        app->platform.capture = capture;
        app->caps_cache.set(std::nullopt);
        EXPECT_EQ(call("caps").value_or(nullptr), json::parse(R"({"codecs":[],"monitorWidth":1920,"monitorHeight":1080,
            "monitorHz":60,"monitors":[],"microphones":[],"outputs":[]})"));
    }
}

// Window commands reach the window through the job's proxy, in order: "ready" is what shows the window. A
// closed event loop loses the command, and the page is answered all the same.
TEST_F(ApiTest, WindowCommandsGoThroughTheProxy)
{
    make();
    std::vector<shell::UserEvent> sent;
    job.proxy = std::make_shared<shell::EventProxy>(
        [](std::function<void()> fn) { fn(); }, [&sent](shell::UserEvent event) { sent.push_back(std::move(event)); });
    using Kind = shell::WindowCommand::Kind;
    std::tuple<char const*, json, Kind, bool> const rows[] = {
        { "theme", { { "dark", true } }, Kind::Theme, true },
        { "theme", { { "dark", 1 } }, Kind::Theme, false },
        { "fullscreen", { { "v", true } }, Kind::Fullscreen, true },
        { "ready", nullptr, Kind::Ready, false },
    };
    for (auto const& [method, params, kind, on] : rows)
        EXPECT_EQ(call(method, params), json::object()) << method;
    ASSERT_EQ(sent.size(), std::size(rows));
    for (std::size_t i = 0; i < std::size(rows); ++i) {
        auto const* window = std::get_if<shell::UserEvent::Window>(&sent[i].value);
        ASSERT_TRUE(window) << std::get<0>(rows[i]);
        EXPECT_EQ(window->command.kind, std::get<2>(rows[i])) << std::get<0>(rows[i]);
        EXPECT_EQ(window->command.on, std::get<3>(rows[i])) << std::get<0>(rows[i]);
    }
    job.proxy->close();
    EXPECT_EQ(call("ready"), json::object());
}

// "suspend" reaches the real hotkeys thread: while the page captures a new key, pressing a shortcut saves
// nothing; once resumed (no "v" counts as false) it saves again. Before the thread exists it does nothing.
TEST_F(ApiTest, SuspendPausesTheHotkeysThread)
{
    make();
    EXPECT_EQ(call("suspend", { { "v", true } }), json::object());
    auto keys = std::make_shared<fakes::FakeHotkeys::State>();
    auto saved = std::make_shared<threads::Locked<std::vector<std::uint32_t>>>();
    auto thread = hotkeys::spawn(
        [saved](engine::HotkeyKind kind, std::uint32_t arg) {
            if (kind == engine::HotkeyKind::Save)
                saved->with([&](auto& list) { list.push_back(arg); });
        },
        [keys]() -> Result<std::unique_ptr<platform::HotkeyRegistrar>> {
            return std::make_unique<fakes::FakeHotkeys>(keys);
        });
    ASSERT_TRUE(thread) << thread.error();
    auto shortcuts = std::make_shared<shell::HotkeyShortcuts>(std::move(*thread));
    shortcuts->apply(engine->settings_copy());
    engine->hotkeys.set(shortcuts);
    // Presses the first slot's key (id 1) and waits until the thread has handled it.
    auto press = [&] {
        ASSERT_TRUE(fakes::FakeHotkeys::settle(*keys));
        fakes::FakeHotkeys::push(*keys, { platform::HotkeyEvent::Kind::Pressed, 1 });
        ASSERT_TRUE(fakes::FakeHotkeys::settle(*keys));
    };
    EXPECT_EQ(call("suspend", { { "v", true } }), json::object());
    press();
    EXPECT_TRUE(saved->copy().empty());
    EXPECT_EQ(call("suspend", json::object()), json::object());
    press();
    EXPECT_EQ(saved->copy(), std::vector<std::uint32_t> { 30 });
    engine->hotkeys.set(nullptr);
    hotkeys::drop_thread_handle(shortcuts->thread());
}
