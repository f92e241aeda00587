#include "engine/thumbnail.h"

#include "base/file_io.h"
#include "platform/jpeg.h"

namespace thumbnail {

Result<void> write_jpeg(std::span<std::uint8_t const> image, std::filesystem::path const& path)
{
    if (image.size() != image_bytes)
        return fail(fmt::format("vignette de {} octets au lieu de {}", image.size(), image_bytes));
    auto jpeg = TRY(platform::encode_jpeg_bgr(image, width_px, height_px));
    auto temp = path;
    temp += ".part";
    return files::atomic_replace(path, temp, jpeg);
}

}
