#include "engine/thumbnail.h"

#include <gtest/gtest.h>

#include "tests/support/media_check.h"

class Thumbnail : public testing_support::TempDirTest { };

TEST_F(Thumbnail, WritesAJpegThatOutsideDecodersRead)
{
    // Left half pure blue, right half pure red (B, G, R byte order).
    std::vector<std::uint8_t> image(thumbnail::image_bytes);
    for (int y = 0; y < thumbnail::height_px; ++y) {
        for (int x = 0; x < thumbnail::width_px; ++x) {
            auto* p = &image[(static_cast<std::size_t>(y) * thumbnail::width_px + x) * 3];
            p[0] = x < 200 ? 255 : 0;
            p[2] = x < 200 ? 0 : 255;
        }
    }
    auto path = dir() / "clip.jpg";
    write_file("clip.jpg", "old bytes");
    ASSERT_TRUE(thumbnail::write_jpeg(image, path));
    EXPECT_FALSE(std::filesystem::exists(dir() / "clip.jpg.part"));
    if (!media::have_tool("djpeg"))
        GTEST_SKIP() << "djpeg missing";
    auto ppm = dir() / "clip.ppm";
    auto decoded = media::run({ "djpeg", "-outfile", ppm.string(), path.string() });
    ASSERT_EQ(decoded.status, 0) << decoded.output;
    auto bytes = read_file(ppm);
    auto header = std::string("P6\n400 225\n255\n");
    ASSERT_EQ(bytes.substr(0, header.size()), header);
    auto pixel = [&](int x, int y) { return &bytes[header.size() + (static_cast<std::size_t>(y) * 400 + x) * 3]; };
    // PPM is red, green, blue.
    EXPECT_LT(static_cast<unsigned char>(pixel(100, 100)[0]), 20);
    EXPECT_GT(static_cast<unsigned char>(pixel(100, 100)[2]), 235);
    EXPECT_GT(static_cast<unsigned char>(pixel(300, 100)[0]), 235);
}

TEST_F(Thumbnail, RefusesAnImageOfTheWrongLengthAndKeepsTheOldFile)
{
    auto path = write_file("clip.jpg", "old");
    std::vector<std::uint8_t> short_image(1000);
    EXPECT_FALSE(thumbnail::write_jpeg(short_image, path));
    EXPECT_EQ(read_file(path), "old");
}
