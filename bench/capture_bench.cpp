// Whole-process capture benchmark, driven by capture_vs_ffmpeg.sh and capture_as_played.sh under
// scripts/desktop-session.
//
//   capture_bench paint SECONDS         animates the screen (a separate process, so that its cost is nobody's)
//   capture_bench floor SECONDS [DIR]   the floor: grabs and converts 120 frames once, then feeds them from
//                                       memory to the same encoder with the same settings and the same 60 fps
//                                       pacing; DIR receives the stream (floor.h264) and the source frames
//                                       (source.yuv, read from there instead when it exists) for a PSNR check
//   capture_bench ours SECONDS          the program's path: an engine with the real video and sound bodies,
//                                       started and stopped as the gate does; frames and drops come from the
//                                       API's "status" method
//
// Each mode prints the CPU time of its measured phase, a per-thread table (utime + stime from
// /proc/self/task, grouped by thread name) and, for "ours", the resident memory fresh, after the encoder probe
// (which loads every encoder library), steady (second half of the run) and 2 s after stop.

#include <pthread.h>
#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <thread>

#include "app/api/api.h"
#include "engine/audio.h"
#include "engine/engine.h"
#include "engine/shared.h"
#include "engine/spill_thread.h"
#include "engine/video.h"
#include "platform/aac_encoder.h"
#include "platform/audio_source.h"
#include "platform/linux/lavc_encoder.h"
#include "platform/memory.h"
#include "tests/capture/x11_painter.h"

namespace {

using namespace std::chrono_literals;

double cpu_seconds()
{
    rusage usage {};
    getrusage(RUSAGE_SELF, &usage);
    return double(usage.ru_utime.tv_sec) + double(usage.ru_utime.tv_usec) / 1e6 + double(usage.ru_stime.tv_sec)
        + double(usage.ru_stime.tv_usec) / 1e6;
}

double rss_mib()
{
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);)
        if (line.starts_with("VmRSS:"))
            return std::atof(line.c_str() + 6) / 1024.0;
    return 0;
}

struct ThreadTime {
    std::string name;
    double cpu { 0 };
};

// utime + stime of every live thread of this process, by thread id.
std::map<int, ThreadTime> thread_times()
{
    std::map<int, ThreadTime> times;
    double const tick = 1.0 / double(sysconf(_SC_CLK_TCK));
    for (auto const& entry : std::filesystem::directory_iterator("/proc/self/task")) {
        std::ifstream file(entry.path() / "stat");
        std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
        auto const open = text.find('('), close = text.rfind(')');
        if (open == std::string::npos || close == std::string::npos)
            continue;
        // After the name: state (field 3) ... utime (14), stime (15).
        char const* rest = text.c_str() + close + 2;
        unsigned long long utime = 0, stime = 0;
        if (std::sscanf(rest, "%*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %llu %llu", &utime, &stime) != 2)
            continue;
        times[std::atoi(entry.path().filename().c_str())]
            = { text.substr(open + 1, close - open - 1), double(utime + stime) * tick };
    }
    return times;
}

// What each thread name spent since `before`, largest first.
void print_threads(std::map<int, ThreadTime> const& before)
{
    std::map<std::string, std::pair<int, double>> by_name;
    for (auto const& [tid, now] : thread_times()) {
        auto it = before.find(tid);
        auto& row = by_name[now.name];
        row.first += 1;
        row.second += now.cpu - (it == before.end() ? 0.0 : it->second.cpu);
    }
    std::multimap<double, std::string, std::greater<>> sorted;
    for (auto const& [name, row] : by_name)
        sorted.emplace(row.second, fmt::format("thread {:<16} x{:<2} {:7.2f} s", name, row.first, row.second));
    for (auto const& [cpu, line] : sorted)
        std::printf("%s\n", line.c_str());
}

int run_floor(double seconds, char const* dump)
{
    auto const& capture = platform::capture_drivers()[0];
    auto const& encoders = platform::encoder_drivers()[0];
    auto monitor = video::pick_monitor(capture.monitors().value_or(std::vector<platform::MonitorInfo> {}), std::nullopt);
    if (!monitor)
        return std::fprintf(stderr, "no monitor\n"), 1;
    auto source = capture.open(*monitor);
    if (!source)
        return std::fprintf(stderr, "%s\n", source.error().c_str()), 1;
    auto const [width, height] = video::scale_to_resolution(settings::Resolution::P1080, (*source)->width(), (*source)->height());
    auto const params = video::choose_encoder(video::probe_encoders(encoders), Codec::H264, width, height, 60, settings::Quality::Standard);
    auto encoder = encoders.open(params);
    if (!encoder)
        return std::fprintf(stderr, "%s\n", encoder.error().c_str()), 1;

    constexpr std::size_t count = 120;
    gfx::FramePool pool(width, height, (*encoder)->input_layout(), count);
    std::vector<std::shared_ptr<platform::YuvImage>> frames;
    // With DIR holding a source.yuv already, its frames are encoded again: the PSNR of two builds is then
    // measured on the same pictures.
    std::string const source_path = dump ? std::string(dump) + "/source.yuv" : std::string();
    std::FILE* saved = dump ? std::fopen(source_path.c_str(), "rb") : nullptr;
    auto rows = [&](platform::YuvImage const& frame, auto&& io) {
        for (std::uint32_t y = 0; y < height; ++y)
            io(frame.planes[0] + y * frame.strides[0]);
        for (std::uint32_t y = 0; y < height / 2; ++y)
            io(frame.planes[1] + y * frame.strides[1]);
    };
    if (saved) {
        while (frames.size() < count) {
            frames.push_back(pool.acquire());
            rows(*frames.back(), [&](std::uint8_t* row) { (void)!std::fread(row, 1, width, saved); });
        }
        std::fclose(saved);
    } else {
        auto converter = capture.converter((*source)->width(), (*source)->height(),
            gfx::letterbox_rect((*source)->width(), (*source)->height(), width, height));
        auto const clock = video::real_clock();
        video::Pacer pacer(clock.now(), 60);
        while (frames.size() < count) {
            clock.sleep_until(pacer.next(clock.now()).deadline);
            if (!(*source)->grab())
                return 1;
            frames.push_back(pool.acquire());
            converter->convert((*source)->image(), *frames.back());
        }
        if (dump) {
            std::FILE* raw = std::fopen(source_path.c_str(), "wb");
            for (auto const& frame : frames)
                rows(*frame, [&](std::uint8_t* row) { std::fwrite(row, 1, width, raw); });
            std::fclose(raw);
        }
    }
    source->reset();
    std::FILE* stream = nullptr;
    if (dump) {
        stream = std::fopen((std::string(dump) + "/floor.h264").c_str(), "wb");
    }

    auto const threads_before = thread_times();
    double const cpu_before = cpu_seconds();
    auto const clock = video::real_clock();
    video::Pacer pacer(clock.now(), 60);
    auto const total = std::size_t(seconds * 60);
    std::vector<platform::EncodedPacket> packets;
    auto const write = [&] {
        if (stream)
            for (auto const& packet : packets)
                std::fwrite(packet.data.data(), 1, packet.data.size(), stream);
        packets.clear();
    };
    for (std::size_t k = 0; k < total; ++k) {
        auto const slot = pacer.next(clock.now());
        clock.sleep_until(slot.deadline);
        if (!(*encoder)->encode(platform::VideoFrame { frames[k % count], slot.deadline, pacer.interval() }, packets))
            return 1;
        write();
    }
    (void)(*encoder)->flush(packets);
    write();
    std::printf("frames %zu\ncpu %.2f s\n", total, cpu_seconds() - cpu_before);
    print_threads(threads_before);
    if (stream)
        std::fclose(stream);
    return 0;
}

int run_ours(double seconds)
{
    double const fresh = rss_mib();
    // Probing opens every encoder once per process; the program does it for its first "caps" call.
    (void)video::probe_encoders(platform::encoder_drivers()[0]);
    double const probed = rss_mib();
    auto const home = std::filesystem::temp_directory_path() / fmt::format("capture-bench-{}", getpid());
    std::filesystem::create_directories(home);

    engine::EngineParts parts;
    parts.shared = std::make_shared<shared::Shared>();
    parts.clips_folder = home;
    parts.settings_path = home / "settings.json";
    parts.bodies.video = video::video_body({ &platform::capture_drivers()[0], &platform::encoder_drivers()[0] });
    parts.bodies.audio
        = audio::thread_body(audio::real_runtime(platform::pulse_audio_driver, platform::lavc_aac_driver));
    parts.bodies.release_memory = platform::release_free_memory;
    auto engine = std::make_shared<engine::Engine>(std::move(parts));
    // As in the program, older video leaves memory for segment files every 0.5 s; the thread ends with Shared.
    std::thread spill([weak = std::weak_ptr<shared::Shared>(engine->shared), folder = home / "buffer"] {
        pthread_setname_np(pthread_self(), "quillmar-spill");
        spill::spill_thread_main(weak, folder);
    });
    settings::Settings const settings; // 1080p60, H.264, Standard, game sound and microphone

    auto status = [&] { return api::status_value(*engine)["status"]; };
    auto const threads_before = thread_times();
    double const cpu_before = cpu_seconds();
    auto const started = std::chrono::steady_clock::now();
    {
        auto guard = engine->pipeline_lock.lock();
        engine::start_pipeline(*engine, settings);
    }
    // Start-up drops: those counted in the first second after the status says the capture runs.
    std::optional<std::chrono::steady_clock::time_point> running_since;
    std::optional<std::uint64_t> first_second_drops;
    double steady = 0;
    auto const end = started + std::chrono::duration<double>(seconds);
    while (std::chrono::steady_clock::now() < end) {
        std::this_thread::sleep_for(50ms);
        auto const now = std::chrono::steady_clock::now();
        auto const value = status();
        if (!running_since && value["running"].get<bool>())
            running_since = now;
        if (running_since && !first_second_drops && now - *running_since >= 1s)
            first_second_drops = value["drops"].get<std::uint64_t>();
        if (now - started > std::chrono::duration<double>(seconds / 2))
            steady = std::max(steady, rss_mib());
    }
    auto const last = status();
    std::printf("encoder %s %ux%u@%u\n", last["encoder"].get<std::string>().c_str(), last["width"].get<unsigned>(),
        last["height"].get<unsigned>(), last["fps"].get<unsigned>());
    std::printf("ring memory %.1f MiB\n", last["memoryBytes"].get<double>() / 1048576.0);
    std::printf("frames %llu drops %llu first-second-drops %lld\n",
        (unsigned long long)last["frames"].get<std::uint64_t>(), (unsigned long long)last["drops"].get<std::uint64_t>(),
        first_second_drops ? (long long)*first_second_drops : -1LL);
    print_threads(threads_before);
    {
        auto guard = engine->pipeline_lock.lock();
        engine::stop_pipelines(*engine);
    }
    std::printf("cpu %.2f s\n", cpu_seconds() - cpu_before);
    std::this_thread::sleep_for(2s);
    std::printf("rss fresh %.1f MiB probed %.1f MiB steady %.1f MiB after-stop %.1f MiB\n", fresh, probed, steady,
        rss_mib());
    engine.reset();
    spill.join();
    std::filesystem::remove_all(home);
    return 0;
}

}

int main(int argc, char** argv)
{
    if (argc < 3) {
        std::fprintf(stderr, "usage: capture_bench paint|floor|ours SECONDS [DIR]\n");
        return 2;
    }
    double const seconds = std::atof(argv[2]);
    platform::lavc::quiet_library_logs();
    if (std::strcmp(argv[1], "paint") == 0) {
        capture_test::Painter painter;
        if (!painter.start())
            return 1;
        std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
        return 0;
    }
    if (std::strcmp(argv[1], "floor") == 0)
        return run_floor(seconds, argc > 3 ? argv[3] : nullptr);
    if (std::strcmp(argv[1], "ours") == 0)
        return run_ours(seconds);
    return 2;
}
