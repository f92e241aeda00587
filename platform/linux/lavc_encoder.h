#pragma once
// The libavcodec encoder driver (used by drivers.cpp and the capture tests).

#include "platform/encoder.h"

namespace platform::lavc {
std::vector<std::uint8_t> probe();
Result<std::unique_ptr<VideoEncoder>> open(EncoderParams const& params);
}

namespace platform {
extern EncoderDriver const lavc_encoder_driver;
}
