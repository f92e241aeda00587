// The audio thread on the real PulseAudio daemon of the test desktop and FFmpeg's AAC encoder: a 1 kHz tone
// played into the null sink is captured by loopback, encoded into the audio ring, written into an MP4 next to
// a short H.264 video, and judged by ffprobe, ffmpeg and GStreamer.

#include "engine/audio.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "core/bitstream.h"
#include "core/mp4.h"
#include "engine/shared.h"
#include "tests/support/media_check.h"
#include "tests/support/test_media.h"
#include "tests/support/tone_player.h"

namespace {

using audio::Ticks;

// The strongest frequency between 500 and 1500 Hz, to 1 Hz (Goertzel power at each). Unlike counting zero
// crossings, a short gap in the played tone (a player starved on a busy machine) cannot move it.
double tone_frequency(std::span<std::int16_t const> samples)
{
    double best = 0, best_power = -1;
    for (int hz = 500; hz <= 1500; ++hz) {
        double coefficient = 2.0 * std::cos(2.0 * M_PI * hz / 48'000.0);
        double s1 = 0, s2 = 0;
        for (auto sample : samples) {
            double s0 = double(sample) + coefficient * s1 - s2;
            s2 = s1;
            s1 = s0;
        }
        double power = s1 * s1 + s2 * s2 - coefficient * s1 * s2;
        if (power > best_power) {
            best_power = power;
            best = hz;
        }
    }
    return best;
}

class AudioSound : public media::MediaTest {
protected:
    void SetUp() override
    {
        media::MediaTest::SetUp();
        if (IsSkipped())
            return;
        if (!std::getenv("PULSE_SERVER"))
            GTEST_SKIP() << "no PulseAudio test daemon (run inside scripts/desktop-session)";
    }
};

TEST_F(AudioSound, LoopbackToneBecomesAacInTheRingAndPlaysBackFromAClip)
{
    testing_support::TonePlayer tone(1'000.0, 9.0);
    ASSERT_TRUE(tone.start()) << tone.error();
    // The null sink renders two-second blocks until the player's small latency takes over.
    std::this_thread::sleep_for(std::chrono::milliseconds(2'500));

    auto shared = std::make_shared<shared::Shared>();
    auto stop = std::make_shared<std::atomic<bool>>(false);
    audio::AudioThreadParams params;
    params.stop = stop;
    params.output_device = "quillmar_null";
    params.game_audio = true;
    params.mic_audio = true;  // the test desktop has no microphone: that source stays silent
    params.shared = shared;
    auto runtime = audio::real_runtime(platform::pulse_audio_driver, platform::lavc_aac_driver);
    std::thread thread([params, runtime] { audio::audio_thread(params, runtime); });
    std::this_thread::sleep_for(std::chrono::milliseconds(3'000));
    EXPECT_EQ(shared->audio_running.load(), 1);
    stop->store(true);
    thread.join();
    EXPECT_EQ(shared->audio_running.load(), 0);

    EXPECT_GT(shared->output_meter.load(), 8'000u);
    EXPECT_EQ(shared->mic_meter.load(), 0u);
    std::vector<ring::Sample> audio_samples;
    shared->rings.with([&](shared::Rings& rings) { audio_samples.assign(rings.audio.samples.begin(), rings.audio.samples.end()); });
    // About 2.9 s of mix in 1,024-frame frames.
    ASSERT_GT(audio_samples.size(), 110u);
    // The first frame holds the encoder's priming, one block before the mix's base; the others sit on the base
    // at times computed from the frame count.
    Ticks base = audio_samples[1].time;
    EXPECT_EQ(audio_samples[0].time, base - 213'333);
    for (std::size_t i = 1; i < audio_samples.size(); ++i)
        EXPECT_EQ(audio_samples[i].time, audio::input_time(base, (i - 1) * 1'024)) << i;
    EXPECT_GE(shared->level_history.copy().size(), 10u);

    std::string errors;
    auto video = test_media::encode(bitstream::codec_h264, 5, 30, 320, 240);
    ASSERT_TRUE(video) << video.error();
    mp4::ClipMedia media;
    media.video = video->video;
    media.audio_samples = audio_samples;
    // The video starts with the sound and stops with it.
    Ticks first = audio_samples.front().time;
    Ticks last = audio_samples.back().time;
    for (auto const& packet : video->video_packets) {
        if (first + packet.time > last)
            break;
        media.video_samples.push_back({ ring::Memory { packet.data }, first + packet.time, packet.flags });
    }
    auto written = mp4::write_mp4_file(dir(), "clip", media, mp4::AudioConfig { 48'000, 192'000, 2 });
    ASSERT_TRUE(written) << written.error();
    auto clip = dir() / "clip.mp4";

    auto probed = media::probe(clip, &errors);
    ASSERT_FALSE(probed.is_null()) << errors;
    nlohmann::json audio_stream;
    for (auto const& stream : probed["streams"])
        if (stream["codec_type"] == "audio")
            audio_stream = stream;
    ASSERT_FALSE(audio_stream.is_null()) << probed.dump();
    EXPECT_EQ(audio_stream["codec_name"], "aac");
    EXPECT_EQ(audio_stream["sample_rate"], "48000");
    EXPECT_EQ(audio_stream["channels"], 2);
    EXPECT_EQ(media::decode_errors(clip), "");
    EXPECT_EQ(media::gst_errors(clip), "");

    auto raw = dir() / "sound.raw";
    auto decoded = media::run({ "ffmpeg", "-v", "error", "-y", "-i", clip.string(), "-map", "0:a", "-ac", "1", "-f",
                                "s16le", "-acodec", "pcm_s16le", raw.string() });
    ASSERT_EQ(decoded.status, 0) << decoded.output;
    auto bytes = read_bytes(raw);
    std::vector<std::int16_t> samples(bytes.size() / 2);
    std::memcpy(samples.data(), bytes.data(), samples.size() * 2);
    ASSERT_GT(samples.size(), 48'000u * 2);
    // The middle of the clip, away from the stream's start.
    std::span<std::int16_t const> middle(samples.data() + 24'000, samples.size() - 36'000);
    double frequency = tone_frequency(middle);
    EXPECT_NEAR(frequency, 1'000.0, 20.0);
    double energy = 0;
    for (auto sample : middle)
        energy += double(sample) * sample;
    double rms = std::sqrt(energy / double(middle.size()));
    EXPECT_GT(rms, 4'000.0);
    std::printf("[ figures ] %zu AAC frames, decoded tone %.1f Hz, RMS %.0f, meter %u\n", audio_samples.size(),
                frequency, rms, shared->output_meter.load());
}

}
