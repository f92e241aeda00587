#include "core/mp4_journal.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cerrno>
#include <cstring>
#include <limits>
#include <unistd.h>

#include "base/file_io.h"
#include "base/utf8.h"
#include "core/bitstream.h"
#include "core/demux.h"

namespace mp4 {

namespace {

constexpr std::string_view unreadable_text = "journal illisible";
constexpr std::string_view not_recording_text = "pas un enregistrement";
constexpr std::string_view no_video_text = "aucune image vidéo entière";

enum Kind : std::uint8_t { header_kind = 1, chunk_kind = 2 };
constexpr std::size_t sample_record_bytes = 8 + 4 + 1;
// The fields of a chunk entry before its samples: kind, track, offset, count.
constexpr std::size_t chunk_fields_bytes = 1 + 1 + 8 + 4;
// The largest entry body read back: far above a chunk of one second, far below what could hurt memory.
constexpr std::uint32_t max_entry_bytes = 64 << 20;
// How far past a damaged entry the next whole one is looked for. The recorder writes a chunk a second, whose entry
// holds a few kilobytes even at 240 fps with sound: a damaged entry hides the next one only when its size field is
// hit, and then that one starts within the damaged entry's own few kilobytes.
constexpr std::uint64_t resync_window = 1 << 20;
// How much of a journal file is read at once.
constexpr std::size_t journal_window = 1 << 20;

static_assert(max_journal_bytes == 8 + max_entry_bytes + 2 * std::uint64_t { demux::max_track_samples }
                                      * (sample_record_bytes + 4 + chunk_fields_bytes + 4));

// FNV-1a: enough to tell a torn or overwritten entry from a whole one.
std::uint32_t check_of(std::span<std::uint8_t const> bytes)
{
    std::uint32_t hash = 2166136261u;
    for (auto byte : bytes)
        hash = (hash ^ byte) * 16777619u;
    return hash;
}

std::uint64_t be(std::span<std::uint8_t const> bytes)
{
    std::uint64_t value = 0;
    for (auto byte : bytes)
        value = (value << 8) | byte;
    return value;
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

// The largest picture side a header that failed its check may give: no screen this program records is larger.
constexpr std::uint32_t max_picture_side = 16384;
constexpr std::uint32_t max_audio_bitrate = 10'000'000;

// Whether a header that failed its check still reads as one the recorder wrote: the picture's sizes in range, a
// decoder configuration that parses, sound AAC can carry.
bool plausible(JournalHeader const& header)
{
    auto const& video = header.video;
    if (video.width == 0 || video.height == 0 || video.width > max_picture_side || video.height > max_picture_side
        || !bitstream::is_decoder_config(video.codec, video.record))
        return false;
    auto const& audio = header.audio;
    return !audio
        || (aac_frequency_index(audio->sample_rate) != 15 && audio->channels >= 1 && audio->channels <= 8
            && audio->bitrate > 0 && audio->bitrate <= max_audio_bitrate);
}

// A game's name as the player may see it: UTF-8, without control characters.
bool acceptable_label(std::string_view label)
{
    return utf8::is_valid(label)
        && std::ranges::none_of(label, [](unsigned char c) { return c < 0x20 || c == 0x7F; });
}

// The header in an entry's body (after its kind). One that failed its check (`unchecked`) must also read as one
// the recorder wrote; its game's name is then kept only when it may be shown.
std::optional<JournalHeader> parse_header(Reader body, bool unchecked)
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
    auto has_audio = body.u(1);
    if (unchecked && has_audio > 1)
        return std::nullopt;
    if (has_audio) {
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
    if (unchecked) {
        if (!plausible(header))
            return std::nullopt;
        if (!acceptable_label(header.label))
            header.label.clear();
    }
    return header;
}

// The journal's bytes, from memory or from its file. get(at, count) needs at + count <= size(); what it gives
// stays valid until the next call.
class SpanSource {
public:
    explicit SpanSource(std::span<std::uint8_t const> bytes) : m_bytes(bytes) {}
    std::uint64_t size() const { return m_bytes.size(); }
    Result<std::span<std::uint8_t const>> get(std::uint64_t at, std::size_t count)
    {
        return m_bytes.subspan(static_cast<std::size_t>(at), count);
    }

private:
    std::span<std::uint8_t const> m_bytes;
};

// Reads a window of the file at a time, so that a journal of any length costs at most one entry (or one
// window) of memory beside the tables it describes.
class FileSource {
public:
    FileSource(int fd, std::uint64_t size) : m_fd(fd), m_size(size) {}
    std::uint64_t size() const { return m_size; }
    Result<std::span<std::uint8_t const>> get(std::uint64_t at, std::size_t count)
    {
        if (at < m_at || at + count > m_at + m_window.size()) {
            auto length = std::max<std::uint64_t>(count, std::min<std::uint64_t>(journal_window, m_size - at));
            m_window.resize(static_cast<std::size_t>(length));
            m_at = at;
            TRY_VOID(files::pread_exact(m_fd, std::span(m_window), at));
        }
        return std::span<std::uint8_t const>(m_window).subspan(static_cast<std::size_t>(at - m_at), count);
    }

private:
    int m_fd;
    std::uint64_t m_size;
    std::vector<std::uint8_t> m_window;
    std::uint64_t m_at { 0 };
};

// An entry whose size is in range: its body, where the next entry starts, and whether the body matches its check.
struct Entry {
    std::span<std::uint8_t const> body;
    std::uint64_t next { 0 };
    bool whole { true };
    std::uint32_t check { 0 };
};

template <typename Source>
Result<std::optional<Entry>> framed_at(Source& source, std::uint64_t at, std::uint64_t end, std::uint64_t max_body)
{
    if (end - at < 4)
        return std::optional<Entry> {};
    auto size = be(TRY(source.get(at, 4)));
    if (size == 0 || size > max_body || end - at - 4 < size + 4)
        return std::optional<Entry> {};
    auto bytes = TRY(source.get(at, static_cast<std::size_t>(4 + size + 4)));
    auto body = bytes.subspan(4, static_cast<std::size_t>(size));
    auto check = static_cast<std::uint32_t>(be(bytes.subspan(4 + static_cast<std::size_t>(size))));
    return std::optional<Entry> { Entry { body, at + 4 + size + 4, check == check_of(body), check } };
}

// A whole entry at `at`, or nothing.
template <typename Source>
Result<std::optional<Entry>> entry_at(Source& source, std::uint64_t at, std::uint64_t end, std::uint64_t max_body)
{
    auto entry = TRY(framed_at(source, at, end, max_body));
    if (entry && !entry->whole)
        return std::optional<Entry> {};
    return entry;
}

// Whether a chunk entry may start at `at`, from its first fields alone: cheap enough to try at every byte.
template <typename Source>
Result<bool> plausible_chunk(Source& source, std::uint64_t at, std::uint64_t end)
{
    constexpr std::size_t head = 4 + chunk_fields_bytes;
    if (end - at < head)
        return false;
    auto bytes = TRY(source.get(at, head));
    auto size = be(bytes.first(4));
    auto count = be(bytes.subspan(4 + 10, 4));
    return bytes[4] == chunk_kind && bytes[5] <= 1 && count > 0 && size <= resync_window
        && size == chunk_fields_bytes + count * sample_record_bytes;
}

// The track a damaged chunk entry describes, when its check tells it: the body of `size` bytes at `at` + 4 matches
// its check once its track byte reads 0 or 1. A flipped bit in the track byte itself is then undone, and a damaged
// size field (the body and check are not) costs no doubt about the track. Nothing when the body is damaged elsewhere.
template <typename Source>
Result<std::optional<std::uint8_t>> checked_track(Source& source, std::uint64_t at, std::uint64_t size)
{
    if (size < chunk_fields_bytes)
        return std::optional<std::uint8_t> {};
    auto bytes = TRY(source.get(at + 4, static_cast<std::size_t>(size + 4)));
    std::vector<std::uint8_t> body(bytes.begin(), bytes.end() - 4);
    auto check = be(bytes.last(4));
    for (std::uint8_t track : { 0, 1 }) {
        body[1] = track;
        if (check_of(body) == check)
            return std::optional<std::uint8_t> { track };
    }
    return std::optional<std::uint8_t> {};
}

// The reading of the chunk entries, in order.
class ChunkReader {
public:
    explicit ChunkReader(JournalContents& contents) : m_contents(contents) {}

    // Adds one whole chunk entry when it follows on from the chunks before it (right after them, or after the
    // bytes of a damaged entry when `after_gap`); false otherwise.
    bool add(std::span<std::uint8_t const> entry_body, bool after_gap)
    {
        Reader body(entry_body);
        if (!body.has(chunk_fields_bytes) || body.u(1) != chunk_kind)
            return false;
        auto track = body.u(1);
        auto offset = body.u(8);
        auto count = body.u(4);
        bool audio = track != 0;
        auto& table = audio ? m_contents.audio : m_contents.video;
        bool follows = after_gap ? offset > m_contents.media_bytes : offset == m_contents.media_bytes;
        if (track > 1 || count == 0 || !follows || body.left() != count * sample_record_bytes
            || table.sizes.size() + count > demux::max_track_samples)
            return false;
        // The recorder starts on a keyframe: a journal whose first video sample is not one is not its journal.
        // After a gap, video frames before the next keyframe depend on frames that were lost: they stay in the
        // file unindexed.
        bool wait_for_key = !audio && (table.sizes.empty() || m_video_lost);
        SampleTable added;
        std::uint64_t bytes = 0;
        std::uint64_t skipped = 0;
        for (std::uint64_t i = 0; i < count; ++i) {
            auto time = static_cast<std::int64_t>(body.u(8));
            auto size = static_cast<std::uint32_t>(body.u(4));
            auto flags = body.u(1);
            bool key = audio || (flags & Packet::keyframe_flag);
            bytes += size;
            if (wait_for_key && !key) {
                if (table.sizes.empty() && !m_gap_seen)
                    return false;
                skipped += size;
                continue;
            }
            wait_for_key = false;
            added.times.push_back(time);
            added.sizes.push_back(size);
            if (key)
                added.sync.push_back(static_cast<std::uint32_t>(table.sizes.size() + added.sizes.size()));
        }
        if (!added.sizes.empty()) {
            if (!audio)
                m_video_lost = false;
            table.chunks.push_back({ offset + skipped, static_cast<std::uint32_t>(added.sizes.size()) });
            table.times.insert(table.times.end(), added.times.begin(), added.times.end());
            table.sizes.insert(table.sizes.end(), added.sizes.begin(), added.sizes.end());
            table.sync.insert(table.sync.end(), added.sync.begin(), added.sync.end());
        }
        m_contents.media_bytes = offset + bytes;
        m_contents.last_chunk = offset;
        return true;
    }

    // A damaged entry was passed over. `track` is what it says of itself when its framing held (the size
    // field, then, was right), none when it could not be trusted.
    void lost(std::optional<std::uint8_t> track)
    {
        m_gap_seen = true;
        if (track != std::uint8_t { 1 })
            m_video_lost = true;
    }

private:
    JournalContents& m_contents;
    bool m_gap_seen { false };
    bool m_video_lost { false };
};

// Audio from before the first video sample kept: the recorder never writes any, but after the first video chunk
// was lost the audio of that time remains, and would play alongside the first picture kept, early.
void drop_audio_before(SampleTable& audio, std::int64_t first_video)
{
    std::size_t dropped = 0;
    std::size_t chunk = 0;
    while (dropped < audio.times.size() && audio.times[dropped] < first_video) {
        audio.chunks[chunk].offset += audio.sizes[dropped];
        if (--audio.chunks[chunk].count == 0)
            ++chunk;
        ++dropped;
    }
    if (dropped == 0)
        return;
    audio.chunks.erase(audio.chunks.begin(), audio.chunks.begin() + std::ptrdiff_t(chunk));
    audio.times.erase(audio.times.begin(), audio.times.begin() + std::ptrdiff_t(dropped));
    audio.sizes.erase(audio.sizes.begin(), audio.sizes.begin() + std::ptrdiff_t(dropped));
    audio.sync.resize(audio.sizes.size());
    for (std::size_t i = 0; i < audio.sync.size(); ++i)
        audio.sync[i] = static_cast<std::uint32_t>(i + 1);
}

// Headers larger than this are not searched for a flipped bit (a recorder's header is a few hundred bytes).
constexpr std::size_t max_mended_header_bytes = 4096;

// A body whose one flipped bit (in it or in its check) can be put back: the check then tells exactly which, and
// the body is as it was written. Nothing when no single flip, or more than one, explains the check.
std::optional<std::vector<std::uint8_t>> mend_one_bit(std::span<std::uint8_t const> body, std::uint32_t check)
{
    std::vector<std::uint8_t> mended(body.begin(), body.end());
    if (std::popcount(check ^ check_of(body)) == 1)
        return mended;
    if (body.size() > max_mended_header_bytes)
        return std::nullopt;
    std::optional<std::size_t> found;
    std::uint32_t before = 2166136261u; // the check of the bytes before `i`
    for (std::size_t i = 0; i < body.size(); ++i) {
        for (int bit = 0; bit < 8; ++bit) {
            auto hash = (before ^ std::uint8_t(body[i] ^ (1u << bit))) * 16777619u;
            for (std::size_t j = i + 1; j < body.size(); ++j)
                hash = (hash ^ body[j]) * 16777619u;
            if (hash != check)
                continue;
            if (found)
                return std::nullopt;
            found = i * 8 + std::size_t(bit);
        }
        before = (before ^ body[i]) * 16777619u;
    }
    if (!found)
        return std::nullopt;
    mended[*found / 8] ^= std::uint8_t(1u << (*found % 8));
    return mended;
}

template <typename Source>
Result<std::optional<JournalContents>> read_entries(Source& source)
{
    using Contents = std::optional<JournalContents>;
    std::uint64_t const end = std::min(source.size(), max_journal_bytes);
    // A header that fails its check is mended when one flipped bit explains it, else read as it stands: the
    // recording is lost without it. It must then read as a header, and the whole entry after it must be the
    // recording's first.
    auto first = TRY(framed_at(source, 0, end, max_entry_bytes));
    if (!first)
        return Contents {};
    // One flipped bit is put back first: the header is then exactly the recorder's.
    std::optional<std::vector<std::uint8_t>> mended;
    if (!first->whole && (mended = mend_one_bit(first->body, first->check)))
        first->body = *mended;
    bool damaged = !first->whole && !mended;
    if (first->body[0] != header_kind)
        return Contents {};
    auto header = parse_header(Reader(first->body.subspan(1)), damaged);
    if (!header)
        return Contents {};
    Contents contents = JournalContents { std::move(*header), {}, {}, 0 };
    contents->header_damaged = damaged;
    ChunkReader chunks(*contents);
    std::uint64_t at = first->next;
    if (contents->header_damaged) {
        // Video from the start of the media, opening on a keyframe: what the recorder writes first.
        auto entry = TRY(entry_at(source, at, end, max_entry_bytes));
        if (!entry || entry->body.size() < 2 || entry->body[1] != 0 || !chunks.add(entry->body, false))
            return Contents {};
        at = entry->next;
    }
    bool after_gap = false;
    while (at < end) {
        auto entry = TRY(entry_at(source, at, end, max_entry_bytes));
        if (entry) {
            // A whole entry that does not follow on: nothing after it is trusted.
            if (!chunks.add(entry->body, after_gap))
                break;
            at = entry->next;
            after_gap = false;
            continue;
        }
        // A damaged or cut entry. The next whole entry that continues the chunk sequence is looked for right
        // after it (its size field held) and then at every byte a little further (it did not).
        contents->entries_damaged = true;
        std::optional<std::uint8_t> track;
        std::optional<std::uint64_t> found;
        auto size = end - at >= 4 ? be(TRY(source.get(at, 4))) : 0;
        auto framed_end = at + 4 + size + 4;
        if (size > 0 && size <= resync_window && framed_end < end
            && TRY(entry_at(source, framed_end, end, resync_window))) {
            found = framed_end;
            track = TRY(checked_track(source, at, size));
            if (!track && size >= 2)
                track = TRY(source.get(at + 5, 1))[0];
        }
        for (auto next = at + 1; !found && next < std::min(end, at + resync_window); ++next) {
            if (!TRY(plausible_chunk(source, next, end)))
                continue;
            auto candidate = TRY(entry_at(source, next, end, resync_window));
            if (candidate && candidate->body.size() >= chunk_fields_bytes && candidate->body[0] == chunk_kind
                && be(candidate->body.subspan(2, 8)) > contents->media_bytes)
                found = next;
        }
        if (!found)
            break;
        if (!track && *found >= at + 8 + chunk_fields_bytes)
            track = TRY(checked_track(source, at, *found - at - 8));
        chunks.lost(track && *track <= 1 ? track : std::nullopt);
        at = *found;
        after_gap = true;
    }
    if (!contents->video.times.empty())
        drop_audio_before(contents->audio, contents->video.times.front());
    return contents;
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

// Cuts both tables to what the first `available` bytes of the mdat payload hold: every chunk that ends within
// them, then the whole samples of the chunk that reaches past. Chunks lie in file order, back to back or with
// the bytes of a lost chunk between them. Gives where the last sample kept ends.
std::uint64_t keep_whole_samples(SampleTable& video, SampleTable& audio, std::uint64_t available)
{
    auto video_bytes = chunk_bytes(video);
    auto audio_bytes = chunk_bytes(audio);
    std::size_t v = 0, a = 0, v_first = 0, a_first = 0;
    std::uint32_t v_last = 0, a_last = 0; // samples kept of the last chunk kept
    std::uint64_t end = 0;
    while (v < video.chunks.size() || a < audio.chunks.size()) {
        bool take_audio = v == video.chunks.size()
            || (a < audio.chunks.size() && audio.chunks[a].offset < video.chunks[v].offset);
        auto& table = take_audio ? audio : video;
        auto& index = take_audio ? a : v;
        auto& first = take_audio ? a_first : v_first;
        auto& last = take_audio ? a_last : v_last;
        auto const& chunk = table.chunks[index];
        auto bytes = (take_audio ? audio_bytes : video_bytes)[index];
        if (chunk.offset < end || chunk.offset > available)
            break;
        if (bytes <= available - chunk.offset) {
            end = chunk.offset + bytes;
            first += chunk.count;
            last = chunk.count;
            ++index;
            continue;
        }
        std::uint32_t whole = 0;
        auto at = chunk.offset;
        while (whole < chunk.count && table.sizes[first + whole] <= available - at)
            at += table.sizes[first + whole++];
        if (whole > 0) {
            end = at;
            last = whole;
            ++index;
        }
        break;
    }
    cut_table(video, v, v_last);
    cut_table(audio, a, a_last);
    return end;
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

std::array<std::uint8_t, 8> be64(std::uint64_t value)
{
    std::array<std::uint8_t, 8> bytes {};
    for (int i = 7; i >= 0; --i, value >>= 8)
        bytes[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(value);
    return bytes;
}

// The movie's duration from its mvhd, in ticks; 0 when it cannot be read.
std::uint64_t movie_duration_ticks(demux::Bytes moov)
{
    auto mvhd = demux::find_box(moov, "mvhd");
    if (!mvhd || mvhd->payload.empty())
        return 0;
    bool long_form = mvhd->payload[0] == 1;
    auto timescale = demux::read_u32_at(mvhd->payload, long_form ? 20 : 12);
    std::optional<std::uint64_t> duration;
    if (long_form) {
        if (auto value = demux::read_u64_at(mvhd->payload, 24))
            duration = *value;
    } else if (auto value = demux::read_u32_at(mvhd->payload, 16)) {
        duration = *value;
    }
    if (!timescale || !duration || *timescale == 0)
        return 0;
    return static_cast<std::uint64_t>(static_cast<unsigned __int128>(*duration) * ticks_per_second / *timescale);
}

// The moov payload in `box` (a whole box at file position `at`) when it indexes video lying after the mdat
// header and before the box: an index this system wrote for the media in front of it.
std::optional<std::uint64_t> index_duration(demux::Bytes box, std::uint64_t at)
{
    if (box.size() < 8 || be(box.first(4)) != box.size() || std::memcmp(box.data() + 4, "moov", 4) != 0)
        return std::nullopt;
    auto payload = box.subspan(8);
    auto opened = demux::parse_moov(payload, at);
    if (!opened || opened->video_samples.empty())
        return std::nullopt;
    for (auto const* list : { &opened->video_samples, &opened->audio_samples }) {
        for (auto const& ref : *list) {
            if (ref.offset < recording_media_start)
                return std::nullopt;
        }
    }
    return movie_duration_ticks(payload);
}

struct FoundIndex {
    std::uint64_t position { 0 };
    std::uint64_t bytes { 0 };
    std::uint64_t duration_ticks { 0 };
};

// The index of a recording whose mdat size is set: the top-level boxes after the mdat, as the reader walks
// them, up to the first moov (a tag editor may have put other boxes between).
Result<std::optional<FoundIndex>> index_after_sized_mdat(int fd, std::uint64_t file_size, std::uint64_t mdat_size)
{
    std::uint64_t at = recording_mdat_position + mdat_size;
    if (mdat_size < mdat_header_bytes || at < recording_mdat_position)
        return std::optional<FoundIndex> {};
    for (int box = 0; box < 64 && at <= file_size && file_size - at >= 8; ++box) {
        std::array<std::uint8_t, 16> head {};
        TRY_VOID(files::pread_exact(fd, std::span(head).first(8), at));
        std::uint64_t size = be(std::span(head).first(4));
        if (size == 1) {
            if (file_size - at < 16)
                break;
            TRY_VOID(files::pread_exact(fd, std::span(head).subspan(8), at + 8));
            size = be(std::span(head).subspan(8));
        } else if (size == 0) {
            size = file_size - at;
        }
        if (size < 8 || size > file_size - at)
            break;
        if (std::memcmp(head.data() + 4, "moov", 4) == 0) {
            // An index larger than any this system writes is not read.
            if (size != be(std::span(head).first(4)) || size > std::numeric_limits<std::uint32_t>::max())
                break;
            std::vector<std::uint8_t> moov(static_cast<std::size_t>(size));
            TRY_VOID(files::pread_exact(fd, std::span(moov), at));
            auto duration = index_duration(moov, at);
            if (!duration)
                break;
            return std::optional<FoundIndex> { FoundIndex { at, size, *duration } };
        }
        at += size;
    }
    return std::optional<FoundIndex> {};
}

// The index of a recording whose mdat size is still 0: completed (or salvaged) right up to the size patch,
// which never reached the disk. The moov then lies somewhere after the media the journal describes, within what
// an index of these tables can take from the end of the file.
Result<std::optional<FoundIndex>> index_after_unsized_mdat(int fd, std::uint64_t file_size,
                                                           JournalContents const& contents, std::size_t record_bytes)
{
    auto bound = moov_size_bound(contents.video, contents.audio, record_bytes)
        + resync_window; // the samples of a damaged entry are indexed too, but not journaled
    std::uint64_t from = file_size > recording_media_start + bound ? file_size - bound : recording_media_start;
    if (file_size < from + 8)
        return std::optional<FoundIndex> {};
    std::vector<std::uint8_t> tail(static_cast<std::size_t>(file_size - from));
    TRY_VOID(files::pread_exact(fd, std::span(tail), from));
    std::string_view text(reinterpret_cast<char const*>(tail.data()), tail.size());
    for (auto type = text.rfind("moov"); type != std::string_view::npos && type >= 4;
         type = type == 4 ? std::string_view::npos : text.rfind("moov", type - 1)) {
        auto box = type - 4;
        auto size = be(std::span(tail).subspan(box, 4));
        if (size < 8 || size > tail.size() - box)
            continue;
        if (auto duration = index_duration(std::span(tail).subspan(box, static_cast<std::size_t>(size)), from + box))
            return std::optional<FoundIndex> { FoundIndex { from + box, size, *duration } };
    }
    return std::optional<FoundIndex> {};
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
    body.reserve(chunk_fields_bytes + packets.size() * sample_record_bytes);
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
    SpanSource source(bytes);
    auto contents = read_entries(source);
    return contents ? std::move(*contents) : std::nullopt;
}

Result<std::optional<JournalContents>> read_journal_file(int fd)
{
    FileSource source(fd, TRY(files::file_size(fd)));
    return read_entries(source);
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
                                            SampleTable audio_table, Room room)
{
    std::uint64_t available = file_size > recording_media_start ? file_size - recording_media_start : 0;
    if (room == Room::KeepEveryByte) {
        keep_whole_samples(video_table, audio_table, available);
        if (video_table.sizes.empty())
            return fail(std::string(no_video_text));
        auto tracks = build_tracks(video, video_table, audio, audio_table);
        Bytes moov = write_moov(tracks, recording_media_start, recording_uses_co64(available));
        auto size = be64(available + mdat_header_bytes);
        if (int error = pwrite_errno(fd, moov, file_size); error != 0) {
            // Whatever part of the index arrived goes again: the file is left as it was found.
            (void)files::truncate_fd(fd, file_size);
            return fail(os_error(error));
        }
        // The index is on disk before the size that leads to it: a file cut in between holds its index right
        // after its media, where the next completion finds it.
        TRY_VOID(files::fdatasync_fd(fd));
        TRY_VOID(files::pwrite_all(fd, size, recording_mdat_position + 8));
        TRY_VOID(files::fdatasync_fd(fd));
        return RecordingSummary { Track::duration_ticks(tracks), file_size + moov.size() };
    }
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
        auto size = be64(kept + mdat_header_bytes);
        TRY_VOID(files::pwrite_all(fd, size, recording_mdat_position + 8));
        TRY_VOID(files::fdatasync_fd(fd));
        return RecordingSummary { Track::duration_ticks(tracks), recording_media_start + kept + moov.size() };
    }
}

bool is_refusal(std::string_view error)
{
    return error == unreadable_text || error == not_recording_text || error == no_video_text;
}

Result<Completed> complete_from_journal(int fd, std::span<std::uint8_t const> journal)
{
    auto contents = read_journal(journal);
    if (!contents)
        return fail(std::string(unreadable_text));
    return complete_from_journal(fd, std::move(*contents));
}

Result<Completed> complete_from_journal(int fd, JournalContents contents)
{
    auto size = TRY(files::file_size(fd));
    // A header that failed its check serves only a file its chunks fit: each starts within the file's media.
    if (contents.header_damaged
        && (size < recording_media_start || contents.last_chunk > size - recording_media_start))
        return fail(std::string(unreadable_text));
    Bytes expected = write_ftyp(contents.header.video.codec);
    put_u32(expected, 1);
    put_type(expected, "mdat");
    put_u64(expected, 0);
    std::array<std::uint8_t, recording_media_start> head {};
    auto held = std::min<std::uint64_t>(size, head.size());
    TRY_VOID(files::pread_exact(fd, std::span(head).first(static_cast<std::size_t>(held)), 0));
    auto const* audio = contents.header.audio ? &*contents.header.audio : nullptr;
    Completed done { {}, std::move(contents.header), Completion::Indexed };
    // The layout the recorder writes first: ftyp, then the mdat header; its size is 0 until it is finished.
    if (!std::equal(head.begin(), head.begin() + std::ptrdiff_t(held), expected.begin())) {
        bool sized = held == head.size()
            && std::equal(head.begin(), head.end() - 8, expected.begin());
        if (!sized)
            return fail(std::string(not_recording_text));
        // Finished, or salvaged: whatever the journal says, the index the file holds stays as it is, and so do
        // the bytes after it (a tag editor's). A recording whose index was never written is completed below.
        auto mdat_size = be(std::span(head).subspan(recording_mdat_position + 8));
        if (auto found = TRY(index_after_sized_mdat(fd, size, mdat_size))) {
            done.summary = { found->duration_ticks, size };
            done.completion = Completion::AlreadyIndexed;
            return done;
        }
    } else if (held < head.size()) {
        // Cut before its first sample: the recorder's own file, holding nothing.
        done.completion = Completion::Empty;
        return done;
    } else if (auto found = TRY(index_after_unsized_mdat(fd, size, contents, done.header.video.record.size()))) {
        // Its index was written, but not the size that leads to it. Bytes after the index stay where they are.
        TRY_VOID(files::pwrite_all(fd, be64(found->position - recording_mdat_position),
                                   recording_mdat_position + 8));
        TRY_VOID(files::fdatasync_fd(fd));
        done.summary = { found->duration_ticks, size };
        done.completion = Completion::SizePatched;
        return done;
    }
    auto summary = complete_recording(fd, size, done.header.video, audio, std::move(contents.video),
                                      std::move(contents.audio), Room::KeepEveryByte);
    if (!summary) {
        // No whole video sample. The recorder's own file is empty when that is proven: it holds no media at all,
        // or only what whole entries after a whole header describe. One holding more, or whose journal was
        // damaged (a lost entry may have told of a keyframe), is left as it is.
        bool unsized = std::equal(head.begin(), head.end(), expected.begin());
        bool described = !contents.header_damaged && !contents.entries_damaged
            && size - recording_media_start <= contents.media_bytes;
        if (summary.error() == no_video_text && unsized && (size == recording_media_start || described)) {
            done.completion = Completion::Empty;
            return done;
        }
        return fail(summary.error());
    }
    done.summary = *summary;
    return done;
}

}
