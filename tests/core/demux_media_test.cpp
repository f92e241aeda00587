// The reader against files that ffmpeg wrote, judged by ffprobe's own packet list.

#include "core/demux.h"

#include <gtest/gtest.h>

#include "tests/support/media_check.h"

namespace {

struct ProbedPacket {
    std::int64_t dts { 0 };
    std::uint64_t pos { 0 };
    std::uint32_t size { 0 };
    bool key { false };
};

struct ProbedStream {
    std::int64_t time_base_num { 1 };
    std::int64_t time_base_den { 1 };
    std::vector<ProbedPacket> packets;
};

// ffprobe's packets per stream index.
std::map<int, ProbedStream> probe_packets(std::filesystem::path const& path)
{
    auto result = media::run({ "sh", "-c",
                               "ffprobe -v error -of json -show_entries packet=stream_index,dts,pos,size,flags "
                               "-show_entries stream=index,time_base \"$0\" 2>/dev/null",
                               path.string() });
    std::map<int, ProbedStream> streams;
    auto json = nlohmann::json::parse(result.output, nullptr, false);
    if (json.is_discarded())
        return streams;
    for (auto const& stream : json["streams"]) {
        auto time_base = stream["time_base"].get<std::string>();
        auto slash = time_base.find('/');
        auto& entry = streams[stream["index"].get<int>()];
        entry.time_base_num = std::stoll(time_base.substr(0, slash));
        entry.time_base_den = std::stoll(time_base.substr(slash + 1));
    }
    for (auto const& packet : json["packets"]) {
        streams[packet["stream_index"].get<int>()].packets.push_back(
            { packet["dts"].get<std::int64_t>(), std::stoull(packet["pos"].get<std::string>()),
              static_cast<std::uint32_t>(std::stoul(packet["size"].get<std::string>())),
              packet["flags"].get<std::string>().starts_with("K") });
    }
    return streams;
}

// Our times are decode times from the track's start; ffprobe's dts are shifted by the edit list, so both are
// compared from each track's first sample.
void expect_same(std::vector<demux::SampleRef> const& refs, ProbedStream const& probed, bool check_sync)
{
    ASSERT_EQ(refs.size(), probed.packets.size());
    for (std::size_t i = 0; i < refs.size(); ++i) {
        SCOPED_TRACE(i);
        auto const& packet = probed.packets[i];
        EXPECT_EQ(refs[i].offset, packet.pos);
        EXPECT_EQ(refs[i].size, packet.size);
        if (check_sync) {
            EXPECT_EQ(refs[i].sync == 1, packet.key);
        }
        std::int64_t expected = static_cast<std::int64_t>(static_cast<__int128>(packet.dts - probed.packets[0].dts)
                                                          * 10'000'000 * probed.time_base_num / probed.time_base_den);
        EXPECT_EQ(refs[i].time - refs[0].time, expected);
    }
}

class DemuxFfmpegFile : public media::MediaTest { };

}

TEST_F(DemuxFfmpegFile, ReadsH264AndAacAsFfprobeDoes)
{
    struct Row {
        char const* name;
        std::vector<std::string> options;
    };
    Row const rows[] = {
        { "index at the end, B-frames", {} },
        { "fast start, no B-frames", { "-bf", "0", "-movflags", "+faststart" } },
    };
    for (auto const& row : rows) {
        SCOPED_TRACE(row.name);
        auto path = dir() / "ffmpeg.mp4";
        std::vector<std::string> argv = { "ffmpeg", "-nostdin", "-v", "error", "-y", "-f", "lavfi", "-i",
                                          "testsrc=size=160x120:rate=25:duration=3", "-f", "lavfi", "-i",
                                          "sine=duration=3:sample_rate=48000", "-c:v", "libx264", "-g", "12",
                                          "-c:a", "aac", "-ac", "2", "-b:a", "96k" };
        argv.insert(argv.end(), row.options.begin(), row.options.end());
        argv.push_back(path.string());
        auto made = media::run(argv);
        ASSERT_EQ(made.status, 0) << made.output;

        auto opened = demux::open_file(path);
        ASSERT_TRUE(opened) << opened.error();
        EXPECT_EQ(opened->video.codec, Codec::H264);
        EXPECT_EQ(opened->video.width, 160u);
        EXPECT_EQ(opened->video.height, 120u);
        EXPECT_FALSE(opened->video.record.empty());
        ASSERT_TRUE(opened->audio);
        EXPECT_EQ(opened->audio->sample_rate, 48'000u);
        EXPECT_EQ(opened->audio->channels, 2u);

        auto probed = probe_packets(path);
        ASSERT_EQ(probed.size(), 2u);
        expect_same(opened->video_samples, probed[0], true);
        // ffprobe marks audio packets from the packet flags of its parser; every AAC frame is a sync sample.
        expect_same(opened->audio_samples, probed[1], false);
        for (auto const& ref : opened->audio_samples)
            EXPECT_EQ(ref.sync, 1);
        auto keys = std::count_if(opened->video_samples.begin(), opened->video_samples.end(),
                                  [](demux::SampleRef const& ref) { return ref.sync == 1; });
        EXPECT_EQ(keys, 7); // 75 frames, a keyframe every 12
    }
}
