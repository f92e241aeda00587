// Light copies of real 1080p H.264, HEVC and AV1 clips through the Linux transcoder, judged by ffprobe,
// ffmpeg's decoders and GStreamer's qtdemux.

#include "engine/export.h"

#include <gtest/gtest.h>

#include "base/file_io.h"
#include "core/mp4.h"
#include "library/library.h"
#include "tests/support/media_check.h"
#include "tests/support/test_media.h"

namespace {

// The real transcoder, with every target it was given remembered.
class Recorder final : public platform::Transcoder {
public:
    Recorder()
        : m_real(std::move(*platform::lavc_transcode_driver.open()))
    {
    }

    Result<platform::MediaInfo> probe_media(std::filesystem::path const& source) override
    {
        return m_real->probe_media(source);
    }
    Result<void> transcode_h264(std::filesystem::path const& source, std::filesystem::path const& output,
        platform::TranscodeTarget const& target) override
    {
        targets.push_back(target);
        return m_real->transcode_h264(source, output, target);
    }

    std::vector<platform::TranscodeTarget> targets;

private:
    std::unique_ptr<platform::Transcoder> m_real;
};

class LightCopyRealMedia : public media::MediaTest {
protected:
    void SetUp() override
    {
        MediaTest::SetUp();
        if (IsSkipped())
            return;
        ASSERT_TRUE(library::ensure_meta_dir(dir()));
    }

    // A clip of real samples, over 10 MB, with a sidecar unless `sidecar` is false.
    void make_clip(std::string const& id, test_media::Request const& request, bool sidecar, bool audio = true)
    {
        auto encoded = test_media::encode(request);
        ASSERT_TRUE(encoded) << encoded.error();
        mp4::ClipMedia media { encoded->video, test_media::through_ring(encoded->video_packets),
            audio ? test_media::through_ring(encoded->audio_packets) : std::vector<ring::Sample> {} };
        auto written = mp4::write_mp4_file(dir(), id, media, encoded->audio);
        ASSERT_TRUE(written) << written.error();
        ASSERT_GT(written->bytes, light_copy::light_limit_bytes);
        if (sidecar) {
            library::Clip clip;
            clip.id = id;
            clip.title = "Partie " + id;
            clip.secs = request.seconds;
            clip.bytes = written->bytes;
            clip.width = 1920;
            clip.height = 1080;
            ASSERT_TRUE(library::save_clip_metadata(dir(), clip));
        }
    }

    // Checks the copy against what was asked of its passing attempt.
    void expect_light_copy(light_copy::LightCopy const& copy, std::string const& rate, bool audio = true)
    {
        SCOPED_TRACE(copy.path.string());
        ASSERT_FALSE(recorder.targets.empty());
        auto target = recorder.targets.back();
        EXPECT_LE(copy.bytes, light_copy::light_limit_bytes);
        EXPECT_EQ(copy.bytes, std::filesystem::file_size(copy.path));
        std::string errors;
        auto info = media::probe(copy.path, &errors);
        ASSERT_FALSE(info.is_null()) << errors;
        auto const& video = info["streams"][0];
        EXPECT_EQ(video["codec_name"], "h264");
        EXPECT_EQ(video["profile"], "Main");
        EXPECT_EQ(video["pix_fmt"], "yuv420p");
        EXPECT_EQ(video["color_space"], "bt709");
        EXPECT_EQ(video["color_range"], "tv");
        EXPECT_EQ(video["width"], target.width);
        EXPECT_EQ(video["height"], target.height);
        EXPECT_EQ(video["r_frame_rate"], rate);
        ASSERT_EQ(info["streams"].size(), audio ? 2u : 1u);
        if (audio) {
            auto const& sound = info["streams"][1];
            EXPECT_EQ(sound["codec_name"], "aac");
            EXPECT_EQ(sound["sample_rate"], "48000");
            EXPECT_EQ(sound["channels"], 2);
        }
        // The index right after ftyp, before the media data.
        auto bytes = read_bytes(copy.path);
        ASSERT_GT(bytes.size(), 64u);
        std::size_t ftyp = bytes[0] << 24 | bytes[1] << 16 | bytes[2] << 8 | bytes[3];
        EXPECT_EQ(std::string(bytes.begin() + ftyp + 4, bytes.begin() + ftyp + 8), "moov");
        EXPECT_EQ(media::decode_errors(copy.path), "");
        if (media::have_tool("gst-launch-1.0")) {
            EXPECT_EQ(media::gst_errors(copy.path), "");
        }
    }

    Result<light_copy::LightCopy> copy(std::string_view id)
    {
        return light_copy::make_light_copy(dir(), id, recorder, dir() / "discord");
    }

    Recorder recorder;
};

}

TEST_F(LightCopyRealMedia, EachCodecGivesSmallH264AndAac)
{
    // The HEVC clip has no sound, and its copy no audio track.
    for (std::uint8_t codec : { 0, 1, 2 }) {
        SCOPED_TRACE(int { codec });
        if (codec == 2 && test_media::av1_encoder().empty())
            continue;
        auto id = "codec" + std::to_string(codec);
        make_clip(id,
            { .codec = codec,
                .seconds = 4,
                .fps = 30,
                .width = 1920,
                .height = 1080,
                .bitrate = 25'000'000,
                .noisy = true },
            true, codec != 1);
        auto light = copy(id);
        ASSERT_TRUE(light) << light.error();
        EXPECT_EQ(light->path, dir() / "discord" / ("Partie " + id + ".mp4"));
        expect_light_copy(*light, "30/1", codec != 1);
    }
}

TEST_F(LightCopyRealMedia, ClipWithoutSidecarPassesAtFirstAttempt)
{
    make_clip("nosidecar",
        { .codec = 0, .seconds = 30, .fps = 10, .width = 1920, .height = 1080, .bitrate = 4'000'000, .noisy = true },
        false);
    auto light = copy("nosidecar");
    ASSERT_TRUE(light) << light.error();
    // Measured from the file: without that, the first attempt would aim at 72 Mbit/s and every one would fail.
    auto probed = recorder.probe_media(dir() / "nosidecar.mp4");
    ASSERT_TRUE(probed);
    EXPECT_NEAR(probed->duration_secs, 30.0, 0.1);
    ASSERT_EQ(recorder.targets.size(), 1u);
    EXPECT_EQ(recorder.targets[0], light_copy::plan_attempt(1.0, probed->duration_secs, 1920, 1080));
    expect_light_copy(*light, "10/1");
}

TEST_F(LightCopyRealMedia, UnfinishedRecordingIsRefused)
{
    // What a recording holds while it grows: the file type and media data, no index yet.
    auto bytes = mp4::write_ftyp(0);
    mp4::write_mdat_header(bytes, 100'000);
    bytes.resize(bytes.size() + 100'000, 0x42);
    ASSERT_TRUE(files::atomic_replace(dir() / "live.mp4", dir() / "live.part", bytes));
    auto light = copy("live");
    ASSERT_FALSE(light);
    EXPECT_TRUE(light.error().starts_with("Version légère impossible : ")) << light.error();
    EXPECT_TRUE(recorder.targets.empty());
}
