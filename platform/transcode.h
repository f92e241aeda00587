#pragma once
// Re-encoding a clip into a small H.264/AAC MP4: the light copy for Discord. A Transcoder keeps no per-call
// state; any thread may call it (the page worker that serves the request), and each call blocks until the work
// is done. Errors are the media library's own text, ready to follow a French prefix.

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string_view>

#include "base/result.h"

namespace platform {

// What a media file says about itself. A value the file does not give is 0.
struct MediaInfo {
    double duration_secs { 0.0 };
    std::uint32_t width { 0 };
    std::uint32_t height { 0 };
    std::uint32_t frame_rate_num { 0 };
    std::uint32_t frame_rate_den { 0 };
};

// The parameters of one encode: the picture size and the bit rates (bit/s).
struct TranscodeTarget {
    std::uint32_t width { 0 };
    std::uint32_t height { 0 };
    std::uint32_t video_bitrate { 0 };
    std::uint32_t audio_bitrate { 0 };

    bool operator==(TranscodeTarget const&) const = default;
};

class Transcoder {
public:
    virtual ~Transcoder() = default;
    // Opens the file and reads its first video stream's description. Fails for a file that does not open as
    // media, such as a recording whose index is not written yet.
    virtual Result<MediaInfo> probe_media(std::filesystem::path const& source) = 0;
    // Writes `output` as H.264 Main (yuv420p, BT.709 limited) at the target size and video rate, with the
    // source's frame rate, plus AAC 48 kHz stereo at the audio rate when the source has sound, index in front.
    // The file appears at `output` only complete; a failure leaves nothing there.
    virtual Result<void> transcode_h264(
        std::filesystem::path const& source, std::filesystem::path const& output, TranscodeTarget const& target)
        = 0;
};

// The transcoder writes under a temporary name starting so, in the output's folder, and renames it at the end.
constexpr std::string_view transcode_temp_prefix = ".light-";

struct TranscodeDriver {
    std::string_view name;
    Result<std::unique_ptr<Transcoder>> (*open)();
};

// The Linux layer's driver: libavformat, libavcodec (libx264, FFmpeg's "aac", libdav1d for AV1), libswscale
// and libswresample.
extern TranscodeDriver const lavc_transcode_driver;

}
