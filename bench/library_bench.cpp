// Listing cost: every listing reads the folder and every sidecar again (nothing is cached), so the page's
// "clips" call costs this much per clip.

#include <benchmark/benchmark.h>

#include "library/library.h"
#include "tests/support/temp_dir.h"

namespace fs = std::filesystem;

static void ListClips(benchmark::State& state)
{
    auto root = testing_support::make_temp_dir("quillmar-bench");
    auto folder = root / "clips";
    (void)library::ensure_meta_dir(folder);
    for (int i = 0; i < state.range(0); ++i) {
        auto id = fmt::format("Valorant 2024-05-01 21-{:04}", i);
        std::FILE* file = std::fopen((folder / (id + ".mp4")).c_str(), "w");
        std::fclose(file);
        (void)library::save_clip_metadata(folder,
            { id, "Valorant 21h04", "Valorant", 1714597450u + static_cast<std::uint64_t>(i), 30.0, 12345678, false,
                false, 1920, 1080 });
    }
    for (auto _ : state)
        benchmark::DoNotOptimize(library::list_clips(folder));
    state.SetItemsProcessed(state.iterations() * state.range(0));
    std::error_code ec;
    fs::remove_all(root, ec);
}
BENCHMARK(ListClips)->Arg(100)->Arg(1000)->Unit(benchmark::kMillisecond);

static void EditFavorite(benchmark::State& state)
{
    auto root = testing_support::make_temp_dir("quillmar-bench");
    auto folder = root / "clips";
    (void)library::ensure_meta_dir(folder);
    std::FILE* file = std::fopen((folder / "c.mp4").c_str(), "w");
    std::fclose(file);
    bool value = false;
    for (auto _ : state)
        benchmark::DoNotOptimize(library::set_favorite(folder, "c", value = !value));
    std::error_code ec;
    fs::remove_all(root, ec);
}
BENCHMARK(EditFavorite)->Unit(benchmark::kMicrosecond);

BENCHMARK_MAIN();
