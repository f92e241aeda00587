#pragma once
// The JPEG thumbnail of a clip: 400 x 225 pixels taken from one captured frame.

#include <cstdint>
#include <filesystem>
#include <span>
#include <string_view>

#include "base/result.h"

namespace thumbnail {

constexpr int width_px = 400;
constexpr int height_px = 225;
constexpr std::size_t image_bytes = width_px * height_px * 3; // blue, green, red; top row first

// Writes the image as the JPEG thumbnail of clip `id` in `clips_folder`, replacing one there. Refuses an image
// of the wrong length before reading it; the file appears only complete (written beside it, then renamed).
Result<void> write_jpeg(
    std::span<std::uint8_t const> image, std::filesystem::path const& clips_folder, std::string_view id);

}
