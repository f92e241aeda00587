#include "platform/jpeg.h"

#include <memory>

#include <turbojpeg.h>

#include "platform/linux/handles.h"

namespace platform {

namespace {

// libjpeg's customary default quality.
constexpr int default_quality = 75;

}

Result<std::vector<std::uint8_t>> encode_jpeg_bgr(std::span<std::uint8_t const> pixels, int width, int height)
{
    if (width <= 0 || height <= 0 || pixels.size() < static_cast<std::size_t>(width) * height * 3)
        return fail("image trop courte");
    std::unique_ptr<void, handles::Free<&tjDestroy>> handle(tjInitCompress());
    if (!handle)
        return fail(tjGetErrorStr2(nullptr));
    unsigned char* jpeg = nullptr;
    unsigned long size = 0;
    if (tjCompress2(handle.get(), pixels.data(), width, width * 3, height, TJPF_BGR, &jpeg, &size, TJSAMP_420,
                    default_quality, TJFLAG_ACCURATEDCT)
        != 0) {
        std::string error = tjGetErrorStr2(handle.get());
        tjFree(jpeg);
        return fail(error);
    }
    std::vector<std::uint8_t> bytes(jpeg, jpeg + size);
    tjFree(jpeg);
    return bytes;
}

}
