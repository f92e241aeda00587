#include "core/spill.h"

#include <sys/stat.h>

#include <gtest/gtest.h>

#include "tests/support/temp_dir.h"

using testing_support::TempDirTest;

class SpillFileTest : public TempDirTest { };

TEST_F(SpillFileTest, SegmentIsUnlinkedAtOnceAndRefusesExistingNames)
{
    auto path = dir() / "4242-0.seg";
    auto file = spill::SpillFile::create_segment(path);
    ASSERT_TRUE(file) << file.error();
    EXPECT_FALSE(std::filesystem::exists(path));
    std::vector<std::uint8_t> bytes { 1, 2, 3, 4, 5 };
    ASSERT_TRUE((*file)->write_at(bytes, 10));
    std::vector<std::uint8_t> back(3);
    ASSERT_TRUE((*file)->read_at(back, 11));
    EXPECT_EQ(back, (std::vector<std::uint8_t> { 2, 3, 4 }));

    write_file("4242-1.seg", "stale");
    auto refused = spill::SpillFile::create_segment(dir() / "4242-1.seg");
    ASSERT_FALSE(refused);
    EXPECT_TRUE(refused.error().ends_with(" (os error 17)")) << refused.error();
    EXPECT_EQ(read_file(dir() / "4242-1.seg"), "stale");
}

TEST_F(SpillFileTest, LoadSampleReadsSpilledBytesAndReportsShortReads)
{
    auto file = spill::SpillFile::create_segment(dir() / "1-0.seg");
    ASSERT_TRUE(file);
    std::vector<std::uint8_t> content { 0, 0, 0, 0xA, 0xB, 0xC, 0xD };
    ASSERT_TRUE((*file)->write_at(content, 0));
    auto loaded = spill::load_sample(ring::Sample { ring::Spilled { 4, 3, *file }, 77, 0 });
    ASSERT_TRUE(loaded) << loaded.error();
    EXPECT_EQ(*loaded->data, (std::vector<std::uint8_t> { 0xA, 0xB, 0xC, 0xD }));
    EXPECT_EQ(loaded->time, 77);
    auto short_read = spill::load_sample(ring::Sample { ring::Spilled { 5, 3, *file }, 0, 0 });
    ASSERT_FALSE(short_read);
    EXPECT_EQ(short_read.error(), "failed to fill whole buffer");
}
