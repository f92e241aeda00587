// The settings method on real files: settings.json, the clips folder and the autostart entry.

#include <fstream>
#include <thread>

#include <gtest/gtest.h>

#include "base/file_io.h"
#include "tests/page/api_rig.h"

using json = nlohmann::json;
using namespace std::chrono_literals;

namespace {

class ApiSettings : public api_rig::ApiTest {
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
    auto probe = api_rig::hotkeys_probe();
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
