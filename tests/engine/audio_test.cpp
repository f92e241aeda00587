// The mixer's clock rules, volume, mixing, meters and levels, with packets built by hand and the clock given
// as plain numbers.

#include "engine/audio.h"
#include "engine/shared.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace {

using audio::Placement;
using audio::Source;
using audio::Ticks;

constexpr Ticks base = 5'000'000'000;
constexpr Ticks ms = 10'000;

platform::AudioPacket tone_packet(Ticks time, std::uint32_t frames, std::int16_t value = 1'000)
{
    platform::AudioPacket packet;
    packet.time = time;
    packet.frames = frames;
    packet.samples.assign(std::size_t(frames) * 2, value);
    return packet;
}

// Time of frame `frame` after base, rounded up so that frames_between gives `frame` back exactly.
Ticks at_frame(std::int64_t frame) { return base + (frame * audio::ticks_per_second + 47'999) / audio::sample_rate_hz; }

std::size_t leading_zero_frames(Source const& source)
{
    std::size_t count = 0;
    while (count * 2 < source.fifo.size() && source.fifo[count * 2] == 0 && source.fifo[count * 2 + 1] == 0)
        ++count;
    return count;
}

TEST(AudioPlacePacket, FillsGapsAndDropsPacketsBehindTheCount)
{
    struct Row {
        char const* what;
        std::int64_t received;   // frames the source already holds
        std::int64_t position;   // where the packet's capture time falls
        Placement placement;
        std::int64_t silence;    // frames of silence inserted before it
    };
    constexpr Row rows[] = {
        { "on time", 10'000, 10'000, Placement::Appended, 0 },
        { "slightly early, within the lateness threshold", 10'000, 10'480, Placement::Appended, 0 },
        { "600 frames after the count", 10'000, 10'600, Placement::SilenceInserted, 600 },
        { "ten seconds after: at most five seconds of silence", 10'000, 490'000, Placement::SilenceInserted, 240'000 },
        { "overlapping by the look-ahead limit", 10'000, 7'600, Placement::Appended, 0 },
        { "more than 2,400 frames behind", 10'000, 7'599, Placement::Discarded, 0 },
    };
    for (auto const& row : rows) {
        SCOPED_TRACE(row.what);
        Source source;
        source.frames_received = std::uint64_t(row.received);
        auto placement = audio::place_packet(source, base, tone_packet(at_frame(row.position), 480), 1.0f);
        EXPECT_EQ(placement, row.placement);
        if (row.placement == Placement::Discarded) {
            EXPECT_EQ(source.frames_received, std::uint64_t(row.received));
            EXPECT_TRUE(source.fifo.empty());
            continue;
        }
        EXPECT_EQ(source.frames_received, std::uint64_t(row.received + row.silence + 480));
        EXPECT_EQ(leading_zero_frames(source), std::size_t(row.silence));
        EXPECT_EQ(source.fifo.size(), std::size_t(row.silence + 480) * 2);
    }
}

// Packets of 480 frames captured back to back, each delivered the next of `delays` (in turn) after its capture;
// the clock pads the source every 10 ms. Counts what became of them.
struct Delivery {
    int appended { 0 };
    int discarded { 0 };
    int reanchored { 0 };
    std::uint64_t sent { 0 }; // frames
};

Delivery deliver(Source& source, std::vector<Ticks> const& delays, int passes)
{
    constexpr std::uint32_t packet_frames = 480;
    Delivery result;
    for (int pass = 0; pass < passes; ++pass) {
        Ticks now = base + pass * 10 * ms;
        for (;;) {
            Ticks captured = audio::input_time(base, result.sent);
            if (captured + delays[(result.sent / packet_frames) % delays.size()] > now)
                break;
            auto placement = audio::place_packet(source, base, tone_packet(captured, packet_frames), 1.0f);
            result.appended += placement == Placement::Appended;
            result.discarded += placement == Placement::Discarded;
            result.reanchored += placement == Placement::Reanchored;
            result.sent += packet_frames;
        }
        audio::keep_up(source, base, now);
    }
    return result;
}

// A source whose sound reaches us 200 ms after it was captured lags more than the keep-up margin: the padding
// covers each packet's place before it arrives. It must still be heard, not discarded for the rest of the run.
// Packets stamped with their true capture times but delivered in irregular bursts (up to 60 ms late) stay
// within the margin: every one is appended, and no silence is inserted between them.
TEST(AudioPlacePacket, LateSourceIsShiftedNotSilencedAndJitterLosesNothing)
{
    Source lagging;
    auto late = deliver(lagging, { 200 * ms }, 300);
    EXPECT_EQ(late.reanchored, 1);
    EXPECT_LE(late.discarded, 10);
    EXPECT_GE(late.appended, 260);
    // The newest sound in the fifo is the tone, not padding.
    ASSERT_FALSE(lagging.fifo.empty());
    EXPECT_EQ(lagging.fifo.back(), 1'000);

    Source jittery;
    auto jitter = deliver(jittery, { 10 * ms, 60 * ms, 25 * ms, 5 * ms, 45 * ms, 15 * ms }, 400);
    EXPECT_GT(jitter.appended, 380);
    EXPECT_EQ(std::uint64_t(jitter.appended) * 480, jitter.sent);
    EXPECT_EQ(jittery.frames_received, jitter.sent);
    EXPECT_EQ(leading_zero_frames(jittery), 0u);
}

TEST(AudioVolume, UnusableVolumesAreClamped)
{
    for (auto [volume, usable] : { std::pair { std::numeric_limits<float>::quiet_NaN(), 0.0f }, { -1.0f, 0.0f },
                                   { std::numeric_limits<float>::infinity(), 2.0f }, { 0.75f, 0.75f } })
        EXPECT_EQ(audio::usable_volume(volume), usable) << volume;

    Source source;
    audio::append_packet(source, std::vector<std::int16_t>(4, 30'000), 2, false, 100.0f);
    EXPECT_EQ(source.fifo.front(), 32'767);
    EXPECT_EQ(source.peak, 32'767u);
}

TEST(AudioMix, SumsSaturatingAndKeepsWhatOnlyOneSourceHas)
{
    std::vector<Source> sources(2);
    sources[0].fifo = { 30'000, -30'000, 100, -100, 7, 8 };
    sources[1].fifo = { 30'000, -30'000, 200, 100 };
    std::vector<std::int16_t> out;
    audio::mix(sources, out);
    EXPECT_EQ(out, (std::vector<std::int16_t> { 32'767, -32'768, 300, 0 }));
    EXPECT_EQ(sources[0].fifo, (std::deque<std::int16_t> { 7, 8 }));
    EXPECT_TRUE(sources[1].fifo.empty());

    std::vector<Source> none;
    audio::mix(none, out);
    EXPECT_EQ(out.size(), 4u);
}

TEST(AudioInputTime, ComputedFromTheTotalCount)
{
    EXPECT_EQ(audio::input_time(base, 2'048), base + 426'666);
    // An hour of blocks lands exactly on the hour; adding 213,333 per block would be 5.6 ms short.
    std::uint64_t hour_frames = 1'024ull * 168'750;
    EXPECT_EQ(audio::input_time(base, hour_frames), base + 36'000'000'000);
}

}
