#include "core/mp4_recorder.h"

namespace mp4 {

bool recording_uses_co64(std::uint64_t media_bytes)
{
    return recording_media_start + media_bytes >= (std::uint64_t { 1 } << 32);
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
    // One gathered write per chunk: large encoded samples go to the kernel without a copy into the buffer.
    // The tables change only once the whole chunk is written, so they never index bytes that are not there.
    std::vector<std::span<std::uint8_t const>> parts;
    parts.reserve(packets.size());
    for (auto const& packet : packets) {
        if (packet.data)
            parts.emplace_back(*packet.data);
    }
    if (auto written = m_writer->write_parts(parts); !written) {
        packets.clear();
        return written;
    }
    Chunk chunk { m_written, 0 };
    for (auto const& packet : packets) {
        m_written += packet.size();
        table.sizes.push_back(static_cast<std::uint32_t>(packet.size()));
        table.times.push_back(packet.time);
        if (every_sync || packet.is_keyframe())
            table.sync.push_back(static_cast<std::uint32_t>(table.sizes.size()));
        ++chunk.count;
    }
    table.chunks.push_back(chunk);
    packets.clear();
    return {};
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
    if (m_pending_audio.empty())
        return {};
    return write_packets(m_pending_audio, m_audio, true);
}

Result<RecordingSummary> Recorder::finish(VideoConfig const& video, AudioConfig const* audio)
{
    TRY_VOID(write_chunk());
    if (m_video.sizes.empty())
        return fail("aucune image vidéo reçue");
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
    return summary;
}

}
