#pragma once
// What lets a growing recording outlive a crash, a kill, a power cut or a full disk. Its index (moov) is only
// written at the end, so while it grows the recorder keeps a journal beside it: one header entry with the
// stream descriptions, then one entry per chunk with each sample's time, size and keyframe flag, written just
// before the chunk's bytes. From the journal and the file on disk, complete_from_journal appends the moov after
// every byte the file holds and patches the mdat size: the layout of a recording that finished normally (the
// same bytes when the file ends at a chunk's end). It never shortens the file: bytes no whole sample accounts
// for (a sample cut short, a chunk whose entry was damaged) stay inside the mdat, unindexed, for any later tool.
// Only salvage during a recording (complete_recording with Room::CutToFit) cuts, to make room on a full disk.
//
// Journal entry: size u32 (of the body), body, check u32 (of the body). Body: kind u8, then
//   header (1): codec u8, width u32, height u32, record length u32, record, has audio u8,
//               [sample rate u32, bitrate u32, channels u16], label length u32, label (UTF-8, the caller's)
//   chunk (2):  track u8 (0 video, 1 audio), offset u64 (from the mdat payload), count u32,
//               count x (time i64, size u32, flags u8)
// All big-endian. A journal is read entry by entry, never whole. Each chunk entry must follow on from the one
// before (its offset right where that chunk ended). An entry that is cut or fails its check is passed over when
// a whole entry further on continues the sequence (its offset past the damaged chunk's): one damaged entry costs
// the chunk it describes, and after lost video the frames up to the next keyframe, which depend on it. Reading
// stops at the first whole entry that does not follow on, or when no such entry is found.
// A header that fails its check would cost the whole recording. One flipped bit (in it or in its check) is found
// from the check and put back. Otherwise it is read as it stands when it still reads as the recorder's (sizes in
// range, a decoder configuration that parses) and the whole entry after it is the recording's first chunk;
// completion then takes it only for a file every journaled chunk starts within. Its game's name is kept when it is
// fit to show, else left out (empty).
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

// The largest journal worth reading. A track's index holds at most demux::max_track_samples samples, so no
// journal of ours describes more than that per track; at worst every sample has a chunk entry of its own
// (13 bytes a sample, 22 bytes of size, check and fields an entry), after a header entry of at most 64 MiB.
// Past this bound no entry could add a sample, so nothing further is read: a journal grown by damage (a
// sparse file of gigabytes) costs no more than one that is whole.
constexpr std::uint64_t max_journal_bytes
    = 8 + (std::uint64_t { 64 } << 20) + 2 * (std::uint64_t { 1 } << 24) * (13 + 22);

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
    std::uint64_t media_bytes { 0 }; // where the last chunk journaled ends, from the mdat payload
    std::uint64_t last_chunk { 0 };  // where it starts
    bool header_damaged { false };   // the header failed its check, could not be mended, and was read as it stands
    bool entries_damaged { false };  // an entry was damaged or cut: the tables may not tell of every frame
};
// Nothing when the journal does not open with a whole header.
std::optional<JournalContents> read_journal(std::span<std::uint8_t const> bytes);
// The same from a journal file, read a window at a time: memory holds the tables and at most one entry
// (64 MiB at most) or one window (1 MiB) of the file, whatever its length. Errors are the system's.
Result<std::optional<JournalContents>> read_journal_file(int fd);

// An upper bound of the moov's size for tables of these lengths (the reserve a recording keeps for it).
std::uint64_t moov_size_bound(SampleTable const& video, SampleTable const& audio, std::size_t record_bytes);

// What completion may do with the file's bytes: cut it to its last whole sample (and cut further when the disk
// has no room for the moov: the salvage of a recording that just hit a full disk), or keep every byte and append
// the moov after them (a file found at start-up; no room is then an error, and the file is left as it was).
enum class Room { CutToFit, KeepEveryByte };

// Completes a recording file of `file_size` bytes whose media data the tables describe: indexes its whole
// samples, writes the moov, patches the mdat size and syncs it. Fails ("aucune image vidéo entière") when no
// whole video sample is left, the file then untouched, or with the system's text.
Result<RecordingSummary> complete_recording(int fd, std::uint64_t file_size, VideoConfig const& video,
                                            AudioConfig const* audio, SampleTable video_table,
                                            SampleTable audio_table, Room room = Room::CutToFit);

enum class Completion {
    Indexed,        // the moov appended after the file's bytes, the mdat size patched
    SizePatched,    // the moov was there after the media, only the mdat size had not reached the disk
    AlreadyIndexed, // finished or salvaged already: nothing written, the file stays exactly as it is
    Empty,          // the recorder's own file, proven to hold no whole video frame (no media at all, or only
                    // what whole entries describe): nothing written, for the caller to remove
};

struct Completed {
    RecordingSummary summary; // of the file as completed (for AlreadyIndexed and SizePatched, its own index)
    JournalHeader header;
    Completion completion { Completion::Indexed };
};
// The refusals of complete_from_journal, made before anything is written: the file is no recording this
// journal can complete (any other error is the system's, and trying again later may succeed).
bool is_refusal(std::string_view error);

// Completes the recording in `fd` from its journal. A file that does not start as a recording (ftyp and an
// mdat header of our layout), or a journal that is not one, is refused and left untouched. A file that already
// holds an index after its media keeps every byte; one whose index is there but whose mdat size is still 0 (the
// patch never reached the disk) only gets its size. Otherwise the moov goes after all of the file's bytes.
Result<Completed> complete_from_journal(int fd, std::span<std::uint8_t const> journal);
Result<Completed> complete_from_journal(int fd, JournalContents contents);

}
