// Clips and recordings of real H.264, HEVC and AV1 video with AAC audio, written by the clip writer and by the
// growing-file recorder, judged by tools nobody here wrote: ffprobe, ffmpeg's decoders and GStreamer's qtdemux.
// Recordings are then read back by our own reader.

#include "core/mp4.h"
#include "core/mp4_recorder.h"

#include <gtest/gtest.h>

#include "core/demux.h"
#include "core/spill.h"
#include "tests/support/media_check.h"
#include "tests/support/test_media.h"

namespace {

constexpr std::int64_t second = 10'000'000;

struct Expect {
    std::size_t frames;
    double duration;
    std::size_t audio_frames = 0; // 0: not counted
};

void expect_plays(std::filesystem::path const& clip, char const* codec, Expect expect, bool with_audio)
{
    std::string errors;
    auto info = media::probe(clip, &errors);
    ASSERT_FALSE(info.is_null()) << errors;
    EXPECT_EQ(errors, "");
    auto const& video = info["streams"][0];
    EXPECT_EQ(video["codec_name"], codec);
    EXPECT_EQ(video["width"], 320);
    EXPECT_EQ(video["height"], 240);
    EXPECT_EQ(video["nb_read_packets"], std::to_string(expect.frames));
    EXPECT_NEAR(std::stod(info["format"]["duration"].get<std::string>()), expect.duration, 0.05);
    ASSERT_EQ(info["streams"].size(), with_audio ? 2u : 1u);
    if (with_audio) {
        EXPECT_EQ(info["streams"][1]["codec_name"], "aac");
        EXPECT_EQ(info["streams"][1]["sample_rate"], "48000");
        EXPECT_EQ(info["streams"][1]["channels"], 2);
        if (expect.audio_frames) {
            EXPECT_EQ(info["streams"][1]["nb_read_packets"], std::to_string(expect.audio_frames));
        }
    }
    auto frames = media::probe_frames(clip);
    ASSERT_TRUE(frames.contains("frames"));
    EXPECT_EQ(frames["frames"].size(), expect.frames);
    EXPECT_EQ(frames["frames"][0]["key_frame"], 1);
    EXPECT_EQ(media::decode_errors(clip), "");
    if (media::have_tool("gst-launch-1.0")) {
        EXPECT_EQ(media::gst_errors(clip), "");
    }
}

mp4::ClipMedia clip_of(test_media::Media const& encoded, std::int64_t audio_shift = 0)
{
    return mp4::ClipMedia { encoded.video, test_media::through_ring(encoded.video_packets),
                            test_media::through_ring(encoded.audio_packets, audio_shift) };
}

constexpr std::int64_t t0 = 4'321 * 10'000'000ll; // recordings start anywhere on the engine clock

// Feeds the packets as the recording thread receives them: both streams merged in time order.
Result<mp4::RecordingSummary> record(std::filesystem::path const& path, test_media::Media const& encoded,
                                     std::int64_t audio_shift)
{
    auto fd = TRY(files::open_write(path, files::Create::Truncate));
    auto recorder = TRY(mp4::Recorder::start(std::move(fd), encoded.video.codec));
    std::size_t a = 0;
    auto const& audio = encoded.audio_packets;
    for (auto packet : encoded.video_packets) {
        packet.time += t0;
        while (a < audio.size() && audio[a].time + t0 + audio_shift <= packet.time) {
            Packet frame = audio[a++];
            frame.time += t0 + audio_shift;
            TRY_VOID(recorder.push_audio(frame));
        }
        TRY_VOID(recorder.push_video(packet));
    }
    for (; a < audio.size(); ++a) {
        Packet frame = audio[a];
        frame.time += t0 + audio_shift;
        TRY_VOID(recorder.push_audio(frame));
    }
    return recorder.finish(encoded.video, &encoded.audio);
}

} // namespace

class Mp4RealMedia : public media::MediaTest { };

TEST_F(Mp4RealMedia, EveryCodecPlaysInOutsideTools)
{
    struct Row {
        Codec codec;
        char const* name;
        char const* file;
        bool with_audio;
        std::int64_t audio_shift;
    };
    Row const rows[] = {
        { Codec::H264, "h264", "h264", true, 0 },
        { Codec::Hevc, "hevc", "hevc", true, 0 },
        { Codec::Av1, "av1", "av1", true, 0 },
        { Codec::H264, "h264", "late audio", true, 300'000 },
        { Codec::Hevc, "hevc", "silent", false, 0 },
    };
    for (auto const& row : rows) {
        SCOPED_TRACE(row.file);
        auto encoded = test_media::encode(row.codec, 3, 30, 320, 240);
        ASSERT_TRUE(encoded) << encoded.error();
        ASSERT_EQ(encoded->video_packets.size(), 90u);
        auto media = clip_of(*encoded, row.audio_shift);
        if (!row.with_audio)
            media.audio_samples.clear();
        auto summary = mp4::write_mp4_file(dir(), row.file, media,
                                           row.with_audio ? std::optional(encoded->audio) : std::nullopt);
        ASSERT_TRUE(summary) << summary.error();
        auto clip = dir() / (std::string(row.file) + ".mp4");
        EXPECT_EQ(summary->video_count, 90u);
        EXPECT_EQ(summary->bytes, std::filesystem::file_size(clip));
        double const seconds = 3.0 + double(row.audio_shift) / second;
        expect_plays(clip, row.name, { 90, seconds }, row.with_audio);
        if (row.audio_shift) {
            auto info = media::probe(clip);
            EXPECT_EQ(info["streams"][0]["start_time"], "0.000000");
            EXPECT_EQ(info["streams"][1]["start_time"], "0.030000");
        }
    }
}

TEST_F(Mp4RealMedia, ClipCutFromARingWithSpilledPayloadsPlays)
{
    auto encoded = test_media::encode(Codec::Av1, 3, 30, 320, 240);
    ASSERT_TRUE(encoded) << encoded.error();
    // A 1.5 s window drops the first keyframe group once the ring reaches 2.97 s.
    ring::Ring video(1);
    video.window = 15 * second / 10;
    for (auto const& packet : encoded->video_packets)
        video.push(packet);
    ASSERT_EQ(video.samples.front().time, 1 * second);
    // Move every other payload to a segment file, as the spill thread does.
    auto segment = spill::SpillFile::create_segment(dir() / "7-0.seg");
    ASSERT_TRUE(segment) << segment.error();
    std::uint64_t size = 0;
    for (auto const& [time, data] : video.unspilled_before(25 * second / 10)) {
        if ((time / (second / 30)) % 2)
            continue;
        ASSERT_TRUE((*segment)->write_at(*data, size));
        ASSERT_TRUE(video.mark_spilled(time, data, ring::Spilled { 0, size, *segment }));
        size += data->size();
    }
    ASSERT_LT(video.memory_bytes, video.total_bytes);
    ring::Ring audio(2);
    for (auto const& packet : encoded->audio_packets)
        audio.push(packet);

    mp4::ClipMedia media { encoded->video, video.samples_from_keyframe(15 * second / 10, 4 * second),
                           audio.samples_between(1 * second, 4 * second) };
    video.clear(); // the clip's samples keep their payloads and the segment alive
    ASSERT_EQ(media.video_samples.size(), 60u);
    auto summary = mp4::write_mp4_file(dir(), "cut", media, encoded->audio);
    ASSERT_TRUE(summary) << summary.error();
    expect_plays(dir() / "cut.mp4", "av1", { 60, 2.0 }, true);
}

// Times past 32 bits of their units keep their length in the 64-bit form of their boxes instead of wrapping: a
// video track of 14 hours at 90 kHz (mdhd, tkhd), audio 2^32 ms late (elst, and the movie's length in mvhd).
TEST_F(Mp4RealMedia, TimesPast32BitsKeepTheirLength)
{
    auto encoded = test_media::encode(Codec::H264, 3, 30, 320, 240);
    ASSERT_TRUE(encoded) << encoded.error();
    auto const keyframe = test_media::through_ring({ encoded->video_packets.front() }).front();
    mp4::ClipMedia clip { encoded->video, {}, {} };
    for (std::int64_t t = 0; t <= 14 * 3600 * second; t += 600 * second) { // a keyframe every ten minutes
        clip.video_samples.push_back(keyframe);
        clip.video_samples.back().time = t;
    }
    std::int64_t const late = (std::int64_t { 1 } << 32) * 10'000;
    clip.audio_samples = test_media::through_ring(encoded->audio_packets, late);
    ASSERT_TRUE(mp4::write_mp4_file(dir(), "long", clip, encoded->audio));
    std::string errors;
    auto info = media::probe(dir() / "long.mp4", &errors);
    ASSERT_FALSE(info.is_null()) << errors;
    EXPECT_EQ(errors, "");
    EXPECT_EQ(info["streams"][0]["duration_ts"], 51'000 * 90'000ll); // the last frame lasts as long as the others
    EXPECT_EQ(info["streams"][1]["start_time"], "4294967.296000");
    EXPECT_NEAR(std::stod(info["format"]["duration"].get<std::string>()), 4'294'970.3, 0.1);
}

TEST_F(Mp4RealMedia, EveryCodecRecordsAFileThatPlaysAndReadsBack)
{
    for (Codec codec : all_codecs) {
        char const* name = codec == Codec::H264 ? "h264" : codec == Codec::Hevc ? "hevc" : "av1";
        SCOPED_TRACE(name);
        auto encoded = test_media::encode(codec, 3, 30, 320, 240);
        ASSERT_TRUE(encoded) << encoded.error();
        auto path = dir() / fmt::format("{}.mp4", name);
        std::int64_t audio_shift = 300'000; // the audio starts 30 ms after the video
        auto summary = record(path, *encoded, audio_shift);
        ASSERT_TRUE(summary) << summary.error();
        ASSERT_EQ(summary->bytes, std::filesystem::file_size(path));
        expect_plays(path, name, { 90, 3.03, encoded->audio_packets.size() }, true);

        auto opened = demux::open_file(path);
        ASSERT_TRUE(opened) << opened.error();
        EXPECT_EQ(opened->video.record, encoded->video.record);
        EXPECT_EQ(opened->video.codec, encoded->video.codec);
        ASSERT_EQ(opened->video_samples.size(), encoded->video_packets.size());
        ASSERT_EQ(opened->audio_samples.size(), encoded->audio_packets.size());
        EXPECT_EQ(opened->audio_samples.front().time, audio_shift);
        auto const keys = std::ranges::count_if(encoded->video_packets, [](Packet const& p) { return p.is_keyframe(); });
        EXPECT_EQ(std::ranges::count_if(opened->video_samples, [](demux::SampleRef const& r) { return r.sync == 1; }), keys);
        // 30 fps is 333,333.3 ticks: times come back within the 90 kHz tick that holds them.
        EXPECT_NEAR(double(opened->video_samples.back().time), double(encoded->video_packets.back().time), 112.0);
    }
}
