#pragma once
// What lets a growing recording outlive a crash, a kill, a power cut or a full disk. Its index (moov) is only
// written at the end, so while it grows the recorder keeps a journal beside it: one header entry with the
// stream descriptions, then one entry per chunk with each sample's time, size and keyframe flag, written just
// before the chunk's bytes. From the journal and the length of the file on disk, complete_recording cuts the
// file to its last whole sample, appends the moov and patches the mdat size: the same layout as a recording
// that finished normally.
//
// Journal entry: size u32 (of the body), body, check u32 (of the body). Body: kind u8, then
//   header (1): codec u8, width u32, height u32, record length u32, record, has audio u8,
//               [sample rate u32, bitrate u32, channels u16], label length u32, label (UTF-8, the caller's)
//   chunk (2):  track u8 (0 video, 1 audio), offset u64 (from the mdat payload), count u32,
//               count x (time i64, size u32, flags u8)
// All big-endian. A journal is read up to its first entry that is cut, fails its check or does not follow on
// from the one before: everything before it is trusted, nothing after it.
//
// Stateless free functions; the Recorder writes the entries, the start-up completes what a run left behind.

#include <cstdint>
#include <deque>
#include <optional>
#include <span>
#include <string>

#include "base/result.h"
#include "core/mp4.h"
#include "core/packet.h"

namespace mp4 {

// Where a recording's mdat header sits (right after the ftyp) and where its payload starts.
constexpr std::uint64_t recording_mdat_position = ftyp_bytes;
constexpr std::uint64_t recording_media_start = recording_mdat_position + mdat_header_bytes;

// The last chunk offset of the file must fit 32 bits for stco; past that the index uses co64.
bool recording_uses_co64(std::uint64_t media_bytes);

struct RecordingSummary {
    std::uint64_t duration_ticks { 0 }; // of the video track
    std::uint64_t bytes { 0 };          // the finished file's length
};

struct JournalHeader {
    VideoConfig video;
    std::optional<AudioConfig> audio; // set when the recording has an audio track
    std::string label;                // kept for whoever completes the recording (the game's name)
};

Bytes journal_header_entry(JournalHeader const& header);
// The entry of one chunk of `packets` starting at `offset` in the mdat payload.
Bytes journal_chunk_entry(bool audio, std::uint64_t offset, std::deque<Packet> const& packets);

struct JournalContents {
    JournalHeader header;
    SampleTable video;
    SampleTable audio;
};
// Nothing when the journal does not open with a whole header.
std::optional<JournalContents> read_journal(std::span<std::uint8_t const> bytes);

// Cuts both tables to what the first `available` bytes of the mdat payload hold: every chunk that ends within
// them, then the whole samples of the chunk that reaches past. Gives the bytes kept.
std::uint64_t keep_whole_samples(SampleTable& video, SampleTable& audio, std::uint64_t available);

// An upper bound of the moov's size for tables of these lengths (the reserve a recording keeps for it).
std::uint64_t moov_size_bound(SampleTable const& video, SampleTable const& audio, std::size_t record_bytes);

// Completes a recording file of `file_size` bytes whose media data the tables describe: cuts it to its last
// whole sample, appends the moov, patches the mdat size and syncs it. When the disk has no room for the moov,
// the last samples are cut to make room. Fails ("aucune image vidéo entière") when no whole video sample
// is left, the file then untouched, or with the system's text.
Result<RecordingSummary> complete_recording(int fd, std::uint64_t file_size, VideoConfig const& video,
                                            AudioConfig const* audio, SampleTable video_table,
                                            SampleTable audio_table);

struct Completed {
    RecordingSummary summary;
    JournalHeader header;
};
// The refusals of complete_from_journal, made before anything is written: the file is no recording this
// journal can complete (any other error is the system's, and trying again later may succeed).
bool is_refusal(std::string_view error);

// Completes the recording in `fd` from its journal. A file that does not start as a recording (ftyp and an
// mdat header of our layout), or a journal that is not one, is refused and left untouched.
Result<Completed> complete_from_journal(int fd, std::span<std::uint8_t const> journal);

}
