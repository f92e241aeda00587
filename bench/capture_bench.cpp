// Whole-process capture benchmark. "paint SECONDS" animates the screen (a separate process, so that its cost
// is nobody's); "ours SECONDS [codec]" runs the real video thread at 1080p60, Standard quality, and prints the
// frames, the drops and the process's CPU time. capture_vs_ffmpeg.sh compares it with ffmpeg's x11grab.

#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "engine/shared.h"
#include "engine/video.h"
#include "tests/capture/x11_painter.h"

namespace {

double cpu_seconds()
{
    rusage usage {};
    getrusage(RUSAGE_SELF, &usage);
    return double(usage.ru_utime.tv_sec) + double(usage.ru_utime.tv_usec) / 1e6 + double(usage.ru_stime.tv_sec)
        + double(usage.ru_stime.tv_usec) / 1e6;
}

}

int main(int argc, char** argv)
{
    if (argc < 3) {
        std::fprintf(stderr, "usage: capture_bench paint|ours SECONDS [codec]\n");
        return 2;
    }
    double const seconds = std::atof(argv[2]);
    if (std::strcmp(argv[1], "paint") == 0) {
        capture_test::Painter painter;
        if (!painter.start())
            return 1;
        std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
        return 0;
    }

    auto shared = std::make_shared<shared::Shared>();
    auto stop = std::make_shared<std::atomic<bool>>(false);
    video::VideoJob job;
    job.stop = stop;
    job.fps = 60;
    job.codec = std::uint8_t(argc > 3 ? std::atoi(argv[3]) : 0);
    job.quality = 1;
    job.resolution = 1;
    job.shared = shared;
    job.report_error = [](std::string const& text) { std::fprintf(stderr, "%s\n", text.c_str()); };
    job.drivers = { &platform::capture_drivers()[0], &platform::encoder_drivers()[0] };
    job.clock = video::real_clock();
    double const cpu_before = cpu_seconds();
    auto const wall_before = std::chrono::steady_clock::now();
    std::thread thread([job = std::move(job)]() mutable { video::run_video(std::move(job)); });
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    auto const frames = shared->frames.load();
    auto const drops = shared->drops.load();
    auto const samples = shared->rings.with([](shared::Rings& rings) { return rings.video.samples.size(); });
    stop->store(true);
    thread.join();
    double const wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - wall_before).count();
    auto const status = shared->status.copy();
    std::printf("encoder %s %ux%u@%u\nframes %llu drops %llu samples %zu\nwall %.2f s cpu %.2f s\n",
        status.encoder.c_str(), status.width, status.height, status.fps, (unsigned long long)frames,
        (unsigned long long)drops, samples, wall, cpu_seconds() - cpu_before);
    return 0;
}
