#include "core/mp4_recorder.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "core/demux.h"
#include "tests/support/temp_dir.h"

namespace {

constexpr std::int64_t second = 10'000'000;

// A packet whose bytes identify it, so a read-back can check that each sample points at its own bytes.
Packet make_packet(std::int64_t time, bool key, std::size_t size)
{
    std::vector<std::uint8_t> bytes(size);
    for (std::size_t i = 0; i < size; ++i)
        bytes[i] = static_cast<std::uint8_t>((time / 1000 + i * 7) & 0xFF);
    return { make_shared_bytes(std::move(bytes)), time, std::uint8_t(key ? Packet::keyframe_flag : 0) };
}

mp4::VideoConfig video_config()
{
    // A plausible avcC body; the reader copies it back unchanged.
    return { { 1, 0x64, 0, 0x28, 0xFF, 0xE1, 0, 4, 0x67, 0x64, 0, 0x28, 1, 0, 4, 0x68, 0xEE, 0x3C, 0x80 }, 1280, 720, 0 };
}

class Mp4Recorder : public testing_support::TempDirTest {
protected:
    mp4::Recorder start(std::string const& name = "rec.mp4", std::uint8_t codec = 0)
    {
        m_path = dir() / name;
        auto fd = files::open_write(m_path, files::Create::Truncate);
        EXPECT_TRUE(fd) << fd.error();
        auto recorder = mp4::Recorder::start(std::move(*fd), codec);
        EXPECT_TRUE(recorder) << recorder.error();
        return std::move(*recorder);
    }

    // Checks that every sample the reader finds points at the bytes of the packet pushed at that time.
    void expect_samples(std::vector<demux::SampleRef> const& refs, std::vector<Packet> const& packets,
                        std::int64_t t0)
    {
        auto file = read_bytes(m_path);
        ASSERT_EQ(refs.size(), packets.size());
        for (std::size_t i = 0; i < refs.size(); ++i) {
            SCOPED_TRACE(i);
            EXPECT_EQ(refs[i].time, packets[i].time - t0);
            EXPECT_EQ(refs[i].size, packets[i].size());
            EXPECT_EQ(refs[i].sync, packets[i].is_keyframe() ? 1 : 0);
            ASSERT_LE(refs[i].offset + refs[i].size, file.size());
            std::vector<std::uint8_t> stored(file.begin() + refs[i].offset,
                                             file.begin() + refs[i].offset + refs[i].size);
            EXPECT_EQ(stored, *packets[i].data);
        }
    }

    std::filesystem::path m_path;
};

}

TEST_F(Mp4Recorder, WritesTheFirstChunkOnceTheQueuedVideoSpansOneSecond)
{
    auto recorder = start();
    ASSERT_TRUE(recorder.push_video(make_packet(9 * second, false, 50))); // before any keyframe: dropped
    // Before the first keyframe only the last second of audio waits; the frame at 9.5 s is older than that
    // by the time the first chunk goes out.
    for (int i = 0; i < 100; ++i)
        ASSERT_TRUE(recorder.push_audio(make_packet(second / 2 * 19 - (99 - i) * second / 20, true, 8)));
    EXPECT_LE(recorder.pending_audio_count(), 21u);
    EXPECT_EQ(recorder.written(), 0u);
    EXPECT_FALSE(recorder.started());
    for (int i = 0; i < 10; ++i)
        ASSERT_TRUE(recorder.push_video(make_packet(10 * second + i * second / 10, i == 0, 100)));
    ASSERT_TRUE(recorder.push_audio(make_packet(10 * second + 1000, true, 8)));
    ASSERT_TRUE(recorder.push_audio(make_packet(10 * second + second / 2, true, 8)));
    EXPECT_TRUE(recorder.video_table().chunks.empty());

    ASSERT_TRUE(recorder.push_video(make_packet(11 * second, false, 100))); // 1 s after the first queued frame
    auto const& video = recorder.video_table();
    ASSERT_EQ(video.chunks.size(), 1u);
    EXPECT_EQ(video.chunks[0].offset, 0u);
    EXPECT_EQ(video.chunks[0].count, 11u);
    EXPECT_EQ(video.sync, std::vector<std::uint32_t> { 1 });
    auto const& audio = recorder.audio_table();
    ASSERT_EQ(audio.chunks.size(), 1u);
    EXPECT_EQ(audio.chunks[0].offset, 1100u);
    EXPECT_EQ(audio.chunks[0].count, 2u); // the frame from before the keyframe is gone
    EXPECT_EQ(audio.sync, (std::vector<std::uint32_t> { 1, 2 }));
    EXPECT_EQ(recorder.written(), 1116u);
    EXPECT_EQ(recorder.first_time(), 10 * second);
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

// Audio a little ahead of the video (the encoder's latency) still travels with the video's chunks.
TEST_F(Mp4Recorder, AudioAheadOfVideoWaitsForTheVideoChunk)
{
    auto recorder = start();
    for (int i = 0; i < 30; ++i) {
        ASSERT_TRUE(recorder.push_audio(make_packet(i * second / 10 + second / 5, true, 10)));
        ASSERT_TRUE(recorder.push_video(make_packet(i * second / 10, i == 0, 100)));
    }
    auto const& video = recorder.video_table().chunks;
    auto const& audio = recorder.audio_table().chunks;
    ASSERT_EQ(video.size(), 2u);
    ASSERT_EQ(audio.size(), 2u);
    EXPECT_EQ(audio[0].offset, video[0].offset + video[0].count * 100);
    EXPECT_EQ(video[1].offset, audio[0].offset + audio[0].count * 10);
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

TEST_F(Mp4Recorder, FinishedRecordingReadsBackSampleForSample)
{
    auto recorder = start();
    std::int64_t t0 = 5'000 * second;
    std::vector<Packet> video;
    std::vector<Packet> audio;
    // 166,000-tick frames and 212,500-tick audio frames are whole units of 90 kHz and 48 kHz, so the times
    // come back exactly; the audio starts 30 ms after the video.
    for (int i = 0; i < 200; ++i)
        video.push_back(make_packet(t0 + i * 166'000, i % 60 == 0, 300 + (i * 37) % 500));
    for (int i = 0; i < 150; ++i)
        audio.push_back(make_packet(t0 + 300'000 + i * 212'500, true, 20 + i % 9));
    std::size_t a = 0;
    for (auto const& packet : video) {
        while (a < audio.size() && audio[a].time <= packet.time)
            ASSERT_TRUE(recorder.push_audio(audio[a++]));
        ASSERT_TRUE(recorder.push_video(packet));
    }
    while (a < audio.size())
        ASSERT_TRUE(recorder.push_audio(audio[a++]));

    mp4::AudioConfig audio_config { 48'000, 160'000, 2 };
    auto summary = recorder.finish(video_config(), &audio_config);
    ASSERT_TRUE(summary) << summary.error();
    EXPECT_EQ(summary->duration_ticks, 200u * 166'000);

    EXPECT_EQ(summary->bytes, std::filesystem::file_size(m_path));

    auto opened = demux::open_file(m_path);
    ASSERT_TRUE(opened) << opened.error();
    EXPECT_EQ(opened->video.record, video_config().record);
    EXPECT_EQ(opened->video.width, 1280u);
    ASSERT_TRUE(opened->audio);
    EXPECT_EQ(opened->audio->bitrate, 160'000u);
    expect_samples(opened->video_samples, video, t0);
    expect_samples(opened->audio_samples, audio, t0);
    EXPECT_EQ(opened->audio_samples.front().time, 300'000);
}

TEST_F(Mp4Recorder, UnfinishedRecordingHasNoIndex)
{
    {
        auto recorder = start();
        for (int i = 0; i < 40; ++i)
            ASSERT_TRUE(recorder.push_video(make_packet(i * second / 10, i % 10 == 0, 1000)));
        // The process dies here: no finish.
    }
    auto opened = demux::open_file(m_path);
    ASSERT_FALSE(opened);
    EXPECT_EQ(opened.error(), "MP4 illisible : pas d'index");

    auto recorder = start("cut.mp4");
    for (int i = 0; i < 40; ++i)
        ASSERT_TRUE(recorder.push_video(make_packet(i * second / 10, i % 10 == 0, 1000)));
    ASSERT_TRUE(recorder.finish(video_config(), nullptr));
    auto size = std::filesystem::file_size(m_path);
    for (std::uintmax_t cut : { std::uintmax_t { 1 }, std::uintmax_t { 100 }, size - 40 }) {
        SCOPED_TRACE(cut);
        std::filesystem::resize_file(m_path, size - cut);
        EXPECT_EQ(demux::open_file(m_path).error(), "MP4 illisible : pas d'index");
    }
}

// A write that fails part-way (here the file-size limit, as a full disk would) is reported, and the tables
// keep only the chunks that were really written.
TEST_F(Mp4Recorder, WriteErrorKeepsOnlyWholeChunksInTheTables)
{
    auto recorder = start();
    for (int i = 0; i <= 10; ++i)
        ASSERT_TRUE(recorder.push_video(make_packet(i * second / 10, i == 0, 1000)));
    ASSERT_EQ(recorder.video_table().chunks.size(), 1u);

    auto old_handler = ::signal(SIGXFSZ, SIG_IGN);
    rlimit old_limit {};
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &old_limit), 0);
    rlimit limit = old_limit;
    limit.rlim_cur = 600'000;
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &limit), 0);
    Result<void> pushed;
    for (int i = 11; i <= 21 && pushed; ++i)
        pushed = recorder.push_video(make_packet(i * second / 10, false, 200'000));
    ::setrlimit(RLIMIT_FSIZE, &old_limit);
    ::signal(SIGXFSZ, old_handler);

    ASSERT_FALSE(pushed);
    EXPECT_TRUE(pushed.error().ends_with(" (os error 27)")) << pushed.error();
    auto const& video = recorder.video_table();
    EXPECT_EQ(video.chunks.size(), 1u);
    EXPECT_EQ(video.sizes.size(), 11u);
    EXPECT_EQ(video.times.size(), 11u);
    EXPECT_EQ(recorder.written(), 11'000u);
}

class DemuxRoundTrip : public Mp4Recorder { };

TEST_F(DemuxRoundTrip, ClipWriterOutputReadsBackSampleForSample)
{
    std::int64_t t0 = 777 * second;
    std::vector<Packet> video;
    std::vector<Packet> audio;
    for (int i = 0; i < 150; ++i)
        video.push_back(make_packet(t0 + i * 166'000, i % 60 == 0, 200 + (i * 53) % 700));
    for (int i = 0; i < 110; ++i)
        audio.push_back(make_packet(t0 + 300'000 + i * 212'500, true, 15 + i % 11));
    mp4::ClipMedia media;
    media.video = video_config();
    media.video.codec = 1;
    auto to_samples = [](std::vector<Packet> const& packets) {
        std::vector<ring::Sample> samples;
        for (auto const& packet : packets)
            samples.push_back({ ring::Memory { packet.data }, packet.time, packet.flags });
        return samples;
    };
    media.video_samples = to_samples(video);
    media.audio_samples = to_samples(audio);
    auto summary = mp4::write_mp4_file(dir(), "clip", media, mp4::AudioConfig { 48'000, 128'000, 2 });
    ASSERT_TRUE(summary) << summary.error();
    m_path = dir() / "clip.mp4";

    auto opened = demux::open_file(m_path);
    ASSERT_TRUE(opened) << opened.error();
    EXPECT_EQ(opened->video.codec, 1);
    EXPECT_EQ(opened->video.record, media.video.record);
    ASSERT_TRUE(opened->audio);
    EXPECT_EQ(opened->audio->bitrate, 128'000u);
    expect_samples(opened->video_samples, video, t0);
    expect_samples(opened->audio_samples, audio, t0);
    EXPECT_EQ(opened->audio_samples.front().time, 300'000);

}
