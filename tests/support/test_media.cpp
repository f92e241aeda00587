#include "tests/support/test_media.h"

#include <limits>
#include <map>
#include <mutex>
#include <tuple>

#include <fmt/format.h>

#include "base/clock.h"
#include "base/file_io.h"
#include "core/bitstream.h"
#include "core/demux.h"
#include "tests/support/media_check.h"
#include "tests/support/temp_dir.h"

namespace test_media {

namespace {

using ticks::ticks_per_second;

std::vector<std::string> video_codec_args(Request const& r)
{
    std::string const gop = std::to_string(r.keyframe_interval > 0 ? r.keyframe_interval : r.fps);
    std::vector<std::string> args;
    switch (r.codec) {
    case Codec::H264:
        args = { "-c:v", "libx264", "-preset", r.width * r.height > 1'000'000 ? "ultrafast" : "veryfast", "-g", gop,
                 "-keyint_min", gop, "-sc_threshold", "0", "-bf", "0" };
        break;
    case Codec::Hevc:
        args = { "-c:v", "libx265", "-preset", "ultrafast", "-x265-params",
                 "log-level=error:keyint=" + gop + ":min-keyint=" + gop + ":scenecut=0:bframes=0:open-gop=0" };
        break;
    case Codec::Av1:
        if (av1_encoder() == "libsvtav1")
            args = { "-c:v", "libsvtav1", "-preset", "12", "-g", gop, "-svtav1-params", "pred-struct=1" };
        else
            args = { "-c:v", "libaom-av1", "-cpu-used", "8", "-row-mt", "1", "-lag-in-frames", "0", "-g", gop,
                     "-keyint_min", gop };
    }
    if (r.bitrate) {
        std::string const rate = std::to_string(r.bitrate);
        args.insert(args.end(), { "-b:v", rate });
        if (r.codec == Codec::H264)
            args.insert(args.end(), { "-maxrate", rate, "-bufsize", std::to_string(r.bitrate / 2) });
    }
    return args;
}

Result<Media> make(Request const& r)
{
    if (r.codec == Codec::Av1 && av1_encoder().empty())
        return fail("no AV1 encoder in this ffmpeg");
    auto dir = testing_support::make_temp_dir("quillmar-media");
    struct Cleanup {
        std::filesystem::path dir;
        ~Cleanup()
        {
            std::error_code ec;
            std::filesystem::remove_all(dir, ec);
        }
    } cleanup { dir };

    auto path = dir / "media.mp4";
    std::string source = fmt::format("testsrc2=size={}x{}:rate={}", r.width, r.height, r.fps);
    if (r.noisy)
        source += ",noise=alls=24:allf=t";
    // SVT-AV1 prints its banner whatever ffmpeg's log level; SVT_LOG=1 keeps only its errors.
    std::vector<std::string> command { "env", "SVT_LOG=1", "ffmpeg", "-nostdin", "-v", "error", "-y", "-f", "lavfi",
        "-i", source, "-f", "lavfi", "-i", "sine=frequency=440:sample_rate=48000", "-t", std::to_string(r.seconds),
        "-pix_fmt", "yuv420p" };
    auto codec_args = video_codec_args(r);
    command.insert(command.end(), codec_args.begin(), codec_args.end());
    command.insert(command.end(), { "-c:a", "aac", "-ac", "2", "-b:a", "128k", path.string() });
    if (auto made = media::run(command); made.status != 0)
        return fail(fmt::format("ffmpeg exited with {}: {}", made.status, made.output));

    auto opened = TRY(demux::open_file(path));
    auto fd = TRY(files::open_read(path));
    auto bytes_of = [&](demux::SampleRef const& ref) -> Result<SharedBytes> {
        std::vector<std::uint8_t> bytes(ref.size);
        TRY_VOID(files::pread_exact(fd.get(), std::span(bytes), ref.offset));
        return make_shared_bytes(std::move(bytes));
    };
    Media media { opened.video, mp4::AudioConfig { 48'000, 128'000, 2 }, {}, {} };
    for (std::size_t i = 0; i < opened.video_samples.size(); ++i)
        media.video_packets.push_back(Packet { TRY(bytes_of(opened.video_samples[i])),
            std::int64_t(i) * ticks_per_second / r.fps, opened.video_samples[i].sync });
    for (std::size_t j = 0; j < opened.audio_samples.size(); ++j)
        media.audio_packets.push_back(Packet { TRY(bytes_of(opened.audio_samples[j])),
            std::int64_t(j) * mp4::aac_frame_samples * ticks_per_second / 48'000, 1 });
    if (media.video_packets.empty() || !media.video_packets[0].is_keyframe())
        return fail("the encoded video does not start on a keyframe");
    return media;
}

} // namespace

std::string av1_encoder()
{
    static std::string const name = [] {
        auto listing = media::run({ "ffmpeg", "-hide_banner", "-encoders" }).output;
        for (char const* candidate : { "libsvtav1", "libaom-av1" }) {
            if (listing.find(std::string(" ") + candidate + " ") != std::string::npos)
                return std::string(candidate);
        }
        return std::string();
    }();
    return name;
}

std::vector<ring::Sample> through_ring(std::vector<Packet> const& packets, std::int64_t shift_ticks)
{
    ring::Ring ring;
    ring.window = std::numeric_limits<std::int64_t>::max();
    for (auto packet : packets) {
        packet.time += shift_ticks;
        ring.push(std::move(packet));
    }
    return ring.samples_between(std::numeric_limits<std::int64_t>::min(), std::numeric_limits<std::int64_t>::max());
}

Result<Media> encode(Request const& request)
{
    static std::mutex mutex;
    static std::map<std::tuple<int, int, int, int, int, std::uint32_t, bool, int>, Result<Media>> cache;
    auto key = std::make_tuple(int(request.codec), request.seconds, request.fps, request.width, request.height,
                               request.bitrate, request.noisy, request.keyframe_interval);
    std::lock_guard lock(mutex);
    auto found = cache.find(key);
    if (found == cache.end())
        found = cache.emplace(key, make(request)).first;
    return found->second;
}

Result<Media> encode(Codec codec, int seconds, int fps, int width, int height)
{
    return encode(Request { codec, seconds, fps, width, height });
}

}
