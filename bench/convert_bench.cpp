// Conversion of one captured picture into the encoder's frame: BT.709 limited range, chroma sited left.
#include <benchmark/benchmark.h>

#include <vector>

#include "engine/gfx.h"
#include "platform/linux/x11_capture.h"

namespace {

std::vector<std::uint8_t> test_picture(std::uint32_t w, std::uint32_t h)
{
    std::vector<std::uint8_t> pixels(std::size_t(w) * h * 4);
    for (std::uint32_t y = 0; y < h; ++y)
        for (std::uint32_t x = 0; x < w; ++x) {
            auto* p = &pixels[(std::size_t(y) * w + x) * 4];
            p[0] = std::uint8_t(x * 3 + y);
            p[1] = std::uint8_t(x ^ y);
            p[2] = std::uint8_t(y * 5);
            p[3] = 255;
        }
    return pixels;
}

void convert(benchmark::State& state, std::uint32_t sw, std::uint32_t sh, std::uint32_t ow, std::uint32_t oh,
    platform::PixelLayout layout)
{
    auto pixels = test_picture(sw, sh);
    auto converter = platform::yuv::converter(sw, sh, gfx::letterbox_rect(sw, sh, ow, oh));
    gfx::FramePool pool(ow, oh, layout, 2);
    auto frame = pool.acquire();
    platform::BgraImage const image { pixels.data(), sw, sh, std::size_t(sw) * 4 };
    for (auto _ : state) {
        converter->convert(image, *frame);
        benchmark::DoNotOptimize(frame->planes[0][0]);
    }
}

BENCHMARK_CAPTURE(convert, nv12_1080p, 1920, 1080, 1920, 1080, platform::PixelLayout::Nv12)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(convert, i420_1080p, 1920, 1080, 1920, 1080, platform::PixelLayout::I420)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(convert, nv12_1440p_to_1080p, 2560, 1440, 1920, 1080, platform::PixelLayout::Nv12)
    ->Unit(benchmark::kMillisecond);

}

BENCHMARK_MAIN();
