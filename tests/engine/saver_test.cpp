#include "engine/saver.h"

#include <thread>

#include <gtest/gtest.h>

#include "engine/toast.h"
#include "tests/fakes/fake_trash.h"
#include "tests/support/temp_dir.h"

namespace {

constexpr std::int64_t second = ticks::ticks_per_second;

mp4::VideoConfig config(std::uint8_t tag)
{
    return mp4::VideoConfig { { 1, 0x64, 0, 0x28, tag }, 1920, 1080, 0 };
}

// Video at 10 frames a second with a keyframe every `gop` seconds, over [from, to).
void push_video(ring::Ring& ring, std::int64_t from, std::int64_t to, int gop = 2)
{
    for (std::int64_t t = from; t < to; t += second / 10) {
        bool key = (t - from) % (gop * second) == 0;
        ring.push(Packet { make_shared_bytes({ 0, 0, 0, 1, 0x65 }), t, key ? Packet::keyframe_flag : std::uint8_t(0) });
    }
}

void push_audio(ring::Ring& ring, std::int64_t from, std::int64_t to)
{
    for (std::int64_t t = from; t < to; t += 213'333)
        ring.push(Packet { make_shared_bytes({ 0x21, 0x10 }), t, Packet::keyframe_flag });
}

struct Rig {
    std::shared_ptr<shared::Shared> shared = std::make_shared<shared::Shared>();
    std::shared_ptr<foreground::ForegroundHistory> history = std::make_shared<foreground::ForegroundHistory>();
    std::shared_ptr<threads::Locked<std::vector<engine::PageEvent>>> events
        = std::make_shared<threads::Locked<std::vector<engine::PageEvent>>>();
    channel::Receiver<engine::SaveRequest> requests;

    std::shared_ptr<engine::Engine> make(std::filesystem::path const& folder)
    {
        auto [tx, rx] = channel::make<engine::SaveRequest>();
        requests = std::move(rx);
        engine::EngineParts parts;
        parts.save_requests = std::move(tx);
        parts.settings_path = folder / "settings.json";
        parts.shared = shared;
        parts.history = history;
        parts.games_stop = std::make_shared<std::atomic<bool>>(false);
        parts.notifier = [events = events](engine::PageEvent event) {
            events->with([&](auto& list) { list.push_back(std::move(event)); });
        };
        parts.clips_folder = folder;
        parts.trash = std::make_shared<fakes::FakeTrash>(folder / "bin");
        parts.detect_foreground = [] { return foreground::ForegroundInfo { "Valorant", foreground::ForegroundKind::Game }; };
        return std::make_shared<engine::Engine>(std::move(parts));
    }
};

}

TEST(SaverParts, StartsAtTheKeyframeBeforeTheSpan)
{
    shared::Shared shared;
    shared::store_video_config(shared, config(1));
    shared.rings.with([](shared::Rings& rings) {
        push_video(rings.video, 0, 40 * second);
        push_audio(rings.audio, 0, 40 * second);
    });
    auto parts = engine::collect_parts(shared, 9 * second, 39 * second);
    ASSERT_EQ(parts.size(), 1u);
    // 9 s lies between the keyframes at 8 s and 10 s.
    EXPECT_EQ(parts[0].video.front().time, 8 * second);
    EXPECT_LT(parts[0].video.back().time, 39 * second);
    EXPECT_GE(parts[0].audio.front().time, 8 * second);
    EXPECT_LT(parts[0].audio.front().time - 8 * second, 213'333);
    EXPECT_EQ(parts[0].config.record, config(1).record);
}

TEST(SaverParts, OneClipPerSegmentAndShortOnesLeftOut)
{
    shared::Shared shared;
    shared.rings.with([](shared::Rings& rings) {
        // An older segment of 10 s, then one of 0.8 s, then the current ring.
        ring::Ring old;
        push_video(old, 0, 10 * second);
        rings.segments.push_back({ config(1), std::move(old) });
        ring::Ring brief;
        push_video(brief, 10 * second, 10 * second + 8 * second / 10);
        rings.segments.push_back({ config(2), std::move(brief) });
        push_video(rings.video, 11 * second, 20 * second);
        push_audio(rings.audio, 0, 20 * second);
    });
    shared::store_video_config(shared, config(3));
    auto parts = engine::collect_parts(shared, 5 * second, 20 * second);
    ASSERT_EQ(parts.size(), 2u);
    EXPECT_EQ(parts[0].config.record.back(), 1);
    EXPECT_EQ(parts[1].config.record.back(), 3);
    // A segment's audio stops at its last video sample; the current ring's runs to the end of the span.
    EXPECT_LE(parts[0].audio.back().time, parts[0].video.back().time);
    EXPECT_GT(parts[1].audio.back().time, parts[1].video.back().time);

    // Without a stream description the current ring cannot be written.
    shared.video_config.set(std::nullopt);
    EXPECT_EQ(engine::collect_parts(shared, 5 * second, 20 * second).size(), 1u);
}

class Saver : public testing_support::TempDirTest { };

TEST_F(Saver, SavesClipWithSidecarEventAndToast)
{
    Rig rig;
    auto engine = rig.make(dir());
    ASSERT_TRUE(library::ensure_meta_dir(dir()));
    shared::store_video_config(*rig.shared, config(1));
    auto now = ticks::now();
    rig.shared->rings.with([&](shared::Rings& rings) {
        push_video(rings.video, now - 12 * second, now - second / 2, 1);
        push_audio(rings.audio, now - 12 * second, now);
    });
    rig.history->with([&](auto& samples) { samples.push_back({ now - second, "Valorant", foreground::ForegroundKind::Game }); });
    engine->settings.with([](settings::Settings& s) { s.in_game_toast = true; });

    engine::save_last_seconds(*engine, 10);
    auto request = rig.requests.recv();
    ASSERT_TRUE(request);
    EXPECT_EQ(request->game, "Valorant");
    EXPECT_EQ(request->secs, 10u);
    auto [tx, rx] = channel::make<engine::SaveRequest>();
    tx.send(std::move(*request));
    tx.reset();
    engine::saver_loop(std::move(rx), engine);

    auto events = rig.events->copy();
    ASSERT_EQ(events.size(), 1u);
    auto* saved = std::get_if<engine::PageEvent::ClipSaved>(&events[0].value);
    if (auto* error = std::get_if<engine::PageEvent::Error>(&events[0].value))
        FAIL() << error->text;
    ASSERT_NE(saved, nullptr);
    auto const& clip = saved->clip;
    EXPECT_TRUE(clip.id.starts_with("Valorant 20")) << clip.id;
    EXPECT_TRUE(clip.title.starts_with("Valorant ")) << clip.title;
    EXPECT_EQ(clip.title.size(), std::string("Valorant 21h04").size());
    EXPECT_EQ(clip.width, 1920u);
    EXPECT_GT(clip.secs, 9.0);
    EXPECT_LT(clip.secs, 11.5);
    EXPECT_TRUE(std::filesystem::exists(dir() / (clip.id + ".mp4")));
    EXPECT_EQ(std::filesystem::file_size(dir() / (clip.id + ".mp4")), clip.bytes);
    EXPECT_TRUE(std::filesystem::exists(library::meta_path(dir(), clip.id)));
    EXPECT_EQ(toast::current_message().title, "Clip gardé");
}

TEST_F(Saver, NothingBufferedTellsThePlayer)
{
    Rig rig;
    auto engine = rig.make(dir());
    engine->settings.with([](settings::Settings& s) { s.in_game_toast = false; });
    engine::save_last_seconds(*engine, 30);
    auto request = rig.requests.recv();
    ASSERT_TRUE(request);
    auto [tx, rx] = channel::make<engine::SaveRequest>();
    tx.send(std::move(*request));
    tx.reset();
    engine::saver_loop(std::move(rx), engine);
    auto events = rig.events->copy();
    ASSERT_EQ(events.size(), 1u);
    auto* error = std::get_if<engine::PageEvent::Error>(&events[0].value);
    ASSERT_NE(error, nullptr);
    EXPECT_EQ(error->text, "Aucun jeu à l'écran");
    // Failures show even with in-game toasts off.
    auto message = toast::current_message();
    EXPECT_EQ(message.title, "Clip non gardé");
    EXPECT_EQ(message.subtext, "Aucun jeu à l'écran");
    EXPECT_EQ(message.kind, toast::kind_failure);
    EXPECT_TRUE(std::filesystem::is_empty(dir()));
}
