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
// d'index"). The Recorder belongs to the recording thread alone; nothing here locks.

#include <cstdint>
#include <deque>
#include <memory>
#include <vector>

#include "base/file_io.h"
#include "core/mp4.h"
#include "core/packet.h"
#include "base/result.h"

namespace mp4 {

// Where the recording's mdat header sits (right after the ftyp) and where its payload starts.
constexpr std::uint64_t recording_mdat_position = ftyp_bytes;
constexpr std::uint64_t recording_media_start = recording_mdat_position + mdat_header_bytes;
// A chunk is written once the queued video spans this long, or the queued audio while the video has stalled.
constexpr std::int64_t recording_chunk_ticks = ticks_per_second;

// The last chunk offset of the file must fit 32 bits for stco; past that the index uses co64.
bool recording_uses_co64(std::uint64_t media_bytes);

struct RecordingSummary {
    std::uint64_t duration_ticks { 0 }; // of the video track
    std::uint64_t bytes { 0 };          // the finished file's length
};

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
    Result<RecordingSummary> finish(VideoConfig const& video, AudioConfig const* audio);

    bool started() const { return m_started; }
    std::int64_t first_time() const { return m_first_time; }
    std::uint64_t written() const { return m_written; }
    SampleTable const& video_table() const { return m_video; }
    SampleTable const& audio_table() const { return m_audio; }
    std::size_t pending_audio_count() const { return m_pending_audio.size(); }

private:
    Recorder(files::Fd file);
    Result<void> write_packets(std::deque<Packet>& packets, SampleTable& table, bool every_sync);

    bool m_started { false };
    std::int64_t m_first_time { 0 };
    files::Fd m_file;
    std::unique_ptr<files::BufWriter> m_writer;
    SampleTable m_video;
    SampleTable m_audio;
    std::deque<Packet> m_pending_video;
    std::deque<Packet> m_pending_audio;
    std::uint64_t m_written { 0 };
};

}
