// Cost of one look of the games thread: the rules alone, and a real look through the X11 probe.

#include <benchmark/benchmark.h>

#include "engine/foreground.h"
#include "platform/linux/x11_foreground.h"

namespace {

void RulesUnknownFullscreenWindow(benchmark::State& state)
{
    platform::WindowInfo window;
    window.exe_name = "MyGame-Win64-Shipping.exe";
    window.title = "Super Game\u2122 v1.2.3 - Chapitre 2";
    window.covers_monitor = true;
    for (auto _ : state)
        benchmark::DoNotOptimize(foreground::classify_window(window));
}
BENCHMARK(RulesUnknownFullscreenWindow);

void X11ProbeSample(benchmark::State& state)
{
    auto probe = platform::x11::open_foreground_probe({});
    if (!probe) {
        state.SkipWithError(probe.error().c_str());
        return;
    }
    for (auto _ : state)
        benchmark::DoNotOptimize(foreground::detect_foreground_game(**probe));
}
BENCHMARK(X11ProbeSample);

}

BENCHMARK_MAIN();
