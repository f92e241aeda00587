#pragma once
// Reads the index of an MP4 file back into per-track sample references: what trim needs to copy a range of
// encoded samples into a new clip without decoding. Only the moov box is read into memory; sample bytes stay
// in the file and are read later, at their offsets, by the clip writer.
//
// The files come from the clips folder, where anything can land, so every read is bounded by the payload that
// holds it and by the length of the file: a corrupt or hostile file gives "MP4 illisible : {}" with a short
// French cause, never a crash, a hang or an allocation larger than the file itself.
//
// Stateless free functions; any thread may call them (trim runs on a page worker).

#include <array>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/mp4.h"
#include "base/result.h"

namespace demux {

using Bytes = std::span<std::uint8_t const>;

struct Box {
    std::array<char, 4> type {};
    Bytes payload;

    bool is(std::string_view four_cc) const;
};

// One sample of the file, on the file's own time line.
struct SampleRef {
    std::int64_t time { 0 };    // ticks (100 ns), decode order
    std::uint64_t offset { 0 }; // absolute position of the sample's bytes in the file
    std::uint32_t size { 0 };
    std::uint8_t sync { 0 };    // 1 = sync sample
    // Ticks the sample is shown after its time, from ctts and the track's edit (negative: before); 0 in a
    // track without ctts. time + composition is where the frame is shown on the file's time line.
    std::int64_t composition { 0 };

    std::int64_t shown() const;

    bool operator==(SampleRef const&) const = default;
};

struct TrackInfo {
    Bytes stbl;
    std::int64_t start_offset { 0 }; // ticks; how much later than the movie start the track's media begins
    // The media time (track timescale) at which the edit list starts showing the media: frames shown out of
    // decode order are shifted by their composition offset, and the edit takes that shift back.
    std::int64_t media_time { 0 };
    std::array<char, 4> handler {};
    std::uint32_t timescale { 0 };
};

struct OpenedFile {
    std::uint32_t movie_timescale { 0 };
    mp4::VideoConfig video;
    std::vector<SampleRef> video_samples;
    std::optional<mp4::AudioConfig> audio;
    std::vector<SampleRef> audio_samples;
};

// The most samples a track may have: 2^24 is 77 hours of 60 fps video or 99 hours of 48 kHz AAC, and keeps the
// index of one track under about half a gigabyte in memory.
constexpr std::uint32_t max_track_samples = 1 << 24;

// The bitrate given to an audio track whose esds cannot be read.
constexpr std::uint32_t fallback_bitrate = 192'000;

// The reader's error text, "MP4 illisible : {}" with the cause.
std::string invalid(std::string_view cause);

// The child boxes of bytes, in order. Stops silently at the first box that is malformed or ends past the bytes.
std::vector<Box> parse_boxes(Bytes bytes);
std::optional<Box> find_box(Bytes bytes, std::string_view type);
std::optional<Box> find_path(Bytes bytes, std::string_view type1, std::string_view type2);

// Big-endian reads; "trop court" when the value would reach past the payload.
Result<std::uint32_t> read_u32_at(Bytes payload, std::size_t offset);
Result<std::uint64_t> read_u64_at(Bytes payload, std::size_t offset);

Result<TrackInfo> parse_trak(Bytes trak, std::uint32_t movie_timescale);
Result<mp4::AudioConfig> parse_audio_entry(Bytes stsd);
Result<mp4::VideoConfig> parse_video_entry(Bytes stsd);

// Table readers of parse_stbl. Each refuses a table whose declared count reaches past its payload, so no
// table is ever larger than the bytes that hold it.
Result<std::vector<std::uint64_t>> read_chunk_offsets(Bytes stbl);
// A (first chunk, samples per chunk) pair of stsc.
struct StscEntry {
    std::uint32_t first_chunk { 0 };
    std::uint32_t samples_per_chunk { 0 };
};
Result<std::vector<StscEntry>> read_stsc(Bytes stsc);
// The entry that applies to 1-based chunk number `chunk`, advancing `cursor` through the sorted entries;
// none when the chunk lies before every entry.
std::optional<StscEntry> next_stsc_entry(std::span<StscEntry const> entries, std::size_t& cursor, std::uint64_t chunk);
// `count` u32 values from payload offset `from`.
Result<std::vector<std::uint32_t>> read_u32_table(Bytes payload, std::size_t from, std::uint64_t count);

// The samples of one track. file_size bounds the table: samples that would lie past the end of the file (or
// more sample bytes than the file holds) make the table incoherent. When the table has ctts, each sample's
// composition is its offset less media_time (TrackInfo::media_time); without ctts media_time is not used.
Result<std::vector<SampleRef>> parse_stbl(Bytes stbl, std::uint32_t timescale, std::int64_t start_offset,
                                          std::uint64_t file_size, std::int64_t media_time = 0);

// Parses a whole moov payload of a file of file_size bytes (the steps after the top-level walk).
Result<OpenedFile> parse_moov(Bytes moov, std::uint64_t file_size);
// Opens a file: walks the top-level boxes with positional reads, reads the moov and parses it.
Result<OpenedFile> open_file(std::filesystem::path const& path);
// The same over a file already open for reading. Whoever then reads the samples through this descriptor reads
// the very file the index came from, even if its name has since been given to another file.
Result<OpenedFile> read_index(int fd);
// The same over bytes already in memory (a whole file).
Result<OpenedFile> open_bytes(Bytes file);

// The samples to copy for [start, end): video from the last sync sample shown at or before start up to the
// samples decoded from end on, audio from the time the first selected video sample is shown.
std::pair<std::vector<SampleRef>, std::vector<SampleRef>> select_range(OpenedFile const& file, std::int64_t start,
                                                                       std::int64_t end);

}
