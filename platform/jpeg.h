#pragma once
// JPEG encoding of thumbnails. One implementation per system, chosen at link time.

#include <cstdint>
#include <span>
#include <vector>

#include "base/result.h"

namespace platform {

// Encodes rows of blue, green, red bytes (width x 3 bytes per row, top row first) at the encoder's
// default quality. The error is the library's text.
Result<std::vector<std::uint8_t>> encode_jpeg_bgr(std::span<std::uint8_t const> pixels, int width, int height);

}
