// Capture times of a stream whose reported latency jitters: a simulated sound card delivers 5 ms blocks, the
// reader wakes every 10 ms or so, and each latency reading is off by up to ±8 ms.

#include "platform/linux/capture_clock.h"

#include <gtest/gtest.h>

#include <cmath>
#include <random>

namespace {

constexpr std::int64_t ms = 10'000;
constexpr std::int64_t epoch = 3'000'000'000;

struct Card {
    double rate_hz { 48'000.0 };
    std::int64_t skipped_frames { 0 };  // frames the server dropped before they were read
    std::int64_t capture_time(std::int64_t frame) const
    {
        return epoch + std::int64_t(std::llround(double(frame + skipped_frames) * 1e7 / rate_hz));
    }
    std::int64_t frames_captured_by(std::int64_t now) const
    {
        std::int64_t frames = std::int64_t(double(now - epoch) * rate_hz / 1e7) - skipped_frames;
        return frames / 240 * 240;  // whole 5 ms blocks
    }
};

// Runs reads for `duration` and returns the worst error of the packet times after `settle`.
std::int64_t worst_error(platform::CaptureClock& clock, Card& card, std::int64_t& now, std::int64_t& read_frames,
                         std::int64_t duration, std::int64_t settle, std::mt19937& random)
{
    std::uniform_int_distribution<std::int64_t> wake(7 * ms, 13 * ms);
    std::uniform_int_distribution<std::int64_t> noise(-8 * ms, 8 * ms);
    std::int64_t start = now, worst = 0;
    while (now - start < duration) {
        now += wake(random);
        std::int64_t available = card.frames_captured_by(now) - read_frames;
        if (available <= 0)
            continue;
        clock.measure(now, now - card.capture_time(read_frames) + noise(random));
        while (available > 0) {
            std::int64_t time = clock.take(240);
            if (now - start >= settle)
                worst = std::max<std::int64_t>(worst, std::llabs(time - card.capture_time(read_frames)));
            read_frames += 240;
            available -= 240;
        }
    }
    return worst;
}

TEST(CaptureClock, JitteryLatencyReadingsGiveSteadyTimes)
{
    struct Row {
        char const* what;
        double rate_hz;
        std::int64_t skipped_after_2s; // frames the server drops two seconds in
        std::int64_t bound;            // worst error after the first second
    };
    // A drop of 300 ms makes the next frame read 300 ms newer than the count says: the epoch resets at once.
    // The smoothing is the same either way, so a fast card stands for a slow one too.
    constexpr Row rows[] = { { "card on time", 48'000.0, 0, 3 * ms }, { "card 100 ppm fast", 48'004.8, 0, 3 * ms },
                             { "300 ms dropped", 48'000.0, 14'400, 9 * ms } };
    for (auto const& row : rows) {
        SCOPED_TRACE(row.what);
        std::mt19937 random(7);
        platform::CaptureClock clock;
        Card card { row.rate_hz };
        std::int64_t now = epoch + 20 * ms, read_frames = 0;
        EXPECT_LT(worst_error(clock, card, now, read_frames, 2'000 * ms, 1'000 * ms, random), 3 * ms);
        card.skipped_frames = row.skipped_after_2s;
        EXPECT_LT(worst_error(clock, card, now, read_frames, 58'000 * ms, 0, random), row.bound);
    }
}

}
