// PulseAudio capture against the test desktop's daemon, whose default sink is the null sink
// "quillmar_null" (and which has no microphone: its only source is that sink's monitor).

#include "platform/audio_source.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <ctime>
#include <thread>

#include "engine/audio.h"
#include "tests/support/tone_player.h"

namespace {

using platform::AudioRole;

std::int64_t now_ticks()
{
    timespec ts {};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return std::int64_t(ts.tv_sec) * 10'000'000 + ts.tv_nsec / 100;
}

class PulseSource : public testing::Test {
protected:
    void SetUp() override
    {
        if (!std::getenv("PULSE_SERVER"))
            GTEST_SKIP() << "no PulseAudio test daemon (run inside scripts/desktop-session)";
    }
};

TEST_F(PulseSource, ListsTheNullSinkAndNoMonitorAsMicrophone)
{
    auto outputs = audio::list_endpoints(platform::pulse_audio_driver, 0);
    ASSERT_TRUE(outputs) << outputs.error();
    auto sink = std::find_if(outputs->begin(), outputs->end(), [](auto const& d) { return d.id == "quillmar_null"; });
    ASSERT_NE(sink, outputs->end());
    EXPECT_TRUE(sink->is_default);
    EXPECT_EQ(sink->name, "Sortie_de_test");

    auto microphones = audio::list_endpoints(platform::pulse_audio_driver, 1);
    ASSERT_TRUE(microphones) << microphones.error();
    for (auto const& device : *microphones)
        EXPECT_EQ(device.id.find(".monitor"), std::string::npos) << device.id;
}

TEST_F(PulseSource, DefaultSourceThatIsAMonitorMeansNoMicrophone)
{
    auto backend = platform::pulse_audio_driver.create();
    ASSERT_TRUE(backend) << backend.error();
    EXPECT_FALSE((*backend)->open(AudioRole::Microphone, std::nullopt));
    EXPECT_FALSE((*backend)->open(AudioRole::Microphone, std::string("pas_de_micro")));
}

// Loopback of the sink while a 1 kHz tone plays into it: packets arrive in capture order, continuously
// stamped, soon after the sound was played, and carry the tone.
//
// How soon is judged by the newest packet of each read, not by every packet: sound that waited in the socket
// while this reader slept (for far longer than 10 ms on a loaded machine) says nothing about the capture.
// The median over the reads is bounded loosely: capture delivers within tens of milliseconds, and the bound
// is there to catch sound handed over in large blocks, not to time the server on a busy machine.
TEST_F(PulseSource, LoopbackCapturesWhatPlaysWithLowLatency)
{
    struct Row {
        char const* what;
        std::optional<std::string> device;
    };
    Row const rows[] = { { "named sink", std::string("quillmar_null") },
                         { "unknown sink falls back to the default", std::string("sortie_disparue") },
                         { "default", std::nullopt } };
    testing_support::TonePlayer tone(1'000.0, 8.0);
    ASSERT_TRUE(tone.start()) << tone.error();
    auto backend = platform::pulse_audio_driver.create();
    ASSERT_TRUE(backend) << backend.error();
    {
        // The null sink renders two-second blocks while nobody asks for less, and the monitor only sees a
        // block once it is rendered: let it settle on small blocks before timing anything.
        auto warm_up = (*backend)->open(AudioRole::Output, std::nullopt);
        ASSERT_TRUE(warm_up) << warm_up.error();
        std::vector<platform::AudioPacket> packets;
        auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(2'500);
        while (std::chrono::steady_clock::now() < until) {
            ASSERT_TRUE((*warm_up)->read(packets));
            packets.clear();
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }
    for (auto const& row : rows) {
        SCOPED_TRACE(row.what);
        auto stream = (*backend)->open(AudioRole::Output, row.device);
        ASSERT_TRUE(stream) << stream.error();
        std::vector<platform::AudioPacket> packets;
        std::vector<std::int64_t> lags; // per read: how old the end of the newest packet is
        std::int16_t loudest = 0;
        auto start = std::chrono::steady_clock::now();
        auto settled = start + std::chrono::milliseconds(300);
        auto until = start + std::chrono::milliseconds(1'000);
        while (std::chrono::steady_clock::now() < until) {
            std::size_t before = packets.size();
            auto read = (*stream)->read(packets);
            ASSERT_TRUE(read) << read.error();
            std::int64_t now = now_ticks();
            // Skip the first reads: the server hands over what it buffered while the stream started.
            if (packets.size() > before && std::chrono::steady_clock::now() > settled) {
                auto const& newest = packets.back();
                lags.push_back(now - newest.time - std::int64_t(newest.frames) * 10'000'000 / 48'000);
            }
            for (std::size_t i = before; i < packets.size(); ++i)
                for (auto sample : packets[i].samples)
                    loudest = std::max<std::int16_t>(loudest, std::int16_t(std::abs(int(sample))));
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        ASSERT_GT(packets.size(), 20u);
        for (std::size_t i = 1; i < packets.size(); ++i) {
            std::int64_t expected = packets[i - 1].time + std::int64_t(packets[i - 1].frames) * 10'000'000 / 48'000;
            EXPECT_LE(std::llabs(packets[i].time - expected), 50'000) << "packet " << i;  // 5 ms
        }
        EXPECT_GT(loudest, 3'000);
        ASSERT_FALSE(lags.empty());
        std::ranges::nth_element(lags, lags.begin() + lags.size() / 2);
        std::int64_t const median = lags[lags.size() / 2];
        EXPECT_LT(median, 250 * 10'000) << "capture lag in ticks";
        std::printf("[ figures ] %s: %zu packets, median lag %.1f ms\n", row.what, packets.size(), double(median) / 1e4);
    }
}

}
