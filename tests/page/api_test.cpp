#include "app/api/api.h"

#include <variant>

#include <gtest/gtest.h>

#include "core/mp4.h"
#include "library/library.h"
#include "platform/encoder.h"
#include "tests/fakes/fake_transcoder.h"
#include "tests/page/api_rig.h"

using json = nlohmann::json;
using api_rig::ApiTest;

namespace {

std::string error_of(api::ApiResult const& result) { return result ? std::string("(réussite)") : result.error(); }

std::vector<std::string> pending(engine::Engine& engine)
{
    return library::pending_ids(engine.pending_deletions, engine.clips_dir());
}

}

TEST_F(ApiTest, UnknownNamesAnswerUnknownMethod)
{
    make();
    for (auto name : { "", "State", "state ", " clips", "Trim", "copy_light", "open_folder", "stat" }) {
        SCOPED_TRACE(name);
        EXPECT_EQ(error_of(call(name, json::object())), "méthode inconnue");
    }
}

TEST(ApiParams, IdAndIdsCountOnlyTheirOwnTypes)
{
    struct Row {
        char const* params;
        std::optional<std::vector<std::string>> ids;
        std::optional<std::string> id;
    };
    Row const rows[] = {
        { R"({"ids":["a",3,"b",null]})", std::vector<std::string> { "a", "b" }, std::nullopt },
        { R"({"ids":[]})", std::nullopt, std::nullopt },
        { R"({"ids":"a","id":"a"})", std::nullopt, "a" },
        { R"({"ids":[1,2],"id":5})", std::nullopt, std::nullopt },
        { R"(["ids"])", std::nullopt, std::nullopt },
        { "null", std::nullopt, std::nullopt },
    };
    for (auto const& row : rows) {
        SCOPED_TRACE(row.params);
        auto params = json::parse(row.params);
        auto ids = api::param_ids(params);
        auto id = api::param_id(params);
        EXPECT_EQ(ids ? std::optional(*ids) : std::nullopt, row.ids);
        EXPECT_EQ(id ? std::optional(*id) : std::nullopt, row.id);
        if (!ids) {
            EXPECT_EQ(ids.error(), "identifiant manquant");
        }
    }
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

TEST_F(ApiTest, EditsCheckTextThenIdAndCutByCharacters)
{
    make();
    add_clip("Jeu 1");
    std::string const long_title = std::string(129, 'a') + "\xF0\x9F\x8E\xAE"; // 130 characters, the last one 4 bytes
    std::string const emoji_title = std::string(119, 'b') + "\xF0\x9F\x8E\xAE" + "zz";
    struct Row {
        char const* method;
        json params;
        std::string error;   // empty: success
        char const* field;
        json value;
    };
    Row const rows[] = {
        { "rename", { { "title", "   " } }, "Le titre est vide.", nullptr, nullptr },
        { "rename", { { "title", 5 }, { "id", "Jeu 1" } }, "Le titre est vide.", nullptr, nullptr },
        { "game", { { "game", "\u3000\t" } }, "Le nom du jeu est vide.", nullptr, nullptr },
        { "rename", { { "title", "Ok" } }, "identifiant manquant", nullptr, nullptr },
        { "rename", { { "title", "Ok" }, { "id", "Autre" } }, std::string(library::not_found_text), nullptr, nullptr },
        { "rename", { { "title", "  " + long_title + " \n" }, { "id", "Jeu 1" } }, "", "title", std::string(120, 'a') },
        { "rename", { { "title", emoji_title }, { "id", "Jeu 1" } }, "", "title", std::string(119, 'b') + "\xF0\x9F\x8E\xAE" },
        { "game", { { "game", std::string(70, 'g') }, { "id", "Jeu 1" } }, "", "game", std::string(60, 'g') },
        { "favorite", { { "v", true } }, "identifiant manquant", nullptr, nullptr },
        { "favorite", { { "v", true }, { "id", "Jeu 1" } }, "", "favorite", true },
        { "favorite", { { "v", "oui" }, { "id", "Jeu 1" } }, "", "favorite", false },
    };
    for (auto const& row : rows) {
        SCOPED_TRACE(row.method + (" " + row.params.dump()));
        auto result = call(row.method, row.params);
        if (!row.error.empty()) {
            EXPECT_EQ(error_of(result), row.error);
            continue;
        }
        ASSERT_TRUE(result) << result.error();
        EXPECT_EQ((*result)[row.field], row.value);
        EXPECT_EQ((*result)["id"], "Jeu 1");
    }
}

TEST_F(ApiTest, DeleteMarksTextIdsOnceAndRestoreGivesThemBack)
{
    make();
    for (auto id : { "a", "b", "c" })
        add_clip(id);
    EXPECT_EQ(error_of(call("delete", { { "ids", json::array() } })), "identifiant manquant");
    EXPECT_EQ(error_of(call("delete", { { "ids", "a" } })), "identifiant manquant");
    EXPECT_EQ(error_of(call("delete", { { "ids", { "a", "zz" } } })), "Ce clip n'existe plus.");
    EXPECT_TRUE(pending(*engine).empty());

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

TEST_F(ApiTest, TheClipBeingRecordedIsNeitherDeletedNorEdited)
{
    make();
    add_clip("Enregistrement");
    add_clip("Autre");
    engine->recording.set(engine::RecordingSlot { 1, "Enregistrement" });
    std::pair<char const*, json> const calls[] = {
        { "delete", { { "ids", { "Autre", "Enregistrement" } } } },
        { "rename", { { "title", "x" }, { "id", "Enregistrement" } } },
        { "game", { { "game", "x" }, { "id", "Enregistrement" } } },
        { "favorite", { { "v", true }, { "id", "Enregistrement" } } },
    };
    for (auto const& [method, params] : calls)
        EXPECT_EQ(error_of(call(method, params)), "Ce clip est en cours d'enregistrement.") << method;
    EXPECT_TRUE(pending(*engine).empty());
    EXPECT_FALSE(std::filesystem::exists(library::meta_path(dir() / "clips", "Enregistrement")));
    EXPECT_TRUE(call("favorite", { { "v", true }, { "id", "Autre" } }));
}

TEST_F(ApiTest, MetersSwapToZero)
{
    make();
    engine->shared->output_meter = 1200;
    engine->shared->mic_meter = 34;
    EXPECT_EQ(call("meters"), json::array({ 1200, 34 }));
    EXPECT_EQ(call("meters"), json::array({ 0, 0 }));
}

TEST_F(ApiTest, SuspendReachesTheHotkeysThreadOnlyWhenThereIsOne)
{
    make();
    EXPECT_EQ(call("suspend", { { "v", true } }), json::object());
    auto probe = api_rig::hotkeys_probe();
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
    for (auto method : { "copy", "open", "reveal" }) {
        SCOPED_TRACE(method);
        EXPECT_EQ(error_of(call(method, json::object())), "identifiant manquant");
        EXPECT_EQ(error_of(call(method, { { "id", "../Été 2" } })), "Ce clip n'existe plus.");
        EXPECT_EQ(call(method, clip), json::object());
    }
    EXPECT_EQ(clipboard->files, std::vector { path });
    EXPECT_EQ(shell->opened, std::vector { path });
    EXPECT_EQ(shell->revealed, std::vector { path });
    clipboard->refuse = true;
    EXPECT_EQ(error_of(call("copy", clip)), "Copie impossible : presse-papiers indisponible");

    EXPECT_EQ(call("open-folder"), json::object());
    EXPECT_EQ(shell->opened.back(), dir() / "clips");

    EXPECT_EQ(call("paste"), json({ { "text", nullptr } }));
    clipboard->held_text = "";
    EXPECT_EQ(call("paste"), json({ { "text", "" } }));
    EXPECT_EQ(call("pick-folder"), json({ { "path", nullptr } }));
    shell->picked = "/media/Jeux";
    EXPECT_EQ(call("pick-folder"), json({ { "path", "/media/Jeux" } }));
}

TEST_F(ApiTest, StatusBitrateAndWaiting)
{
    struct Row {
        settings::Codec codec;
        std::optional<shared::PipelineStatus> status;
        std::uint32_t bitrate;
    };
    shared::PipelineStatus live { "x264", std::nullopt, 1920, 1080, 60, true, settings::Codec::H264 };
    Row const rows[] = {
        { settings::Codec::H264, std::nullopt, 7 },
        { settings::Codec::Hevc, std::nullopt, 4 },
        { settings::Codec::Hevc, live, 6'000'000 },
    };
    for (auto const& row : rows) {
        settings::Settings settings;
        settings.codec = row.codec;
        make(settings);
        if (row.status)
            engine->shared->status.set(*row.status);
        auto reply = call("status");
        ASSERT_TRUE(reply);
        auto const& status = (*reply)["status"];
        EXPECT_EQ(status["bitrate"], row.bitrate);
        EXPECT_EQ(status["running"], row.status.has_value());
        EXPECT_EQ(status["codec"], row.status ? json("H264") : json(nullptr));
        EXPECT_EQ(status["waiting"], true);
        EXPECT_EQ(status["failedKeys"], json::array());
        EXPECT_EQ((*reply)["levels"], json::array());
    }
}

TEST_F(ApiTest, StatusCountsBufferAndRecording)
{
    make();
    start_pipelines();
    auto& shared = *engine->shared;
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
    EXPECT_EQ((*reply)["levels"], json::array({ 200 }));
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

TEST_F(ApiTest, TrimReadsBoundsAsNumbersThenTheIdAndRepliesTheNewClip)
{
    make();
    write_clip(dir() / "clips", { .id = "a", .title = "Partie", .game = "Hades", .favorite = true });
    std::pair<json, std::variant<std::string, double>> const rows[] = {
        { { { "from", 2 }, { "to", 7 } }, "identifiant manquant" },
        { { { "id", "a" }, { "from", "2" }, { "to", "7" } }, "La sélection est trop courte." },
        { { { "id", "zz" }, { "from", 2 }, { "to", 7 } }, "Ce clip n'existe plus." },
        // Integers are seconds; the cut starts on the keyframe at or before the start.
        { { { "id", "a" }, { "from", 2 }, { "to", 7 } }, 5.0 },
        { { { "id", "a" }, { "from", 2.5 }, { "to", 7.25 } }, 5.3 },
    };
    for (auto const& [params, want] : rows) {
        SCOPED_TRACE(params.dump());
        auto result = call("trim", params);
        if (auto const* error = std::get_if<std::string>(&want)) {
            EXPECT_EQ(error_of(result), *error);
            continue;
        }
        ASSERT_TRUE(result) << result.error();
        EXPECT_NE((*result)["id"], "a");
        EXPECT_EQ((*result)["title"], "Partie (coupé)");
        EXPECT_EQ((*result)["favorite"], false);
        EXPECT_NEAR((*result)["secs"].get<double>(), std::get<double>(want), 1e-9);
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
        { json::object(), false, { { "error", "identifiant manquant" } }, {} },
        { { { "id", "zz" } }, false, { { "error", "Ce clip n'existe plus." } }, {} },
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
