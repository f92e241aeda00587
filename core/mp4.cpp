#include "core/mp4.h"

#include <algorithm>
#include <initializer_list>
#include <limits>
#include <numeric>

namespace mp4 {

namespace {

constexpr std::uint32_t u32_max = std::numeric_limits<std::uint32_t>::max();

bool fits_u32(std::uint64_t value) { return value <= u32_max; }

std::uint32_t clamp_u32(__int128 value)
{
    if (value < 0)
        return 0;
    return value > u32_max ? u32_max : static_cast<std::uint32_t>(value);
}

std::uint64_t clamp_u64(unsigned __int128 value)
{
    constexpr auto max = std::numeric_limits<std::uint64_t>::max();
    return value > max ? max : static_cast<std::uint64_t>(value);
}

// value x 1000 / timescale, truncated: a duration in milliseconds.
std::uint64_t to_ms(std::uint64_t value, std::uint32_t timescale)
{
    if (timescale == 0)
        return 0;
    return clamp_u64(static_cast<unsigned __int128>(value) * 1000 / timescale);
}

std::uint64_t ticks_to_ms(std::uint64_t ticks) { return ticks / (ticks_per_second / 1000); }

} // namespace

void put_u8(Bytes& out, std::uint8_t value) { out.push_back(value); }

void put_u16(Bytes& out, std::uint16_t value)
{
    out.push_back(static_cast<std::uint8_t>(value >> 8));
    out.push_back(static_cast<std::uint8_t>(value));
}

void put_u32(Bytes& out, std::uint32_t value)
{
    for (int shift = 24; shift >= 0; shift -= 8)
        out.push_back(static_cast<std::uint8_t>(value >> shift));
}

void put_u64(Bytes& out, std::uint64_t value)
{
    for (int shift = 56; shift >= 0; shift -= 8)
        out.push_back(static_cast<std::uint8_t>(value >> shift));
}

void put_type(Bytes& out, std::string_view type)
{
    for (std::size_t i = 0; i < 4; ++i)
        out.push_back(i < type.size() ? static_cast<std::uint8_t>(type[i]) : ' ');
}

void put_zeros(Bytes& out, std::size_t count) { out.insert(out.end(), count, 0); }

std::size_t begin_box(Bytes& out, std::string_view type)
{
    std::size_t start = out.size();
    put_u32(out, 0);
    put_type(out, type);
    return start;
}

std::size_t begin_full_box(Bytes& out, std::string_view type, std::uint8_t version, std::uint32_t flags)
{
    std::size_t start = begin_box(out, type);
    put_u32(out, (std::uint32_t(version) << 24) | (flags & 0xFFFFFF));
    return start;
}

void end_box(Bytes& out, std::size_t start)
{
    auto size = static_cast<std::uint32_t>(out.size() - start);
    for (int i = 0; i < 4; ++i)
        out[start + static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(size >> (24 - 8 * i));
}

std::string_view sample_entry_type(Codec codec)
{
    switch (codec) {
    case Codec::Hevc:
        return "hvc1";
    case Codec::Av1:
        return "av01";
    case Codec::H264:
        break;
    }
    return "avc1";
}

Bytes write_ftyp(Codec codec)
{
    Bytes out;
    std::size_t start = begin_box(out, "ftyp");
    put_type(out, "isom");
    put_u32(out, 0x200);
    put_type(out, "isom");
    put_type(out, "iso2");
    put_type(out, "mp41");
    put_type(out, sample_entry_type(codec));
    end_box(out, start);
    return out;
}

std::uint64_t Track::duration_sum() const
{
    return std::accumulate(durations.begin(), durations.end(), std::uint64_t { 0 });
}

std::uint64_t Track::shown_duration() const
{
    if (composition.size() != durations.size() || durations.empty())
        return duration_sum();
    // From the first frame shown to the end of the last one, which lasts as long as the last sample.
    std::uint64_t position = 0;
    std::uint64_t latest = 0;
    for (std::size_t i = 0; i < durations.size(); ++i) {
        latest = std::max(latest, position + composition[i]);
        position += durations[i];
    }
    std::uint64_t end = latest + durations.back();
    return end > media_start ? end - media_start : 0;
}

std::uint64_t Track::duration_ticks(std::span<Track const> tracks)
{
    if (tracks.empty() || tracks[0].timescale == 0)
        return 0;
    auto const& track = tracks[0];
    return clamp_u64(static_cast<unsigned __int128>(track.shown_duration()) * ticks_per_second / track.timescale);
}

std::vector<std::uint32_t> sample_durations(std::span<std::int64_t const> times, std::uint32_t timescale,
                                            std::int64_t t0, std::uint32_t last)
{
    std::vector<std::uint32_t> durations;
    if (times.empty())
        return durations;
    durations.reserve(times.size());
    // Rounding the cumulative positions, not each step, keeps the sum equal to the rounded span.
    auto position = [&](std::int64_t t) { return (__int128(t) - t0) * timescale / ticks_per_second; };
    __int128 previous = position(times[0]);
    for (std::size_t i = 1; i < times.size(); ++i) {
        __int128 current = position(times[i]);
        durations.push_back(clamp_u32(current - previous));
        previous = current;
    }
    durations.push_back(last);
    return durations;
}

namespace {

// Composition offsets at the track's timescale, rounded on the same positions from t0 as the durations. They
// are shifted so that the smallest is 0 (a shift of every frame is the edit list's business, and ctts then
// needs no signed form). The edit starts the track on the first sample's frame: the cut begins on that sync
// sample, and frames that would show before it (the leading frames of an open GOP) refer to frames before
// the cut, so they cannot be shown.
void set_composition(Track& track, SampleTable const& table, std::int64_t t0)
{
    auto const& times = table.times;
    auto const& offsets = table.composition;
    if (offsets.size() != times.size() || std::ranges::all_of(offsets, [](std::int64_t c) { return c == 0; }))
        return;
    auto position = [&](__int128 t) { return (t - t0) * track.timescale / ticks_per_second; };
    std::vector<__int128> shifts(times.size());
    for (std::size_t i = 0; i < times.size(); ++i)
        shifts[i] = position(__int128(times[i]) + offsets[i]) - position(times[i]);
    __int128 lowest = *std::ranges::min_element(shifts);
    if (std::ranges::all_of(shifts, [&](__int128 shift) { return shift == lowest; }))
        return; // every frame shown in decode order: nothing to write
    track.composition.reserve(shifts.size());
    for (auto shift : shifts)
        track.composition.push_back(clamp_u32(shift - lowest));
    track.media_start = track.composition.front();
}

} // namespace

std::vector<Track> build_tracks(VideoConfig const& video, SampleTable const& video_table, AudioConfig const* audio,
                                SampleTable const& audio_table)
{
    std::vector<Track> tracks;
    auto const& vt = video_table.times;
    std::int64_t t0 = vt.empty() ? 0 : vt.front();
    std::uint32_t last = vt.size() >= 2
        ? clamp_u32((__int128(vt[vt.size() - 1]) - vt[vt.size() - 2]) * video_timescale / ticks_per_second)
        : lone_frame_duration;
    Track video_track;
    video_track.video = &video;
    video_track.durations = sample_durations(vt, video_timescale, t0, last);
    video_track.table = &video_table;
    video_track.track_id = 1;
    video_track.timescale = video_timescale;
    set_composition(video_track, video_table, t0);
    tracks.push_back(std::move(video_track));
    // The movie starts with the first video frame shown: the first sample's.
    __int128 shown = t0;
    if (!video_table.composition.empty() && !vt.empty())
        shown += video_table.composition.front();

    if (audio && !audio_table.times.empty()) {
        Track audio_track;
        audio_track.audio = audio;
        std::int64_t first = audio_table.times.front();
        audio_track.durations = sample_durations(audio_table.times, audio->sample_rate, first, aac_frame_samples);
        audio_track.table = &audio_table;
        __int128 offset = __int128(first) - shown;
        audio_track.start_offset = offset > 0 ? clamp_u64(static_cast<unsigned __int128>(offset)) : 0;
        audio_track.track_id = 2;
        audio_track.timescale = audio->sample_rate;
        tracks.push_back(std::move(audio_track));
    }
    return tracks;
}

std::uint64_t movie_duration_ms(std::span<Track const> tracks)
{
    std::uint64_t longest = 0;
    for (auto const& track : tracks) {
        std::uint64_t end = to_ms(track.shown_duration(), track.timescale) + ticks_to_ms(track.start_offset);
        longest = std::max(longest, end);
    }
    return longest;
}

void write_matrix(Bytes& out)
{
    constexpr std::uint32_t matrix[9] = { 0x00010000, 0, 0, 0, 0x00010000, 0, 0, 0, 0x40000000 };
    for (auto value : matrix)
        put_u32(out, value);
}

// Opens a full box that starts with a creation time and a modification time (both zero), then `between`,
// then a duration. Version 1 (64-bit times and duration) only when the duration does not fit 32 bits.
std::size_t begin_timed_box(Bytes& out, std::string_view type, std::uint32_t flags,
    std::initializer_list<std::uint32_t> between, std::uint64_t duration)
{
    bool wide = !fits_u32(duration);
    std::size_t start = begin_full_box(out, type, wide ? 1 : 0, flags);
    auto put_time = [&](std::uint64_t value) {
        if (wide)
            put_u64(out, value);
        else
            put_u32(out, static_cast<std::uint32_t>(value));
    };
    put_time(0);
    put_time(0);
    for (auto value : between)
        put_u32(out, value);
    put_time(duration);
    return start;
}

void write_mvhd(Bytes& out, std::uint64_t duration_ms, std::uint32_t next_track_id)
{
    std::size_t start = begin_timed_box(out, "mvhd", 0, { 1000 }, duration_ms);
    put_u32(out, 0x00010000); // rate 1.0
    put_u16(out, 0x0100);     // volume 1.0
    put_zeros(out, 10);
    write_matrix(out);
    put_zeros(out, 24);
    put_u32(out, next_track_id);
    end_box(out, start);
}

void write_tkhd(Bytes& out, Track const& track, std::uint64_t movie_duration_ms)
{
    std::size_t start = begin_timed_box(out, "tkhd", 3, { track.track_id, 0 }, movie_duration_ms);
    put_zeros(out, 8);
    put_u16(out, 0); // layer
    put_u16(out, 0); // alternate group
    put_u16(out, track.is_video() ? 0 : 0x0100);
    put_u16(out, 0);
    write_matrix(out);
    std::uint32_t width = track.is_video() ? track.video->width : 0;
    std::uint32_t height = track.is_video() ? track.video->height : 0;
    put_u32(out, width << 16);
    put_u32(out, height << 16);
    end_box(out, start);
}

void write_edts(Bytes& out, Track const& track)
{
    bool delayed = track.start_offset > 0;
    if (!delayed && track.composition.empty())
        return;
    // An empty edit as long as the delay, then the media from its first frame shown.
    std::uint64_t delay_ms = ticks_to_ms(track.start_offset);
    std::uint64_t media_ms = to_ms(track.shown_duration(), track.timescale);
    bool wide = !fits_u32(delay_ms) || !fits_u32(media_ms)
        || track.media_start > std::uint64_t { std::numeric_limits<std::int32_t>::max() };
    std::size_t edts = begin_box(out, "edts");
    std::size_t elst = begin_full_box(out, "elst", wide ? 1 : 0, 0);
    put_u32(out, delayed ? 2 : 1);
    auto entry = [&](std::uint64_t duration, std::int64_t media_time) {
        if (wide) {
            put_u64(out, duration);
            put_u64(out, static_cast<std::uint64_t>(media_time));
        } else {
            put_u32(out, static_cast<std::uint32_t>(duration));
            put_u32(out, static_cast<std::uint32_t>(media_time));
        }
        put_u32(out, 0x00010000);
    };
    if (delayed)
        entry(delay_ms, -1);
    entry(media_ms, static_cast<std::int64_t>(track.media_start));
    end_box(out, elst);
    end_box(out, edts);
}

void write_mdhd(Bytes& out, std::uint32_t timescale, std::uint64_t duration)
{
    std::size_t start = begin_timed_box(out, "mdhd", 0, { timescale }, duration);
    put_u16(out, 0x55C4); // "und"
    put_u16(out, 0);
    end_box(out, start);
}

void write_hdlr(Bytes& out, bool video)
{
    std::size_t start = begin_full_box(out, "hdlr", 0, 0);
    put_u32(out, 0);
    put_type(out, video ? "vide" : "soun");
    put_zeros(out, 12);
    std::string_view name = video ? "Video" : "Audio";
    out.insert(out.end(), name.begin(), name.end());
    put_u8(out, 0);
    end_box(out, start);
}

void write_vmhd(Bytes& out)
{
    std::size_t start = begin_full_box(out, "vmhd", 0, 1);
    put_zeros(out, 8);
    end_box(out, start);
}

void write_smhd(Bytes& out)
{
    std::size_t start = begin_full_box(out, "smhd", 0, 0);
    put_u16(out, 0);
    put_u16(out, 0);
    end_box(out, start);
}

void write_dinf(Bytes& out)
{
    std::size_t dinf = begin_box(out, "dinf");
    std::size_t dref = begin_full_box(out, "dref", 0, 0);
    put_u32(out, 1);
    std::size_t url = begin_full_box(out, "url ", 0, 1); // media in this file
    end_box(out, url);
    end_box(out, dref);
    end_box(out, dinf);
}

void write_colr(Bytes& out)
{
    std::size_t start = begin_box(out, "colr");
    put_type(out, "nclx");
    put_u16(out, 1); // BT.709 primaries
    put_u16(out, 1); // BT.709 transfer
    put_u16(out, 1); // BT.709 matrix
    put_u8(out, 0);  // limited range
    end_box(out, start);
}

void write_video_entry(Bytes& out, VideoConfig const& video)
{
    std::size_t start = begin_box(out, sample_entry_type(video.codec));
    put_zeros(out, 6);
    put_u16(out, 1); // data reference index
    put_zeros(out, 16);
    put_u16(out, static_cast<std::uint16_t>(video.width));
    put_u16(out, static_cast<std::uint16_t>(video.height));
    put_u32(out, 0x00480000); // 72 dpi
    put_u32(out, 0x00480000);
    put_u32(out, 0);
    put_u16(out, 1); // frame count
    put_zeros(out, 32);
    put_u16(out, 0x0018);
    put_u16(out, 0xFFFF);
    std::string_view config_type = video.codec == Codec::Hevc ? "hvcC" : video.codec == Codec::Av1 ? "av1C" : "avcC";
    std::size_t config = begin_box(out, config_type);
    out.insert(out.end(), video.record.begin(), video.record.end());
    end_box(out, config);
    write_colr(out);
    end_box(out, start);
}

std::uint8_t aac_frequency_index(std::uint32_t sample_rate)
{
    constexpr std::uint32_t rates[] = { 96000, 88200, 64000, 48000, 44100, 32000, 24000,
                                        22050, 16000, 12000, 11025, 8000,  7350 };
    for (std::uint8_t i = 0; i < std::size(rates); ++i) {
        if (rates[i] == sample_rate)
            return i;
    }
    return 15;
}

Bytes audio_specific_config(AudioConfig const& audio)
{
    std::uint8_t index = aac_frequency_index(audio.sample_rate);
    std::uint64_t channels = audio.channels & 15;
    Bytes out;
    if (index != 15) {
        put_u16(out, static_cast<std::uint16_t>((2u << 11) | (std::uint32_t(index) << 7) | (channels << 3)));
        return out;
    }
    // 5 bits object type, 4 bits escape, 24 bits rate, 4 bits channels, 3 zero bits: 40 bits.
    std::uint64_t bits = (std::uint64_t(2) << 35) | (std::uint64_t(15) << 31)
        | (std::uint64_t(audio.sample_rate & 0xFFFFFF) << 7) | (channels << 3);
    for (int shift = 32; shift >= 0; shift -= 8)
        out.push_back(static_cast<std::uint8_t>(bits >> shift));
    return out;
}

void write_esds(Bytes& out, AudioConfig const& audio)
{
    Bytes asc = audio_specific_config(audio);
    auto specific = static_cast<std::uint8_t>(asc.size());
    std::size_t start = begin_full_box(out, "esds", 0, 0);
    // ES descriptor: ES_ID 1, no flags; its length covers the three descriptors inside.
    out.insert(out.end(), { 0x03, static_cast<std::uint8_t>(23 + specific), 0x00, 0x01, 0x00 });
    // Decoder config: MPEG-4 Audio (0x40), audio stream (5) with the reserved bit, buffer size 0.
    out.insert(out.end(), { 0x04, static_cast<std::uint8_t>(15 + specific), 0x40, 0x15, 0x00, 0x00, 0x00 });
    put_u32(out, audio.bitrate);
    put_u32(out, audio.bitrate);
    out.insert(out.end(), { 0x05, specific });
    out.insert(out.end(), asc.begin(), asc.end());
    out.insert(out.end(), { 0x06, 0x01, 0x02 }); // SL config, predefined 2
    end_box(out, start);
}

void write_audio_entry(Bytes& out, AudioConfig const& audio)
{
    std::size_t start = begin_box(out, "mp4a");
    put_zeros(out, 6);
    put_u16(out, 1);
    put_zeros(out, 8);
    put_u16(out, audio.channels);
    put_u16(out, 16);
    put_u16(out, 0);
    put_u16(out, 0);
    put_u32(out, audio.sample_rate << 16);
    write_esds(out, audio);
    end_box(out, start);
}

void write_stsd(Bytes& out, Track const& track)
{
    std::size_t start = begin_full_box(out, "stsd", 0, 0);
    put_u32(out, 1);
    if (track.is_video())
        write_video_entry(out, *track.video);
    else
        write_audio_entry(out, *track.audio);
    end_box(out, start);
}

namespace {

// A table of (count, value) runs of equal consecutive values: stts and ctts.
void write_runs(Bytes& out, std::string_view type, std::span<std::uint32_t const> values)
{
    std::size_t start = begin_full_box(out, type, 0, 0);
    std::size_t count_at = out.size();
    put_u32(out, 0);
    std::uint32_t entries = 0;
    for (std::size_t i = 0; i < values.size();) {
        std::size_t run = 1;
        while (i + run < values.size() && values[i + run] == values[i])
            ++run;
        put_u32(out, static_cast<std::uint32_t>(run));
        put_u32(out, values[i]);
        ++entries;
        i += run;
    }
    for (int k = 0; k < 4; ++k)
        out[count_at + static_cast<std::size_t>(k)] = static_cast<std::uint8_t>(entries >> (24 - 8 * k));
    end_box(out, start);
}

} // namespace

void write_stts(Bytes& out, std::span<std::uint32_t const> durations) { write_runs(out, "stts", durations); }

void write_ctts(Bytes& out, std::span<std::uint32_t const> offsets)
{
    if (!offsets.empty())
        write_runs(out, "ctts", offsets);
}

void write_stss(Bytes& out, std::span<std::uint32_t const> sync)
{
    std::size_t start = begin_full_box(out, "stss", 0, 0);
    put_u32(out, static_cast<std::uint32_t>(sync.size()));
    for (auto number : sync)
        put_u32(out, number);
    end_box(out, start);
}

void write_stsc(Bytes& out, std::span<Chunk const> chunks)
{
    std::size_t start = begin_full_box(out, "stsc", 0, 0);
    std::size_t count_at = out.size();
    put_u32(out, 0);
    std::uint32_t entries = 0;
    std::uint32_t previous = 0;
    for (std::size_t i = 0; i < chunks.size(); ++i) {
        if (i == 0 || chunks[i].count != previous) {
            put_u32(out, static_cast<std::uint32_t>(i + 1));
            put_u32(out, chunks[i].count);
            put_u32(out, 1);
            previous = chunks[i].count;
            ++entries;
        }
    }
    for (int k = 0; k < 4; ++k)
        out[count_at + static_cast<std::size_t>(k)] = static_cast<std::uint8_t>(entries >> (24 - 8 * k));
    end_box(out, start);
}

void write_stsz(Bytes& out, std::span<std::uint32_t const> sizes)
{
    std::size_t start = begin_full_box(out, "stsz", 0, 0);
    put_u32(out, 0);
    put_u32(out, static_cast<std::uint32_t>(sizes.size()));
    for (auto size : sizes)
        put_u32(out, size);
    end_box(out, start);
}

void write_chunk_offsets(Bytes& out, std::span<Chunk const> chunks, std::uint64_t base, bool use_co64)
{
    std::size_t start = begin_full_box(out, use_co64 ? "co64" : "stco", 0, 0);
    put_u32(out, static_cast<std::uint32_t>(chunks.size()));
    for (auto const& chunk : chunks) {
        if (use_co64)
            put_u64(out, base + chunk.offset);
        else
            put_u32(out, static_cast<std::uint32_t>(base + chunk.offset));
    }
    end_box(out, start);
}

void write_stbl(Bytes& out, Track const& track, std::uint64_t base, bool use_co64)
{
    std::size_t start = begin_box(out, "stbl");
    write_stsd(out, track);
    write_stts(out, track.durations);
    write_ctts(out, track.composition);
    if (track.is_video())
        write_stss(out, track.table->sync);
    write_stsc(out, track.table->chunks);
    write_stsz(out, track.table->sizes);
    write_chunk_offsets(out, track.table->chunks, base, use_co64);
    end_box(out, start);
}

void write_minf(Bytes& out, Track const& track, std::uint64_t base, bool use_co64)
{
    std::size_t start = begin_box(out, "minf");
    if (track.is_video())
        write_vmhd(out);
    else
        write_smhd(out);
    write_dinf(out);
    write_stbl(out, track, base, use_co64);
    end_box(out, start);
}

void write_mdia(Bytes& out, Track const& track, std::uint64_t base, bool use_co64)
{
    std::size_t start = begin_box(out, "mdia");
    write_mdhd(out, track.timescale, track.duration_sum());
    write_hdlr(out, track.is_video());
    write_minf(out, track, base, use_co64);
    end_box(out, start);
}

Bytes write_trak(Track const& track, std::uint64_t movie_duration, std::uint64_t base, bool use_co64)
{
    Bytes body;
    write_tkhd(body, track, movie_duration);
    write_edts(body, track);
    write_mdia(body, track, base, use_co64);
    return body;
}

Bytes write_moov(std::span<Track const> tracks, std::uint64_t base, bool use_co64)
{
    Bytes out;
    std::size_t moov = begin_box(out, "moov");
    std::uint64_t duration = movie_duration_ms(tracks);
    write_mvhd(out, duration, static_cast<std::uint32_t>(tracks.size() + 1));
    for (auto const& track : tracks) {
        std::size_t trak = begin_box(out, "trak");
        Bytes body = write_trak(track, duration, base, use_co64);
        out.insert(out.end(), body.begin(), body.end());
        end_box(out, trak);
    }
    end_box(out, moov);
    return out;
}

void write_mdat_header(Bytes& out, std::uint64_t payload_bytes)
{
    put_u32(out, 1); // a 64-bit size follows
    put_type(out, "mdat");
    put_u64(out, payload_bytes + mdat_header_bytes);
}

}
