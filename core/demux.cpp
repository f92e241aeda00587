#include "core/demux.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <tuple>

#include "base/clock.h"
#include "base/file_io.h"

namespace demux {

namespace {

using ticks::ticks_per_second;

std::int64_t saturate(__int128 value)
{
    constexpr auto low = std::numeric_limits<std::int64_t>::min();
    constexpr auto high = std::numeric_limits<std::int64_t>::max();
    if (value < low)
        return low;
    if (value > high)
        return high;
    return static_cast<std::int64_t>(value);
}

std::uint64_t load_be(std::uint8_t const* bytes, std::size_t count)
{
    std::uint64_t value = 0;
    for (std::size_t i = 0; i < count; ++i)
        value = (value << 8) | bytes[i];
    return value;
}

// The big-endian unsigned T at `offset` of the payload.
template <class T> Result<T> read_be_at(Bytes payload, std::size_t offset)
{
    if (offset > payload.size() || payload.size() - offset < sizeof(T))
        return fail(invalid("trop court"));
    return static_cast<T>(load_be(payload.data() + offset, sizeof(T)));
}

Result<std::uint8_t> read_u8_at(Bytes payload, std::size_t offset)
{
    return read_be_at<std::uint8_t>(payload, offset);
}
Result<std::uint16_t> read_u16_at(Bytes payload, std::size_t offset)
{
    return read_be_at<std::uint16_t>(payload, offset);
}

// The u32 at offset 12 of a full box, or at offset 20 for its version 1 (two 64-bit times come first): the
// timescale of mvhd and mdhd.
Result<std::uint32_t> read_timescale(Bytes full_box)
{
    auto version = TRY(read_u8_at(full_box, 0));
    return read_u32_at(full_box, version == 1 ? 20 : 12);
}

// A descriptor length of esds: one to four bytes, seven bits each, bit 0x80 meaning "more follows".
std::optional<std::size_t> read_descriptor_length(Bytes bytes, std::size_t& pos)
{
    std::size_t length = 0;
    for (int i = 0; i < 4; ++i) {
        if (pos >= bytes.size())
            return std::nullopt;
        std::uint8_t byte = bytes[pos++];
        length = (length << 7) | (byte & 0x7F);
        if (!(byte & 0x80))
            return length;
    }
    return std::nullopt;
}

// The average bitrate of the decoder config descriptor inside esds, when every byte on the way is there.
std::optional<std::uint32_t> esds_bitrate(Bytes esds)
{
    std::size_t pos = 4; // version and flags
    if (pos >= esds.size() || esds[pos++] != 0x03)
        return std::nullopt;
    if (!read_descriptor_length(esds, pos))
        return std::nullopt;
    if (esds.size() - std::min(pos, esds.size()) < 3)
        return std::nullopt;
    pos += 2; // ES_ID
    std::uint8_t flags = esds[pos++];
    if (flags & 0x80) // dependsOn_ES_ID
        pos += 2;
    if (flags & 0x40) { // URL: a length byte and the URL
        if (pos >= esds.size())
            return std::nullopt;
        pos += 1 + esds[pos];
    }
    if (flags & 0x20) // OCR_ES_ID
        pos += 2;
    if (pos >= esds.size() || esds[pos++] != 0x04)
        return std::nullopt;
    if (!read_descriptor_length(esds, pos))
        return std::nullopt;
    // object type (1), stream type (1), buffer size (3), max bitrate (4), then the average bitrate.
    pos += 1 + 1 + 3 + 4;
    auto bitrate = read_u32_at(esds, pos);
    if (!bitrate)
        return std::nullopt;
    return *bitrate;
}

// The first sample entry of an stsd payload (after version, flags and entry count).
Result<Box> first_entry(Bytes stsd)
{
    if (stsd.size() < 8)
        return fail(invalid("stsd"));
    auto entries = parse_boxes(stsd.subspan(8));
    if (entries.empty())
        return fail(invalid("stsd vide"));
    return entries.front();
}

// (count, value) runs of stts (decode time deltas) and ctts (composition offsets).
struct Run {
    std::uint32_t count;
    std::uint32_t value;
};

Result<std::vector<Run>> read_runs(Bytes table)
{
    auto count = TRY(read_u32_at(table, 4));
    if ((table.size() - 8) / 8 < count)
        return fail(invalid("trop court"));
    std::vector<Run> runs;
    runs.reserve(count);
    for (std::size_t i = 0; i < count; ++i) {
        std::size_t at = 8 + i * 8;
        runs.push_back({ static_cast<std::uint32_t>(load_be(table.data() + at, 4)),
                         static_cast<std::uint32_t>(load_be(table.data() + at + 4, 4)) });
    }
    return runs;
}

// Calls each(value) once per sample of the runs, for the first `limit` samples at most: runs can claim
// billions of samples in eight bytes, and only the samples stsz lists are expanded.
template <class Each> void expand_runs(std::span<Run const> runs, std::size_t limit, Each&& each)
{
    std::size_t done = 0;
    for (auto const& run : runs) {
        for (std::uint32_t i = 0; i < run.count && done < limit; ++i, ++done)
            each(run.value);
        if (done >= limit)
            break;
    }
}

// Where video[first, stop) may end so that no frame shown before its last one is decoded after it: with
// frames shown out of decode order, a frame decoded past the end can be shown between kept ones, and the cut
// would show a hole there. Samples are dropped from the end until none is left out that way. Frames shown in
// decode order never move the end.
std::size_t whole_end(std::span<SampleRef const> video, std::size_t first, std::size_t stop)
{
    std::int64_t earliest_left = std::numeric_limits<std::int64_t>::max();
    for (std::size_t i = stop; i < video.size(); ++i)
        earliest_left = std::min(earliest_left, video[i].shown());
    if (earliest_left == std::numeric_limits<std::int64_t>::max())
        return stop;
    std::vector<std::int64_t> latest_kept; // latest_kept[k]: the latest frame shown among video[first, first + k]
    latest_kept.reserve(stop - first);
    for (std::size_t i = first; i < stop; ++i)
        latest_kept.push_back(std::max(latest_kept.empty() ? video[i].shown() : latest_kept.back(), video[i].shown()));
    while (stop > first && latest_kept[stop - first - 1] > earliest_left) {
        --stop;
        earliest_left = std::min(earliest_left, video[stop].shown());
    }
    return stop;
}

// Finds the moov box among the top-level boxes of a file of `length` bytes, reading headers through
// `read(offset, span)`, and returns its payload read whole. A box that claims to end past the end of the file
// stops the walk: a corrupt size can then never ask for more memory than the file holds.
template <class ReadFn> Result<std::vector<std::uint8_t>> read_moov(std::uint64_t length, ReadFn&& read)
{
    std::uint64_t pos = 0;
    while (length - pos >= 8) {
        std::array<std::uint8_t, 16> header {};
        TRY_VOID(read(pos, std::span(header).first(8)));
        std::uint64_t size = load_be(header.data(), 4);
        std::uint64_t header_size = 8;
        if (size == 0) {
            size = length - pos;
        } else if (size == 1) {
            if (length - pos < 16)
                break;
            TRY_VOID(read(pos + 8, std::span(header).subspan(8, 8)));
            size = load_be(header.data() + 8, 8);
            header_size = 16;
        }
        if (size < header_size || size > length - pos)
            break;
        if (std::memcmp(header.data() + 4, "moov", 4) == 0) {
            std::vector<std::uint8_t> payload(size - header_size);
            TRY_VOID(read(pos + header_size, std::span(payload)));
            return payload;
        }
        pos += size;
    }
    return fail(invalid("pas d'index"));
}

}

std::int64_t SampleRef::shown() const { return saturate(__int128(time) + composition); }

bool Box::is(std::string_view four_cc) const
{
    return four_cc.size() == 4 && std::memcmp(type.data(), four_cc.data(), 4) == 0;
}

std::string invalid(std::string_view cause) { return fmt::format("MP4 illisible : {}", cause); }

std::vector<Box> parse_boxes(Bytes bytes)
{
    std::vector<Box> boxes;
    std::size_t pos = 0;
    while (bytes.size() - pos >= 8) {
        std::uint64_t rest = bytes.size() - pos;
        std::uint64_t size = load_be(bytes.data() + pos, 4);
        std::uint64_t header = 8;
        if (size == 0) {
            size = rest;
        } else if (size == 1) {
            if (rest < 16)
                break;
            size = load_be(bytes.data() + pos + 8, 8);
            header = 16;
        }
        if (size < header || size > rest)
            break;
        Box box;
        std::memcpy(box.type.data(), bytes.data() + pos + 4, 4);
        box.payload = bytes.subspan(pos + header, size - header);
        boxes.push_back(box);
        pos += size;
    }
    return boxes;
}

std::optional<Box> find_box(Bytes bytes, std::string_view type)
{
    for (auto const& box : parse_boxes(bytes)) {
        if (box.is(type))
            return box;
    }
    return std::nullopt;
}

std::optional<Box> find_path(Bytes bytes, std::string_view type1, std::string_view type2)
{
    auto outer = find_box(bytes, type1);
    if (!outer)
        return std::nullopt;
    return find_box(outer->payload, type2);
}

Result<std::uint32_t> read_u32_at(Bytes payload, std::size_t offset)
{
    return read_be_at<std::uint32_t>(payload, offset);
}
Result<std::uint64_t> read_u64_at(Bytes payload, std::size_t offset)
{
    return read_be_at<std::uint64_t>(payload, offset);
}

Result<TrackInfo> parse_trak(Bytes trak, std::uint32_t movie_timescale)
{
    auto mdia = find_box(trak, "mdia");
    if (!mdia)
        return fail(invalid("mdia"));
    auto mdhd = find_box(mdia->payload, "mdhd");
    if (!mdhd)
        return fail(invalid("mdhd"));
    TrackInfo info;
    info.timescale = TRY(read_timescale(mdhd->payload));

    auto hdlr = find_box(mdia->payload, "hdlr");
    if (!hdlr || hdlr->payload.size() < 12)
        return fail(invalid("hdlr"));
    std::memcpy(info.handler.data(), hdlr->payload.data() + 8, 4);

    auto stbl = find_path(mdia->payload, "minf", "stbl");
    if (!stbl)
        return fail(invalid("stbl"));
    info.stbl = stbl->payload;

    if (auto elst = find_path(trak, "edts", "elst")) {
        auto version = TRY(read_u8_at(elst->payload, 0));
        // An elst without entries is valid and moves nothing; its payload ends at the count.
        auto entry_count = TRY(read_u32_at(elst->payload, 4));
        std::size_t entry_bytes = version == 1 ? 20 : 12;
        // The segment duration and media time of entry `index`.
        auto entry = [&](std::size_t index) -> Result<std::pair<std::uint64_t, std::int64_t>> {
            std::size_t at = 8 + index * entry_bytes;
            if (version == 1)
                return std::pair { TRY(read_u64_at(elst->payload, at)),
                                   static_cast<std::int64_t>(TRY(read_u64_at(elst->payload, at + 8))) };
            return std::pair { std::uint64_t { TRY(read_u32_at(elst->payload, at)) },
                               std::int64_t { static_cast<std::int32_t>(TRY(read_u32_at(elst->payload, at + 4))) } };
        };
        std::uint64_t segment_duration = 0;
        std::int64_t media_time = 0;
        if (entry_count > 0)
            std::tie(segment_duration, media_time) = TRY(entry(0));
        if (media_time == -1 && movie_timescale != 0)
            info.start_offset
                = saturate(static_cast<__int128>(segment_duration) * ticks_per_second / movie_timescale);
        // The media time the presentation starts from: the first entry's, or after an empty edit the next
        // one's. A second entry that is missing or cut short shifts nothing.
        if (media_time != -1)
            info.media_time = media_time;
        else if (entry_count > 1)
            if (auto second = entry(1); second && second->second != -1)
                info.media_time = second->second;
    }

    if (info.timescale == 0)
        return fail(invalid("échelle de temps"));
    return info;
}

Result<mp4::AudioConfig> parse_audio_entry(Bytes stsd)
{
    auto entry = TRY(first_entry(stsd));
    if (!entry.is("mp4a"))
        return fail(invalid("codec audio inconnu"));
    if (entry.payload.size() < 28)
        return fail(invalid("trop court"));
    mp4::AudioConfig config;
    config.channels = TRY(read_u16_at(entry.payload, 16));
    config.sample_rate = TRY(read_u32_at(entry.payload, 24)) >> 16;
    config.bitrate = fallback_bitrate;
    if (auto esds = find_box(entry.payload.subspan(28), "esds")) {
        if (auto bitrate = esds_bitrate(esds->payload))
            config.bitrate = *bitrate;
    }
    return config;
}

Result<mp4::VideoConfig> parse_video_entry(Bytes stsd)
{
    auto entry = TRY(first_entry(stsd));
    struct Kind {
        std::string_view entry;
        std::string_view config;
        Codec codec;
    };
    static constexpr Kind kinds[] = {
        { "avc1", "avcC", Codec::H264 }, { "avc3", "avcC", Codec::H264 }, { "hvc1", "hvcC", Codec::Hevc },
        { "hev1", "hvcC", Codec::Hevc }, { "av01", "av1C", Codec::Av1 },
    };
    auto kind = std::find_if(std::begin(kinds), std::end(kinds), [&](Kind const& k) { return entry.is(k.entry); });
    if (kind == std::end(kinds))
        return fail(invalid("codec vidéo inconnu"));
    if (entry.payload.size() < 28)
        return fail(invalid("trop court"));
    if (entry.payload.size() < 78)
        return fail(invalid("entrée vidéo"));
    mp4::VideoConfig config;
    config.width = TRY(read_u16_at(entry.payload, 24));
    config.height = TRY(read_u16_at(entry.payload, 26));
    config.codec = kind->codec;
    auto box = find_box(entry.payload.subspan(78), kind->config);
    if (!box)
        return fail(invalid("configuration vidéo"));
    config.record.assign(box->payload.begin(), box->payload.end());
    return config;
}

Result<std::vector<std::uint32_t>> read_u32_table(Bytes payload, std::size_t from, std::uint64_t count)
{
    if (from > payload.size() || (payload.size() - from) / 4 < count)
        return fail(invalid("trop court"));
    std::vector<std::uint32_t> values(count);
    for (std::size_t i = 0; i < count; ++i)
        values[i] = static_cast<std::uint32_t>(load_be(payload.data() + from + i * 4, 4));
    return values;
}

Result<std::vector<std::uint64_t>> read_chunk_offsets(Bytes stbl)
{
    if (auto co64 = find_box(stbl, "co64")) {
        auto count = TRY(read_u32_at(co64->payload, 4));
        if ((co64->payload.size() - 8) / 8 < count)
            return fail(invalid("trop court"));
        std::vector<std::uint64_t> offsets(count);
        for (std::size_t i = 0; i < count; ++i)
            offsets[i] = load_be(co64->payload.data() + 8 + i * 8, 8);
        return offsets;
    }
    auto stco = find_box(stbl, "stco");
    if (!stco)
        return fail(invalid("stco"));
    auto count = TRY(read_u32_at(stco->payload, 4));
    auto values = TRY(read_u32_table(stco->payload, 8, count));
    return std::vector<std::uint64_t>(values.begin(), values.end());
}

Result<std::vector<StscEntry>> read_stsc(Bytes stsc)
{
    auto count = TRY(read_u32_at(stsc, 4));
    if ((stsc.size() - 8) / 12 < count)
        return fail(invalid("trop court"));
    std::vector<StscEntry> entries(count);
    for (std::size_t i = 0; i < count; ++i) {
        std::size_t at = 8 + i * 12;
        entries[i] = { static_cast<std::uint32_t>(load_be(stsc.data() + at, 4)),
                       static_cast<std::uint32_t>(load_be(stsc.data() + at + 4, 4)) };
    }
    return entries;
}

std::optional<StscEntry> next_stsc_entry(std::span<StscEntry const> entries, std::size_t& cursor, std::uint64_t chunk)
{
    if (entries.empty())
        return std::nullopt;
    while (cursor + 1 < entries.size() && entries[cursor + 1].first_chunk <= chunk)
        ++cursor;
    if (cursor >= entries.size() || entries[cursor].first_chunk > chunk)
        return std::nullopt;
    return entries[cursor];
}

Result<std::vector<SampleRef>> parse_stbl(Bytes stbl, std::uint32_t timescale, std::int64_t start_offset,
                                          std::uint64_t file_size, std::int64_t media_time)
{
    if (timescale == 0)
        return fail(invalid("échelle de temps"));

    auto stsz = find_box(stbl, "stsz");
    if (!stsz)
        return fail(invalid("stsz"));
    if (stsz->payload.size() < 12)
        return fail(invalid("trop court"));
    std::uint32_t constant_size = TRY(read_u32_at(stsz->payload, 4));
    std::uint32_t count = TRY(read_u32_at(stsz->payload, 8));
    // A constant-size stsz declares any count in twelve bytes, and a file of a few gigabytes could "hold" a
    // billion one-byte samples: refuse counts past what any recording of this program reaches.
    if (count > max_track_samples)
        return fail(invalid("trop d'échantillons"));
    std::vector<std::uint32_t> sizes;
    std::uint64_t total_bytes = 0;
    if (constant_size == 0) {
        sizes = TRY(read_u32_table(stsz->payload, 12, count));
        for (auto size : sizes)
            total_bytes += size;
    } else {
        total_bytes = std::uint64_t { constant_size } * count;
    }
    // Samples never share bytes, so a table holding more sample bytes than the file is a lie; refusing it here
    // also bounds the count of a constant-size table before anything is expanded.
    if (total_bytes > file_size)
        return fail(invalid("table des échantillons incohérente"));
    auto size_of = [&](std::size_t i) { return constant_size == 0 ? sizes[i] : constant_size; };

    auto offsets = TRY(read_chunk_offsets(stbl));

    auto stsc_box = find_box(stbl, "stsc");
    if (!stsc_box)
        return fail(invalid("stsc"));
    auto stsc = TRY(read_stsc(stsc_box->payload));

    auto stts = find_box(stbl, "stts");
    if (!stts)
        return fail(invalid("stts"));
    std::vector<std::uint64_t> decode_times;
    decode_times.reserve(count);
    std::uint64_t running = 0;
    expand_runs(TRY(read_runs(stts->payload)), count, [&](std::uint32_t delta) {
        decode_times.push_back(running);
        running += delta;
    });
    std::size_t usable = decode_times.size();

    // Composition offsets, read as signed in either version of ctts (writers of version 0 put negative ones
    // there too); samples past the table have none.
    std::vector<std::int64_t> compositions;
    if (auto ctts = find_box(stbl, "ctts")) {
        compositions.reserve(usable);
        expand_runs(TRY(read_runs(ctts->payload)), usable,
                    [&](std::uint32_t offset) { compositions.push_back(static_cast<std::int32_t>(offset)); });
        compositions.resize(usable, 0);
    }
    auto to_ticks = [&](__int128 position) { return saturate(position * ticks_per_second / timescale + start_offset); };

    std::optional<std::vector<std::uint32_t>> sync_numbers;
    if (auto stss = find_box(stbl, "stss")) {
        auto sync_count = TRY(read_u32_at(stss->payload, 4));
        sync_numbers = TRY(read_u32_table(stss->payload, 8, sync_count));
    }

    std::vector<SampleRef> samples;
    samples.reserve(usable);
    std::size_t cursor = 0;
    for (std::size_t chunk = 0; chunk < offsets.size() && samples.size() < usable; ++chunk) {
        auto entry = next_stsc_entry(stsc, cursor, chunk + 1);
        if (!entry)
            continue;
        std::uint64_t position = offsets[chunk];
        std::uint64_t take = std::min<std::uint64_t>(entry->samples_per_chunk, usable - samples.size());
        for (std::uint64_t i = 0; i < take; ++i) {
            std::size_t index = samples.size();
            std::uint32_t size = size_of(index);
            if (position > file_size || size > file_size - position)
                return fail(invalid("table des échantillons incohérente"));
            SampleRef ref;
            ref.time = to_ticks(decode_times[index]);
            // Rounded where the frame is shown, not as a difference, so that the writer's grid finds it again.
            if (!compositions.empty())
                ref.composition = saturate(
                    __int128(to_ticks(__int128(decode_times[index]) + compositions[index] - media_time)) - ref.time);
            ref.offset = position;
            ref.size = size;
            auto number = static_cast<std::uint32_t>(index + 1);
            ref.sync = !sync_numbers || std::binary_search(sync_numbers->begin(), sync_numbers->end(), number);
            samples.push_back(ref);
            position += size;
        }
    }

    if (samples.size() != count)
        return fail(invalid("table des échantillons incohérente"));
    return samples;
}

Result<OpenedFile> parse_moov(Bytes moov, std::uint64_t file_size)
{
    auto mvhd = find_box(moov, "mvhd");
    if (!mvhd)
        return fail(invalid("mvhd"));
    OpenedFile file;
    file.movie_timescale = TRY(read_timescale(mvhd->payload));

    bool have_video = false;
    for (auto const& box : parse_boxes(moov)) {
        if (!box.is("trak"))
            continue;
        auto info = TRY(parse_trak(box.payload, file.movie_timescale));
        auto stsd = find_box(info.stbl, "stsd");
        if (!stsd)
            return fail(invalid("stsd"));
        if (std::memcmp(info.handler.data(), "soun", 4) == 0 && !file.audio) {
            auto config = TRY(parse_audio_entry(stsd->payload));
            file.audio_samples
                = TRY(parse_stbl(info.stbl, info.timescale, info.start_offset, file_size, info.media_time));
            file.audio = std::move(config);
        } else if (std::memcmp(info.handler.data(), "vide", 4) == 0 && !have_video) {
            file.video = TRY(parse_video_entry(stsd->payload));
            file.video_samples
                = TRY(parse_stbl(info.stbl, info.timescale, info.start_offset, file_size, info.media_time));
            have_video = true;
        }
    }
    if (!have_video)
        return fail(invalid("pas de vidéo"));
    return file;
}

Result<OpenedFile> open_file(std::filesystem::path const& path)
{
    // A FIFO dropped into the clips folder must never block the open; only regular files pass.
    auto fd = TRY(files::open_regular(path));
    return read_index(fd.get());
}

Result<OpenedFile> read_index(int fd)
{
    auto length = TRY(files::file_size(fd));
    auto moov = TRY(read_moov(length, [&](std::uint64_t offset, std::span<std::uint8_t> into) {
        return files::pread_exact(fd, into, offset);
    }));
    return parse_moov(moov, length);
}

Result<OpenedFile> open_bytes(Bytes file)
{
    auto moov = TRY(read_moov(file.size(), [&](std::uint64_t offset, std::span<std::uint8_t> into) -> Result<void> {
        if (!into.empty()) // an empty moov has no buffer to copy into
            std::memcpy(into.data(), file.data() + offset, into.size());
        return {};
    }));
    return parse_moov(moov, file.size());
}

std::pair<std::vector<SampleRef>, std::vector<SampleRef>> select_range(OpenedFile const& file, std::int64_t start,
                                                                       std::int64_t end)
{
    auto const& video = file.video_samples;
    std::optional<std::size_t> first;
    for (std::size_t i = video.size(); i-- > 0;) {
        if (video[i].sync && video[i].shown() <= start) {
            first = i;
            break;
        }
    }
    if (!first) {
        auto sync = std::find_if(video.begin(), video.end(), [](SampleRef const& ref) { return ref.sync; });
        if (sync != video.end())
            first = static_cast<std::size_t>(sync - video.begin());
    }

    std::pair<std::vector<SampleRef>, std::vector<SampleRef>> result;
    if (!first)
        return result;
    std::size_t stop = *first;
    while (stop < video.size() && video[stop].time < end)
        ++stop;
    stop = whole_end(video, *first, stop);
    result.first.assign(video.begin() + static_cast<std::ptrdiff_t>(*first),
                        video.begin() + static_cast<std::ptrdiff_t>(stop));
    if (result.first.empty() || !file.audio)
        return result;
    std::int64_t from = result.first.front().shown();
    for (auto const& ref : file.audio_samples) {
        if (ref.time >= from && ref.time < end)
            result.second.push_back(ref);
    }
    return result;
}

}
