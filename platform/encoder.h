#pragma once
// Video encoder seam.
//
// The video thread probes the encoders and opens one for a pipeline attempt; the encoder thread then owns it
// and calls encode() for each frame and flush() at the end, on that thread only. Frames arrive as YUV 4:2:0
// pictures shared with the capture loop's frame pool: an encoder keeps its reference only as long as it
// reads the pixels. Packets come out in Annex-B (H.264, HEVC, parameter sets in front of each keyframe) or
// as AV1 temporal units (sequence header in each keyframe).

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "base/codec.h"
#include "base/result.h"
#include "platform/capture.h"

namespace platform {

struct VideoFrame {
    std::shared_ptr<YuvImage const> image;
    std::int64_t time { 0 }; // ticks: the slot's deadline
    std::int64_t duration { 0 }; // ticks: the slot interval
};

struct EncodedPacket {
    std::vector<std::uint8_t> data;
    std::int64_t time { 0 };
    bool keyframe { false };
};

struct EncoderParams {
    Codec codec { Codec::H264 };
    std::uint32_t width { 0 };
    std::uint32_t height { 0 };
    std::uint32_t fps { 60 };
    std::uint32_t bitrate { 0 }; // mean, bit/s
    std::uint32_t max_bitrate { 0 }; // peak, bit/s
    std::uint32_t quality_vs_speed { 100 }; // 100: favour quality, 50: favour speed
};

class VideoEncoder {
public:
    virtual ~VideoEncoder() = default;
    virtual std::string const& name() const = 0;
    virtual PixelLayout input_layout() const = 0;
    // Appends whatever packets became ready.
    virtual Result<void> encode(VideoFrame const& frame, std::vector<EncodedPacket>& out) = 0;
    virtual Result<void> flush(std::vector<EncodedPacket>& out) = 0;
};

struct EncoderDriver {
    std::string_view name;
    // The codecs some encoder of this driver really opens, in the order of all_codecs.
    std::vector<Codec> (*probe)();
    // Tries this driver's encoders for the codec in order (hardware first); the last error when none opens.
    Result<std::unique_ptr<VideoEncoder>> (*open)(EncoderParams const& params);
};

// The drivers of this system, in the order they are tried.
std::span<EncoderDriver const> encoder_drivers();

}
