#pragma once
// Capture times of a recording stream. The server tells us, at each read, how old the next unread frame is
// (the stream latency), but that figure jitters with the server's and our own scheduling by several
// milliseconds. Each packet's time therefore comes from a stream epoch (the engine-clock instant of the
// stream's first frame) plus the frames counted since, and the epoch follows each new measurement
// (now − latency − frames read) only by a sixteenth of the difference: jitter averages out, while the slow
// drift between the sound card's clock and the monotonic clock is still followed. A difference beyond 40 ms
// is a real discontinuity (the server dropped sound after an overrun) and resets the epoch.
//
// A server whose queue for the stream is full (the program was held up longer than the queue lasts) keeps
// the oldest sound and drops what it records next, and its figures do not count what it dropped: while the
// kept sound is read, they date it as if nothing were missing after it, that is too late by all that was
// dropped. The frames read are then the only right clock: measurements are left out until the kept sound
// (up to what the server had written when it reported its queue full) has been read, and the first one
// after dates what followed the gap.
// Owned by one stream, on the audio thread.

#include <algorithm>
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
        if (m_has_epoch && holding())
            return;
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

    // A report of the server: it has put `written_frames` frames of the stream in its queue so far (counted
    // as `take` counts), and the queue holds at most `capacity_frames`. Nearly full counts as full, as the
    // report may come a moment after we began reading the backlog; a backlog that only came close loses
    // nothing by the hold, its frame count being right all the same. Later reports during the hold do not
    // move its end: the server has room again by then, and what they count past it follows the gap.
    void queue_report(std::int64_t written_frames, std::int64_t capacity_frames)
    {
        if (!holding() && written_frames - m_frames >= capacity_frames / 4 * 3)
            m_hold_until = written_frames;
    }
    bool holding() const { return m_frames < m_hold_until; }
    // Frames still to read before the hold ends (0 when not holding): the sound the server kept.
    std::int64_t frames_held() const { return holding() ? m_hold_until - m_frames : 0; }

    static std::int64_t frames_to_ticks(std::int64_t frames) { return frames * ticks::ticks_per_second / 48'000; }

private:
    std::int64_t m_epoch { 0 };
    bool m_has_epoch { false };
    std::int64_t m_frames { 0 };
    std::int64_t m_hold_until { 0 };
};

}
