#include "engine/thumbnail.h"

#include <gtest/gtest.h>

#include "tests/support/temp_dir.h"

class Thumbnail : public testing_support::TempDirTest { };

TEST_F(Thumbnail, RefusesAnImageOfTheWrongLengthAndKeepsTheOldFile)
{
    auto path = write_file("clip.jpg", "old");
    std::vector<std::uint8_t> short_image(1000);
    EXPECT_FALSE(thumbnail::write_jpeg(short_image, path));
    EXPECT_EQ(read_file(path), "old");
}
