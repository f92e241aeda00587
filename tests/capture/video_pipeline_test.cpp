#include <gtest/gtest.h>

#include <chrono>
#include <mutex>
#include <thread>

#include "engine/shared.h"
#include "engine/video.h"
#include "tests/fakes/fake_video.h"
#include "tests/support/media_check.h"

namespace {

using namespace std::chrono_literals;

// A clock whose sleeps return at once: the loop runs as fast as it can, on simulated time.
struct SimClock {
    std::atomic<std::int64_t> now { 1'000'000'000 };
    std::atomic<int> sleeps { 0 };
    std::function<void(int)> on_sleep;
    video::LoopClock clock()
    {
        return { [this] { return now.fetch_add(1); },
            [this](std::int64_t deadline) {
                if (deadline > now.load())
                    now.store(deadline);
                int const n = ++sleeps;
                if (on_sleep)
                    on_sleep(n);
            } };
    }
};

class VideoPipeline : public testing::Test {
protected:
    void SetUp() override { fakes::video_fake_state().reset(); }

    video::VideoJob job(SimClock& sim)
    {
        video::VideoJob job;
        job.stop = stop;
        job.fps = 60;
        job.codec = Codec::H264;
        job.resolution = settings::Resolution::Source;
        job.shared = shared;
        job.report_error = [this](std::string const& text) {
            std::lock_guard lock(mutex);
            reports.push_back(text);
        };
        job.drivers = { &fakes::fake_capture_driver, &fakes::fake_encoder_driver };
        job.clock = sim.clock();
        return job;
    }
    // Runs the capture loop at 60 frames a second over `slots` slots of a 64 x 36 source, into a channel that
    // holds `capacity` frames.
    channel::Receiver<platform::VideoFrame> run_loop(fakes::FakeSource& source, int slots, std::size_t capacity)
    {
        auto [sender, receiver] = channel::make<platform::VideoFrame>(capacity);
        SimClock sim;
        std::atomic<bool> stop_flag { false };
        sim.on_sleep = [&](int n) {
            if (n == slots)
                stop_flag = true;
        };
        auto const clock = sim.clock();
        EXPECT_TRUE(video::capture_loop({ source, fakes::fake_capture_driver, 64, 36, platform::PixelLayout::Nv12, 60,
            *shared, stop_flag, std::move(sender), clock }));
        return std::move(receiver);
    }
    std::size_t video_samples()
    {
        return shared->rings.with([](shared::Rings& rings) { return rings.video.samples.size(); });
    }
    std::vector<std::string> reported()
    {
        std::lock_guard lock(mutex);
        return reports;
    }

    std::shared_ptr<std::atomic<bool>> stop = std::make_shared<std::atomic<bool>>(false);
    std::shared_ptr<shared::Shared> shared = std::make_shared<shared::Shared>();
    std::mutex mutex;
    std::vector<std::string> reports;
};

// Regression: an encoder that died used to end the video thread as if it had been stopped, leaving an empty
// buffer while the game was still in front.
TEST_F(VideoPipeline, EncoderDeathIsReportedAndCaptureRestarts)
{
    auto& fake = fakes::video_fake_state();
    fake.fail_after = 5;
    SimClock sim;
    // Slow enough that the simulated time stays within the ring window while the encoder catches up.
    sim.on_sleep = [](int) { std::this_thread::sleep_for(500us); };
    std::thread thread([job = job(sim)]() mutable { video::run_video(std::move(job)); });
    bool const restarted = media::poll_until([&] { return fake.opens >= 2 && video_samples() >= 3; });
    stop->store(true);
    thread.join();
    ASSERT_TRUE(restarted);

    EXPECT_EQ(reported(), std::vector<std::string> { "Capture interrompue : panne de l'encodeur" });
    EXPECT_EQ(fake.opens, 2);
    auto const status = shared->status.copy();
    EXPECT_FALSE(status.running);
    EXPECT_FALSE(status.error) << *status.error; // the restart cleared it
    EXPECT_EQ(status.encoder, "fake-h264");
    // The failed attempt's samples became a segment of their own.
    auto const segments = shared->rings.with([](shared::Rings& rings) { return rings.segments.size(); });
    EXPECT_EQ(segments, 1u);
    ASSERT_TRUE(shared->video_config.copy());
    EXPECT_EQ(shared->video_config.copy()->width, 64u);
}

// An encoder whose flush outlasts the 2 s it is given is left running; what it stores afterwards must not
// reach the next pipeline: its stream description would be paired with the new samples.
TEST_F(VideoPipeline, StaleEncoderStoresNothingForTheNextPipeline)
{
    auto& fake = fakes::video_fake_state();
    fake.hold_flush = true;
    SimClock sim;
    std::thread thread([job = job(sim)]() mutable { video::run_video(std::move(job)); });
    bool const ran = media::poll_until([&] { return video_samples() >= 3; });
    stop->store(true);
    thread.join();
    ASSERT_TRUE(ran);
    ASSERT_EQ(fake.live_encoders, 1); // given up on, still flushing
    shared::new_segment(*shared); // what the next pipeline start does first
    fake.release_flush();
    ASSERT_TRUE(media::poll_until([&] { return fake.live_encoders == 0; }));
    EXPECT_FALSE(shared->video_config.copy());
    EXPECT_EQ(video_samples(), 0u);
}

TEST_F(VideoPipeline, RepeatedFailuresReportOnceAndPauseLonger)
{
    // A monitor list that cannot be read fails every attempt the same way.
    platform::CaptureDriver broken = fakes::fake_capture_driver;
    SimClock sim;
    auto j = job(sim);
    j.drivers.capture = &broken;
    std::atomic<int> attempts { 0 };
    static std::atomic<int>* counter;
    counter = &attempts;
    broken.monitors = []() -> Result<std::vector<platform::MonitorInfo>> {
        ++*counter;
        return fail("pas d'écran");
    };
    auto const start = sim.now.load();
    std::thread thread([j = std::move(j)]() mutable { video::run_video(std::move(j)); });
    bool const three = media::poll_until([&] { return attempts >= 3; });
    stop->store(true);
    thread.join();
    ASSERT_TRUE(three);
    EXPECT_EQ(reported(), std::vector<std::string> { "Capture interrompue : pas d'écran" });
    EXPECT_EQ(shared->status.copy().error, std::optional<std::string>("Capture interrompue : pas d'écran"));
    // Pauses of 4 s and then 8 s passed on the simulated clock before the third attempt.
    EXPECT_GE(sim.now.load() - start, 12 * 10'000'000);
}

// The thumbnail the loop serves is the game's picture in the program's saved clips (djpeg, ProgramRun).
TEST_F(VideoPipeline, LoopCountsFullChannelAsDrops)
{
    fakes::FakeSource source(64, 36);
    auto receiver = run_loop(source, 4, 2);
    // Four slots: two frames fit in the channel, two were dropped.
    EXPECT_EQ(shared->frames.load(), 2u);
    EXPECT_EQ(shared->drops.load(), 2u);
    auto first = receiver.try_recv();
    ASSERT_TRUE(first);
    EXPECT_EQ(first->duration, 166'666);
    EXPECT_EQ(first->image->planes[0][0], 0); // stamped with the first picture's number
}

TEST_F(VideoPipeline, LoopSkipsTheSlotOfASizeChange)
{
    fakes::video_fake_state().resize_at_grab = 1;
    fakes::FakeSource source(64, 36);
    auto receiver = run_loop(source, 3, 8);
    // Slot 1 has a picture, slot 2 sees the new size and sends nothing, slot 3 has a picture again.
    std::vector<std::uint8_t> stamps;
    while (auto frame = receiver.try_recv())
        stamps.push_back(frame->image->planes[0][0]);
    EXPECT_EQ(stamps, (std::vector<std::uint8_t> { 0, 2 }));
    EXPECT_EQ(source.width(), 80u);
}

}
