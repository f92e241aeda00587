#pragma once
// Video drivers for tests: a capture source of numbered solid pictures, a converter that stamps the picture
// number into the frame, and an encoder that emits H.264 access units (a keyframe with SPS and PPS every
// four frames) and can be told to fail. Driver entry points are plain functions, so the fakes keep
// their settings and counters in one process-wide record that each test resets.

#include <atomic>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "platform/capture.h"
#include "platform/encoder.h"

namespace fakes {

struct VideoFakeState {
    static constexpr std::uint32_t width = 64;
    static constexpr std::uint32_t height = 36;
    static constexpr int keyframe_every = 4;
    std::atomic<int> opens { 0 }; // capture sources opened
    std::atomic<int> encoders_opened { 0 };
    int fail_after { -1 }; // the first encoder fails on this frame; -1: never
    std::atomic<int> resize_at_grab { -1 }; // this grab reports a size change to width + 16
    std::atomic<int> grabs { 0 };
    // While held, flush() waits for release_flush(), then returns one more keyframe: an encoder whose thread
    // outlives its pipeline.
    bool hold_flush { false };
    std::atomic<bool> flush_released { false };
    std::atomic<int> live_encoders { 0 };

    void release_flush()
    {
        flush_released = true;
        flush_released.notify_all();
    }

    void reset()
    {
        opens = 0;
        encoders_opened = 0;
        fail_after = -1;
        resize_at_grab = -1;
        grabs = 0;
        hold_flush = false;
        flush_released = false;
    }
};

inline VideoFakeState& video_fake_state()
{
    static VideoFakeState state;
    return state;
}

class FakeSource final : public platform::CaptureSource {
public:
    FakeSource(std::uint32_t w, std::uint32_t h)
        : m_width(w)
        , m_height(h)
        , m_pixels(std::size_t(w) * h * 4)
    {
    }
    std::uint32_t width() const override { return m_width; }
    std::uint32_t height() const override { return m_height; }
    Result<platform::Grab> grab() override
    {
        int const n = video_fake_state().grabs++;
        if (n == video_fake_state().resize_at_grab) {
            m_width += 16;
            m_pixels.assign(std::size_t(m_width) * m_height * 4, 0);
            return platform::Grab::SizeChanged;
        }
        std::memset(m_pixels.data(), n & 0xff, m_pixels.size());
        return platform::Grab::Image;
    }
    platform::BgraImage image() const override
    {
        return { m_pixels.data(), m_width, m_height, std::size_t(m_width) * 4 };
    }

private:
    std::uint32_t m_width;
    std::uint32_t m_height;
    std::vector<std::uint8_t> m_pixels;
};

class StampConverter final : public platform::FrameConverter {
public:
    void convert(platform::BgraImage const& source, platform::YuvImage& out) override
    {
        out.planes[0][0] = source.pixels[0];
    }
};

inline platform::CaptureDriver const fake_capture_driver {
    "fake",
    []() -> Result<std::vector<platform::MonitorInfo>> {
        return std::vector<platform::MonitorInfo> {
            { "FAKE-1", 0, 0, VideoFakeState::width, VideoFakeState::height, 60, true } };
    },
    [](platform::MonitorInfo const& monitor) -> Result<std::unique_ptr<platform::CaptureSource>> {
        ++video_fake_state().opens;
        return std::make_unique<FakeSource>(monitor.width, monitor.height);
    },
    [](std::uint32_t, std::uint32_t, platform::Rect) -> std::unique_ptr<platform::FrameConverter> {
        return std::make_unique<StampConverter>();
    },
};

class FakeEncoder final : public platform::VideoEncoder {
public:
    explicit FakeEncoder(bool may_fail)
        : m_may_fail(may_fail)
    {
        ++video_fake_state().live_encoders;
    }
    ~FakeEncoder() override { --video_fake_state().live_encoders; }
    std::string const& name() const override { return m_name; }
    platform::PixelLayout input_layout() const override { return platform::PixelLayout::Nv12; }
    Result<void> encode(platform::VideoFrame const& frame, std::vector<platform::EncodedPacket>& out) override
    {
        auto& s = video_fake_state();
        if (m_may_fail && m_count == s.fail_after)
            return fail("panne de l'encodeur");
        bool const key = m_count % VideoFakeState::keyframe_every == 0;
        ++m_count;
        out.push_back(packet(key, frame.time, frame.image->planes[0][0]));
        m_last_time = frame.time;
        return {};
    }
    Result<void> flush(std::vector<platform::EncodedPacket>& out) override
    {
        auto& s = video_fake_state();
        if (s.hold_flush) {
            s.flush_released.wait(false);
            out.push_back(packet(true, m_last_time + 1, 0xfe));
        }
        return {};
    }

private:
    static platform::EncodedPacket packet(bool key, std::int64_t time, std::uint8_t stamp)
    {
        platform::EncodedPacket packet;
        packet.time = time;
        packet.keyframe = key;
        if (key)
            packet.data = { 0, 0, 0, 1, 0x67, 0x64, 0x00, 0x1f, 0xac, 0xd9, 0, 0, 0, 1, 0x68, 0xeb, 0xe3, 0xcb, 0, 0, 1,
                0x65, 0x88, stamp };
        else
            packet.data = { 0, 0, 0, 1, 0x41, 0x9a, stamp };
        return packet;
    }

    std::string m_name { "fake-h264" };
    bool m_may_fail;
    int m_count { 0 };
    std::int64_t m_last_time { 0 };
};

inline platform::EncoderDriver const fake_encoder_driver {
    "fake",
    [] { return std::vector<Codec> { Codec::H264 }; },
    [](platform::EncoderParams const&) -> Result<std::unique_ptr<platform::VideoEncoder>> {
        bool const first = video_fake_state().encoders_opened++ == 0;
        return std::make_unique<FakeEncoder>(first);
    },
};

}
