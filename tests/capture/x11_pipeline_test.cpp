// The real capture and encoders under the virtual desktop: a few seconds of a known picture, written out as
// an MP4 and judged by ffprobe and ffmpeg.

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <fstream>
#include <thread>

#include "core/mp4.h"
#include "engine/shared.h"
#include "engine/video.h"
#include "platform/linux/lavc_encoder.h"
#include "platform/linux/x11_capture.h"
#include "tests/capture/x11_painter.h"
#include "tests/support/media_check.h"

namespace {

using namespace std::chrono_literals;
using capture_test::Colour;

struct Yuv {
    double y, u, v;
};

Yuv bt709(Colour c)
{
    double const ey = 0.2126 * c.r + 0.7152 * c.g + 0.0722 * c.b;
    return { 16 + 219.0 / 255.0 * ey, 128 + 224.0 / 255.0 * (c.b - ey) / 1.8556,
        128 + 224.0 / 255.0 * (c.r - ey) / 1.5748 };
}

class X11Pipeline : public media::MediaTest {
protected:
    void SetUp() override
    {
        media::MediaTest::SetUp();
        if (IsSkipped())
            return;
        if (!painter.start())
            GTEST_SKIP() << "no X display";
    }
    void TearDown() override
    {
        painter.stop();
        media::MediaTest::TearDown();
    }

    // Runs the video thread until it has sent `frames` pictures to the encoder and writes what the ring holds.
    // Progress is counted in frames, not wall time: on a loaded machine the thread drops frames and a fixed
    // sleep would give fewer of them.
    std::filesystem::path record(Codec codec, settings::Resolution resolution, std::uint32_t fps, std::uint64_t frames)
    {
        auto shared = std::make_shared<shared::Shared>();
        auto stop = std::make_shared<std::atomic<bool>>(false);
        video::VideoJob job;
        job.stop = stop;
        job.fps = fps;
        job.codec = codec;
        job.resolution = resolution;
        job.shared = shared;
        job.report_error = [this](std::string const& text) { errors.push_back(text); };
        job.drivers = { &platform::x11_capture_driver, &platform::lavc_encoder_driver };
        job.clock = video::real_clock();
        std::thread thread([job = std::move(job)]() mutable { video::run_video(std::move(job)); });

        // The bound only keeps a stuck thread from hanging the test.
        auto const give_up = std::chrono::steady_clock::now() + 120s;
        while (shared->frames.load() < frames && std::chrono::steady_clock::now() < give_up)
            std::this_thread::sleep_for(20ms);
        stop->store(true);
        thread.join();

        status = shared->status.copy();
        drops = shared->drops.load();
        mp4::ClipMedia media;
        auto config = shared->video_config.copy();
        if (!config)
            return {};
        media.video = *config;
        shared->rings.with([&](shared::Rings& rings) {
            media.video_samples.assign(rings.video.samples.begin(), rings.video.samples.end());
        });
        auto written = mp4::write_mp4_file(dir(), "clip", media, std::nullopt);
        EXPECT_TRUE(written) << (written ? "" : written.error());
        return dir() / "clip.mp4";
    }

    // Y, U, V of pixel (x, y) of decoded frame n, read from ffmpeg's raw 4:2:0 output without conversion.
    std::optional<Yuv> decoded_pixel(std::filesystem::path const& clip, int n, int x, int y, int w, int h)
    {
        auto const raw = dir() / "frame.yuv";
        auto result = media::run({ "ffmpeg", "-nostdin", "-v", "error", "-y", "-i", clip.string(), "-vf",
            fmt::format("select=eq(n\\,{})", n), "-frames:v", "1", "-f", "rawvideo", "-pix_fmt", "yuv420p",
            raw.string() });
        if (result.status != 0)
            return std::nullopt;
        std::ifstream in(raw, std::ios::binary);
        std::vector<std::uint8_t> bytes((std::istreambuf_iterator<char>(in)), {});
        std::size_t const luma = std::size_t(w) * h;
        if (bytes.size() < luma * 3 / 2)
            return std::nullopt;
        std::size_t const c = std::size_t(y / 2) * (w / 2) + x / 2;
        return Yuv { double(bytes[std::size_t(y) * w + x]), double(bytes[luma + c]),
            double(bytes[luma + luma / 4 + c]) };
    }

    capture_test::Painter painter;
    std::vector<std::string> errors;
    shared::PipelineStatus status;
    std::uint64_t drops { 0 };
};

TEST_F(X11Pipeline, EachCodecRecordsAValidBt709Stream)
{
    struct Row {
        Codec codec;
        char const* name;
        char const* profile;
        settings::Resolution resolution;
        int width, height;
    };
    // 720p exercises the scaler and keeps the load small; one 1080p run takes the unscaled road.
    using enum settings::Resolution;
    Row const rows[] = { { Codec::H264, "h264", "High", P720, 1280, 720 }, { Codec::Hevc, "hevc", "Main", P720, 1280, 720 },
        { Codec::Av1, "av1", "Main", P720, 1280, 720 }, { Codec::H264, "h264", "High", P1080, 1920, 1080 } };
    auto const available = platform::lavc::probe();
    std::uint32_t const fps = 30;
    for (auto const& row : rows) {
        SCOPED_TRACE(testing::Message() << row.name << " " << row.height << "p");
        if (std::find(available.begin(), available.end(), row.codec) == available.end()) {
            ADD_FAILURE() << "no encoder opens for " << row.name;
            continue;
        }
        errors.clear();
        auto const clip = record(row.codec, row.resolution, fps, 3 * fps + fps / 2);
        ASSERT_FALSE(clip.empty()) << "no keyframe was stored";
        EXPECT_TRUE(errors.empty()) << errors.front();
        EXPECT_EQ(status.codec, row.codec);
        EXPECT_EQ(status.width, std::uint32_t(row.width));
        EXPECT_EQ(status.height, std::uint32_t(row.height));

        std::string probe_errors;
        auto const info = media::probe(clip, &probe_errors);
        ASSERT_FALSE(info.is_null()) << probe_errors;
        auto const& stream = info["streams"][0];
        EXPECT_EQ(stream["codec_name"], row.name);
        EXPECT_EQ(stream["profile"], row.profile);
        EXPECT_EQ(stream["color_range"], "tv");
        EXPECT_EQ(stream["color_primaries"], "bt709");
        EXPECT_EQ(stream["width"], row.width);
        EXPECT_EQ(stream["height"], row.height);
        EXPECT_EQ(media::decode_errors(clip), "");

        // The encoder counts a keyframe every `fps` pictures it receives; pictures dropped before it under load
        // stretch that group in time, never shorten it.
        auto const frames = media::probe_frames(clip);
        std::vector<std::pair<std::size_t, double>> keys; // frame number, pts
        for (std::size_t i = 0; i < frames["frames"].size(); ++i)
            if (frames["frames"][i]["key_frame"] == 1)
                keys.emplace_back(i, std::stod(frames["frames"][i]["pts_time"].get<std::string>()));
        ASSERT_GE(keys.size(), 2u) << drops << " frames dropped";
        EXPECT_EQ(keys[0].first, 0u);
        for (std::size_t i = 1; i < keys.size(); ++i) {
            EXPECT_EQ(keys[i].first - keys[i - 1].first, fps) << "keyframe " << i;
            EXPECT_GE(keys[i].second - keys[i - 1].second, 1.0 - 0.5 / fps) << "keyframe " << i;
        }

        // The middle of the top-left and top-right blocks.
        for (auto [x, colour] :
            { std::pair { row.width / 4, capture_test::block_a }, { row.width * 3 / 4, capture_test::block_b } }) {
            auto const pixel = decoded_pixel(clip, 20, x, row.height / 4, row.width, row.height);
            ASSERT_TRUE(pixel);
            auto const want = bt709(colour);
            EXPECT_NEAR(pixel->y, want.y, 3);
            EXPECT_NEAR(pixel->u, want.u, 3);
            EXPECT_NEAR(pixel->v, want.v, 3);
        }

        std::filesystem::remove(clip);
    }
}

}
