#pragma once
// Writes a growing recording: a continuous recording may last hours, so its media data goes to the file in
// chunks of about one second as it arrives, and only the sample tables stay in memory. The file carries its
// final name from the first byte:
//
//   offset 0   ftyp (32 bytes)
//   offset 32  mdat header with a 64-bit size, 0 until the recording is finished
//   offset 48  the chunks: per flush one video chunk, then one audio chunk
//   then       moov, appended by finish(), its chunk offsets absolute (base 48)
//
// A recording whose finish never ran keeps the zero size and has no moov; the reader refuses it ("pas
// d'index"). With a journal kept (keep_journal), each chunk's entry goes to the journal right before the chunk,
// and both reach the system at the end of each chunk: after a kill only the queued second (and the chunk
// being written) is missing from what complete_from_journal can rebuild. Every recording_sync_ticks of media
// both files are synced, the data first, so a power cut loses at most that much more. On a write error,
// salvage() completes the file from the tables in memory, after giving back the room held in reserve for the
// index. The Recorder belongs to the recording thread alone; nothing here locks.

#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <vector>

#include "base/file_io.h"
#include "core/mp4.h"
#include "core/mp4_journal.h"
#include "core/packet.h"
#include "base/result.h"

namespace mp4 {

// A chunk is written once the queued video spans this long, or the queued audio while the video has stalled.
constexpr std::int64_t recording_chunk_ticks = ticks_per_second;
// How much media a journaled recording writes between two syncs of its file and journal.
constexpr std::int64_t recording_sync_ticks = 2 * ticks_per_second;
// Room held beyond the index's bound: the sidecar, the thumbnail and the journal's growth until the next check.
constexpr std::uint64_t recording_reserve_margin = 256 << 10;

class Recorder {
public:
    // Takes the freshly created (empty) recording file and writes the ftyp and the mdat header with a zero
    // size. Errors are the system's text.
    static Result<Recorder> start(files::Fd file, Codec codec);

    Recorder(Recorder&&) noexcept = default;
    Recorder& operator=(Recorder&&) noexcept = default;
    Recorder(Recorder const&) = delete;
    Recorder& operator=(Recorder const&) = delete;

    // Queues one video packet; packets before the first keyframe are dropped. Writes a chunk once the queued
    // video spans one second.
    Result<void> push_video(Packet packet);
    // Queues one audio packet. Once the queued audio spans one second while no video is queued, or the newest
    // queued video is a second older than this packet (the encoder stalled or died), writes a chunk: the audio
    // then never piles up in memory. Before the first keyframe only the last second of audio is kept, since
    // older audio precedes any keyframe still to come and would be dropped anyway.
    Result<void> push_audio(Packet packet);
    // Writes all queued video as one chunk, then the queued audio from the first keyframe on as one chunk. A
    // write error ends the call; the packets not yet written are dropped and the tables keep only whole chunks.
    Result<void> write_chunk();
    // Writes what is still queued, appends the moov and patches the mdat size. A recording that never received
    // a keyframe has no video to index: it fails with "aucune image vidéo reçue" and the file is left as is.
    // `audio` is given when the recording has an audio track.
    // The file is synced once finished, so that its journal can go.
    Result<RecordingSummary> finish(VideoConfig const& video, AudioConfig const* audio);

    // From now on each chunk is journaled in `journal` (freshly created, empty), which starts with the header. Its
    // descriptor stays open until the recorder is destroyed, and with it the lock the journal was created with.
    Result<void> keep_journal(files::Fd journal, JournalHeader const& header);
    // Keeps room for the index in `reserve` (a file of its own on the same disk), grown with the tables; a
    // reserve that cannot grow is a write error: the disk is full, and the index still fits in what it holds.
    Result<void> keep_reserve(files::Fd reserve);
    // After a write error: gives the reserve back, then completes the file with every whole sample it holds
    // (complete_recording). The recording takes nothing more.
    Result<RecordingSummary> salvage(VideoConfig const& video, AudioConfig const* audio);
    // Once finish() or salvage() failed: true when not one whole video frame reached the file, so that it holds
    // nothing a player could see and no later completion could make it a clip.
    bool kept_no_video() const { return m_kept_no_video; }

    bool started() const { return m_started; }
    std::int64_t first_time() const { return m_first_time; }
    std::uint64_t written() const { return m_written; }
    SampleTable const& video_table() const { return m_video; }
    SampleTable const& audio_table() const { return m_audio; }
    std::size_t pending_audio_count() const { return m_pending_audio.size(); }

private:
    Recorder(files::Fd file);
    Result<void> write_packets(std::deque<Packet>& packets, SampleTable& table, bool every_sync);
    Result<void> after_chunk();
    void release_reserve();

    // The chunk whose write failed, as far as it was meant to go: salvage keeps the part of it that arrived.
    struct Failed {
        bool audio { false };
        bool every_sync { false };
        std::uint64_t offset { 0 };
        std::deque<Packet> packets;
    };

    bool m_started { false };
    std::int64_t m_first_time { 0 };
    files::Fd m_file;
    std::unique_ptr<files::BufWriter> m_writer;
    SampleTable m_video;
    SampleTable m_audio;
    std::deque<Packet> m_pending_video;
    std::deque<Packet> m_pending_audio;
    std::uint64_t m_written { 0 };
    files::Fd m_journal;
    files::Fd m_reserve;
    std::uint64_t m_reserved { 0 };
    std::int64_t m_synced_until { 0 };
    std::int64_t m_newest { 0 };
    std::optional<Failed> m_failed;
    bool m_kept_no_video { false };
};

}
