// Continuous recording driven through toggle_recording on an Engine whose video "pipeline" is a fake body that
// stores a stream description and pushes real H.264 and AAC samples, as the encoder and audio threads do.
// Live samples follow through shared::push_video / push_audio; outside tools judge the finished file.

#include "engine/recording.h"

#include <csignal>
#include <sys/resource.h>

#include <gtest/gtest.h>

#include "engine/toast.h"
#include "tests/engine/saver_rig.h"

namespace {

using saver_rig::second;
using Started = engine::PageEvent::RecordingStarted;
using Finished = engine::PageEvent::RecordingFinished;
using Error = engine::PageEvent::Error;

test_media::Media const& h264()
{
    static auto media = test_media::encode(0, 3, 30, 320, 240);
    EXPECT_TRUE(media) << media.error();
    return *media;
}

// The media again, `shift` later, as samples arriving live.
void push_live(shared::Shared& shared, test_media::Media const& media, std::int64_t shift)
{
    std::size_t a = 0;
    for (auto packet : media.video_packets) {
        packet.time += shift;
        for (; a < media.audio_packets.size() && media.audio_packets[a].time + shift <= packet.time; ++a)
            shared::push_audio(shared, *media.audio_packets[a].data, media.audio_packets[a].time + shift);
        shared::push_video(shared, std::move(packet));
    }
}

// The encoder and audio threads of one pipeline start: the description, then `media` (keyframes kept or not),
// then word on `filled`.
engine::PipelineBodies fake_pipeline(bool keyframes, channel::Sender<bool> filled)
{
    engine::PipelineBodies bodies;
    bodies.video = [keyframes, filled](engine::VideoThreadParams params) {
        auto& shared = *params.shared;
        shared.audio_running.store(1);
        shared::store_video_config(shared, h264().video);
        if (keyframes) {
            push_live(shared, h264(), 0);
        } else {
            for (auto packet : h264().video_packets) {
                packet.flags = 0;
                shared::push_video(shared, std::move(packet));
            }
        }
        filled.send(true);
        while (!params.stop->load())
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
    };
    return bodies;
}

// Runs `body` while files may not grow past `bytes` in this process, as on a full disk.
template <class Body> void with_file_size_limit(rlim_t bytes, Body body)
{
    auto previous_handler = std::signal(SIGXFSZ, SIG_IGN);
    rlimit previous {};
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &previous), 0);
    rlimit small = previous;
    small.rlim_cur = bytes;
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
    body();
    ::setrlimit(RLIMIT_FSIZE, &previous);
    std::signal(SIGXFSZ, previous_handler);
}

class Recording : public media::MediaTest {
protected:
    void SetUp() override
    {
        MediaTest::SetUp();
        if (IsSkipped())
            return;
        ASSERT_TRUE(h264().video.width);
        ASSERT_TRUE(library::ensure_meta_dir(dir()));
    }

    void TearDown() override
    {
        if (engine) {
            auto lock = engine->pipeline_lock.lock();
            engine::stop_video_pipeline(*engine);
        }
        MediaTest::TearDown();
    }

    // The pipeline runs and its rings are filled before the test goes on: a recording started while the
    // body still pushed would begin at an older keyframe and take the rest of the media live.
    void start_engine(bool keyframes)
    {
        auto [filled_tx, filled_rx] = channel::make<bool>();
        engine = rig.make(dir(), fake_pipeline(keyframes, std::move(filled_tx)));
        engine::ensure_pipeline(*engine, engine->settings_copy());
        ASSERT_TRUE(filled_rx.recv_for(std::chrono::seconds(60)));
    }

    // What the capture loop does at its next frame.
    void deliver_thumbnail()
    {
        auto thumbnail = shared::take_thumbnail_request(*rig.shared);
        ASSERT_TRUE(thumbnail);
        thumbnail->send(shared::Thumbnail(shared::thumbnail_bytes, 0x40));
    }

    std::size_t mp4_count()
    {
        std::size_t count = 0;
        for (auto const& entry : std::filesystem::directory_iterator(dir()))
            count += entry.path().extension() == ".mp4";
        return count;
    }

    // The finished recording: its events, its sidecar written before the slot emptied, a valid file whose
    // mdat size points at the moov.
    library::Clip expect_finished(double min_secs, double max_secs)
    {
        auto slot = engine->recording.copy();
        // Polled without pause: the sidecar must already exist the moment the slot empties, since quitting
        // ends the process right after.
        engine::wait_recording_finished(*engine, 1'000'000'000, std::chrono::milliseconds(0));
        EXPECT_FALSE(engine->recording.copy().has_value());
        if (slot) {
            EXPECT_TRUE(std::filesystem::exists(library::meta_path(dir(), slot->clip_id)));
        }
        auto events = rig.wait_events(2);
        EXPECT_EQ(events.size(), 2u);
        EXPECT_TRUE(!events.empty() && std::holds_alternative<Started>(events[0].value));
        auto finished = saver_rig::events_of<Finished>(events);
        if (finished.size() != 1u) {
            auto errors = saver_rig::events_of<Error>(events);
            ADD_FAILURE() << (errors.empty() ? "no event" : errors[0].text);
            return {};
        }
        auto clip = finished[0].clip;
        EXPECT_TRUE(clip.recording);
        auto sidecar = library::parse_sidecar(read_file(library::meta_path(dir(), clip.id)));
        EXPECT_TRUE(sidecar && sidecar->recording);
        auto path = dir() / (clip.id + ".mp4");
        saver_rig::expect_valid_mp4(path, min_secs, max_secs);
        auto bytes = read_bytes(path);
        EXPECT_EQ(bytes.size(), clip.bytes);
        std::uint64_t mdat_size = 0;
        for (int i = 0; i < 8; ++i)
            mdat_size = (mdat_size << 8) | bytes.at(40 + i);
        EXPECT_EQ(std::string(bytes.begin() + 32 + mdat_size + 4, bytes.begin() + 32 + mdat_size + 8), "moov");
        return clip;
    }

    saver_rig::Rig rig;
    std::shared_ptr<engine::Engine> engine;
};

}

TEST_F(Recording, SecondPressFinishesAValidFileWithSidecarAndThumbnail)
{
    ASSERT_NO_FATAL_FAILURE(start_engine(true));
    std::filesystem::remove_all(dir()); // deleted by the player: the recording makes it again
    engine::toggle_recording(engine);
    ASSERT_EQ(saver_rig::events_of<Started>(rig.events->copy()).size(), 1u);
    deliver_thumbnail();
    push_live(*rig.shared, h264(), 3 * second);
    engine::toggle_recording(engine);

    // The seed starts at the newest buffered keyframe (2 s); 3 s arrive live.
    auto clip = expect_finished(3.9, 4.1);
    auto thumb = media::probe(library::thumb_path(dir(), clip.id));
    ASSERT_FALSE(thumb.is_null());
    EXPECT_EQ(thumb["streams"][0]["width"], 400);
}

TEST_F(Recording, PipelineRestartFinishesTheRecording)
{
    ASSERT_NO_FATAL_FAILURE(start_engine(true));
    engine::toggle_recording(engine);
    deliver_thumbnail();
    push_live(*rig.shared, h264(), 3 * second);
    shared::new_segment(*rig.shared);
    // Samples of the new stream never reach the file.
    push_live(*rig.shared, h264(), 6 * second);
    expect_finished(3.9, 4.1);
}

TEST_F(Recording, NoKeyframeRefusesTheStartAndLeavesNoFile)
{
    ASSERT_NO_FATAL_FAILURE(start_engine(false));
    engine::toggle_recording(engine);
    auto events = rig.events->copy();
    ASSERT_EQ(events.size(), 1u);
    auto errors = saver_rig::events_of<Error>(events);
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_EQ(errors[0].text, "Le tampon démarre encore. Réessaie dans une seconde.");
    EXPECT_FALSE(engine->recording.copy().has_value());
    EXPECT_EQ(mp4_count(), 0u);
}

TEST_F(Recording, HeaderWriteFailureLeavesNoFile)
{
    ASSERT_NO_FATAL_FAILURE(start_engine(true));
    // The header of the new recording cannot be written.
    with_file_size_limit(16, [&] { engine::toggle_recording(engine); });

    auto errors = saver_rig::events_of<Error>(rig.events->copy());
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_TRUE(errors[0].text.starts_with("Impossible d'écrire : ")) << errors[0].text;
    EXPECT_TRUE(errors[0].text.ends_with(" (os error 27)")) << errors[0].text;
    EXPECT_FALSE(engine->recording.copy().has_value());
    EXPECT_EQ(mp4_count(), 0u);
}

TEST_F(Recording, WriteErrorStopsTheRecordingAtOnceAndReportsIt)
{
    ASSERT_NO_FATAL_FAILURE(start_engine(true));
    engine::toggle_recording(engine);
    deliver_thumbnail();
    // Samples arrive until the recorder's buffer overflows to the file, which can take nothing past its header:
    // the recording then ends by itself, with no second press.
    with_file_size_limit(100, [&] {
        for (int i = 1; i <= 300 && engine->recording.copy(); ++i)
            push_live(*rig.shared, h264(), 3 * i * second);
        engine::wait_recording_finished(*engine, 1000, std::chrono::milliseconds(10));
    });

    EXPECT_FALSE(engine->recording.copy().has_value());
    auto errors = saver_rig::events_of<Error>(rig.wait_events(2));
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_TRUE(errors[0].text.starts_with("Enregistrement interrompu : ")) << errors[0].text;
    EXPECT_TRUE(errors[0].text.ends_with(" (os error 27)")) << errors[0].text;
    EXPECT_EQ(toast::current_message().title, "Enregistrement interrompu");
    EXPECT_FALSE(rig.shared->rings.with([](shared::Rings& rings) { return rings.sink.has_value(); }));
}

TEST_F(Recording, StopRightAfterTheStartStillReportsStartFirst)
{
    ASSERT_NO_FATAL_FAILURE(start_engine(true));
    // A pipeline restart stops the recording while the start is telling the page; the finished recording then
    // gets half a second to report itself ahead of its start.
    *rig.before_listing = [this](engine::PageEvent const& event) {
        if (!std::holds_alternative<Started>(event.value))
            return;
        deliver_thumbnail();
        shared::new_segment(*rig.shared);
        for (int i = 0; i < 50 && saver_rig::events_of<Finished>(rig.events->copy()).empty(); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
    };
    engine::toggle_recording(engine);
    expect_finished(0.9, 1.1);
}
