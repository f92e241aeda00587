// The saver on rings of real H.264 and HEVC samples: every clip it writes is judged by ffprobe, ffmpeg's
// decoders and GStreamer's qtdemux, and the player's texts are checked for each outcome.

#include "engine/saver.h"

#include <gtest/gtest.h>

#include "engine/toast.h"
#include "tests/engine/saver_rig.h"

namespace {

using saver_rig::second;
using Saved = engine::PageEvent::ClipSaved;
using Error = engine::PageEvent::Error;

constexpr std::int64_t t0 = 5'000 * second; // anywhere on the engine clock

test_media::Media const& h264()
{
    static auto media = test_media::encode(0, 3, 30, 320, 240);
    EXPECT_TRUE(media) << media.error();
    return *media;
}

test_media::Media const& hevc()
{
    static auto media = test_media::encode(1, 3, 30, 480, 270);
    EXPECT_TRUE(media) << media.error();
    return *media;
}

// Runs the saver over the requests, one after the other, as the "quillmar-saver" thread would.
template <class... Requests> void run_saver(std::shared_ptr<engine::Engine> const& engine, Requests... requests)
{
    auto [tx, rx] = channel::make<engine::SaveRequest>();
    (tx.send(std::move(requests)), ...);
    tx.reset();
    engine::saver_loop(std::move(rx), engine);
}

// A request whose thumbnail channel is already closed: no frame will come.
engine::SaveRequest request(std::int64_t end, std::uint32_t secs)
{
    return engine::SaveRequest { channel::make<shared::Thumbnail>().second, "Valorant", end, secs };
}

class SaverRealMedia : public media::MediaTest {
protected:
    void SetUp() override
    {
        MediaTest::SetUp();
        if (IsSkipped())
            return;
        ASSERT_TRUE(library::ensure_meta_dir(dir()));
        engine = rig.make(dir());
        engine->settings.with([](settings::Settings& s) { s.in_game_toast = true; });
    }

    // The current ring holds `current` from `from` on, with a stream description; audio follows it.
    void current(test_media::Media const& media, std::int64_t from)
    {
        shared::store_video_config(*rig.shared, media.video);
        rig.shared->rings.with([&](shared::Rings& rings) {
            saver_rig::fill(rings.video, media.video_packets, from);
            saver_rig::fill(rings.audio, media.audio_packets, from);
        });
    }

    // An older segment of the first `frames` frames of `media`, from `from` on, with its audio.
    void segment(test_media::Media const& media, std::int64_t from, std::size_t frames)
    {
        std::vector<Packet> video(media.video_packets.begin(), media.video_packets.begin() + frames);
        std::vector<Packet> audio;
        for (auto const& packet : media.audio_packets) {
            if (packet.time <= video.back().time)
                audio.push_back(packet);
        }
        rig.shared->rings.with([&](shared::Rings& rings) {
            ring::Ring ring;
            saver_rig::fill(ring, video, from);
            rings.segments.push_back({ media.video, std::move(ring) });
            saver_rig::fill(rings.audio, audio, from);
        });
    }

    saver_rig::Rig rig;
    std::shared_ptr<engine::Engine> engine;
};

}

TEST_F(SaverRealMedia, OneSegmentGivesOneValidClipWithThumbnail)
{
    // The span of the last 2 s starts about 0.5 s into the ring: the clip goes back to the keyframe at its start.
    auto const& media = h264();
    current(media, ticks::now() - 2'500 * second / 1000);
    rig.history->with([](auto& samples) {
        samples.push_back({ ticks::now() - second, "Valorant", foreground::ForegroundKind::Game });
    });
    engine::save_last_seconds(*engine, 2);
    auto queued = rig.requests.try_recv();
    ASSERT_TRUE(queued);
    EXPECT_EQ(queued->game, "Valorant");
    // What the capture loop does at its next frame.
    auto thumbnail = shared::take_thumbnail_request(*rig.shared);
    ASSERT_TRUE(thumbnail);
    thumbnail->send(shared::Thumbnail(shared::thumbnail_bytes, 0x80));
    std::filesystem::remove_all(dir()); // deleted by the player: the save makes it again
    run_saver(engine, std::move(*queued));

    auto saved = saver_rig::events_of<Saved>(rig.events->copy());
    ASSERT_EQ(saved.size(), 1u) << toast::current_message().subtext;
    auto const& clip = saved[0].clip;
    EXPECT_EQ(clip.title.find('('), std::string::npos);
    EXPECT_EQ(clip.width, 320u);
    EXPECT_FALSE(clip.recording);
    saver_rig::expect_valid_mp4(dir() / (clip.id + ".mp4"), 2.0, 2.0 + 1.0 + 0.05);
    EXPECT_TRUE(std::filesystem::exists(library::meta_path(dir(), clip.id)));
    auto thumb = media::probe(library::thumb_path(dir(), clip.id));
    ASSERT_FALSE(thumb.is_null());
    EXPECT_EQ(thumb["streams"][0]["codec_name"], "mjpeg");
    EXPECT_EQ(thumb["streams"][0]["width"], 400);
    EXPECT_EQ(thumb["streams"][0]["height"], 225);
    auto toast = toast::current_message();
    EXPECT_EQ(toast.title, "Clip gardé");
    EXPECT_TRUE(toast.subtext.starts_with("0:0") && toast.subtext.ends_with(" · 0 Mo")) << toast.subtext;
}

TEST_F(SaverRealMedia, TwoSegmentsGiveTwoClipsOldestFirst)
{
    segment(h264(), t0, h264().video_packets.size());
    current(hevc(), t0 + 3'500 * second / 1000);
    run_saver(engine, request(t0 + 7 * second, 10));

    auto saved = saver_rig::events_of<Saved>(rig.events->copy());
    ASSERT_EQ(saved.size(), 2u);
    for (int i = 0; i < 2; ++i) {
        auto const& clip = saved[i].clip;
        SCOPED_TRACE(clip.id);
        EXPECT_TRUE(clip.id.ends_with(fmt::format(" partie {}", i + 1)));
        EXPECT_TRUE(clip.title.ends_with(fmt::format(" ({}/2)", i + 1)));
        saver_rig::expect_valid_mp4(dir() / (clip.id + ".mp4"), 2.9, 3.1);
    }
    EXPECT_EQ(saved[0].clip.width, 320u);
    EXPECT_EQ(saved[1].clip.width, 480u);
    auto toast = toast::current_message();
    EXPECT_EQ(toast.title, "2 clips gardés");
    EXPECT_EQ(toast.subtext, "La qualité a changé entre-temps");
}

TEST_F(SaverRealMedia, SegmentUnderOneSecondIsLeftOut)
{
    segment(h264(), t0, 24); // 0.8 s at 30 frames a second
    current(hevc(), t0 + second);
    run_saver(engine, request(t0 + 5 * second, 10));

    auto saved = saver_rig::events_of<Saved>(rig.events->copy());
    ASSERT_EQ(saved.size(), 1u);
    EXPECT_FALSE(saved[0].clip.id.ends_with(" partie 1"));
    EXPECT_EQ(saved[0].clip.title.find('('), std::string::npos);
    EXPECT_EQ(saved[0].clip.width, 480u);
    saver_rig::expect_valid_mp4(dir() / (saved[0].clip.id + ".mp4"), 2.9, 3.1);
}

TEST_F(SaverRealMedia, TwoQuickSavesGiveTwoValidFilesWithDistinctIds)
{
    current(h264(), t0);
    run_saver(engine, request(t0 + 3 * second, 2), request(t0 + 3 * second, 2));

    auto saved = saver_rig::events_of<Saved>(rig.events->copy());
    ASSERT_EQ(saved.size(), 2u);
    ASSERT_NE(saved[0].clip.id, saved[1].clip.id);
    // Within one second the second save takes the next free form of the same name.
    if (saved[0].clip.title == saved[1].clip.title && saved[0].clip.id.size() + 4 == saved[1].clip.id.size()) {
        EXPECT_EQ(saved[1].clip.id, saved[0].clip.id + " (2)");
    }
    for (auto const& event : saved)
        saver_rig::expect_valid_mp4(dir() / (event.clip.id + ".mp4"), 2.0, 3.05);
}

TEST_F(SaverRealMedia, FailuresReachToastAndPage)
{
    enum class Setup { Nothing, PipelineWithoutSamples, FolderIsAFile, SidecarFolderIsAFile };
    struct Row {
        Setup setup;
        std::string_view prefix;
        std::string_view suffix;
        bool mp4_stays;
    };
    Row const rows[] = {
        { Setup::Nothing, "Aucun jeu à l'écran", "", false },
        { Setup::PipelineWithoutSamples, "Le tampon est encore vide", "", false },
        { Setup::FolderIsAFile, "Écriture impossible : ", " (os error 20)", false },
        { Setup::SidecarFolderIsAFile, "", " (os error 20)", true },
    };
    for (auto const& row : rows) {
        SCOPED_TRACE(row.prefix);
        saver_rig::Rig local;
        auto folder = dir() / fmt::format("case{}", int(row.setup));
        std::filesystem::create_directories(folder);
        auto clips = folder;
        if (row.setup == Setup::FolderIsAFile) {
            clips = folder / "file";
            write_file(std::filesystem::relative(clips, dir()).string(), "x");
        }
        if (row.setup == Setup::SidecarFolderIsAFile)
            write_file(std::filesystem::relative(library::meta_path(folder, "x").parent_path(), dir()).string(), "x");
        auto failing = local.make(clips);
        failing->settings.with([](settings::Settings& s) { s.in_game_toast = false; });
        if (row.setup == Setup::PipelineWithoutSamples)
            failing->video_pipeline.set(engine::PipelineHandle(std::make_shared<std::atomic<bool>>(false), {}));
        if (row.setup == Setup::FolderIsAFile || row.setup == Setup::SidecarFolderIsAFile) {
            shared::store_video_config(*local.shared, h264().video);
            local.shared->rings.with([&](shared::Rings& rings) {
                saver_rig::fill(rings.video, h264().video_packets, t0);
                saver_rig::fill(rings.audio, h264().audio_packets, t0);
            });
        }
        run_saver(failing, request(t0 + 3 * second, 2));

        auto events = local.events->copy();
        ASSERT_EQ(events.size(), 1u);
        auto errors = saver_rig::events_of<Error>(events);
        ASSERT_EQ(errors.size(), 1u);
        EXPECT_TRUE(errors[0].text.starts_with(row.prefix)) << errors[0].text;
        EXPECT_TRUE(errors[0].text.ends_with(row.suffix)) << errors[0].text;
        // Failures show even with in-game toasts off.
        auto toast = toast::current_message();
        EXPECT_EQ(toast.title, "Clip non gardé");
        EXPECT_EQ(toast.subtext, errors[0].text);
        EXPECT_EQ(toast.kind, toast::kind_failure);
        std::size_t mp4s = 0;
        for (auto const& entry : std::filesystem::directory_iterator(folder))
            mp4s += entry.path().extension() == ".mp4";
        EXPECT_EQ(mp4s, row.mp4_stays ? 1u : 0u);
    }
}
