#include "core/mp4.h"

#include <numeric>

#include <gtest/gtest.h>

#include "core/demux.h"
#include "core/spill.h"
#include "tests/support/temp_dir.h"

using mp4::Bytes;
using testing_support::TempDirTest;

namespace {

constexpr std::int64_t second = 10'000'000;

ring::Sample memory_sample(std::int64_t time, bool key, std::size_t size)
{
    return ring::Sample { ring::Memory { make_shared_bytes(Bytes(size, 0)) }, time,
                          static_cast<std::uint8_t>(key ? 1 : 0) };
}

mp4::VideoConfig video_config() { return mp4::VideoConfig { { 1, 66, 0xC0, 30, 0xFF, 0xE1, 0, 0, 1, 0, 0 }, 320, 240, Codec::H264 }; }

} // namespace

TEST(Mp4SampleDurations, ClampsAndNeverDrifts)
{
    struct Row {
        char const* name;
        std::vector<std::int64_t> times;
        std::vector<std::uint32_t> durations;
    };
    Row const rows[] = {
        { "empty", {}, {} },
        { "decreasing time gives zero", { 0, 200'000, 100'000 }, { 20, 0, 777 } },
        { "gap beyond 32 bits is clamped", { 0, 1'000'000'000 * second }, { 0xFFFFFFFF, 777 } },
    };
    for (auto const& row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(mp4::sample_durations(row.times, 1000, 0, 777), row.durations);
    }
    // 60 fps for ten seconds: each duration rounds, yet the sum is exactly the span.
    std::vector<std::int64_t> times;
    for (int i = 0; i <= 600; ++i)
        times.push_back(i * second / 60);
    auto d = mp4::sample_durations(times, 90000, 0, 0);
    d.pop_back();
    EXPECT_EQ(std::accumulate(d.begin(), d.end(), std::uint64_t { 0 }), 900000u);
}

// A corrupt time centuries ahead: one round, not one per second in between.
TEST(Mp4Layout, FarTimesTakeOneRoundEach)
{
    std::vector<ring::Sample> far { memory_sample(-5, true, 1), memory_sample(4'000'000'000'000'000'000, false, 1),
                                    memory_sample(std::numeric_limits<std::int64_t>::max(), false, 1) };
    EXPECT_EQ(mp4::lay_out_clip(far, {}).order.size(), 3u);
}

class Mp4WriteFile : public TempDirTest { };

// A part file that cannot be made is the saver's test of a clips folder that is a file
// (tests/engine/saver_media_test.cpp); here, the other failures.
TEST_F(Mp4WriteFile, FailuresLeaveNoPartAndNeverTouchTheFinalFile)
{
    mp4::ClipMedia good;
    good.video = video_config();
    for (int i = 0; i < 30; ++i)
        good.video_samples.push_back(memory_sample(i * second / 30, i == 0, 10));
    auto no_keyframe = good;
    no_keyframe.video_samples.erase(no_keyframe.video_samples.begin());
    auto short_segment = good;
    auto segment = spill::SpillFile::create_segment(dir() / "1-0.seg");
    ASSERT_TRUE(segment);
    short_segment.video_samples[3].payload = ring::Spilled { 10, 0, *segment };
    std::filesystem::create_directory(dir() / "move.mp4"); // the move fails: a folder holds the name
    struct Row {
        char const* name;
        mp4::ClipMedia const& media;
        char const* error_end;
    };
    Row const rows[] = {
        { "move", good, "" },
        { "short", short_segment, "failed to fill whole buffer" },
        { "nokey", no_keyframe, "clip must start on a keyframe" },
    };
    for (auto const& row : rows) {
        SCOPED_TRACE(row.name);
        auto final_path = dir() / fmt::format("{}.mp4", row.name);
        if (!std::filesystem::exists(final_path)) {
            write_file(final_path.filename(), "earlier clip");
        }
        auto written = mp4::write_mp4_file(dir(), row.name, row.media, std::nullopt);
        ASSERT_FALSE(written);
        EXPECT_TRUE(written.error().starts_with("Écriture impossible : ")) << written.error();
        EXPECT_TRUE(written.error().ends_with(row.error_end)) << written.error();
        EXPECT_FALSE(std::filesystem::is_regular_file(dir() / fmt::format("{}.mp4.part", row.name)));
        if (!std::filesystem::is_directory(final_path)) {
            EXPECT_EQ(read_file(final_path), "earlier clip");
        }
    }
}

// B-frames keep where they are shown: the clip reads back with each frame shown where it was, the keyframe
// at the start and the clip as long as the frames shown. A frame decoded after the keyframe but shown before
// it (an open GOP's leading frame) falls before the start.
TEST_F(Mp4WriteFile, FramesShownOutOfDecodeOrderKeepTheirPlace)
{
    // Decoded I P B B P B B L, shown I B B P B B P, 10 frames a second, 0.2 s after their decode times
    // (as a demuxed file has them); L is shown before the I.
    std::vector<std::int64_t> const shown { 2, 5, 3, 4, 8, 6, 7, 1 };
    mp4::ClipMedia media;
    media.video = video_config();
    for (std::int64_t i = 0; i < std::ssize(shown); ++i) {
        media.video_samples.push_back(memory_sample(i * second / 10, i == 0, 10));
        media.video_samples.back().composition = static_cast<std::int32_t>((shown[i] - i) * second / 10);
    }
    auto written = mp4::write_mp4_file(dir(), "reordered", media, std::nullopt);
    ASSERT_TRUE(written) << written.error();
    EXPECT_EQ(written->duration_ticks, 7 * second / 10); // I to the end of the last P

    auto opened = demux::open_file(dir() / "reordered.mp4");
    ASSERT_TRUE(opened) << opened.error();
    ASSERT_EQ(opened->video_samples.size(), shown.size());
    for (std::size_t i = 0; i < shown.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(opened->video_samples[i].time, std::int64_t(i) * second / 10);
        EXPECT_EQ(opened->video_samples[i].shown(), (shown[i] - 2) * second / 10);
    }
}
