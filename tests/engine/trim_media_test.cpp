// Trim on real H.264, HEVC and AV1 clips with AAC: ffprobe's packet hashes show that the new clip holds the
// source's own samples from the keyframe before the start to the end, and ffmpeg and GStreamer decode it.

#include "engine/trim.h"

#include <gtest/gtest.h>

#include "core/mp4.h"
#include "library/library.h"
#include "tests/support/media_check.h"
#include "tests/support/test_media.h"

namespace {

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

class TrimRealMedia : public media::MediaTest, public testing::WithParamInterface<std::uint8_t> { };

}

TEST_P(TrimRealMedia, CopiesTheSourcesPacketsFromTheKeyframeBefore)
{
    std::uint8_t codec = GetParam();
    if (codec == 2 && test_media::av1_encoder().empty())
        GTEST_SKIP() << "no AV1 encoder in this ffmpeg";
    constexpr int fps = 30;
    // Keyframes every 1.5 s: the one at or before 2 s is at 1.5 s.
    auto encoded = test_media::encode({ .codec = codec, .seconds = 10, .fps = fps, .keyframe_interval = 45 });
    ASSERT_TRUE(encoded) << encoded.error();
    ASSERT_TRUE(library::ensure_meta_dir(dir()));
    mp4::ClipMedia media { encoded->video, test_media::through_ring(encoded->video_packets),
        test_media::through_ring(encoded->audio_packets) };
    ASSERT_TRUE(mp4::write_mp4_file(dir(), "source", media, encoded->audio));
    auto source_path = dir() / "source.mp4";
    auto source_bytes = read_bytes(source_path);

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

    EXPECT_EQ(media::decode_errors(path), "");
    if (media::have_tool("gst-launch-1.0")) {
        EXPECT_EQ(media::gst_errors(path), "");
    }
    EXPECT_EQ(read_bytes(source_path), source_bytes);
}

INSTANTIATE_TEST_SUITE_P(Codecs, TrimRealMedia, testing::Values(0, 1, 2), [](auto const& info) {
    return std::string(info.param == 0 ? "H264" : info.param == 1 ? "Hevc" : "Av1");
});
