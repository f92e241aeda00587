#pragma once
// The X11 capture driver and the software frame converter (used by drivers.cpp and the capture tests).

#include "platform/capture.h"

namespace platform::x11 {
Result<std::vector<MonitorInfo>> monitors();
Result<std::unique_ptr<CaptureSource>> open(MonitorInfo const& monitor);
}

namespace platform::yuv {
std::unique_ptr<FrameConverter> converter(std::uint32_t width, std::uint32_t height, Rect target);

// Converts BGRA rows into BT.709 limited-range 4:2:0, chroma sited left (co-sited with the even column,
// halfway between the two rows). `out` is exactly the size of `source`; both sizes are even.
void bgra_to_yuv(BgraImage const& source, YuvImage const& out);

// The AVX2 row loops run when the processor has them; off, the portable loops run. Both give the same bytes:
// this switch is there to compare them.
void use_vector_loops(bool on);
}

namespace platform {
// The capture driver of this layer: RandR monitors, MIT-SHM grabs, libyuv scaling + our own conversion.
extern CaptureDriver const x11_capture_driver;
}
