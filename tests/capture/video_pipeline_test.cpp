#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <mutex>
#include <thread>

#include "engine/shared.h"
#include "engine/video.h"
#include "tests/support/media_check.h"

namespace {

using namespace std::chrono_literals;

// Video drivers for the thread: a capture source of numbered solid pictures, a converter that stamps the
// picture number into the frame, and an encoder that emits H.264 access units (a keyframe with SPS and PPS
// every four frames) and can be told to fail. Driver entry points are plain functions, so the fakes keep
// their settings and counters in one process-wide record that each test resets.
struct VideoFakeState {
    static constexpr std::uint32_t width = 64;
    static constexpr std::uint32_t height = 36;
    static constexpr int keyframe_every = 4;
    std::atomic<int> opens { 0 }; // capture sources opened
    std::atomic<int> encoders_opened { 0 };
    int fail_after { -1 }; // the first encoder fails on this frame; -1: never
    std::atomic<int> resize_at_grab { -1 }; // this grab reports a size change to width + 16
    std::atomic<int> grabs { 0 };
    // While held, flush() waits for release_flush(), then returns one more keyframe: an encoder whose thread
    // outlives its pipeline.
    bool hold_flush { false };
    std::atomic<bool> flush_released { false };
    std::atomic<int> live_encoders { 0 };

    void release_flush()
    {
        flush_released = true;
        flush_released.notify_all();
    }

    void reset()
    {
        opens = 0;
        encoders_opened = 0;
        fail_after = -1;
        resize_at_grab = -1;
        grabs = 0;
        hold_flush = false;
        flush_released = false;
    }
};

VideoFakeState& video_fake_state()
{
    static VideoFakeState state;
    return state;
}

class FakeSource final : public platform::CaptureSource {
public:
    FakeSource(std::uint32_t w, std::uint32_t h)
        : m_width(w)
        , m_height(h)
        , m_pixels(std::size_t(w) * h * 4)
    {
    }
    std::uint32_t width() const override { return m_width; }
    std::uint32_t height() const override { return m_height; }
    Result<platform::Grab> grab() override
    {
        int const n = video_fake_state().grabs++;
        if (n == video_fake_state().resize_at_grab) {
            m_width += 16;
            m_pixels.assign(std::size_t(m_width) * m_height * 4, 0);
            return platform::Grab::SizeChanged;
        }
        std::memset(m_pixels.data(), n & 0xff, m_pixels.size());
        return platform::Grab::Image;
    }
    platform::BgraImage image() const override
    {
        return { m_pixels.data(), m_width, m_height, std::size_t(m_width) * 4 };
    }

private:
    std::uint32_t m_width;
    std::uint32_t m_height;
    std::vector<std::uint8_t> m_pixels;
};

class StampConverter final : public platform::FrameConverter {
public:
    void convert(platform::BgraImage const& source, platform::YuvImage& out) override
    {
        out.planes[0][0] = source.pixels[0];
    }
};

platform::CaptureDriver const fake_capture_driver {
    "fake",
    []() -> Result<std::vector<platform::MonitorInfo>> {
        return std::vector<platform::MonitorInfo> {
            { "FAKE-1", 0, 0, VideoFakeState::width, VideoFakeState::height, 60, true } };
    },
    [](platform::MonitorInfo const& monitor) -> Result<std::unique_ptr<platform::CaptureSource>> {
        ++video_fake_state().opens;
        return std::make_unique<FakeSource>(monitor.width, monitor.height);
    },
    [](std::uint32_t, std::uint32_t, platform::Rect) -> std::unique_ptr<platform::FrameConverter> {
        return std::make_unique<StampConverter>();
    },
};

class FakeEncoder final : public platform::VideoEncoder {
public:
    explicit FakeEncoder(bool may_fail)
        : m_may_fail(may_fail)
    {
        ++video_fake_state().live_encoders;
    }
    ~FakeEncoder() override { --video_fake_state().live_encoders; }
    std::string const& name() const override { return m_name; }
    platform::PixelLayout input_layout() const override { return platform::PixelLayout::Nv12; }
    Result<void> encode(platform::VideoFrame const& frame, std::vector<platform::EncodedPacket>& out) override
    {
        auto& s = video_fake_state();
        if (m_may_fail && m_count == s.fail_after)
            return fail("panne de l'encodeur");
        bool const key = m_count % VideoFakeState::keyframe_every == 0;
        ++m_count;
        out.push_back(packet(key, frame.time, frame.image->planes[0][0]));
        m_last_time = frame.time;
        return {};
    }
    Result<void> flush(std::vector<platform::EncodedPacket>& out) override
    {
        auto& s = video_fake_state();
        if (s.hold_flush) {
            s.flush_released.wait(false);
            out.push_back(packet(true, m_last_time + 1, 0xfe));
        }
        return {};
    }

private:
    static platform::EncodedPacket packet(bool key, std::int64_t time, std::uint8_t stamp)
    {
        platform::EncodedPacket packet;
        packet.time = time;
        packet.keyframe = key;
        if (key)
            packet.data = { 0, 0, 0, 1, 0x67, 0x64, 0x00, 0x1f, 0xac, 0xd9, 0, 0, 0, 1, 0x68, 0xeb, 0xe3, 0xcb, 0, 0, 1,
                0x65, 0x88, stamp };
        else
            packet.data = { 0, 0, 0, 1, 0x41, 0x9a, stamp };
        return packet;
    }

    std::string m_name { "fake-h264" };
    bool m_may_fail;
    int m_count { 0 };
    std::int64_t m_last_time { 0 };
};

platform::EncoderDriver const fake_encoder_driver {
    "fake",
    [] { return std::vector<Codec> { Codec::H264 }; },
    [](platform::EncoderParams const&) -> Result<std::unique_ptr<platform::VideoEncoder>> {
        bool const first = video_fake_state().encoders_opened++ == 0;
        return std::make_unique<FakeEncoder>(first);
    },
};

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
    void SetUp() override { video_fake_state().reset(); }

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
        job.drivers = { &fake_capture_driver, &fake_encoder_driver };
        job.clock = sim.clock();
        return job;
    }
    // Runs the capture loop at 60 frames a second over `slots` slots of a 64 x 36 source, into a channel that
    // holds `capacity` frames.
    channel::Receiver<platform::VideoFrame> run_loop(FakeSource& source, int slots, std::size_t capacity)
    {
        auto [sender, receiver] = channel::make<platform::VideoFrame>(capacity);
        SimClock sim;
        std::atomic<bool> stop_flag { false };
        sim.on_sleep = [&](int n) {
            if (n == slots)
                stop_flag = true;
        };
        auto const clock = sim.clock();
        EXPECT_TRUE(video::capture_loop({ source, fake_capture_driver, 64, 36, platform::PixelLayout::Nv12, 60,
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
    auto& fake = video_fake_state();
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
    auto& fake = video_fake_state();
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
    platform::CaptureDriver broken = fake_capture_driver;
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

TEST_F(VideoPipeline, LoopCountsFullChannelAsDrops)
{
    FakeSource source(64, 36);
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
    video_fake_state().resize_at_grab = 1;
    FakeSource source(64, 36);
    auto receiver = run_loop(source, 3, 8);
    // Slot 1 has a picture, slot 2 sees the new size and sends nothing, slot 3 has a picture again.
    std::vector<std::uint8_t> stamps;
    while (auto frame = receiver.try_recv())
        stamps.push_back(frame->image->planes[0][0]);
    EXPECT_EQ(stamps, (std::vector<std::uint8_t> { 0, 2 }));
    EXPECT_EQ(source.width(), 80u);
}

}
