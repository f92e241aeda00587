// Recordings of real H.264, HEVC and AV1 video with AAC audio, written by the growing-file recorder, judged by
// ffprobe, ffmpeg's decoders and GStreamer's qtdemux, then read back by our own reader.

#include "core/mp4_recorder.h"

#include <gtest/gtest.h>

#include "core/demux.h"
#include "tests/support/media_check.h"
#include "tests/support/test_media.h"

namespace {

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

class Mp4RecorderRealMedia : public media::MediaTest { };

}

TEST_F(Mp4RecorderRealMedia, EveryCodecPlaysInOutsideToolsAndReadsBack)
{
    struct Row {
        std::uint8_t codec;
        char const* name;
    };
    Row const rows[] = { { 0, "h264" }, { 1, "hevc" }, { 2, "av1" } };
    for (auto const& row : rows) {
        SCOPED_TRACE(row.name);
        auto encoded = test_media::encode(row.codec, 3, 30, 320, 240);
        ASSERT_TRUE(encoded) << encoded.error();
        auto path = dir() / fmt::format("{}.mp4", row.name);
        std::int64_t audio_shift = 300'000; // the audio starts 30 ms after the video
        auto summary = record(path, *encoded, audio_shift);
        ASSERT_TRUE(summary) << summary.error();

        auto bytes = read_bytes(path);
        ASSERT_EQ(summary->bytes, bytes.size());

        std::string errors;
        auto info = media::probe(path, &errors);
        ASSERT_FALSE(info.is_null()) << errors;
        EXPECT_EQ(errors, "");
        ASSERT_EQ(info["streams"].size(), 2u);
        EXPECT_EQ(info["streams"][0]["codec_name"], row.name);
        EXPECT_EQ(info["streams"][0]["width"], 320);
        EXPECT_EQ(info["streams"][0]["nb_read_packets"], std::to_string(encoded->video_packets.size()));
        EXPECT_EQ(info["streams"][1]["codec_name"], "aac");
        EXPECT_EQ(info["streams"][1]["nb_read_packets"], std::to_string(encoded->audio_packets.size()));
        EXPECT_NEAR(std::stod(info["format"]["duration"].get<std::string>()), 3.0, 0.1);
        EXPECT_EQ(media::decode_errors(path), "");
        if (media::have_tool("gst-launch-1.0")) {
            EXPECT_EQ(media::gst_errors(path), "");
        }

        auto opened = demux::open_file(path);
        ASSERT_TRUE(opened) << opened.error();
        EXPECT_EQ(opened->video.record, encoded->video.record);
        EXPECT_EQ(opened->video.codec, row.codec);
        ASSERT_EQ(opened->video_samples.size(), encoded->video_packets.size());
        ASSERT_EQ(opened->audio_samples.size(), encoded->audio_packets.size());
        EXPECT_EQ(opened->audio_samples.front().time, audio_shift);
        auto const keys = std::ranges::count_if(encoded->video_packets, [](Packet const& p) { return p.is_keyframe(); });
        EXPECT_EQ(std::ranges::count_if(opened->video_samples, [](demux::SampleRef const& r) { return r.sync == 1; }), keys);
        // 30 fps is 333,333.3 ticks: times come back within the 90 kHz tick that holds them.
        EXPECT_NEAR(double(opened->video_samples.back().time), double(encoded->video_packets.back().time), 112.0);
    }
}
