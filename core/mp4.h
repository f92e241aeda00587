#pragma once
// MP4 (ISO base media) files as this program writes them: one H.264, HEVC or AV1 video track and an optional
// AAC audio track, samples stored as the encoders delivered them, never re-encoded.
//
// write_mp4_file writes a finished clip with its index in front of the media data (fast start), under
// "name.mp4.part" renamed to "name.mp4" at the end. It runs on the caller's thread without any lock: the
// Sample lists hold shared references to payload buffers and segment files, so the rings may change meanwhile.
//
// The track building and every box builder are public because the writer of growing recordings (media data
// first, index appended at the end) and the reader share the same layout. Box builders append one whole box
// (size, type, body) to `out`. All integers in the file are big-endian; times in memory are 100 ns ticks.
//
// Durations are summed in 64 bits. The boxes that carry a duration (mvhd, tkhd, elst, mdhd) are written in
// their 32-bit form (version 0) unless a value does not fit, then in their 64-bit form (version 1): a track of
// more than 2^32 units (13 h 15 min at 90 kHz) keeps its true length instead of wrapping.

#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "base/clock.h"
#include "base/codec.h"
#include "base/result.h"
#include "core/ring.h"

namespace mp4 {

using ticks::ticks_per_second;
constexpr std::uint32_t video_timescale = 90'000;
// Duration of the only frame of a one-frame clip, at 90 kHz (one frame at 60 fps).
constexpr std::uint32_t lone_frame_duration = 1499;
constexpr std::uint32_t aac_frame_samples = 1024;
// Chunk offsets of a clip are 64-bit (co64) once its media passes the signed 32-bit limit.
constexpr std::uint64_t clip_stco_limit_bytes = 0x7FFF'FFFF;
constexpr std::uint64_t ftyp_bytes = 32;
constexpr std::uint64_t mdat_header_bytes = 16;

using Bytes = std::vector<std::uint8_t>;

// Description of the video stream. record: the avcC, hvcC or av1C body (see bitstream::decoder_config).
struct VideoConfig {
    Bytes record;
    std::uint32_t width { 0 };
    std::uint32_t height { 0 };
    Codec codec { Codec::H264 };

    bool operator==(VideoConfig const&) const = default;
};

struct AudioConfig {
    std::uint32_t sample_rate { 48'000 };
    std::uint32_t bitrate { 0 }; // bits per second
    std::uint16_t channels { 2 };
};

// Input of write_mp4_file: both lists in time order; the first video sample must be a keyframe.
struct ClipMedia {
    VideoConfig video;
    std::vector<ring::Sample> video_samples;
    std::vector<ring::Sample> audio_samples; // AAC frames, one access unit each; may be empty
};

// offset: from the first byte of the mdat payload.
struct Chunk {
    std::uint64_t offset { 0 };
    std::uint32_t count { 0 };
};

struct SampleTable {
    std::vector<std::int64_t> times;
    std::vector<std::uint32_t> sizes;
    std::vector<std::uint32_t> sync; // 1-based numbers of the sync samples (only the video list is written)
    std::vector<Chunk> chunks;
    // Per sample, the ticks it is shown after its time (ring::Sample::composition); empty (the recorder) or
    // all zero when every frame is shown in decode order. Only the video of a cut clip can have others.
    std::vector<std::int64_t> composition;
};

// One track of the movie. Exactly one of video and audio is set; both pointers, and table, must outlive it.
struct Track {
    VideoConfig const* video { nullptr };
    AudioConfig const* audio { nullptr };
    std::vector<std::uint32_t> durations; // per sample, in timescale units
    SampleTable const* table { nullptr };
    std::uint64_t start_offset { 0 }; // ticks later than the video (0 for video)
    std::uint32_t track_id { 0 };
    std::uint32_t timescale { 0 };
    // Frames shown out of decode order (B-frames): each sample's composition offset in timescale units, none
    // negative (written as ctts), and the media time of the first frame shown, where the edit list starts
    // the track. Both empty / 0 for a track shown in decode order.
    std::vector<std::uint32_t> composition;
    std::uint64_t media_start { 0 };

    bool is_video() const { return video != nullptr; }
    std::uint64_t duration_sum() const;
    // How long the track is shown (the edit's length): duration_sum, unless frames are shown out of decode
    // order, when it runs from the first frame shown to the end of the last.
    std::uint64_t shown_duration() const;
    // The first track's shown duration in ticks (0 for no track).
    static std::uint64_t duration_ticks(std::span<Track const> tracks);
};

struct WriteSummary {
    std::uint64_t duration_ticks { 0 };
    std::uint64_t bytes { 0 };
    std::uint32_t video_count { 0 };
    std::uint32_t audio_count { 0 };
};

// Writes dir/"{name}.mp4". Errors: "Écriture impossible : {}" with the cause; on failure no part file is left
// and an existing file of the final name is untouched.
Result<WriteSummary> write_mp4_file(std::filesystem::path const& dir, std::string_view name, ClipMedia const& media,
                                    std::optional<AudioConfig> const& audio);

// How a clip's media data is laid out: chunks of about one second, video then audio in each second.
struct ChunkRef {
    bool audio { false };
    std::size_t first { 0 }; // index of the chunk's first sample in its list
    std::uint32_t count { 0 };
};
struct ClipLayout {
    SampleTable video;
    SampleTable audio;
    std::vector<ChunkRef> order; // chunks in file order
    std::uint64_t media_bytes { 0 };
};
ClipLayout lay_out_clip(std::span<ring::Sample const> video, std::span<ring::Sample const> audio);
bool clip_uses_co64(std::uint64_t media_bytes);

// The 32-byte ftyp box whose last compatible brand is the codec's sample entry type.
Bytes write_ftyp(Codec codec);
// Video track 1 at 90 kHz, then audio track 2 (only when audio is given and its table has samples). When
// the video has composition offsets the movie starts with its first sample's presentation, and the audio's
// start offset is counted from there.
std::vector<Track> build_tracks(VideoConfig const& video, SampleTable const& video_table, AudioConfig const* audio,
                                SampleTable const& audio_table);
// Per-sample durations from rounded cumulative positions (no drift); the last sample gets `last`. Durations
// that do not fit 32 bits (a corrupt time) are clamped.
std::vector<std::uint32_t> sample_durations(std::span<std::int64_t const> times, std::uint32_t timescale,
                                            std::int64_t t0, std::uint32_t last);
// The whole moov box; chunk offsets are base + the chunk's offset in the mdat payload.
Bytes write_moov(std::span<Track const> tracks, std::uint64_t base, bool use_co64);
// The body of one trak box (without its header).
Bytes write_trak(Track const& track, std::uint64_t movie_duration, std::uint64_t base, bool use_co64);
// Appends the 36-byte unity matrix.
void write_matrix(Bytes& out);
// Longest track end in milliseconds, start offsets included.
std::uint64_t movie_duration_ms(std::span<Track const> tracks);

// Byte helpers shared by the box builders.
void put_u8(Bytes& out, std::uint8_t value);
void put_u16(Bytes& out, std::uint16_t value);
void put_u32(Bytes& out, std::uint32_t value);
void put_u64(Bytes& out, std::uint64_t value);
void put_type(Bytes& out, std::string_view type); // four ASCII bytes
void put_zeros(Bytes& out, std::size_t count);
// Opens a box (size placeholder and type) and returns where it starts; end_box writes its size.
std::size_t begin_box(Bytes& out, std::string_view type);
std::size_t begin_full_box(Bytes& out, std::string_view type, std::uint8_t version, std::uint32_t flags);
void end_box(Bytes& out, std::size_t start);

// "avc1", "hvc1" or "av01".
std::string_view sample_entry_type(Codec codec);
// ISO 14496-3 sampling frequency index; 15 (the escape for an explicit 24-bit rate) outside the table.
std::uint8_t aac_frequency_index(std::uint32_t sample_rate);
// AAC-LC AudioSpecificConfig: object type 2, frequency index, channel configuration. Two bytes for the rates of
// the table; five for any other rate, which is then written out in full.
Bytes audio_specific_config(AudioConfig const& audio);

// Box builders (each appends one whole box).
void write_mvhd(Bytes& out, std::uint64_t duration_ms, std::uint32_t next_track_id);
void write_tkhd(Bytes& out, Track const& track, std::uint64_t movie_duration_ms);
// Nothing unless the track starts after the video or shows frames out of decode order.
void write_edts(Bytes& out, Track const& track);
void write_mdia(Bytes& out, Track const& track, std::uint64_t base, bool use_co64);
void write_mdhd(Bytes& out, std::uint32_t timescale, std::uint64_t duration);
void write_hdlr(Bytes& out, bool video);
void write_minf(Bytes& out, Track const& track, std::uint64_t base, bool use_co64);
void write_vmhd(Bytes& out);
void write_smhd(Bytes& out);
void write_dinf(Bytes& out);
void write_stbl(Bytes& out, Track const& track, std::uint64_t base, bool use_co64);
void write_stsd(Bytes& out, Track const& track);
void write_video_entry(Bytes& out, VideoConfig const& video);
void write_colr(Bytes& out);
void write_audio_entry(Bytes& out, AudioConfig const& audio);
void write_esds(Bytes& out, AudioConfig const& audio);
void write_stts(Bytes& out, std::span<std::uint32_t const> durations);
void write_ctts(Bytes& out, std::span<std::uint32_t const> offsets); // nothing when offsets is empty
void write_stss(Bytes& out, std::span<std::uint32_t const> sync);
void write_stsc(Bytes& out, std::span<Chunk const> chunks);
void write_stsz(Bytes& out, std::span<std::uint32_t const> sizes);
void write_chunk_offsets(Bytes& out, std::span<Chunk const> chunks, std::uint64_t base, bool use_co64); // stco/co64
// The 16-byte mdat header with its 64-bit size (payload + 16).
void write_mdat_header(Bytes& out, std::uint64_t payload_bytes);

}
