#include "engine/thumbnail.h"

#include "library/library.h"
#include "platform/jpeg.h"

namespace thumbnail {

Result<void> write_jpeg(
    std::span<std::uint8_t const> image, std::filesystem::path const& clips_folder, std::string_view id)
{
    if (image.size() != image_bytes)
        return fail(fmt::format("vignette de {} octets au lieu de {}", image.size(), image_bytes));
    auto jpeg = TRY(platform::encode_jpeg_bgr(image, width_px, height_px));
    return library::write_thumbnail(clips_folder, id, jpeg);
}

}
