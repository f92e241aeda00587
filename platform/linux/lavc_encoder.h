#pragma once
// The libavcodec encoder driver (used by drivers.cpp and the capture tests).

#include "platform/encoder.h"

namespace platform::lavc {
std::vector<std::uint8_t> probe();
Result<std::unique_ptr<VideoEncoder>> open(EncoderParams const& params);
// One encoder by its libavcodec name ("libx264", "libsvtav1"...), for tests that need a given one.
Result<std::unique_ptr<VideoEncoder>> open_named(std::string_view name, EncoderParams const& params);
}

namespace platform {
extern EncoderDriver const lavc_encoder_driver;
}
