#pragma once
// Monitor capture and pixel conversion seam.
//
// The video thread lists the monitors (any thread may), opens one CaptureSource per pipeline attempt and then
// uses it only from that thread: a source owns its own display connection. Each capture slot calls grab(),
// which takes the newest picture of the monitor; image() stays valid until the next grab(). A FrameConverter
// is built for one source size and one output size and turns a BGRA picture into the letterboxed YUV frame
// the encoder takes (BT.709, limited range, chroma sited left).

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "base/result.h"

namespace platform {

struct MonitorInfo {
    std::string name; // the settings' `monitor` value; compared byte for byte
    std::int32_t x { 0 };
    std::int32_t y { 0 };
    std::uint32_t width { 0 };
    std::uint32_t height { 0 };
    std::uint32_t refresh { 60 }; // Hz; below 31 is raised to 30, 60 when the mode cannot be read
    bool primary { false };
};

// Four bytes per pixel in the order B, G, R, (unused); rows top to bottom, `stride` bytes apart.
struct BgraImage {
    std::uint8_t const* pixels { nullptr };
    std::uint32_t width { 0 };
    std::uint32_t height { 0 };
    std::size_t stride { 0 };
};

enum class Grab {
    Image, // image() holds a newer picture
    NoImage, // nothing new since the last grab; the last image still stands
    SizeChanged, // the monitor changed size: size() is the new size and no picture was taken
};

class CaptureSource {
public:
    virtual ~CaptureSource() = default;
    virtual std::uint32_t width() const = 0;
    virtual std::uint32_t height() const = 0;
    virtual Result<Grab> grab() = 0;
    virtual BgraImage image() const = 0;
};

struct Rect {
    std::uint32_t left { 0 };
    std::uint32_t top { 0 };
    std::uint32_t right { 0 };
    std::uint32_t bottom { 0 };
    std::uint32_t width() const { return right - left; }
    std::uint32_t height() const { return bottom - top; }
    bool operator==(Rect const&) const = default;
};

enum class PixelLayout : std::uint8_t {
    Nv12, // Y plane, then one plane of interleaved U, V
    I420, // Y plane, U plane, V plane
};

// A YUV 4:2:0 picture in caller-owned memory.
struct YuvImage {
    std::uint8_t* planes[3] { nullptr, nullptr, nullptr };
    std::size_t strides[3] { 0, 0, 0 };
    std::uint32_t width { 0 };
    std::uint32_t height { 0 };
    PixelLayout layout { PixelLayout::Nv12 };
};

class FrameConverter {
public:
    virtual ~FrameConverter() = default;
    // Draws `source` (of the size the converter was made for) into the destination rectangle of `out`; the
    // pixels outside the rectangle are left as they are.
    virtual void convert(BgraImage const& source, YuvImage& out) = 0;
};

struct CaptureDriver {
    std::string_view name;
    // Every monitor, primary ones first, otherwise in the display server's order.
    Result<std::vector<MonitorInfo>> (*monitors)();
    Result<std::unique_ptr<CaptureSource>> (*open)(MonitorInfo const& monitor);
    // For a source of width x height drawn into `target` of an output of the given layout.
    std::unique_ptr<FrameConverter> (*converter)(std::uint32_t width, std::uint32_t height, Rect target);
};

// The drivers of this system, in the order they are tried.
std::span<CaptureDriver const> capture_drivers();

}
