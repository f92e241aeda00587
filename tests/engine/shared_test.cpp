// The shared rings: segment records across pipeline restarts, and the spill rounds that move their older
// samples to segment files, alone and while the encoder, the sound and the gate change the rings.

#include "engine/shared.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <fstream>
#include <limits>
#include <thread>

#include <gtest/gtest.h>

#include "engine/spill_thread.h"
#include "tests/support/temp_dir.h"

namespace {

constexpr std::int64_t second = 10'000'000;

Packet packet(std::int64_t time, bool keyframe, std::size_t size = 100, std::uint8_t fill = 7)
{
    return Packet { make_shared_bytes(std::vector<std::uint8_t>(size, fill)), time,
                    static_cast<std::uint8_t>(keyframe ? Packet::keyframe_flag : 0) };
}

mp4::VideoConfig config(std::uint32_t width)
{
    mp4::VideoConfig value;
    value.record = { 1, 2, 3 };
    value.width = width;
    value.height = 720;
    return value;
}

// One pipeline start: a stream description, then a second of video.
void run_segment(shared::Shared& shared, std::uint32_t width, std::int64_t start)
{
    shared::store_video_config(shared, config(width));
    shared::push_video(shared, packet(start, true));
    shared::push_video(shared, packet(start + second / 2, false));
}

std::uint64_t video_ring_id(shared::Shared& shared)
{
    return shared.rings.with([](shared::Rings& rings) { return rings.video.id; });
}

}

TEST(SharedNewSegment, ThreeRestartsKeepTheLastTwoRecords)
{
    shared::Shared shared;
    std::vector<std::uint64_t> retired;
    for (std::uint32_t restart = 1; restart <= 3; ++restart) {
        run_segment(shared, 100 * restart, restart * 10 * second);
        retired.push_back(video_ring_id(shared));
        shared::new_segment(shared);
    }
    shared.rings.with([&](shared::Rings& rings) {
        ASSERT_EQ(rings.segments.size(), 2u);
        EXPECT_EQ(rings.segments[0].config.width, 200u);
        EXPECT_EQ(rings.segments[0].ring.id, retired[1]);
        EXPECT_EQ(rings.segments[1].config.width, 300u);
        EXPECT_EQ(rings.segments[1].ring.id, retired[2]);
        EXPECT_TRUE(rings.video.samples.empty());
    });
    EXPECT_FALSE(shared.video_config.copy());
}

TEST(SharedNewSegment, KeepsNoRecordWithoutConfigOrSamples)
{
    struct Row {
        char const* name;
        bool with_config;
        bool with_samples;
    };
    constexpr Row rows[] = { { "empty ring", true, false }, { "no keyframe encoded", false, true }, { "nothing", false, false } };
    for (auto const& row : rows) {
        SCOPED_TRACE(row.name);
        shared::Shared shared;
        if (row.with_config)
            shared::store_video_config(shared, config(640));
        if (row.with_samples)
            shared::push_video(shared, packet(second, true));
        shared.frames = 12;
        shared.drops = 3;
        auto before = video_ring_id(shared);
        shared::new_segment(shared);
        shared.rings.with([&](shared::Rings& rings) {
            EXPECT_TRUE(rings.segments.empty());
            EXPECT_GT(rings.video.id, before);
        });
        EXPECT_EQ(shared.frames.load(), 0u);
        EXPECT_EQ(shared.drops.load(), 0u);
    }
}

TEST(SharedNewSegment, StopsAnAttachedRecordingSoItEndsOnTheOldStream)
{
    shared::Shared shared;
    run_segment(shared, 640, second);
    auto [sink, live] = channel::make<shared::LiveSample>();
    shared.rings.with([&](shared::Rings& rings) { rings.sink = std::move(sink); });
    shared::push_video(shared, packet(2 * second, false));

    shared::new_segment(shared);
    // Samples of the restarted encoder must not reach the old recording.
    shared::store_video_config(shared, config(1280));
    shared::push_video(shared, packet(3 * second, true));
    shared::push_audio(shared, { 1, 2 }, 3 * second);

    auto first = live.try_recv();
    ASSERT_TRUE(first);
    EXPECT_TRUE(std::holds_alternative<shared::LiveSample::Video>(first->value));
    auto second_message = live.try_recv();
    ASSERT_TRUE(second_message);
    EXPECT_TRUE(std::holds_alternative<shared::LiveSample::Stop>(second_message->value));
    channel::RecvStatus status;
    EXPECT_FALSE(live.try_recv(&status));
    EXPECT_EQ(status, channel::RecvStatus::Closed);
    EXPECT_FALSE(shared.rings.with([](shared::Rings& rings) { return rings.sink.has_value(); }));
}

TEST(SharedPushVideo, KeyframeRetiresRecordsOutsideWindowOrBudget)
{
    shared::Shared shared;
    shared::set_ring_window(shared, 10, 1'000'000); // window 12 s
    run_segment(shared, 1, 0);                      // newest sample at 0.5 s
    shared::new_segment(shared);
    run_segment(shared, 2, 5 * second);             // newest at 5.5 s
    shared::new_segment(shared);

    // A delta frame never retires anything.
    shared::push_video(shared, packet(13 * second, false));
    EXPECT_EQ(shared.rings.with([](shared::Rings& rings) { return rings.segments.size(); }), 2u);

    // Keyframe at 14 s: cutoff 2 s, so the first segment (ending at 0.5 s) leaves.
    shared::push_video(shared, packet(14 * second, true));
    shared.rings.with([](shared::Rings& rings) {
        ASSERT_EQ(rings.segments.size(), 1u);
        EXPECT_EQ(rings.segments[0].config.width, 2u);
    });

    // Over the byte budget: the oldest remaining record goes too.
    shared::set_ring_window(shared, 10, 250);
    shared::push_video(shared, packet(15 * second, true));
    EXPECT_EQ(shared.rings.with([](shared::Rings& rings) { return rings.segments.size(); }), 0u);
}

namespace {

void set_running(shared::Shared& shared, bool running)
{
    shared.status.with([&](shared::PipelineStatus& status) { status.running = running; });
}

// Memory flags of the video ring, oldest first.
std::vector<bool> in_memory(shared::Shared& shared)
{
    return shared.rings.with([](shared::Rings& rings) {
        std::vector<bool> flags;
        for (auto const& sample : rings.video.samples)
            flags.push_back(sample.in_memory());
        return flags;
    });
}

class SpillRound : public testing_support::TempDirTest {
protected:
    std::filesystem::path folder() { return dir() / "cache" / "quill.mar" / "buffer"; }
};

}

// While capture runs the newest four seconds stay in memory; once it stops, all but the newest time go to
// disk. Samples sharing a time go together, once, and each reads back its own bytes.
TEST_F(SpillRound, SpillsWhatIsOlderThanTheMemoryWindow)
{
    struct Row {
        char const* name;
        bool running;
        std::vector<std::int64_t> times;
        std::vector<bool> in_memory;
    };
    Row const rows[] = {
        { "capture runs: 4.1 s and 3.9 s old", true, { 0, 2 * second, 41 * second / 10 }, { false, true, true } },
        { "capture stopped", false, { 0, second, 2 * second }, { false, false, true } },
        { "samples sharing a time", false, { 0, second, second, 5 * second }, { false, false, false, true } },
    };
    for (auto const& row : rows) {
        SCOPED_TRACE(row.name);
        shared::Shared shared;
        set_running(shared, row.running);
        for (std::size_t i = 0; i < row.times.size(); ++i)
            shared::push_video(shared, packet(row.times[i], i == 0, 64, static_cast<std::uint8_t>(i + 1)));
        shared::push_audio(shared, { 1, 2, 3 }, 0);
        spill::Spiller spiller(folder());
        ASSERT_EQ(spill::run_round(shared, spiller), spill::Round::Done);
        EXPECT_EQ(in_memory(shared), row.in_memory);
        EXPECT_TRUE(spill::gather_jobs(shared).jobs.empty()); // nothing to write again next round
        shared.rings.with([&](shared::Rings& rings) {
            EXPECT_TRUE(rings.audio.samples.front().in_memory()); // the newest audio time
            EXPECT_EQ(rings.video.memory_bytes, 64u * std::ranges::count(row.in_memory, true));
            for (std::size_t i = 0; i < row.times.size(); ++i) {
                auto loaded = spill::load_sample(rings.video.samples[i]);
                ASSERT_TRUE(loaded);
                EXPECT_EQ(*loaded->data, std::vector<std::uint8_t>(64, static_cast<std::uint8_t>(i + 1)));
            }
        });
    }
}

TEST_F(SpillRound, EvictionBetweenGatherAndApplyLeavesTheRingAlone)
{
    shared::Shared shared;
    shared::push_video(shared, packet(0, true, 64, 1));
    shared::push_video(shared, packet(second, true, 64, 2));
    shared::push_video(shared, packet(10 * second, true, 64, 3));
    spill::Spiller spiller(folder());
    ASSERT_TRUE(spiller.prepare());

    auto gathered = spill::gather_jobs(shared);
    ASSERT_EQ(gathered.jobs.size(), 2u);
    auto outcome = spiller.write(std::move(gathered.jobs));
    ASSERT_FALSE(outcome.error);
    // The first group leaves the ring, and a sample at the same time as the second comes back as a new
    // buffer, while the bytes are on their way to disk.
    shared.rings.with([](shared::Rings& rings) {
        rings.video.byte_limit = 128;
        rings.video.evict();
        rings.video.samples.front().payload = ring::Memory { make_shared_bytes(std::vector<std::uint8_t>(64, 9)) };
    });
    EXPECT_EQ(spill::apply_records(shared, outcome.records), 0u);

    shared.rings.with([](shared::Rings& rings) {
        ASSERT_EQ(rings.video.samples.size(), 2u);
        EXPECT_TRUE(rings.video.samples[0].in_memory());
        EXPECT_TRUE(rings.video.samples[1].in_memory());
        EXPECT_EQ(rings.video.memory_bytes, 128u);
    });
}

TEST_F(SpillRound, FailedCreationUsesUpItsNumberAndReleasesTheSegment)
{
    spill::Spiller spiller(folder(), 10);
    ASSERT_TRUE(spiller.prepare());
    auto bytes = make_shared_bytes(std::vector<std::uint8_t>(10, 5));
    auto first = spiller.write({ { 1, 0, bytes } });
    ASSERT_FALSE(first.error);
    // Segment 1 exists already (files are never opened twice), so the next file fails and the one after
    // takes number 2.
    auto taken = folder() / fmt::format("{}-1.seg", ::getpid());
    std::ofstream(taken).put('x');
    auto second_write = spiller.write({ { 1, 1, bytes }, { 1, 2, bytes } });
    EXPECT_TRUE(second_write.error);
    EXPECT_TRUE(second_write.records.empty());
    EXPECT_FALSE(spiller.current());
    auto third = spiller.write({ { 1, 3, bytes } });
    ASSERT_FALSE(third.error);
    // Its name is gone at once: the only entry left is the one this test made.
    std::vector<std::string> names;
    for (auto const& entry : std::filesystem::directory_iterator(folder()))
        names.push_back(entry.path().filename());
    EXPECT_EQ(names, std::vector<std::string> { taken.filename() });
}

TEST_F(SpillRound, FileGoesWithItsLastSample)
{
    shared::Shared shared;
    shared::push_video(shared, packet(0, true));
    shared::push_video(shared, packet(second, true));
    spill::Spiller spiller(folder());
    ASSERT_EQ(spill::run_round(shared, spiller), spill::Round::Done);
    std::weak_ptr<spill::SpillFile> file = spiller.current();
    ASSERT_FALSE(file.expired());
    int fd = file.lock()->fd();

    // The ring still refers to it.
    spiller.release_current();
    ASSERT_FALSE(file.expired());
    shared::clear_buffers(shared);
    EXPECT_TRUE(file.expired());
    EXPECT_EQ(::fcntl(fd, F_GETFD), -1);

    // With nothing buffered, a round lets the thread's own reference go as well.
    shared::push_video(shared, packet(2 * second, true));
    shared::push_video(shared, packet(3 * second, true));
    ASSERT_EQ(spill::run_round(shared, spiller), spill::Round::Done);
    file = spiller.current();
    shared::clear_buffers(shared);
    EXPECT_FALSE(file.expired());
    ASSERT_EQ(spill::run_round(shared, spiller), spill::Round::Done);
    EXPECT_TRUE(file.expired());
}

TEST_F(SpillRound, PreparationRemovesStaleSegmentsOnly)
{
    std::filesystem::create_directories(folder());
    for (char const* name : { "4242-0.seg", "4242-1.seg", "notes.txt", "x.segment", "seg" })
        std::ofstream(folder() / name).put('x');
    spill::Spiller spiller(folder());
    ASSERT_TRUE(spiller.prepare());
    std::vector<std::string> names;
    for (auto const& entry : std::filesystem::directory_iterator(folder()))
        names.push_back(entry.path().filename());
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string> { "notes.txt", "seg", "x.segment" }));
    struct stat info {};
    ASSERT_EQ(::stat(folder().c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0700u);
}

TEST_F(SpillRound, UnusableFolderFailsTheRound)
{
    std::filesystem::create_directories(dir() / "cache");
    std::ofstream(dir() / "cache" / "quill.mar").put('x'); // a file where the folder should be
    shared::Shared shared;
    shared::push_video(shared, packet(0, true));
    shared::push_video(shared, packet(second, true));
    spill::Spiller spiller(folder());
    EXPECT_EQ(spill::run_round(shared, spiller), spill::Round::Failed);
    EXPECT_FALSE(spiller.prepared());
    EXPECT_EQ(in_memory(shared), (std::vector<bool> { true, true }));

    // Out of descriptors the folder cannot be listed: a failed round, not an exception that ends the thread.
    rlimit saved {};
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &saved), 0);
    int const lowest_free = ::open("/", O_RDONLY | O_CLOEXEC);
    ::close(lowest_free);
    rlimit none_left = saved;
    none_left.rlim_cur = rlim_t(lowest_free);
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &none_left), 0);
    spill::Spiller starved(dir() / "starved");
    auto const round = spill::run_round(shared, starved);
    ::setrlimit(RLIMIT_NOFILE, &saved);
    EXPECT_EQ(round, spill::Round::Failed);
}

// Encoder, sound, restarts, clears and spill rounds all at once: the byte counters still match the samples,
// and every spilled sample reads back its own bytes. The program's threads do this all day; ThreadSanitizer
// (scripts/extra-checks) sees any access to the rings outside their lock. The threads pace each other by
// counts, not by time, so the overlap does not depend on the machine: the sound keeps up with the video's
// clock, the clears land in the middle of the stream, and the encoder waits for a spill round every 300
// frames.
TEST_F(SpillRound, ConcurrentWritersKeepRingsConsistent)
{
    shared::Shared shared;
    set_running(shared, true);
    shared::set_ring_window(shared, 3, 200'000);
    constexpr int frames = 3000;
    std::atomic<int> pushed { 0 };
    std::atomic<int> rounds { 0 };
    auto wait_for = [](std::atomic<int> const& count, int at_least) {
        while (count.load() < at_least)
            std::this_thread::yield();
    };
    // Each video sample's first byte is its frame number modulo 251, so a sample read back can be checked.
    std::thread encoder([&] {
        for (int i = 0; i < frames; ++i) {
            if (i % 300 == 0)
                wait_for(rounds, rounds.load() + 1);
            if (i % 30 == 0)
                shared::store_video_config(shared, mp4::VideoConfig { { 1 }, 2, 2, Codec::H264 });
            auto fill = static_cast<std::uint8_t>(i % 251);
            shared::push_video(shared, packet(i * second / 30, i % 30 == 0, 100 + i % 50, fill));
            if (i % 700 == 699)
                shared::new_segment(shared);
            pushed.store(i + 1);
        }
    });
    std::thread audio([&] {
        for (int i = 0; i < frames; ++i) {
            wait_for(pushed, std::min(frames, i * 30 / 47));
            shared::push_audio(shared, std::vector<std::uint8_t>(20, 1), i * second / 47);
        }
    });
    std::thread gate([&] {
        for (int at : { 1000, 1800, 2600 }) {
            wait_for(pushed, at);
            shared::clear_buffers(shared);
        }
    });
    spill::Spiller spiller(folder(), 4096);
    while (pushed.load() < frames) {
        spill::run_round(shared, spiller);
        ++rounds;
    }
    encoder.join();
    audio.join();
    gate.join();
    spill::run_round(shared, spiller);

    auto check = [](ring::Ring const& ring, std::int64_t cutoff, bool video) {
        std::uint64_t total = 0;
        std::uint64_t memory = 0;
        for (auto const& sample : ring.samples) {
            // The clears mark capture stopped, so newer samples may have gone to disk as well.
            if (sample.time < cutoff) {
                EXPECT_FALSE(sample.in_memory());
            }
            total += sample.size();
            if (sample.in_memory())
                memory += sample.size();
            auto loaded = spill::load_sample(sample);
            ASSERT_TRUE(loaded);
            ASSERT_EQ(loaded->data->size(), sample.size());
            if (video) {
                auto frame = std::llround(sample.time * 30.0 / second);
                EXPECT_EQ((*loaded->data)[0], static_cast<std::uint8_t>(frame % 251));
            }
        }
        EXPECT_EQ(ring.total_bytes, total);
        EXPECT_EQ(ring.memory_bytes, memory);
    };
    shared.rings.with([&](shared::Rings& rings) {
        // A clear that came late may have emptied the video ring.
        if (!rings.video.samples.empty())
            check(rings.video, rings.video.samples.back().time - spill::keep_in_memory_ticks, true);
        for (auto const& record : rings.segments)
            check(record.ring, std::numeric_limits<std::int64_t>::max(), true);
        check(rings.audio, std::numeric_limits<std::int64_t>::min(), false);
        EXPECT_LE(rings.segments.size(), 2u);
    });
}
