#pragma once
// The libavcodec encoder driver (used by drivers.cpp and the capture tests).

#include "platform/encoder.h"

namespace platform::lavc {
// Makes the encoder libraries print only their errors: FFmpeg's log level (x264 and libaom log through it),
// and SVT-AV1's own logger, which reads SVT_LOG when an encoder opens (a value the user set is kept). It
// changes the environment, so the program calls it before any other thread starts.
void quiet_library_logs();
std::vector<Codec> probe();
Result<std::unique_ptr<VideoEncoder>> open(EncoderParams const& params);
}

namespace platform {
extern EncoderDriver const lavc_encoder_driver;
}
