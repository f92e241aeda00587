// What the recording's journal costs and what it buys back, in one folder given as the only argument.
//
// 1. Three times each, alternating: ten minutes of 1080p60 H.264 at the Standard rate (6 Mbit/s), then at 19.5
//    Mbit/s (the Standard rate at 2160p60; a keyframe a second eight times the size of the other frames) and 192 kbit/s
//    AAC, synthetic packets fed through mp4::Recorder as the recording thread feeds them, as fast as the recorder
//    takes them, then finished (index, size, sync): once without a journal, once with its journal, reserve and
//    syncs. CPU time of the process (user + system) and wall time over feed and finish, and the bytes handed to
//    write() and sent to the disk (/proc/self/io). The journaled file is then completed again from its journal:
//    the work of the next start after a kill.
// 2. One hour of 60 fps video and audio with tiny payloads (the index is what an hour weighs; its media is
//    written before either step and synced): the normal finish against the start-up completion from the journal.

#include <chrono>
#include <cstdio>
#include <fstream>
#include <random>
#include <string>

#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include "core/mp4_journal.h"
#include "core/mp4_recorder.h"

namespace fs = std::filesystem;

namespace {

constexpr std::int64_t second = 10'000'000;
constexpr std::int64_t aac_frame = 213'333;
const mp4::VideoConfig video_config { { 1, 0x64, 0, 0x28, 0xFF, 0xE1, 0, 4, 0x67, 0x64, 0, 0x28, 1, 0, 4, 0x68, 0xEE, 0x3C, 0x80 },
                                      1920, 1080, Codec::H264 };
constexpr mp4::AudioConfig audio_config { 48'000, 192'000, 2 };

double cpu_seconds()
{
    rusage usage {};
    getrusage(RUSAGE_SELF, &usage);
    auto secs = [](timeval t) { return double(t.tv_sec) + double(t.tv_usec) / 1e6; };
    return secs(usage.ru_utime) + secs(usage.ru_stime);
}

double now_seconds()
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

struct Io {
    std::uint64_t wchar { 0 };
    std::uint64_t write_bytes { 0 };
};

Io io_now()
{
    Io io;
    std::ifstream in("/proc/self/io");
    std::string key;
    std::uint64_t value = 0;
    while (in >> key >> value) {
        if (key == "wchar:")
            io.wchar = value;
        else if (key == "write_bytes:")
            io.write_bytes = value;
    }
    return io;
}

SharedBytes random_bytes(std::size_t size, std::mt19937& random)
{
    std::vector<std::uint8_t> bytes(size);
    for (auto& b : bytes)
        b = static_cast<std::uint8_t>(random());
    return make_shared_bytes(std::move(bytes));
}

struct Feed {
    SharedBytes keyframe, frame, audio;
};

// Feeds [from, to) of 60 fps video and AAC.
bool feed(mp4::Recorder& recorder, Feed const& bytes, std::int64_t from, std::int64_t to, std::int64_t& next_audio)
{
    for (std::int64_t n = from * 60 / second;; ++n) {
        std::int64_t t = n * second / 60;
        if (t >= to)
            return true;
        for (; next_audio <= t; next_audio += aac_frame) {
            if (!recorder.push_audio({ bytes.audio, next_audio, Packet::keyframe_flag }))
                return false;
        }
        bool key = n % 60 == 0;
        if (!recorder.push_video({ key ? bytes.keyframe : bytes.frame, t, std::uint8_t(key ? 1 : 0) }))
            return false;
    }
}

struct Recording {
    mp4::Recorder recorder;
    fs::path mp4;
    fs::path journal;
};

Recording start(fs::path const& dir, std::string const& name, bool journaled)
{
    auto mp4 = dir / (name + ".mp4");
    auto recorder = mp4::Recorder::start(std::move(*files::open_read_write(mp4, files::Create::Truncate)), Codec::H264);
    auto journal = dir / (name + ".journal");
    if (journaled) {
        (void)recorder->keep_journal(std::move(*files::create_temp(journal)), { video_config, audio_config, "Jeu" });
        (void)recorder->keep_reserve(std::move(*files::create_temp(dir / (name + ".reserve"))));
    }
    return { std::move(*recorder), mp4, journal };
}

// A finished recording is first put back as a kill leaves it (no index, mdat size 0; a finished one is left as
// it is), then timed as the next start completes it: read the journal, look for an index, write it, sync.
double complete_from_journal(Recording& recording)
{
    auto fd = files::open_read_write(recording.mp4, files::Create::No);
    (void)files::truncate_fd(fd->get(), mp4::recording_media_start + recording.recorder.written());
    std::vector<std::uint8_t> unsized(8, 0);
    (void)files::pwrite_all(fd->get(), unsized, mp4::recording_mdat_position + 8);
    (void)files::fdatasync_fd(fd->get());
    double t0 = now_seconds();
    auto journal = files::open_read(recording.journal);
    auto contents = mp4::read_journal_file(journal->get());
    auto completed = contents && *contents ? mp4::complete_from_journal(fd->get(), std::move(**contents))
                                           : Result<mp4::Completed>(fail(std::string("journal illisible")));
    double elapsed = now_seconds() - t0;
    if (!completed)
        std::fprintf(stderr, "completion failed: %s\n", completed.error().c_str());
    return elapsed;
}

// The journal's bytes go with the samples, not with their sizes, so its share is largest at the lowest rate:
// measured at the 1080p60 Standard rate (6 Mbit/s) and at 19.5 Mbit/s.
void ten_minutes(fs::path const& dir, double mbit_per_second)
{
    std::mt19937 random(7);
    // At 60 fps, one keyframe of 8 shares and 59 frames of one: 67 shares a second.
    std::size_t const share = std::size_t(mbit_per_second * 1e6 / 8) / 67;
    Feed bytes { random_bytes(8 * share, random), random_bytes(share, random), random_bytes(512, random) };
    std::printf("10 min of 1080p60 at %.1f Mbit/s + AAC 192 kbit/s (synthetic packets)\n", mbit_per_second);
    std::printf("%-8s %7s %7s %9s %11s %11s %8s %12s %11s\n", "run", "cpu s", "wall s", "file MB", "write() MB",
                "to disk MB", "finish s", "completion s", "journal MB");
    for (bool journaled : { false, true, false, true, false, true }) {
        auto io0 = io_now();
        double cpu0 = cpu_seconds(), wall0 = now_seconds();
        auto recording = start(dir, journaled ? "journaled" : "plain", journaled);
        std::int64_t next_audio = 0;
        if (!feed(recording.recorder, bytes, 0, 600 * second, next_audio))
            std::fprintf(stderr, "write failed\n");
        double t_end = now_seconds();
        (void)recording.recorder.finish(video_config, &audio_config);
        double end = now_seconds() - t_end;
        double cpu = cpu_seconds() - cpu0, wall = now_seconds() - wall0;
        auto io = io_now();
        // The work of the next start after a kill (read and check the journal, index, size, syncs).
        double completion = journaled ? complete_from_journal(recording) : 0;
        std::error_code ec;
        double journal_mb = journaled ? double(fs::file_size(recording.journal, ec)) / 1e6 : 0;
        std::printf("%-8s %7.3f %7.3f %9.1f %11.3f %11.3f %8.3f %12.3f %11.3f\n", journaled ? "journal" : "plain", cpu,
                    wall, double(fs::file_size(recording.mp4)) / 1e6, double(io.wchar - io0.wchar) / 1e6,
                    double(io.write_bytes - io0.write_bytes) / 1e6, end, completion, journal_mb);
        fs::remove(recording.mp4, ec);
        fs::remove(recording.journal, ec);
        fs::remove(recording.journal.parent_path() / "journaled.reserve", ec);
    }
}

void one_hour(fs::path const& dir)
{
    std::mt19937 random(9);
    Feed bytes { random_bytes(64, random), random_bytes(64, random), random_bytes(8, random) };
    std::printf("\none hour of 60 fps video + AAC, index only (tiny payloads)\n");
    for (bool journaled : { false, true }) {
        auto recording = start(dir, journaled ? "hour-journaled" : "hour-plain", journaled);
        std::int64_t next_audio = 0;
        double t0 = now_seconds();
        (void)feed(recording.recorder, bytes, 0, 3600 * second, next_audio);
        (void)recording.recorder.write_chunk();
        double fed = now_seconds() - t0;
        if (journaled) {
            double end = complete_from_journal(recording);
            std::printf("start-up completion from the journal (%.1f MB): %.3f s (feeding it: %.3f s)\n",
                        double(fs::file_size(recording.journal)) / 1e6, end, fed);
        } else {
            // Its media on disk first, as the journaled one's is once the recorder has synced it.
            int fd = ::open(recording.mp4.c_str(), O_RDONLY);
            (void)files::fdatasync_fd(fd);
            ::close(fd);
            double t1 = now_seconds();
            auto finished = recording.recorder.finish(video_config, &audio_config);
            std::printf("normal finish: %.3f s, %.1f MB file (feeding it: %.3f s)\n", now_seconds() - t1,
                        finished ? double(finished->bytes) / 1e6 : 0.0, fed);
        }
        std::error_code ec;
        fs::remove(recording.mp4, ec);
        fs::remove(recording.journal, ec);
        fs::remove(dir / "hour-journaled.reserve", ec);
    }
}

}

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s FOLDER\n", argv[0]);
        return 2;
    }
    ten_minutes(argv[1], 6.0);
    ten_minutes(argv[1], 19.5);
    one_hour(argv[1]);
    return 0;
}
