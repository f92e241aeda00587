// What a clip window costs the page server beyond the read itself: handle_request serving a 4 MiB window of
// a clip in the page cache (routing, id checks, open, size, the read into a new buffer, the headers),
// against a bare pread of the same bytes into a new buffer from a file already open.

#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <unistd.h>

#include "app/api/page_server.h"
#include "base/file_io.h"
#include "engine/engine.h"
#include "tests/support/temp_dir.h"

namespace fs = std::filesystem;

namespace {

constexpr std::uint64_t clip_bytes = 10'000'000;
constexpr std::uint64_t window_first = 2'000'000;

struct Clip {
    fs::path folder = testing_support::make_temp_dir("quillmar-page-bench");
    std::shared_ptr<api::App> app;

    Clip()
    {
        fs::create_directories(folder / ".quillmar");
        std::vector<std::uint8_t> bytes(clip_bytes, 0x5A);
        auto fd = files::open_write(folder / "partie.mp4", files::Create::Truncate);
        (void)files::write_all(fd->get(), bytes);
        engine::EngineParts parts;
        parts.clips_folder = folder;
        parts.shared = std::make_shared<shared::Shared>();
        app = std::make_shared<api::App>(std::make_shared<engine::Engine>(std::move(parts)));
    }
    ~Clip() { fs::remove_all(folder); }
};

Clip& clip()
{
    static Clip value;
    return value;
}

void HandleRequestWindow(benchmark::State& state)
{
    auto& c = clip();
    std::size_t served = 0;
    for (auto _ : state) {
        platform::PageResponse answer;
        api::PageJob job { nullptr,
                           { "GET", "quillmar://app/clip/partie", { { "Range", fmt::format("bytes={}-", window_first) } }, {} },
                           api::Responder([&](platform::PageResponse response) { answer = std::move(response); }),
                           c.app };
        api::handle_request(job);
        served = answer.bytes().size();
        benchmark::DoNotOptimize(answer.bytes().data());
    }
    if (served != api::clip_window_bytes)
        state.SkipWithError("wrong window");
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * api::clip_window_bytes));
}

void PreadWindow(benchmark::State& state)
{
    auto fd = files::open_read(clip().folder / "partie.mp4");
    for (auto _ : state) {
        std::vector<std::uint8_t> bytes(api::clip_window_bytes);
        if (!files::pread_exact(fd->get(), std::span<std::uint8_t>(bytes), window_first))
            state.SkipWithError("read failed");
        benchmark::DoNotOptimize(bytes.data());
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * api::clip_window_bytes));
}

}

BENCHMARK(HandleRequestWindow)->Unit(benchmark::kMicrosecond);
BENCHMARK(PreadWindow)->Unit(benchmark::kMicrosecond);
BENCHMARK_MAIN();
