#pragma once
// Real encoded media for tests, made at test time by the ffmpeg command line: H.264 (libx264), HEVC (libx265)
// or AV1 (libsvtav1, else libaom-av1) video of testsrc2, plus AAC of a sine tone. The video is split into exact
// access units and stored as the encoder thread stores them in the rings: H.264/HEVC NAL units behind 4-byte
// big-endian lengths with parameter sets and delimiters dropped, AV1 OBUs without temporal delimiters; the
// VideoConfig comes from bitstream::decoder_config of the first keyframe. Audio frames are raw AAC (ADTS
// headers removed).
//
// Results are cached per process and per request, so several tests share one encode.

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "core/mp4.h"
#include "core/packet.h"
#include "base/result.h"
#include "core/ring.h"

namespace test_media {

struct Media {
    mp4::VideoConfig video;
    mp4::AudioConfig audio;             // 48 kHz stereo, 128 kbit/s
    std::vector<Packet> video_packets;  // frame i at i * 10^7 / fps ticks, flags 1 on keyframes
    std::vector<Packet> audio_packets;  // frame j at j * 1024 * 10^7 / 48000 ticks, all keyframes
};

struct Request {
    std::uint8_t codec { 0 }; // 0 H.264, 1 HEVC, 2 AV1
    int seconds { 3 };
    int fps { 30 };
    int width { 320 };
    int height { 240 };
    std::uint32_t bitrate { 0 }; // bits per second; 0 lets the encoder choose
    bool noisy { false };        // grain over the picture, so that a bitrate is really reached
    int keyframe_interval { 0 }; // frames; 0 means one keyframe a second (fps)
};

// One keyframe a second, no B-frames. The error says which command failed and what it printed.
Result<Media> encode(Request const& request);
Result<Media> encode(std::uint8_t codec, int seconds, int fps, int width, int height);

// "libsvtav1" or "libaom-av1", whichever this ffmpeg has (empty when neither).
std::string av1_encoder();

// One access unit (Annex-B for H.264/HEVC, low-overhead OBUs for AV1) in the form kept in the rings.
std::vector<std::uint8_t> stored_sample(std::uint8_t codec, std::span<std::uint8_t const> access_unit);
// An elementary stream cut into access units: at each access unit delimiter (H.264 type 9, HEVC type 35) or
// temporal delimiter OBU (AV1). Each unit is a slice of `stream`.
std::vector<std::span<std::uint8_t const>> split_access_units(std::uint8_t codec, std::span<std::uint8_t const> stream);
// Raw AAC frames of an ADTS stream.
std::vector<std::vector<std::uint8_t>> strip_adts(std::span<std::uint8_t const> stream);

// Pushes packets through a ring (with no window or budget) and returns its samples, as the saver reads them.
std::vector<ring::Sample> through_ring(std::vector<Packet> const& packets, std::int64_t shift_ticks = 0);

}
