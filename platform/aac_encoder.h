#pragma once
// AAC encoder seam: created, fed and destroyed by the audio thread only. Input is blocks of 1,024 stereo
// frames (2,048 interleaved signed 16-bit samples at 48 kHz), each with its engine-clock time. Output is raw
// AAC frames (no ADTS header), one access unit each, with the time of the sound the frame decodes to. An
// encoder may hold frames back (look-ahead); its first frame may carry priming that starts before the first
// input, and is then stamped that much earlier so that decoded sound lines up with the clock.

#include <cstdint>
#include <memory>
#include <span>
#include <string_view>
#include <vector>

#include "base/result.h"

namespace platform {

struct AacFrame {
    std::vector<std::uint8_t> bytes;
    std::int64_t time { 0 };
};

class AacEncoder {
public:
    virtual ~AacEncoder() = default;
    // Encodes one block of 2,048 samples whose first frame plays at `time`, and appends every AAC frame that
    // became ready. An error leaves the encoder unusable.
    virtual Result<void> encode(std::span<std::int16_t const> block, std::int64_t time, std::vector<AacFrame>& out) = 0;
    // The two-byte AudioSpecificConfig of the stream (AAC LC, 48 kHz, stereo: 0x11 0x90).
    virtual std::vector<std::uint8_t> audio_specific_config() const = 0;
};

struct AacDriver {
    std::string_view name;
    Result<std::unique_ptr<AacEncoder>> (*open)();
};

}

namespace platform {
// FFmpeg's native AAC encoder (platform/linux/lavc_aac.cpp).
extern AacDriver const lavc_aac_driver;
}
