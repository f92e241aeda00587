#include "core/mp4_recorder.h"

namespace mp4 {

namespace {

// Appends `packets`, written from `offset` of the payload on, to the table as one chunk.
void append_chunk(SampleTable& table, std::uint64_t offset, std::deque<Packet> const& packets, bool every_sync)
{
    for (auto const& packet : packets) {
        table.sizes.push_back(static_cast<std::uint32_t>(packet.size()));
        table.times.push_back(packet.time);
        if (every_sync || packet.is_keyframe())
            table.sync.push_back(static_cast<std::uint32_t>(table.sizes.size()));
    }
    table.chunks.push_back({ offset, static_cast<std::uint32_t>(packets.size()) });
}

}

Recorder::Recorder(files::Fd file)
    : m_file(std::move(file))
    , m_writer(std::make_unique<files::BufWriter>(m_file.get()))
{
}

Result<Recorder> Recorder::start(files::Fd file, Codec codec)
{
    Recorder recorder(std::move(file));
    Bytes header = write_ftyp(codec);
    // Size 1: the real size follows as 64 bits, left at 0 until finish() knows it.
    put_u32(header, 1);
    put_type(header, "mdat");
    put_u64(header, 0);
    TRY_VOID(recorder.m_writer->write(header));
    TRY_VOID(recorder.m_writer->flush());
    return recorder;
}

Result<void> Recorder::push_video(Packet packet)
{
    if (!m_started) {
        if (!packet.is_keyframe())
            return {};
        m_started = true;
        m_first_time = packet.time;
    }
    m_pending_video.push_back(std::move(packet));
    if (m_pending_video.back().time - m_pending_video.front().time >= recording_chunk_ticks)
        return write_chunk();
    return {};
}

Result<void> Recorder::push_audio(Packet packet)
{
    m_pending_audio.push_back(std::move(packet));
    std::int64_t newest = m_pending_audio.back().time;
    if (!m_started) {
        while (newest - m_pending_audio.front().time > recording_chunk_ticks)
            m_pending_audio.pop_front();
        return {};
    }
    // Normally the video reaches its one-second span first (audio runs at most an encoder latency ahead) and
    // the chunk carries the audio along. When the video has stalled for a second, the audio goes out without
    // waiting, together with the few frames still queued.
    bool video_stalled = m_pending_video.empty() || newest - m_pending_video.back().time >= recording_chunk_ticks;
    if (video_stalled && newest - m_pending_audio.front().time >= recording_chunk_ticks)
        return write_chunk();
    return {};
}

Result<void> Recorder::write_packets(std::deque<Packet>& packets, SampleTable& table, bool every_sync)
{
    bool audio = &table == &m_audio;
    // The entry goes first: a chunk cut short on disk is then still known, and its whole samples are kept.
    if (m_journal) {
        if (auto noted = files::write_all(m_journal.get(), journal_chunk_entry(audio, m_written, packets)); !noted) {
            packets.clear();
            return noted;
        }
    }
    // One gathered write per chunk: large encoded samples go to the kernel without a copy into the buffer.
    // The tables change only once the whole chunk is written, so they never index bytes that are not there.
    // The chunk then leaves the buffer at once: what a killed process had written is in the file.
    std::vector<std::span<std::uint8_t const>> parts;
    parts.reserve(packets.size());
    for (auto const& packet : packets) {
        if (packet.data)
            parts.emplace_back(*packet.data);
    }
    auto written = m_writer->write_parts(parts);
    if (written)
        written = m_writer->flush();
    if (!written) {
        m_failed = Failed { audio, every_sync, m_written, std::move(packets) };
        packets.clear();
        return written;
    }
    append_chunk(table, m_written, packets, every_sync);
    for (auto const& packet : packets) {
        m_written += packet.size();
        m_newest = std::max(m_newest, packet.time);
    }
    packets.clear();
    return {};
}

Result<void> Recorder::after_chunk()
{
    if (m_reserve) {
        auto needed = moov_size_bound(m_video, m_audio, 0) + recording_reserve_margin;
        if (m_reserved < needed) {
            // Grown ahead, so that this happens every few minutes rather than every chunk.
            auto grown = needed + recording_reserve_margin * 2;
            TRY_VOID(files::reserve_space(m_reserve.get(), grown));
            m_reserved = grown;
        }
    }
    if (m_journal && m_newest - m_synced_until >= recording_sync_ticks) {
        // The data first: a journal on disk may describe more than the file holds, never bytes it lacks
        // within its length.
        TRY_VOID(files::fdatasync_fd(m_file.get()));
        TRY_VOID(files::fdatasync_fd(m_journal.get()));
        m_synced_until = m_newest;
    }
    return {};
}

Result<void> Recorder::keep_journal(files::Fd journal, JournalHeader const& header)
{
    TRY_VOID(files::write_all(journal.get(), journal_header_entry(header)));
    TRY_VOID(files::fdatasync_fd(journal.get()));
    m_journal = std::move(journal);
    return {};
}

Result<void> Recorder::keep_reserve(files::Fd reserve)
{
    m_reserve = std::move(reserve);
    m_reserved = 0;
    return after_chunk();
}

void Recorder::release_reserve()
{
    if (m_reserve)
        (void)files::truncate_fd(m_reserve.get(), 0);
    m_reserve.reset();
    m_reserved = 0;
}

Result<RecordingSummary> Recorder::salvage(VideoConfig const& video, AudioConfig const* audio)
{
    release_reserve();
    m_pending_video.clear();
    m_pending_audio.clear();
    SampleTable video_table = m_video;
    SampleTable audio_table = m_audio;
    if (m_failed) {
        append_chunk(m_failed->audio ? audio_table : video_table, m_failed->offset, m_failed->packets,
                     m_failed->every_sync);
        m_failed.reset();
    }
    auto size = TRY(files::file_size(m_file.get()));
    // The tables start with the first keyframe: when even that one did not reach the file whole, no frame did.
    std::uint64_t media = size > recording_media_start ? size - recording_media_start : 0;
    m_kept_no_video
        = video_table.sizes.empty() || video_table.chunks.front().offset + video_table.sizes.front() > media;
    return complete_recording(m_file.get(), size, video, audio, std::move(video_table), std::move(audio_table));
}

Result<void> Recorder::write_chunk()
{
    if (!m_pending_video.empty()) {
        if (auto written = write_packets(m_pending_video, m_video, false); !written) {
            m_pending_audio.clear();
            return written;
        }
    }
    std::int64_t first = m_started ? m_first_time : 0;
    std::erase_if(m_pending_audio, [&](Packet const& packet) { return packet.time < first; });
    if (!m_pending_audio.empty())
        TRY_VOID(write_packets(m_pending_audio, m_audio, true));
    return after_chunk();
}

Result<RecordingSummary> Recorder::finish(VideoConfig const& video, AudioConfig const* audio)
{
    TRY_VOID(write_chunk());
    if (m_video.sizes.empty()) {
        m_kept_no_video = true;
        return fail("aucune image vidéo reçue");
    }
    // Its room is the index's now.
    release_reserve();
    auto tracks = build_tracks(video, m_video, audio, m_audio);
    Bytes moov = write_moov(tracks, recording_media_start, recording_uses_co64(m_written));
    TRY_VOID(m_writer->write(moov));
    TRY_VOID(m_writer->flush());
    RecordingSummary summary;
    summary.bytes = m_writer->position();
    summary.duration_ticks = Track::duration_ticks(tracks);

    Bytes size;
    put_u64(size, m_written + mdat_header_bytes);
    TRY_VOID(files::pwrite_all(m_file.get(), size, recording_mdat_position + 8));
    TRY_VOID(files::fdatasync_fd(m_file.get()));
    return summary;
}

}
