#include "engine/engine.h"

#include <thread>

#include <gtest/gtest.h>

#include "tests/engine/engine_rig.h"
#include "tests/support/temp_dir.h"

using namespace std::chrono_literals;

namespace {

using engine_rig::second;

// Pipeline bodies that run until stopped and count what they did.
struct Counters {
    std::atomic<int> video_started { 0 };
    std::atomic<int> audio_started { 0 };
    std::atomic<int> running { 0 };
    threads::Locked<std::vector<engine::VideoThreadParams>> video_params;
};

engine::PipelineBodies counting_bodies(std::shared_ptr<Counters> counters)
{
    auto wait_for_stop = [](engine::StopFlag const& stop, Counters& c) {
        ++c.running;
        while (!stop->load())
            std::this_thread::sleep_for(1ms);
        --c.running;
    };
    return {
        [=](engine::VideoThreadParams params) {
            counters->video_params.with([&](auto& list) { list.push_back(params); });
            ++counters->video_started;
            wait_for_stop(params.stop, *counters);
        },
        [=](engine::AudioThreadParams params) {
            ++counters->audio_started;
            wait_for_stop(params.stop, *counters);
        },
    };
}

struct Rig : engine_rig::Rig {
    std::shared_ptr<Counters> counters = std::make_shared<Counters>();

    std::shared_ptr<engine::Engine> make(settings::Settings settings = {}, engine::Actions actions = {})
    {
        return engine_rig::Rig::make("clips", counting_bodies(counters), std::move(settings), std::move(actions));
    }

    void game_at(std::int64_t time, foreground::ForegroundKind kind = foreground::ForegroundKind::Game)
    {
        history->with([&](auto& samples) { samples.push_back({ time, "Jeu", kind }); });
    }
};

// Buffers of a stream that restarted once, so that its first part is a segment record.
void fill_buffers(shared::Shared& shared)
{
    for (int stream = 0; stream < 2; ++stream) {
        if (stream)
            shared::new_segment(shared);
        shared::store_video_config(shared, mp4::VideoConfig { { 1 }, 2, 2, Codec::H264 });
        shared::push_video(shared, Packet { make_shared_bytes({ 1, 2 }), ticks::now(), Packet::keyframe_flag });
    }
    shared::push_audio(shared, { 3 }, ticks::now());
    shared.status.with([](shared::PipelineStatus& status) {
        status.running = true;
        status.error = "x";
    });
}

std::uint64_t buffered_bytes(shared::Shared& shared)
{
    return shared.rings.with([](shared::Rings& rings) {
        std::uint64_t bytes = rings.video.total_bytes + rings.audio.total_bytes;
        for (auto const& record : rings.segments)
            bytes += record.ring.total_bytes;
        return bytes;
    });
}

}

TEST(EngineGate, StartsForARecentGameAndStopsAndClearsWhenItIsOld)
{
    Rig setup;
    auto engine = setup.make();
    EXPECT_EQ(engine::gate_cycle(*engine), engine::Cycle::Continue);
    EXPECT_FALSE(engine::video_pipeline_running(*engine));

    // A game stamped a little ahead of this clock counts as recent, and an app in front since does not hide it.
    setup.game_at(ticks::now() + second);
    setup.game_at(ticks::now() + second, foreground::ForegroundKind::App);
    engine::gate_cycle(*engine);
    EXPECT_TRUE(engine::video_pipeline_running(*engine));
    EXPECT_TRUE(engine->audio_pipeline.with([](auto const& slot) { return slot.has_value(); }));
    // Already running: nothing new.
    engine::gate_cycle(*engine);
    fill_buffers(*engine->shared);
    ASSERT_EQ(buffered_bytes(*engine->shared), 4u + 1u);

    setup.history->with([](auto& samples) { samples.clear(); });
    setup.game_at(ticks::now() - 200 * second);
    engine::gate_cycle(*engine);
    EXPECT_FALSE(engine::video_pipeline_running(*engine));
    EXPECT_EQ(setup.counters->running.load(), 0);
    EXPECT_EQ(setup.counters->video_started.load(), 1);
    EXPECT_EQ(setup.counters->audio_started.load(), 1);
    EXPECT_EQ(buffered_bytes(*engine->shared), 0u);
    EXPECT_FALSE(engine->shared->video_config.copy());
    auto status = engine->shared->status.copy();
    EXPECT_FALSE(status.running);
    EXPECT_FALSE(status.error);
}

TEST(EngineGate, DesktopCaptureWithoutSoundStartsVideoOnly)
{
    Rig setup;
    settings::Settings settings;
    settings.capture_desktop = true;
    settings.game_audio = false;
    settings.mic_audio = false;
    settings.monitor = "HDMI-1";
    auto engine = setup.make(settings);
    engine::gate_cycle(*engine);
    ASSERT_TRUE(engine::video_pipeline_running(*engine));
    EXPECT_FALSE(engine->audio_pipeline.with([](auto const& slot) { return slot.has_value(); }));
    // The video spawner handed over the settings.
    engine::stop_video_pipeline(*engine);
    auto params = setup.counters->video_params.copy();
    ASSERT_EQ(params.size(), 1u);
    EXPECT_EQ(params[0].monitor, "HDMI-1");
    EXPECT_EQ(params[0].engine.lock(), engine);
}

TEST(EngineGate, RecordingStartAfterTheDecisionKeepsThePipeline)
{
    Rig setup;
    auto engine = setup.make();
    setup.game_at(ticks::now());
    engine::gate_cycle(*engine);
    ASSERT_TRUE(engine::video_pipeline_running(*engine));
    setup.history->with([](auto& samples) { samples.clear(); });

    // The record key claims the pipeline between the decision and the pipeline lock.
    auto decision = engine::gate_decide(*engine);
    ASSERT_FALSE(decision.wanted);
    {
        engine::BusyGuard first(*engine);
        engine::BusyGuard overlapping(*engine);
        {
            engine::BusyGuard done(*engine);
        }
        engine::gate_act(*engine, decision);
        EXPECT_TRUE(engine::video_pipeline_running(*engine));
    }

    // The recording is now running.
    decision = engine::gate_decide(*engine);
    engine->recording.set(engine::RecordingSlot { 1, "clip" });
    engine::gate_act(*engine, decision);
    EXPECT_TRUE(engine::video_pipeline_running(*engine));

    engine->recording.set(std::nullopt);
    engine::gate_cycle(*engine);
    EXPECT_FALSE(engine::video_pipeline_running(*engine));
}

TEST(EngineGate, QuitAfterTheDecisionStartsNothing)
{
    Rig setup;
    auto engine = setup.make();
    setup.game_at(ticks::now());
    auto decision = engine::gate_decide(*engine);
    ASSERT_TRUE(decision.wanted);
    engine->quit = true;
    EXPECT_EQ(engine::gate_act(*engine, decision), engine::Cycle::End);
    EXPECT_FALSE(engine::video_pipeline_running(*engine));
    EXPECT_EQ(engine::gate_cycle(*engine), engine::Cycle::End);
    engine::TrashState state;
    EXPECT_EQ(engine::trash_cycle(*engine, state), engine::Cycle::End);
}

TEST(EnginePipelines, EnsureStartsOnceAndNeverAfterQuit)
{
    Rig setup;
    auto engine = setup.make();
    engine::BusyGuard busy(*engine);
    engine::ensure_pipeline(*engine, engine->settings_copy());
    engine::ensure_pipeline(*engine, engine->settings_copy());
    EXPECT_TRUE(engine::video_pipeline_running(*engine));
    // No game and no recording, but the start is still claimed.
    engine::gate_cycle(*engine);
    EXPECT_TRUE(engine::video_pipeline_running(*engine));

    engine::stop_video_pipeline(*engine);
    engine::stop_audio_pipeline(*engine);
    // Each stop waited for its thread, and a second one has nothing to do.
    EXPECT_EQ(setup.counters->running.load(), 0);
    engine::stop_video_pipeline(*engine);
    // The second call found the pipeline running.
    EXPECT_EQ(setup.counters->video_started.load(), 1);
    engine->quit = true;
    engine::ensure_pipeline(*engine, engine->settings_copy());
    EXPECT_FALSE(engine::video_pipeline_running(*engine));
}

// The record key toggles a recording and a slot key saves its seconds; once quitting, or with the engine gone,
// a key does nothing: a save or a recording started then would never be finished.
TEST(EngineHotkeys, KeysActUntilTheEngineQuits)
{
    Rig setup;
    std::vector<std::string> calls;
    engine::Actions actions {
        [&](std::shared_ptr<engine::Engine> const&) { calls.push_back("record"); },
        [&](engine::Engine&, std::uint32_t secs) { calls.push_back(fmt::format("save {}", secs)); },
    };
    auto engine = setup.make({}, actions);
    std::weak_ptr<engine::Engine> weak = engine;
    using engine::HotkeyKind;
    engine::hotkey_action(weak, HotkeyKind::Record, 0);
    engine::hotkey_action(weak, HotkeyKind::Save, 30);
    engine->quit.store(true);
    engine::hotkey_action(weak, HotkeyKind::Record, 0);
    engine::hotkey_action(weak, HotkeyKind::Save, 60);
    engine.reset();
    engine::hotkey_action(weak, HotkeyKind::Save, 90);
    EXPECT_EQ(calls, (std::vector<std::string> { "record", "save 30" }));
}

using EngineTrash = testing_support::TempDirTest;

// A clip whose grace period is over goes to the trash on the trash thread's next cycle; a move the trash
// refuses reaches the page as an error, and the clip stays.
TEST_F(EngineTrash, RefusedMoveReachesThePageAsAnError)
{
    engine_rig::Rig rig;
    auto engine = rig.make(dir());
    write_file("a.mp4", "mp4");
    auto const marked = std::chrono::steady_clock::now() - std::chrono::seconds(library::trash_grace_secs + 1);
    ASSERT_TRUE(library::mark_deleted(engine->pending_deletions, dir(), std::vector<std::string> { "a" }, marked));
    rig.trash->refuse = true;
    engine::TrashState state;
    EXPECT_EQ(engine::trash_cycle(*engine, state), engine::Cycle::Continue);
    EXPECT_EQ(rig.trash->asked, std::vector { dir() / "a.mp4" });
    auto errors = engine_rig::events_of<engine::PageEvent::Error>(rig.events->copy());
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_EQ(errors[0].text, "Corbeille impossible : trash refused");
    EXPECT_TRUE(std::filesystem::exists(dir() / "a.mp4"));
}
