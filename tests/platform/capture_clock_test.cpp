// Capture times of a stream whose reported latency jitters: a simulated sound card delivers 5 ms blocks, the
// reader wakes every 10 ms or so, and each latency reading is off by up to ±8 ms.

#include "platform/linux/capture_clock.h"

#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

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

// The reader held up longer than the server's queue for the stream lasts. The server keeps the oldest sound
// and drops what it records while the queue is full; its write index counts only what it kept, so readings,
// (written - read) frames plus the time since the report, leave out all it dropped. Each read sees the report
// asked at the read before (the first one after the stall: the one from before it, extrapolated over the
// stall), measures, and reads the backlog a second at a time, measuring again where the hold ends, as the
// stream does. Every packet, the backlog included, must be dated within 40 ms of when it was recorded.
TEST(CaptureClock, AfterTheServerQueueOverflowedPacketsKeepTheirTimes)
{
    struct Row {
        char const* what;
        std::int64_t stall;
    };
    constexpr std::int64_t capacity = 22 * 48'000;  // frames the server's queue holds
    constexpr Row rows[] = { { "30 s stall, 8 s dropped", 30'000 * ms },
                             { "20 s stall, queue nearly full, nothing dropped", 20'000 * ms },
                             { "10 s stall", 10'000 * ms } };
    for (auto const& row : rows) {
        SCOPED_TRACE(row.what);
        std::mt19937 random(7);
        std::uniform_int_distribution<std::int64_t> wake(7 * ms, 13 * ms);
        platform::CaptureClock clock;
        std::vector<std::int64_t> kept;  // capture time of each 5 ms block the server kept, in stream order
        std::int64_t captured_blocks = 0, read_blocks = 0;
        std::int64_t now = epoch + 20 * ms, asked_at = now, written_when_asked = 0;
        std::int64_t const stall_at = epoch + 3'000 * ms;
        bool stalled = false;
        std::int64_t worst = 0;
        while (now < epoch + 45'000 * ms) {
            std::int64_t next = now + wake(random);
            if (!stalled && next > stall_at) {
                next += row.stall;
                stalled = true;
            }
            for (; epoch + (captured_blocks + 1) * 5 * ms <= next; ++captured_blocks) {
                if (std::int64_t(kept.size()) - read_blocks < capacity / 240)
                    kept.push_back(epoch + captured_blocks * 5 * ms);
            }
            now = next;
            std::int64_t const report_time = asked_at, report_written = written_when_asked;
            asked_at = now;
            written_when_asked = std::int64_t(kept.size()) * 240;
            auto reading = [&] {
                return platform::CaptureClock::frames_to_ticks(report_written - read_blocks * 240) + now - report_time;
            };
            if (std::int64_t(kept.size()) == read_blocks)
                continue;
            clock.queue_report(report_written, capacity);
            clock.measure(now, reading());
            for (std::int64_t until = std::min<std::int64_t>(kept.size(), read_blocks + 200); read_blocks < until;) {
                bool const held = clock.holding();
                worst = std::max<std::int64_t>(worst, std::llabs(clock.take(240) - kept[std::size_t(read_blocks)]));
                ++read_blocks;
                if (held && !clock.holding())
                    clock.measure(now, reading());
            }
        }
        EXPECT_LT(worst, 40 * ms);
    }
}

}
