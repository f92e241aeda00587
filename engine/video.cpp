#include "engine/video.h"

#include <algorithm>
#include <cmath>

#include "core/bitstream.h"

namespace video {

using ticks::ticks_per_second;

std::pair<std::uint32_t, std::uint32_t> scale_to_resolution(
    settings::Resolution resolution, std::uint32_t width, std::uint32_t height)
{
    constexpr std::uint32_t targets[] = { 720, 1080, 1440, 2160 };
    auto const index = static_cast<std::size_t>(resolution);
    auto even = [](std::uint32_t v) {
        v &= ~1u;
        return v < 3 ? 2u : v;
    };
    if (index < std::size(targets) && height > 0 && targets[index] < height) {
        std::uint64_t const target = targets[index];
        auto const scaled = std::uint32_t((std::uint64_t(width) * target + height / 2) / height);
        return { even(scaled), std::uint32_t(target) };
    }
    return { even(width), even(height) };
}

std::uint32_t encoder_bitrate(
    std::uint32_t width, std::uint32_t height, std::uint32_t fps, settings::Quality quality, double factor)
{
    double const pixels = double(width) * double(height);
    double const reference = reference_bitrate(quality);
    double const b = std::pow(pixels / 2'073'600.0, 0.85) * reference * std::pow(double(fps) / 60.0, 0.6) * factor;
    if (!(b > 0))
        return 0;
    if (b >= 4'294'967'295.0)
        return 4'294'967'295u;
    return std::uint32_t(b);
}

std::uint32_t quality_vs_speed(std::uint32_t width, std::uint32_t height, std::uint32_t fps)
{
    return std::uint64_t(width) * height * fps < 221'184'001 ? 100 : 50;
}

std::vector<Codec> probe_encoders(platform::EncoderDriver const& driver)
{
    return driver.probe();
}

platform::EncoderParams choose_encoder(std::vector<Codec> const& available, Codec requested,
    std::uint32_t width, std::uint32_t height, std::uint32_t fps, settings::Quality quality)
{
    Codec const codec = std::ranges::find(available, requested) != available.end() ? requested : Codec::H264;
    platform::EncoderParams params;
    params.codec = codec;
    params.width = width;
    params.height = height;
    params.fps = fps;
    params.bitrate = encoder_bitrate(width, height, fps, quality, codec_factor(codec));
    // Peak-constrained: half again the mean, computed in 32 bits.
    params.max_bitrate = std::uint32_t((params.bitrate / 2) * 3u);
    params.quality_vs_speed = quality_vs_speed(width, height, fps);
    return params;
}

std::optional<platform::MonitorInfo> pick_monitor(
    std::vector<platform::MonitorInfo> const& monitors, std::optional<std::string> const& name)
{
    if (name) {
        for (auto const& monitor : monitors)
            if (monitor.name == *name)
                return monitor;
    }
    for (auto const& monitor : monitors)
        if (monitor.primary)
            return monitor;
    if (!monitors.empty())
        return monitors.front();
    return std::nullopt;
}

Pacer::Pacer(Ticks start, std::uint32_t fps)
    : m_start(start)
    , m_fps(std::max<std::uint32_t>(fps, 1))
    , m_interval(ticks_per_second / m_fps)
{
}

Pacer::Slot Pacer::next(Ticks now)
{
    ++m_k;
    Slot slot { m_start + m_k * ticks_per_second / m_fps, 0 };
    if (slot.deadline <= now && now - slot.deadline > 2 * m_interval) {
        std::int64_t const current = (now - m_start) * m_fps / ticks_per_second;
        slot.dropped = std::uint64_t(std::max<std::int64_t>(current - m_k, 0));
        m_k = current;
        slot.deadline = m_start + m_k * ticks_per_second / m_fps;
    }
    return slot;
}

std::uint32_t Backoff::next(Ticks attempt_length)
{
    m_pause = attempt_length <= 30 * ticks_per_second ? std::min<std::uint32_t>(m_pause * 2, 60) : 2;
    return m_pause;
}

bool ErrorDedup::is_new(std::string const& text)
{
    if (m_last && *m_last == text)
        return false;
    m_last = text;
    return true;
}

std::vector<std::uint8_t> to_ring_form(Codec codec, std::span<std::uint8_t const> access_unit)
{
    std::vector<std::uint8_t> out;
    out.reserve(access_unit.size() + 16);
    if (codec == Codec::Av1) {
        for (auto const& obu : bitstream::split_obus(access_unit)) {
            if (obu.obu_type == 2)
                continue; // temporal delimiter
            out.insert(out.end(), obu.whole.begin(), obu.whole.end());
        }
        return out;
    }
    for (auto const& unit : bitstream::split_annexb(access_unit)) {
        bool drop;
        if (codec == Codec::H264) {
            unsigned const type = unit[0] & 0x1f;
            drop = type >= 7 && type <= 9; // SPS, PPS, access unit delimiter
        } else {
            unsigned const type = (unit[0] >> 1) & 0x3f;
            drop = type >= 32 && type <= 35; // VPS, SPS, PPS, access unit delimiter
        }
        if (drop)
            continue;
        auto const size = std::uint32_t(unit.size());
        out.push_back(std::uint8_t(size >> 24));
        out.push_back(std::uint8_t(size >> 16));
        out.push_back(std::uint8_t(size >> 8));
        out.push_back(std::uint8_t(size));
        out.insert(out.end(), unit.begin(), unit.end());
    }
    return out;
}

}
