// Trim on clips of marked bytes: the writer indexes any payload, and the marks tell which file and which
// sample every copied byte came from.

#include "engine/trim.h"

#include <cmath>
#include <limits>

#include <gtest/gtest.h>

#include "base/file_io.h"
#include "core/demux.h"
#include "core/mp4.h"
#include "library/library.h"
#include "tests/support/temp_dir.h"

namespace {

constexpr std::int64_t second = mp4::ticks_per_second;
constexpr double not_a_number = std::numeric_limits<double>::quiet_NaN();
constexpr double inf = std::numeric_limits<double>::infinity();

struct Source {
    int seconds { 10 };
    int fps { 10 };
    int keyframe_every { 10 }; // frames
    std::uint8_t mark { 'A' };
};

// Sample i of the video holds its number and the file's mark, so a copied sample shows where it came from.
std::vector<ring::Sample> marked(std::size_t count, std::int64_t step, int sync_every, std::uint8_t mark)
{
    std::vector<ring::Sample> samples;
    for (std::size_t i = 0; i < count; ++i) {
        std::vector<std::uint8_t> bytes(100, mark);
        bytes[0] = static_cast<std::uint8_t>(i);
        samples.push_back({ ring::Memory { make_shared_bytes(std::move(bytes)) }, static_cast<std::int64_t>(i) * step,
            static_cast<std::uint8_t>(i % sync_every == 0 ? 1 : 0) });
    }
    return samples;
}

class TrimFolder : public testing_support::TempDirTest {
protected:
    void SetUp() override
    {
        TempDirTest::SetUp();
        ASSERT_TRUE(library::ensure_meta_dir(dir()));
    }

    void make(std::string const& id, Source const& s, library::Clip record = {})
    {
        mp4::ClipMedia media;
        media.video = { { 1, 2, 3 }, 640, 360, Codec::Hevc };
        media.video_samples = marked(s.seconds * s.fps, second / s.fps, s.keyframe_every, s.mark);
        media.audio_samples = marked(s.seconds * 40, second / 40, 1, s.mark);
        ASSERT_TRUE(mp4::write_mp4_file(dir(), id, media, mp4::AudioConfig { 48'000, 128'000, 2 }));
        record.id = id;
        ASSERT_TRUE(library::save_clip_metadata(dir(), record));
    }

    std::vector<std::uint8_t> sample_bytes(std::filesystem::path const& path, demux::SampleRef const& ref)
    {
        std::vector<std::uint8_t> bytes(ref.size);
        auto fd = files::open_read(path);
        EXPECT_TRUE(fd && files::pread_exact(fd->get(), std::span(bytes), ref.offset));
        return bytes;
    }
};

}

TEST_F(TrimFolder, RefusesShortOrNonFiniteSelectionsAndSingleSamples)
{
    // Not an MP4: any attempt to open it would give the reader's error instead.
    write_file("bad.mp4", "not an mp4");
    std::pair<double, double> const rows[] = { { 3.2, 3.6 }, { not_a_number, 5 }, { 1, inf }, { -inf, 2 } };
    for (auto [from, to] : rows) {
        SCOPED_TRACE(testing::Message() << from << " " << to);
        auto cut = trim::cut_clip(dir(), "bad", from, to);
        ASSERT_FALSE(cut);
        EXPECT_EQ(cut.error(), "La sélection est trop courte.");
    }
    EXPECT_EQ(trim::cut_clip(dir(), "bad", 0, 5).error(), "MP4 illisible : pas d'index");
    // One frame every 5 s: [0.5, 4] holds only the frame at 0.
    mp4::ClipMedia media;
    media.video = { { 1 }, 64, 64, Codec::H264 };
    media.video_samples = marked(3, 5 * second, 1, 'S');
    ASSERT_TRUE(mp4::write_mp4_file(dir(), "sparse", media, std::nullopt));
    EXPECT_EQ(trim::cut_clip(dir(), "sparse", 0.5, 4).error(), "La sélection est trop courte.");
    EXPECT_TRUE(trim::cut_clip(dir(), "sparse", 0.5, 5.5));
}

TEST_F(TrimFolder, NewRecordKeepsGameAndThumbnailAndCutsTitle)
{
    library::Clip record;
    record.title = std::string(117, 'x') + "\xC3\xA9"; // 118 characters, the last of two bytes
    record.game = "Valorant";
    record.recording = true;
    make("src", {}, record);
    auto thumb = write_file(".quillmar/src.jpg", "jpeg bytes");

    auto cut = trim::cut_clip(dir(), "src", 2.0, 7.0);
    ASSERT_TRUE(cut) << cut.error();
    EXPECT_EQ(cut->title, record.title + " (");
    EXPECT_EQ(cut->game, "Valorant");
    EXPECT_TRUE(cut->id.starts_with("Valorant ")) << cut->id;
    EXPECT_FALSE(cut->recording);
    EXPECT_EQ(cut->width, 640u);
    EXPECT_EQ(cut->height, 360u);
    auto path = dir() / (cut->id + ".mp4");
    EXPECT_EQ(cut->bytes, std::filesystem::file_size(path));
    EXPECT_EQ(library::read_clip_meta(dir(), cut->id, path), *cut);
    EXPECT_EQ(read_file(library::thumb_path(dir(), cut->id)), "jpeg bytes");
    EXPECT_FALSE(std::filesystem::exists(library::thumb_path(dir(), cut->id).string() + ".part"));
}

TEST_F(TrimFolder, BytesComeFromTheFileWhoseIndexWasRead)
{
    make("src", { .mark = 'A' });
    make("other", { .mark = 'B' });
    // Bounds far past both ends take the whole clip.
    auto cut = trim::cut_clip(
        dir(), "src", -1e300, 1e300, [&] { std::filesystem::rename(dir() / "other.mp4", dir() / "src.mp4"); });
    ASSERT_TRUE(cut) << cut.error();
    auto path = dir() / (cut->id + ".mp4");
    auto opened = demux::open_file(path);
    ASSERT_TRUE(opened);
    EXPECT_EQ(opened->video_samples.size(), 100u);
    for (auto const& ref : opened->video_samples)
        ASSERT_EQ(sample_bytes(path, ref)[1], 'A');
}

// Cuts of the program's own clips (every frame shown in decode order, audio starting 12.5 ms after the
// video) stay exactly the files they were before cuts of B-frame videos kept their frame order: players
// already read them. The FNV-1a hash of the whole file was recorded from the writer of that time.
TEST_F(TrimFolder, CutOfAnOwnClipIsTheSameFileAsBefore)
{
    mp4::ClipMedia media;
    media.video = { { 1, 2, 3 }, 640, 360, Codec::Hevc };
    media.video_samples = marked(100, second / 10, 10, 'V');
    media.audio_samples = marked(400, second / 40, 1, 'a');
    for (auto& sample : media.audio_samples)
        sample.time += second / 80;
    ASSERT_TRUE(mp4::write_mp4_file(dir(), "own", media, mp4::AudioConfig { 48'000, 128'000, 2 }));

    auto cut = trim::cut_clip(dir(), "own", 2.3, 7.65);
    ASSERT_TRUE(cut) << cut.error();
    auto bytes = read_bytes(dir() / (cut->id + ".mp4"));
    std::uint64_t hash = 0xCBF29CE484222325;
    for (auto byte : bytes)
        hash = (hash ^ byte) * 0x100000001B3;
    EXPECT_EQ(bytes.size(), 30'659u);
    EXPECT_EQ(hash, 0x1768555B9AC637DAu);
}
