// Recordings of real H.264, HEVC and AV1 video with AAC audio by the growing-file recorder, and a clip of times
// past 32 bits by the clip writer, judged by tools nobody here wrote: ffprobe, ffmpeg's decoders and GStreamer's
// qtdemux. Recordings are then read back by our own reader. (The clip writer's files of each codec are judged
// where trims and light copies read them.)

#include "core/mp4.h"
#include "core/mp4_recorder.h"

#include <gtest/gtest.h>

#include "core/demux.h"
#include "tests/support/media_check.h"
#include "tests/support/test_media.h"

namespace {

constexpr std::int64_t second = 10'000'000;

struct Expect {
    std::size_t frames;
    double duration;
    std::size_t audio_frames;
};

void expect_plays(std::filesystem::path const& clip, char const* codec, Expect expect)
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
    ASSERT_EQ(info["streams"].size(), 2u);
    EXPECT_EQ(info["streams"][1]["codec_name"], "aac");
    EXPECT_EQ(info["streams"][1]["sample_rate"], "48000");
    EXPECT_EQ(info["streams"][1]["channels"], 2);
    EXPECT_EQ(info["streams"][1]["nb_read_packets"], std::to_string(expect.audio_frames));
    // The edit lists keep each track's start: the sound comes 30 ms after the picture.
    EXPECT_EQ(video["start_time"], "0.000000");
    EXPECT_EQ(info["streams"][1]["start_time"], "0.030000");
    auto frames = media::probe_frames(clip);
    ASSERT_TRUE(frames.contains("frames"));
    EXPECT_EQ(frames["frames"].size(), expect.frames);
    EXPECT_EQ(frames["frames"][0]["key_frame"], 1);
    EXPECT_EQ(media::decode_errors(clip), "");
    if (media::have_tool("gst-launch-1.0")) {
        EXPECT_EQ(media::gst_errors(clip), "");
    }
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
        expect_plays(path, name, { 90, 3.03, encoded->audio_packets.size() });

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
