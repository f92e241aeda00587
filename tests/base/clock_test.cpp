#include "base/clock.h"

#include <time.h>

#include <gtest/gtest.h>

TEST(TicksNow, MatchesMonotonicClockInHundredNanoseconds)
{
    timespec before {};
    clock_gettime(CLOCK_MONOTONIC, &before);
    auto value = ticks::now();
    timespec after {};
    clock_gettime(CLOCK_MONOTONIC, &after);
    auto as_ticks = [](timespec const& ts) { return ts.tv_sec * 10'000'000LL + ts.tv_nsec / 100; };
    EXPECT_GE(value, as_ticks(before));
    EXPECT_LE(value, as_ticks(after));
    EXPECT_LE(value, ticks::now());
}
