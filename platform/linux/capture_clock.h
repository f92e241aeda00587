#pragma once
// Capture times of a recording stream. The server tells us, at each read, how old the next unread frame is
// (the stream latency), but that figure jitters with the server's and our own scheduling by several
// milliseconds. Each packet's time therefore comes from a stream epoch (the engine-clock instant of the
// stream's first frame) plus the frames counted since, and the epoch follows each new measurement
// (now − latency − frames read) only by a sixteenth of the difference: jitter averages out, while the slow
// drift between the sound card's clock and the monotonic clock is still followed. A difference beyond 40 ms
// is a real discontinuity (the server dropped sound after an overrun) and resets the epoch. Owned by one
// stream, on the audio thread.

#include <cstdint>
#include <cstdlib>

#include "base/clock.h"

namespace platform {

class CaptureClock {
public:
    static constexpr std::int64_t reset_threshold_ticks = 400'000;  // 40 ms
    static constexpr std::int64_t smoothing = 16;

    // One reading: at engine time `now`, the next unread frame is `latency_ticks` old.
    void measure(std::int64_t now, std::int64_t latency_ticks)
    {
        std::int64_t measured = now - latency_ticks - frames_to_ticks(m_frames);
        if (!m_has_epoch || std::llabs(measured - m_epoch) > reset_threshold_ticks) {
            m_epoch = measured;
            m_has_epoch = true;
        } else {
            m_epoch += (measured - m_epoch) / smoothing;
        }
    }

    // Time of the next unread frame; then counts `frames` as read.
    std::int64_t take(std::uint32_t frames)
    {
        std::int64_t time = m_epoch + frames_to_ticks(m_frames);
        m_frames += frames;
        return time;
    }

    static std::int64_t frames_to_ticks(std::int64_t frames) { return frames * ticks::ticks_per_second / 48'000; }

private:
    std::int64_t m_epoch { 0 };
    bool m_has_epoch { false };
    std::int64_t m_frames { 0 };
};

}
