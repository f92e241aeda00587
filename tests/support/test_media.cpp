#include "tests/support/test_media.h"

#include <filesystem>
#include <fstream>
#include <iterator>
#include <limits>
#include <map>
#include <mutex>
#include <tuple>

#include "core/bitstream.h"
#include "tests/support/media_check.h"
#include "tests/support/temp_dir.h"

namespace test_media {

namespace {

constexpr std::int64_t ticks_per_second = 10'000'000;
constexpr std::uint32_t audio_rate = 48'000;

Result<std::vector<std::uint8_t>> read_bytes(std::filesystem::path const& path)
{
    std::ifstream in(path, std::ios::binary);
    std::vector<std::uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (bytes.empty())
        return fail("empty output " + path.string());
    return bytes;
}

Result<void> run_tool(std::vector<std::string> const& argv)
{
    // SVT-AV1 prints its banner whatever ffmpeg's log level; SVT_LOG=1 keeps only its errors.
    std::vector<std::string> command { "env", "SVT_LOG=1" };
    command.insert(command.end(), argv.begin(), argv.end());
    auto result = media::run(command);
    if (result.status != 0) {
        std::string line;
        for (auto const& arg : argv)
            line += arg + " ";
        return fail(line + "exited with " + std::to_string(result.status) + ": " + result.output);
    }
    return {};
}

bool is_keyframe(std::uint8_t codec, std::span<std::uint8_t const> access_unit)
{
    if (codec == bitstream::codec_av1) {
        // Our AV1 encoders repeat the sequence header on every key frame and only there.
        for (auto const& obu : bitstream::split_obus(access_unit)) {
            if (obu.obu_type == 1)
                return true;
        }
        return false;
    }
    for (auto unit : bitstream::split_annexb(access_unit)) {
        int type = codec == bitstream::codec_h264 ? unit[0] & 0x1F : (unit[0] >> 1) & 0x3F;
        if (codec == bitstream::codec_h264 ? type == 5 : (type >= 16 && type <= 21))
            return true;
    }
    return false;
}

std::vector<std::string> video_codec_args(Request const& r, int gop)
{
    std::string g = std::to_string(gop);
    std::vector<std::string> args;
    switch (r.codec) {
    case bitstream::codec_h264:
        args = { "-c:v", "libx264", "-preset", r.width * r.height > 1'000'000 ? "ultrafast" : "veryfast",
                 "-g", g, "-keyint_min", g, "-sc_threshold", "0", "-bf", "0", "-x264-params", "aud=1",
                 "-f", "h264" };
        break;
    case bitstream::codec_hevc:
        args = { "-c:v", "libx265", "-preset", "ultrafast", "-x265-params",
                 "log-level=error:keyint=" + g + ":min-keyint=" + g
                     + ":scenecut=0:bframes=0:open-gop=0:aud=1:repeat-headers=1",
                 "-f", "hevc" };
        break;
    default:
        if (av1_encoder() == "libsvtav1")
            args = { "-c:v", "libsvtav1", "-preset", "12", "-g", g, "-svtav1-params", "pred-struct=1" };
        else
            args = { "-c:v", "libaom-av1", "-cpu-used", "8", "-row-mt", "1", "-lag-in-frames", "0", "-g", g,
                     "-keyint_min", g };
        args.insert(args.end(), { "-f", "obu" });
        break;
    }
    if (r.bitrate) {
        std::string rate = std::to_string(r.bitrate);
        std::vector<std::string> rate_args { "-b:v", rate };
        if (r.codec == bitstream::codec_h264)
            rate_args.insert(rate_args.end(), { "-maxrate", rate, "-bufsize", std::to_string(r.bitrate / 2) });
        args.insert(args.begin(), rate_args.begin(), rate_args.end());
    }
    return args;
}

Result<Media> make(Request const& r)
{
    if (r.codec == bitstream::codec_av1 && av1_encoder().empty())
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

    int gop = r.keyframe_interval > 0 ? r.keyframe_interval : r.fps;
    std::string source = "testsrc2=size=" + std::to_string(r.width) + "x" + std::to_string(r.height)
        + ":rate=" + std::to_string(r.fps);
    if (r.noisy)
        source += ",noise=alls=24:allf=t";
    auto video_path = dir / "video.es";
    std::vector<std::string> video_cmd { "ffmpeg", "-nostdin", "-v", "error", "-y", "-f", "lavfi", "-i", source,
                                         "-t", std::to_string(r.seconds), "-pix_fmt", "yuv420p" };
    auto codec_args = video_codec_args(r, gop);
    video_cmd.insert(video_cmd.end(), codec_args.begin(), codec_args.end());
    video_cmd.push_back(video_path.string());
    TRY_VOID(run_tool(video_cmd));

    auto audio_path = dir / "audio.aac";
    TRY_VOID(run_tool({ "ffmpeg", "-nostdin", "-v", "error", "-y", "-f", "lavfi", "-i",
                        "sine=frequency=440:sample_rate=48000", "-t", std::to_string(r.seconds), "-ac", "2", "-c:a",
                        "aac", "-b:a", "128k", "-f", "adts", audio_path.string() }));

    auto stream = TRY(read_bytes(video_path));
    Media media;
    auto units = split_access_units(r.codec, stream);
    if (units.empty())
        return fail("no access unit found in the encoded stream");
    for (std::size_t i = 0; i < units.size(); ++i) {
        bool key = is_keyframe(r.codec, units[i]);
        if (key && media.video.record.empty()) {
            auto record = bitstream::decoder_config(r.codec, units[i]);
            if (!record)
                return fail("no decoder configuration in the first keyframe");
            media.video = mp4::VideoConfig { std::move(*record), static_cast<std::uint32_t>(r.width),
                                             static_cast<std::uint32_t>(r.height), r.codec };
        }
        auto time = static_cast<std::int64_t>(i) * ticks_per_second / r.fps;
        media.video_packets.push_back(
            Packet { make_shared_bytes(stored_sample(r.codec, units[i])), time, static_cast<std::uint8_t>(key) });
    }
    if (media.video.record.empty())
        return fail("no keyframe in the encoded stream");

    auto adts = TRY(read_bytes(audio_path));
    auto frames = strip_adts(adts);
    for (std::size_t j = 0; j < frames.size(); ++j) {
        auto time = static_cast<std::int64_t>(j) * mp4::aac_frame_samples * ticks_per_second / audio_rate;
        media.audio_packets.push_back(Packet { make_shared_bytes(std::move(frames[j])), time, 1 });
    }
    media.audio = mp4::AudioConfig { audio_rate, 128'000, 2 };
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

std::vector<std::uint8_t> stored_sample(std::uint8_t codec, std::span<std::uint8_t const> access_unit)
{
    std::vector<std::uint8_t> out;
    out.reserve(access_unit.size() + 16);
    if (codec == bitstream::codec_av1) {
        for (auto const& obu : bitstream::split_obus(access_unit)) {
            if (obu.obu_type != 2)
                out.insert(out.end(), obu.whole.begin(), obu.whole.end());
        }
        return out;
    }
    for (auto unit : bitstream::split_annexb(access_unit)) {
        int type = codec == bitstream::codec_h264 ? unit[0] & 0x1F : (unit[0] >> 1) & 0x3F;
        bool parameter_or_delimiter = codec == bitstream::codec_h264 ? (type >= 7 && type <= 9) : (type >= 32 && type <= 35);
        if (parameter_or_delimiter)
            continue;
        auto size = static_cast<std::uint32_t>(unit.size());
        out.insert(out.end(), { static_cast<std::uint8_t>(size >> 24), static_cast<std::uint8_t>(size >> 16),
                                static_cast<std::uint8_t>(size >> 8), static_cast<std::uint8_t>(size) });
        out.insert(out.end(), unit.begin(), unit.end());
    }
    return out;
}

std::vector<std::span<std::uint8_t const>> split_access_units(std::uint8_t codec, std::span<std::uint8_t const> stream)
{
    // Each unit runs from its delimiter (start code included) to the end of its last NAL unit or OBU.
    std::vector<std::pair<std::size_t, std::size_t>> bounds;
    auto offset_of = [&](std::span<std::uint8_t const> part) {
        return static_cast<std::size_t>(part.data() - stream.data());
    };
    if (codec == bitstream::codec_av1) {
        for (auto const& obu : bitstream::split_obus(stream)) {
            if (obu.obu_type == 2)
                bounds.emplace_back(offset_of(obu.whole), offset_of(obu.whole));
            if (!bounds.empty())
                bounds.back().second = offset_of(obu.whole) + obu.whole.size();
        }
    } else {
        for (auto unit : bitstream::split_annexb(stream)) {
            int type = codec == bitstream::codec_h264 ? unit[0] & 0x1F : (unit[0] >> 1) & 0x3F;
            if (type == (codec == bitstream::codec_h264 ? 9 : 35)) {
                std::size_t start = offset_of(unit) - 3;
                if (start > 0 && stream[start - 1] == 0)
                    --start;
                bounds.emplace_back(start, start);
            }
            if (!bounds.empty())
                bounds.back().second = offset_of(unit) + unit.size();
        }
    }
    std::vector<std::span<std::uint8_t const>> units;
    for (auto [begin, end] : bounds)
        units.push_back(stream.subspan(begin, end - begin));
    return units;
}

std::vector<std::vector<std::uint8_t>> strip_adts(std::span<std::uint8_t const> stream)
{
    std::vector<std::vector<std::uint8_t>> frames;
    std::size_t at = 0;
    while (at + 7 <= stream.size() && stream[at] == 0xFF && (stream[at + 1] & 0xF0) == 0xF0) {
        std::size_t header = (stream[at + 1] & 1) ? 7 : 9;
        std::size_t length = (std::size_t(stream[at + 3] & 3) << 11) | (std::size_t(stream[at + 4]) << 3)
            | (stream[at + 5] >> 5);
        if (length < header || at + length > stream.size())
            break;
        frames.emplace_back(stream.begin() + static_cast<std::ptrdiff_t>(at + header),
                            stream.begin() + static_cast<std::ptrdiff_t>(at + length));
        at += length;
    }
    return frames;
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

Result<Media> encode(std::uint8_t codec, int seconds, int fps, int width, int height)
{
    return encode(Request { codec, seconds, fps, width, height });
}

}
