#pragma once
// The engine's time base. Every sample time, foreground-history time, save window, ring window and frame
// deadline is a count of 100 ns ticks on the monotonic clock. Its zero is an arbitrary point before the
// process started, so ticks are compared and subtracted, never shown as a date. Callable from any thread.

#include <cstdint>

namespace ticks {

using Ticks = std::int64_t;

constexpr Ticks ticks_per_second = 10'000'000;
constexpr Ticks ticks_per_ms = 10'000;
constexpr Ticks ns_per_tick = 100;

// CLOCK_MONOTONIC in ticks; a failed read gives 0 for that call and is not reported.
Ticks now();

}
