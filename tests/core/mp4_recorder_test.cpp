#include "core/mp4_recorder.h"

#include <gtest/gtest.h>

#include "core/demux.h"
#include "tests/support/temp_dir.h"

namespace {

constexpr std::int64_t second = 10'000'000;

Packet make_packet(std::int64_t time, bool key, std::size_t size)
{
    return { make_shared_bytes(std::vector<std::uint8_t>(size, 1)), time, std::uint8_t(key ? Packet::keyframe_flag : 0) };
}

mp4::VideoConfig video_config()
{
    // A plausible avcC body; the reader copies it back unchanged.
    return { { 1, 0x64, 0, 0x28, 0xFF, 0xE1, 0, 4, 0x67, 0x64, 0, 0x28, 1, 0, 4, 0x68, 0xEE, 0x3C, 0x80 }, 1280, 720, Codec::H264 };
}

class Mp4Recorder : public testing_support::TempDirTest {
protected:
    mp4::Recorder start(std::string const& name = "rec.mp4", Codec codec = Codec::H264)
    {
        m_path = dir() / name;
        auto fd = files::open_write(m_path, files::Create::Truncate);
        EXPECT_TRUE(fd) << fd.error();
        auto recorder = mp4::Recorder::start(std::move(*fd), codec);
        EXPECT_TRUE(recorder) << recorder.error();
        return std::move(*recorder);
    }

    std::filesystem::path m_path;
};

}

// An encoder that stops delivering must not leave the audio of the rest of the recording in memory, whether
// its last frames went out with a chunk or still wait in the queue.
TEST_F(Mp4Recorder, WritesAudioWhenTheVideoStalls)
{
    for (int frames : { 1, 11 }) {
        SCOPED_TRACE(frames);
        auto recorder = start(fmt::format("stall-{}.mp4", frames));
        for (int i = 0; i < frames; ++i)
            ASSERT_TRUE(recorder.push_video(make_packet(i * second / 10, i == 0, 100)));
        std::int64_t frame = 213'333;
        for (int i = 0; i < 200; ++i) {
            ASSERT_TRUE(recorder.push_audio(make_packet(i * frame, true, 10)));
            EXPECT_LE(recorder.pending_audio_count(), 48u); // never much more than one second
        }
        EXPECT_GE(recorder.audio_table().chunks.size(), 4u);
        EXPECT_EQ(recorder.video_table().chunks.size(), 1u);

        mp4::AudioConfig audio { 48'000, 192'000, 2 };
        auto summary = recorder.finish(video_config(), &audio);
        ASSERT_TRUE(summary) << summary.error();
        auto opened = demux::open_file(m_path);
        ASSERT_TRUE(opened) << opened.error();
        EXPECT_EQ(opened->audio_samples.size(), 200u);
        EXPECT_EQ(opened->video_samples.size(), std::size_t(frames));
    }
}

// A recording without a single keyframe has nothing to index: it must be reported as failed, not finished
// as a file with an empty video track.
TEST_F(Mp4Recorder, FailsToFinishWithoutAKeyframe)
{
    auto recorder = start();
    for (int i = 0; i < 30; ++i) {
        ASSERT_TRUE(recorder.push_video(make_packet(i * second / 10, false, 100)));
        ASSERT_TRUE(recorder.push_audio(make_packet(i * second / 10, true, 10)));
    }
    mp4::AudioConfig audio { 48'000, 192'000, 2 };
    auto summary = recorder.finish(video_config(), &audio);
    ASSERT_FALSE(summary);
    EXPECT_EQ(summary.error(), "aucune image vidéo reçue");
}

// A write that fails part-way (here the file-size limit, as a full disk would) is reported, and the tables
// keep only the chunks that were really written.
TEST_F(Mp4Recorder, WriteErrorKeepsOnlyWholeChunksInTheTables)
{
    auto recorder = start();
    for (int i = 0; i <= 10; ++i)
        ASSERT_TRUE(recorder.push_video(make_packet(i * second / 10, i == 0, 1000)));
    ASSERT_EQ(recorder.video_table().chunks.size(), 1u);

    Result<void> pushed;
    testing_support::with_file_size_limit(600'000, [&] {
        for (int i = 11; i <= 21 && pushed; ++i)
            pushed = recorder.push_video(make_packet(i * second / 10, false, 200'000));
    });

    ASSERT_FALSE(pushed);
    EXPECT_TRUE(pushed.error().ends_with(" (os error 27)")) << pushed.error();
    auto const& video = recorder.video_table();
    EXPECT_EQ(video.chunks.size(), 1u);
    EXPECT_EQ(video.sizes.size(), 11u);
    EXPECT_EQ(video.times.size(), 11u);
    EXPECT_EQ(recorder.written(), 11'000u);
}
