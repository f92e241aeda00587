#pragma once
// Picture geometry and the frame pool of the capture loop.
//
// The capture loop (video thread) owns one FramePool per output size and converts each captured picture into
// a free frame of it; the encoder thread holds a frame only while it reads the pixels. A frame returns to the
// pool when its last reference goes, on whichever thread that happens, so the pool never hands out a frame
// that the encoder may still read.

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "platform/capture.h"

namespace gfx {

using platform::Rect;

// Where a source picture goes inside the target, centred and scaled to fit, with even edges.
Rect letterbox_rect(
    std::uint32_t source_width, std::uint32_t source_height, std::uint32_t target_width, std::uint32_t target_height);

// Enough for a full frame channel (video::frame_queue), the frame the encoder reads and the one being drawn.
constexpr std::size_t pool_frames = 6;

class FramePool {
public:
    // Frames of width x height (both even) in the given layout, all black (limited-range black: Y 16, UV 128).
    FramePool(std::uint32_t width, std::uint32_t height, platform::PixelLayout layout, std::size_t count = pool_frames);
    FramePool(FramePool const&) = delete;
    FramePool& operator=(FramePool const&) = delete;

    // The next free frame in cyclic order; null when every frame is still held.
    std::shared_ptr<platform::YuvImage> acquire();

    std::uint32_t width() const { return m_width; }
    std::uint32_t height() const { return m_height; }

private:
    struct Slot {
        std::vector<std::uint8_t> memory;
        platform::YuvImage image;
        std::atomic<bool> in_use { false };
    };
    std::uint32_t m_width;
    std::uint32_t m_height;
    std::vector<std::shared_ptr<Slot>> m_slots;
    std::size_t m_next { 0 };
};

constexpr std::uint32_t thumbnail_width = 400;
constexpr std::uint32_t thumbnail_height = 225;
constexpr std::size_t thumbnail_bytes = std::size_t { thumbnail_width } * thumbnail_height * 3;

// 400 x 225, three bytes per pixel (B, G, R), from the centre 16:9 band of a BGRA picture: each output pixel
// averages four source pixels about one step apart, so small text and edges do not alias badly.
std::vector<std::uint8_t> make_thumbnail(platform::BgraImage const& image);

}
