#include "engine/spill_thread.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>

#include <gtest/gtest.h>

#include "tests/support/temp_dir.h"

namespace {

constexpr std::int64_t second = 10'000'000;

Packet packet(std::int64_t time, bool keyframe, std::size_t size = 64, std::uint8_t fill = 7)
{
    return Packet { make_shared_bytes(std::vector<std::uint8_t>(size, fill)), time,
                    static_cast<std::uint8_t>(keyframe ? Packet::keyframe_flag : 0) };
}

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
