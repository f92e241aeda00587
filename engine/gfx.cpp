#include "engine/gfx.h"

#include <algorithm>
#include <cstring>

namespace gfx {

Rect letterbox_rect(
    std::uint32_t source_width, std::uint32_t source_height, std::uint32_t target_width, std::uint32_t target_height)
{
    std::uint64_t const sw = source_width, sh = source_height, tw = target_width, th = target_height;
    std::uint64_t w = 0, h = 0;
    if (sw == 0 || sh == 0)
        return {};
    if (th * sw <= tw * sh) {
        w = th * sw / sh;
        h = th;
    } else {
        w = tw;
        h = tw * sh / sw;
    }
    w &= ~std::uint64_t { 1 };
    h &= ~std::uint64_t { 1 };
    auto const left = std::uint32_t(((tw - w) / 2) & ~std::uint64_t { 1 });
    auto const top = std::uint32_t(((th - h) / 2) & ~std::uint64_t { 1 });
    return { left, top, left + std::uint32_t(w), top + std::uint32_t(h) };
}

namespace {
constexpr std::size_t row_alignment = 64;
std::size_t aligned(std::size_t n)
{
    return (n + row_alignment - 1) / row_alignment * row_alignment;
}
}

FramePool::FramePool(std::uint32_t width, std::uint32_t height, platform::PixelLayout layout, std::size_t count)
    : m_width(width)
    , m_height(height)
{
    std::size_t const luma_stride = aligned(width);
    std::size_t const chroma_height = height / 2;
    std::size_t const luma_bytes = luma_stride * height;
    for (std::size_t i = 0; i < count; ++i) {
        auto slot = std::make_shared<Slot>();
        platform::YuvImage& image = slot->image;
        image.width = width;
        image.height = height;
        image.layout = layout;
        if (layout == platform::PixelLayout::Nv12) {
            std::size_t const chroma_stride = aligned(width);
            slot->memory.resize(luma_bytes + chroma_stride * chroma_height + row_alignment);
            std::memset(slot->memory.data(), 16, luma_bytes);
            std::memset(slot->memory.data() + luma_bytes, 128, slot->memory.size() - luma_bytes);
            image.planes[0] = slot->memory.data();
            image.planes[1] = image.planes[0] + luma_bytes;
            image.strides[0] = luma_stride;
            image.strides[1] = chroma_stride;
        } else {
            std::size_t const chroma_stride = aligned(width / 2);
            std::size_t const chroma_bytes = chroma_stride * chroma_height;
            slot->memory.resize(luma_bytes + 2 * chroma_bytes + row_alignment);
            std::memset(slot->memory.data(), 16, luma_bytes);
            std::memset(slot->memory.data() + luma_bytes, 128, slot->memory.size() - luma_bytes);
            image.planes[0] = slot->memory.data();
            image.planes[1] = image.planes[0] + luma_bytes;
            image.planes[2] = image.planes[1] + chroma_bytes;
            image.strides[0] = luma_stride;
            image.strides[1] = chroma_stride;
            image.strides[2] = chroma_stride;
        }
        m_slots.push_back(std::move(slot));
    }
}

std::shared_ptr<platform::YuvImage> FramePool::acquire()
{
    for (std::size_t tried = 0; tried < m_slots.size(); ++tried) {
        auto& slot = m_slots[m_next];
        m_next = (m_next + 1) % m_slots.size();
        // Acquire pairs with the release in the deleter: the last reader's accesses happen before our writes.
        if (slot->in_use.load(std::memory_order_acquire))
            continue;
        slot->in_use.store(true, std::memory_order_relaxed);
        // The deleter keeps the slot alive, so a frame may outlive the pool (an encoder thread left running).
        return std::shared_ptr<platform::YuvImage>(
            &slot->image, [keep = slot](platform::YuvImage*) { keep->in_use.store(false, std::memory_order_release); });
    }
    return nullptr;
}

std::vector<std::uint8_t> make_thumbnail(platform::BgraImage const& image)
{
    std::vector<std::uint8_t> out(thumbnail_bytes);
    std::uint64_t const w = image.width, h = image.height;
    if (w == 0 || h == 0 || !image.pixels)
        return out;
    std::uint64_t cw, ch;
    if (w * 225 <= h * 400) {
        cw = w;
        ch = w * 225 / 400;
    } else {
        ch = h;
        cw = h * 400 / 225;
    }
    std::uint64_t const x0 = (w - cw) / 2, y0 = (h - ch) / 2;
    std::uint64_t const sx = std::max<std::uint64_t>(cw / 800, 1), sy = std::max<std::uint64_t>(ch / 450, 1);
    auto pixel = [&](std::uint64_t x, std::uint64_t y) { return image.pixels + y * image.stride + x * 4; };
    std::uint8_t* dst = out.data();
    for (std::uint64_t r = 0; r < thumbnail_height; ++r) {
        std::uint64_t const y1 = r * ch / thumbnail_height + y0;
        std::uint64_t const y2 = std::min(y1 + sy, h - 1);
        for (std::uint64_t c = 0; c < thumbnail_width; ++c) {
            std::uint64_t const x1 = c * cw / thumbnail_width + x0;
            std::uint64_t const x2 = std::min(x1 + sx, w - 1);
            std::uint8_t const* a = pixel(x1, y1);
            std::uint8_t const* b = pixel(x2, y1);
            std::uint8_t const* d = pixel(x1, y2);
            std::uint8_t const* e = pixel(x2, y2);
            for (int channel = 0; channel < 3; ++channel)
                *dst++ = std::uint8_t((unsigned(a[channel]) + b[channel] + d[channel] + e[channel]) / 4);
        }
    }
    return out;
}

}
