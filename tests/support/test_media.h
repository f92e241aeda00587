#pragma once
// Real encoded media for tests, made at test time by the ffmpeg command line: H.264 (libx264), HEVC (libx265)
// or AV1 (libsvtav1, else libaom-av1) video of testsrc2 with AAC of a sine tone, no B-frames. ffmpeg writes an MP4 and the samples are taken from it, which is already the form the rings keep:
// NAL units behind 4-byte lengths with the parameter sets in the decoder configuration, AV1 OBUs without
// temporal delimiters, raw AAC frames. Results are cached per process, so several tests share one encode.

#include <cstdint>
#include <string>
#include <vector>

#include "base/result.h"
#include "core/mp4.h"
#include "core/packet.h"
#include "core/ring.h"

namespace test_media {

struct Media {
    mp4::VideoConfig video;
    mp4::AudioConfig audio;             // 48 kHz stereo, 128 kbit/s
    std::vector<Packet> video_packets;  // frame i at i * 10^7 / fps ticks, flags 1 on keyframes
    std::vector<Packet> audio_packets;  // frame j at j * 1024 * 10^7 / 48000 ticks, all keyframes
};

struct Request {
    Codec codec { Codec::H264 };
    int seconds { 3 };
    int fps { 30 };
    int width { 320 };
    int height { 240 };
    std::uint32_t bitrate { 0 }; // bits per second; 0 lets the encoder choose
    bool noisy { false };        // grain over the picture, so that a bitrate is really reached
    int keyframe_interval { 0 }; // frames; 0 means one keyframe a second (fps)
};

// The error says which command failed and what it printed.
Result<Media> encode(Request const& request);
Result<Media> encode(Codec codec, int seconds, int fps, int width, int height);

// "libsvtav1" or "libaom-av1", whichever this ffmpeg has (empty when neither).
std::string av1_encoder();

// Pushes packets through a ring (with no window or budget) and returns its samples, as the saver reads them.
std::vector<ring::Sample> through_ring(std::vector<Packet> const& packets, std::int64_t shift_ticks = 0);

}
