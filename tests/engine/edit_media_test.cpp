// Trims and light copies of real H.264, HEVC and AV1 clips, judged by ffprobe, ffmpeg's decoders and
// GStreamer's qtdemux. A trim must hold the source's own samples (ffprobe's packet hashes) from the keyframe
// before its start to its end; a light copy is small H.264 Main and AAC through the Linux transcoder.

#include <sstream>

#include <gtest/gtest.h>

#include "base/file_io.h"
#include "core/mp4.h"
#include "engine/export.h"
#include "engine/trim.h"
#include "library/settings.h"
#include "tests/engine/engine_rig.h"

namespace {

using engine_rig::expect_decodes;
using engine_rig::write_clip;

struct Packets {
    std::vector<std::string> hashes;
    std::vector<double> times;
    std::vector<bool> keys;
};

// ffprobe's packets of stream `index`, in file order.
Packets probe_packets(std::filesystem::path const& path, int index)
{
    auto result = media::run({ "ffprobe", "-v", "error", "-of", "json", "-show_data_hash", "MD5", "-select_streams",
        std::to_string(index), "-show_entries", "packet=pts_time,flags,data_hash", path.string() });
    Packets packets;
    auto json = nlohmann::json::parse(result.output, nullptr, false);
    EXPECT_FALSE(json.is_discarded()) << result.output;
    if (json.is_discarded())
        return packets;
    for (auto const& packet : json["packets"]) {
        packets.hashes.push_back(packet["data_hash"]);
        packets.times.push_back(std::stod(packet["pts_time"].get<std::string>()));
        packets.keys.push_back(packet["flags"].get<std::string>().starts_with("K"));
    }
    return packets;
}

// The hashes of the packets with from <= time < to.
std::vector<std::string> between(Packets const& packets, double from, double to)
{
    std::vector<std::string> hashes;
    for (std::size_t i = 0; i < packets.times.size(); ++i) {
        if (packets.times[i] >= from - 1e-6 && packets.times[i] < to - 1e-6)
            hashes.push_back(packets.hashes[i]);
    }
    return hashes;
}

class TrimRealMedia : public engine_rig::MediaFolder, public testing::WithParamInterface<Codec> { };

// A video that other software wrote into the clips folder: ffmpeg's own MP4 with B-frames (the libx264 and
// libx265 default presets), frames stored in decode order and shown in another.
class TrimReorderedMedia : public engine_rig::MediaFolder, public testing::WithParamInterface<Codec> { };

// The MD5 of each decoded picture of the first video stream, in the order they are shown.
std::vector<std::string> decoded_frames(std::filesystem::path const& path)
{
    auto result = media::run({ "ffmpeg", "-nostdin", "-v", "error", "-i", path.string(), "-map", "0:v:0", "-f",
        "framemd5", "-" });
    EXPECT_EQ(result.status, 0) << result.output;
    std::vector<std::string> hashes;
    std::istringstream lines(result.output);
    for (std::string line; std::getline(lines, line);) {
        if (!line.empty() && line[0] != '#')
            hashes.push_back(line.substr(line.rfind(',') + 2));
    }
    return hashes;
}

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

class LightCopyRealMedia : public engine_rig::MediaFolder {
protected:
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
        expect_decodes(copy.path);
    }

    Result<light_copy::LightCopy> copy(std::string_view id)
    {
        return light_copy::make_light_copy(dir(), id, recorder, dir() / "discord");
    }

    Recorder recorder;
};

}

TEST_P(TrimRealMedia, CopiesTheSourcesPacketsFromTheKeyframeBefore)
{
    Codec codec = GetParam();
    if (codec == Codec::Av1 && test_media::av1_encoder().empty())
        GTEST_SKIP() << "no AV1 encoder in this ffmpeg";
    constexpr int fps = 30;
    // Keyframes every 1.5 s: the one at or before 2 s is at 1.5 s.
    auto encoded = test_media::encode({ .codec = codec, .seconds = 10, .fps = fps, .keyframe_interval = 45 });
    ASSERT_TRUE(encoded) << encoded.error();
    ASSERT_TRUE(write_clip(dir(), "source", *encoded));
    auto source_path = dir() / "source.mp4";
    auto source_bytes = read_bytes(source_path);
    std::filesystem::remove_all(dir() / ".quillmar"); // deleted by the player: the trim makes it again

    auto cut = trim::cut_clip(dir(), "source", 2.0, 7.0);
    ASSERT_TRUE(cut) << cut.error();
    auto path = dir() / (cut->id + ".mp4");

    auto source_video = probe_packets(source_path, 0), video = probe_packets(path, 0);
    ASSERT_FALSE(video.hashes.empty());
    EXPECT_TRUE(video.keys.front());
    EXPECT_EQ(video.hashes, between(source_video, 1.5, 7.0));
    // The last frame is the one shown at 7 s.
    EXPECT_NEAR(1.5 + video.times.back(), 7.0 - 1.0 / fps, 0.5 / fps);
    EXPECT_NEAR(cut->secs, 5.5, 1e-3);
    EXPECT_EQ(probe_packets(path, 1).hashes, between(probe_packets(source_path, 1), 1.5, 7.0));
    expect_decodes(path);
    EXPECT_EQ(read_bytes(source_path), source_bytes);
}

INSTANTIATE_TEST_SUITE_P(Codecs, TrimRealMedia, testing::ValuesIn(all_codecs), [](auto const& info) {
    return std::string(settings::codec_name(info.param));
});

TEST_P(TrimReorderedMedia, ShowsTheSourcesFramesInTheirOrder)
{
    Codec codec = GetParam();
    constexpr int fps = 30;
    auto source_path = dir() / "source.mp4";
    // A keyframe a second; libx265 leaves its GOPs open, so frames decoded after a keyframe can be shown
    // before it (and cannot be decoded without the frames before it).
    std::vector<std::string> video_args = codec == Codec::H264
        ? std::vector<std::string> { "-c:v", "libx264", "-g", "30" }
        : std::vector<std::string> { "-c:v", "libx265", "-x265-params", "log-level=error:keyint=30" };
    std::vector<std::string> command { "ffmpeg", "-nostdin", "-v", "error", "-y", "-f", "lavfi", "-i",
        "testsrc2=size=320x240:rate=30", "-f", "lavfi", "-i", "sine=frequency=440:sample_rate=48000", "-t", "4",
        "-pix_fmt", "yuv420p" };
    command.insert(command.end(), video_args.begin(), video_args.end());
    command.insert(command.end(), { "-c:a", "aac", source_path.string() });
    auto made = media::run(command);
    ASSERT_EQ(made.status, 0) << made.output;
    auto probed = media::probe(source_path);
    ASSERT_FALSE(probed.is_null());
    ASSERT_EQ(probed["streams"][0]["has_b_frames"], 2);
    auto source = decoded_frames(source_path);
    ASSERT_EQ(source.size(), 4u * fps);

    // A cut starts on the keyframe shown at or before its start: from 1.2 s the one shown at 1 s; from
    // 1 s that same one, not the one before; from 0.95 s the first, although the one shown at 1 s is decoded
    // before 0.95 s. A cut that ends inside the file ends where no frame shown before its last one is decoded
    // after it, a few frames early at most.
    struct Row {
        double from;
        double to;
        std::size_t first;
        std::size_t fewest;
    };
    Row const rows[] = { { 1.2, 1e9, fps, 3 * fps }, { 1.2, 3.0, fps, 2 * fps - 3 }, { 1.0, 2.0, fps, fps - 3 },
        { 0.95, 2.0, 0, 2 * fps - 3 } };
    for (auto const& row : rows) {
        SCOPED_TRACE(testing::Message() << row.from << " " << row.to);
        auto cut = trim::cut_clip(dir(), "source", row.from, row.to);
        ASSERT_TRUE(cut) << cut.error();
        auto path = dir() / (cut->id + ".mp4");
        expect_decodes(path);
        auto frames = decoded_frames(path);
        ASSERT_GE(frames.size(), row.fewest);
        ASSERT_LE(row.first + frames.size(), source.size());
        EXPECT_EQ(frames, std::vector(source.begin() + row.first, source.begin() + row.first + frames.size()));
        EXPECT_NEAR(cut->secs, double(frames.size()) / fps, 0.5 / fps);
        auto info = media::probe(path);
        ASSERT_FALSE(info.is_null());
        EXPECT_EQ(info["streams"][0]["start_time"], "0.000000");
        EXPECT_NEAR(std::stod(info["streams"][1]["start_time"].get<std::string>()), 0.0, 0.03);
    }
}

INSTANTIATE_TEST_SUITE_P(Codecs, TrimReorderedMedia, testing::Values(Codec::H264, Codec::Hevc),
    [](auto const& info) { return std::string(settings::codec_name(info.param)); });

TEST_F(LightCopyRealMedia, EachCodecGivesSmallH264AndAac)
{
    // Clips of real samples, over 10 MB. The HEVC clip has no sound, and its copy no audio track. The H.264
    // clip has no sidecar: its duration is measured from the file, or the first attempt would aim at
    // 72 Mbit/s and every one would fail.
    for (Codec codec : all_codecs) {
        SCOPED_TRACE(int(codec));
        if (codec == Codec::Av1 && test_media::av1_encoder().empty())
            continue;
        auto encoded = test_media::encode({ .codec = codec,
            .seconds = 4,
            .fps = 30,
            .width = 1920,
            .height = 1080,
            .bitrate = 25'000'000,
            .noisy = true });
        ASSERT_TRUE(encoded) << encoded.error();
        auto id = "codec" + std::to_string(int(codec));
        auto written = write_clip(dir(), id, *encoded, codec != Codec::Hevc);
        ASSERT_TRUE(written) << written.error();
        ASSERT_GT(written->bytes, light_copy::light_limit_bytes);
        if (codec != Codec::H264) {
            library::Clip clip;
            clip.id = id;
            clip.title = "Partie " + id;
            clip.secs = 4;
            clip.bytes = written->bytes;
            clip.width = 1920;
            clip.height = 1080;
            ASSERT_TRUE(library::save_clip_metadata(dir(), clip));
        }
        recorder.targets.clear();
        auto light = copy(id);
        ASSERT_TRUE(light) << light.error();
        if (codec == Codec::H264) {
            auto probed = recorder.probe_media(dir() / "codec0.mp4");
            ASSERT_TRUE(probed);
            EXPECT_NEAR(probed->duration_secs, 4.0, 0.1);
            EXPECT_EQ(recorder.targets.front(), light_copy::plan_attempt(1.0, probed->duration_secs, 1920, 1080));
        } else {
            EXPECT_EQ(light->path, dir() / "discord" / ("Partie " + id + ".mp4"));
        }
        expect_light_copy(*light, "30/1", codec != Codec::Hevc);
    }
}

TEST_F(LightCopyRealMedia, UnfinishedRecordingIsRefused)
{
    // What a recording holds while it grows: the file type and media data, no index yet.
    auto bytes = mp4::write_ftyp(Codec::H264);
    mp4::write_mdat_header(bytes, 100'000);
    bytes.resize(bytes.size() + 100'000, 0x42);
    ASSERT_TRUE(files::atomic_replace(dir() / "live.mp4", dir() / "live.part", bytes));
    auto light = copy("live");
    ASSERT_FALSE(light);
    EXPECT_TRUE(light.error().starts_with("Version légère impossible : ")) << light.error();
    EXPECT_TRUE(recorder.targets.empty());
}
