#include "core/mp4_journal.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <limits>
#include <unistd.h>

#include "base/file_io.h"
#include "core/demux.h"

namespace mp4 {

namespace {

constexpr std::string_view unreadable_text = "journal illisible";
constexpr std::string_view not_recording_text = "pas un enregistrement";
constexpr std::string_view finished_text = "déjà terminé";
constexpr std::string_view no_video_text = "aucune image vidéo entière";

enum Kind : std::uint8_t { header_kind = 1, chunk_kind = 2 };
constexpr std::size_t sample_record_bytes = 8 + 4 + 1;
// The largest entry body read back: far above a chunk of one second, far below what could hurt memory.
constexpr std::uint32_t max_entry_bytes = 64 << 20;

// FNV-1a: enough to tell a torn or overwritten entry from a whole one.
std::uint32_t check_of(std::span<std::uint8_t const> bytes)
{
    std::uint32_t hash = 2166136261u;
    for (auto byte : bytes)
        hash = (hash ^ byte) * 16777619u;
    return hash;
}

Bytes framed(Bytes body)
{
    Bytes out;
    out.reserve(body.size() + 8);
    put_u32(out, static_cast<std::uint32_t>(body.size()));
    out.insert(out.end(), body.begin(), body.end());
    put_u32(out, check_of(body));
    return out;
}

class Reader {
public:
    explicit Reader(std::span<std::uint8_t const> bytes) : m_bytes(bytes) {}
    bool has(std::size_t count) const { return m_bytes.size() - m_at >= count; }
    std::size_t left() const { return m_bytes.size() - m_at; }
    std::uint64_t u(int width)
    {
        std::uint64_t value = 0;
        for (int i = 0; i < width; ++i)
            value = (value << 8) | m_bytes[m_at++];
        return value;
    }
    std::span<std::uint8_t const> take(std::size_t count)
    {
        auto part = m_bytes.subspan(m_at, count);
        m_at += count;
        return part;
    }

private:
    std::span<std::uint8_t const> m_bytes;
    std::size_t m_at { 0 };
};

std::optional<JournalHeader> parse_header(Reader body)
{
    if (!body.has(1 + 4 + 4 + 4))
        return std::nullopt;
    JournalHeader header;
    auto codec = body.u(1);
    if (codec > static_cast<std::uint8_t>(Codec::Av1))
        return std::nullopt;
    header.video.codec = static_cast<Codec>(codec);
    header.video.width = static_cast<std::uint32_t>(body.u(4));
    header.video.height = static_cast<std::uint32_t>(body.u(4));
    auto record = body.u(4);
    if (!body.has(record + 1))
        return std::nullopt;
    auto bytes = body.take(record);
    header.video.record.assign(bytes.begin(), bytes.end());
    if (body.u(1)) {
        if (!body.has(4 + 4 + 2))
            return std::nullopt;
        AudioConfig audio;
        audio.sample_rate = static_cast<std::uint32_t>(body.u(4));
        audio.bitrate = static_cast<std::uint32_t>(body.u(4));
        audio.channels = static_cast<std::uint16_t>(body.u(2));
        header.audio = audio;
    }
    if (!body.has(4))
        return std::nullopt;
    auto label = body.u(4);
    if (body.left() != label)
        return std::nullopt;
    auto text = body.take(label);
    header.label.assign(text.begin(), text.end());
    return header;
}

// Appends one chunk entry to its table when it follows on from what is already there; false otherwise.
bool add_chunk(Reader body, JournalContents& contents, std::uint64_t& media_bytes)
{
    if (!body.has(1 + 8 + 4))
        return false;
    bool audio = body.u(1) != 0;
    auto offset = body.u(8);
    auto count = body.u(4);
    auto& table = audio ? contents.audio : contents.video;
    if (count == 0 || offset != media_bytes || body.left() != count * sample_record_bytes
        || table.sizes.size() + count > demux::max_track_samples)
        return false;
    SampleTable added;
    std::uint64_t bytes = 0;
    for (std::uint64_t i = 0; i < count; ++i) {
        auto time = static_cast<std::int64_t>(body.u(8));
        auto size = static_cast<std::uint32_t>(body.u(4));
        auto flags = body.u(1);
        bytes += size;
        added.times.push_back(time);
        added.sizes.push_back(size);
        if (audio || (flags & Packet::keyframe_flag))
            added.sync.push_back(static_cast<std::uint32_t>(table.sizes.size() + i + 1));
    }
    // The recorder starts on a keyframe: a first video sample that is not one is not its journal.
    if (!audio && table.sizes.empty() && (added.sync.empty() || added.sync.front() != 1))
        return false;
    table.chunks.push_back({ offset, static_cast<std::uint32_t>(count) });
    table.times.insert(table.times.end(), added.times.begin(), added.times.end());
    table.sizes.insert(table.sizes.end(), added.sizes.begin(), added.sizes.end());
    table.sync.insert(table.sync.end(), added.sync.begin(), added.sync.end());
    media_bytes += bytes;
    return true;
}

// The bytes of each chunk of a table, in its order.
std::vector<std::uint64_t> chunk_bytes(SampleTable const& table)
{
    std::vector<std::uint64_t> bytes;
    std::size_t sample = 0;
    for (auto const& chunk : table.chunks) {
        std::uint64_t sum = 0;
        for (std::uint32_t i = 0; i < chunk.count; ++i)
            sum += table.sizes[sample++];
        bytes.push_back(sum);
    }
    return bytes;
}

// Keeps the first `chunks` chunks of the table, the last of them cut to `last_count` samples.
void cut_table(SampleTable& table, std::size_t chunks, std::uint32_t last_count)
{
    table.chunks.resize(chunks);
    if (chunks > 0)
        table.chunks.back().count = last_count;
    std::size_t samples = 0;
    for (auto const& chunk : table.chunks)
        samples += chunk.count;
    table.times.resize(samples);
    table.sizes.resize(samples);
    if (table.composition.size() > samples)
        table.composition.resize(samples);
    std::erase_if(table.sync, [&](std::uint32_t number) { return number > samples; });
}

// Writes all of data at offset; the errno of a failure, 0 on success.
int pwrite_errno(int fd, std::span<std::uint8_t const> data, std::uint64_t offset)
{
    while (!data.empty()) {
        auto n = ::pwrite(fd, data.data(), data.size(), static_cast<off_t>(offset));
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return errno;
        }
        if (n == 0)
            return EIO;
        data = data.subspan(static_cast<std::size_t>(n));
        offset += static_cast<std::uint64_t>(n);
    }
    return 0;
}

}

bool recording_uses_co64(std::uint64_t media_bytes)
{
    return recording_media_start + media_bytes >= (std::uint64_t { 1 } << 32);
}

Bytes journal_header_entry(JournalHeader const& header)
{
    Bytes body;
    put_u8(body, header_kind);
    put_u8(body, static_cast<std::uint8_t>(header.video.codec));
    put_u32(body, header.video.width);
    put_u32(body, header.video.height);
    put_u32(body, static_cast<std::uint32_t>(header.video.record.size()));
    body.insert(body.end(), header.video.record.begin(), header.video.record.end());
    put_u8(body, header.audio ? 1 : 0);
    if (header.audio) {
        put_u32(body, header.audio->sample_rate);
        put_u32(body, header.audio->bitrate);
        put_u16(body, header.audio->channels);
    }
    put_u32(body, static_cast<std::uint32_t>(header.label.size()));
    body.insert(body.end(), header.label.begin(), header.label.end());
    return framed(std::move(body));
}

Bytes journal_chunk_entry(bool audio, std::uint64_t offset, std::deque<Packet> const& packets)
{
    Bytes body;
    body.reserve(1 + 1 + 8 + 4 + packets.size() * sample_record_bytes);
    put_u8(body, chunk_kind);
    put_u8(body, audio ? 1 : 0);
    put_u64(body, offset);
    put_u32(body, static_cast<std::uint32_t>(packets.size()));
    for (auto const& packet : packets) {
        put_u64(body, static_cast<std::uint64_t>(packet.time));
        put_u32(body, static_cast<std::uint32_t>(packet.size()));
        put_u8(body, packet.flags);
    }
    return framed(std::move(body));
}

std::optional<JournalContents> read_journal(std::span<std::uint8_t const> bytes)
{
    Reader reader(bytes);
    std::optional<JournalContents> contents;
    std::uint64_t media_bytes = 0;
    while (reader.has(4)) {
        auto size = reader.u(4);
        if (size == 0 || size > max_entry_bytes || !reader.has(size + 4))
            break;
        auto body = reader.take(size);
        if (reader.u(4) != check_of(body))
            break;
        Reader fields(body.subspan(1));
        if (!contents) {
            auto header = body[0] == header_kind ? parse_header(fields) : std::nullopt;
            if (!header)
                return std::nullopt;
            contents = JournalContents { std::move(*header), {}, {} };
        } else if (body[0] != chunk_kind || !add_chunk(fields, *contents, media_bytes)) {
            break;
        }
    }
    return contents;
}

std::uint64_t keep_whole_samples(SampleTable& video, SampleTable& audio, std::uint64_t available)
{
    auto video_bytes = chunk_bytes(video);
    auto audio_bytes = chunk_bytes(audio);
    std::size_t v = 0, a = 0, v_first = 0, a_first = 0;
    std::uint64_t kept = 0;
    // The chunks of both tracks in file order; they lie back to back from offset 0.
    while (v < video.chunks.size() || a < audio.chunks.size()) {
        bool take_audio = v == video.chunks.size()
            || (a < audio.chunks.size() && audio.chunks[a].offset < video.chunks[v].offset);
        auto& table = take_audio ? audio : video;
        auto& index = take_audio ? a : v;
        auto& first = take_audio ? a_first : v_first;
        auto const& chunk = table.chunks[index];
        auto bytes = (take_audio ? audio_bytes : video_bytes)[index];
        if (chunk.offset != kept)
            break;
        if (kept + bytes <= available) {
            kept += bytes;
            first += chunk.count;
            ++index;
            continue;
        }
        std::uint32_t whole = 0;
        while (whole < chunk.count && kept + table.sizes[first + whole] <= available)
            kept += table.sizes[first + whole++];
        if (whole > 0) {
            cut_table(table, index + 1, whole);
            ++index;
        }
        break;
    }
    cut_table(video, v, v > 0 ? video.chunks[v - 1].count : 0);
    cut_table(audio, a, a > 0 ? audio.chunks[a - 1].count : 0);
    return kept;
}

std::uint64_t moov_size_bound(SampleTable const& video, SampleTable const& audio, std::size_t record_bytes)
{
    // Per video sample: stts, stsz, stss and a composition offset at worst; per audio sample stts and stsz;
    // per chunk a 64-bit offset and an stsc entry; the fixed boxes in 4 KiB.
    return 4096 + record_bytes + video.sizes.size() * 24 + audio.sizes.size() * 12
        + (video.chunks.size() + audio.chunks.size()) * 20;
}

Result<RecordingSummary> complete_recording(int fd, std::uint64_t file_size, VideoConfig const& video,
                                            AudioConfig const* audio, SampleTable video_table,
                                            SampleTable audio_table)
{
    std::uint64_t available = file_size > recording_media_start ? file_size - recording_media_start : 0;
    for (;;) {
        std::uint64_t kept = keep_whole_samples(video_table, audio_table, available);
        if (video_table.sizes.empty())
            return fail(std::string(no_video_text));
        auto tracks = build_tracks(video, video_table, audio, audio_table);
        Bytes moov = write_moov(tracks, recording_media_start, recording_uses_co64(kept));
        TRY_VOID(files::truncate_fd(fd, recording_media_start + kept));
        if (int error = pwrite_errno(fd, moov, recording_media_start + kept); error != 0) {
            // No room for the index: give up as many of the last samples as it needs, then try again.
            if (!files::is_out_of_room(error) || kept == 0)
                return fail(os_error(error));
            available = kept > moov.size() ? kept - moov.size() : 0;
            continue;
        }
        Bytes size;
        put_u64(size, kept + mdat_header_bytes);
        TRY_VOID(files::pwrite_all(fd, size, recording_mdat_position + 8));
        TRY_VOID(files::fdatasync_fd(fd));
        return RecordingSummary { Track::duration_ticks(tracks), recording_media_start + kept + moov.size() };
    }
}

bool is_refusal(std::string_view error)
{
    return error == unreadable_text || error == not_recording_text || error == finished_text
        || error == no_video_text;
}

Result<Completed> complete_from_journal(int fd, std::span<std::uint8_t const> journal)
{
    auto contents = read_journal(journal);
    if (!contents)
        return fail(std::string(unreadable_text));
    auto size = TRY(files::file_size(fd));
    std::array<std::uint8_t, recording_media_start> head {};
    if (size < head.size() || !files::pread_exact(fd, std::span(head), 0))
        return fail(std::string(not_recording_text));
    Bytes expected = write_ftyp(contents->header.video.codec);
    put_u32(expected, 1);
    put_type(expected, "mdat");
    if (!std::equal(expected.begin(), expected.end(), head.begin()))
        return fail(std::string(not_recording_text));
    // The size is 0 until the recording is finished. A finished one whose journal was left behind is completed
    // again to the same bytes when the journal holds all its media; otherwise the file is kept as it is.
    std::uint64_t mdat_size = 0;
    for (std::size_t i = expected.size(); i < head.size(); ++i)
        mdat_size = (mdat_size << 8) | head[i];
    if (mdat_size != 0) {
        std::uint64_t journaled = 0;
        for (auto const* table : { &contents->video, &contents->audio }) {
            for (auto bytes : table->sizes)
                journaled += bytes;
        }
        if (journaled + mdat_header_bytes != mdat_size)
            return fail(std::string(finished_text));
    }
    auto const* audio = contents->header.audio ? &*contents->header.audio : nullptr;
    auto summary = TRY(complete_recording(fd, size, contents->header.video, audio, std::move(contents->video),
                                          std::move(contents->audio)));
    return Completed { summary, std::move(contents->header) };
}

}
