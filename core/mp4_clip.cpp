// Writing a finished clip: lay the samples out in one-second chunks, build the index twice (once to learn its
// size, once with absolute chunk offsets), then stream ftyp, moov, mdat and the samples through one 1 MiB
// buffer (large in-memory chunks go out in one gathered write, uncopied). Spilled payloads are read one at a
// time into a single reused buffer; the media is never held whole.

#include "core/mp4.h"

#include <algorithm>
#include <string>

#include "base/file_io.h"
#include "core/spill.h"

namespace mp4 {

namespace {

constexpr std::uint64_t writeback_step_bytes = 8 << 20;

// Appends samples [first, end) of one list as a chunk; returns the new end.
std::size_t take_chunk(ClipLayout& layout, std::span<ring::Sample const> samples, std::size_t first,
                       std::size_t end, bool audio)
{
    if (end == first)
        return first;
    SampleTable& table = audio ? layout.audio : layout.video;
    table.chunks.push_back(Chunk { layout.media_bytes, static_cast<std::uint32_t>(end - first) });
    for (std::size_t i = first; i < end; ++i) {
        auto const& sample = samples[i];
        auto size = static_cast<std::uint32_t>(sample.size());
        table.times.push_back(sample.time);
        table.sizes.push_back(size);
        if (!audio)
            table.composition.push_back(sample.composition);
        if (audio || sample.is_keyframe())
            table.sync.push_back(static_cast<std::uint32_t>(table.sizes.size()));
        layout.media_bytes += size;
    }
    layout.order.push_back(ChunkRef { audio, first, static_cast<std::uint32_t>(end - first) });
    return end;
}

// Writes one chunk. In-memory payloads are handed to the writer together, uncopied; a spilled payload is read
// into the reused scratch buffer and written in its turn.
Result<void> write_chunk(files::BufWriter& writer, std::span<ring::Sample const> samples,
                         std::vector<std::span<std::uint8_t const>>& parts, std::vector<std::uint8_t>& scratch)
{
    parts.clear();
    for (auto const& sample : samples) {
        if (auto const* memory = std::get_if<ring::Memory>(&sample.payload)) {
            if (memory->data)
                parts.emplace_back(*memory->data);
            continue;
        }
        TRY_VOID(writer.write_parts(parts));
        parts.clear();
        auto const& spilled = std::get<ring::Spilled>(sample.payload);
        if (!spilled.file)
            return fail(os_error(EBADF));
        scratch.resize(spilled.len);
        TRY_VOID(spilled.file->read_at(scratch, spilled.offset));
        TRY_VOID(writer.write(scratch));
    }
    return writer.write_parts(parts);
}

Result<WriteSummary> write_clip(std::filesystem::path const& dir, std::string_view name, ClipMedia const& media,
                                std::optional<AudioConfig> const& audio)
{
    if (media.video_samples.empty() || !media.video_samples.front().is_keyframe())
        return fail("clip must start on a keyframe");
    bool with_audio = audio && !media.audio_samples.empty();
    std::span<ring::Sample const> audio_samples;
    if (with_audio)
        audio_samples = media.audio_samples;

    std::string stem(name);
    auto part = TRY(files::PartFile::create(dir / (stem + ".mp4.part"), dir / (stem + ".mp4")));

    ClipLayout layout = lay_out_clip(media.video_samples, audio_samples);
    bool use_co64 = clip_uses_co64(layout.media_bytes);
    Bytes head = write_ftyp(media.video.codec);
    auto tracks = build_tracks(media.video, layout.video, with_audio ? &*audio : nullptr, layout.audio);
    // The moov's size does not depend on base (stco or co64 is chosen by the media size alone).
    std::uint64_t moov_size = write_moov(tracks, 0, use_co64).size();
    std::uint64_t base = ftyp_bytes + moov_size + mdat_header_bytes;
    Bytes moov = write_moov(tracks, base, use_co64);
    head.insert(head.end(), moov.begin(), moov.end());
    write_mdat_header(head, layout.media_bytes);

    files::BufWriter writer(part.fd());
    TRY_VOID(writer.write(head));
    std::vector<std::uint8_t> scratch;
    std::vector<std::span<std::uint8_t const>> parts;
    std::uint64_t flushed = 0; // bytes handed to the disk so far
    for (auto const& chunk : layout.order) {
        auto samples = chunk.audio ? audio_samples : std::span<ring::Sample const>(media.video_samples);
        TRY_VOID(write_chunk(writer, samples.subspan(chunk.first, chunk.count), parts, scratch));
        // Let the disk work while the rest is copied, so that the final sync has little left to do. Bytes
        // still in the buffer (at most its capacity) are left for the next round.
        std::uint64_t position = writer.position();
        if (position >= flushed + writeback_step_bytes + files::BufWriter::capacity_bytes) {
            std::uint64_t end = position - files::BufWriter::capacity_bytes;
            files::start_writeback(part.fd(), flushed, end - flushed);
            flushed = end;
        }
    }
    TRY_VOID(writer.flush());
    TRY_VOID(part.commit());

    WriteSummary summary;
    summary.duration_ticks = Track::duration_ticks(tracks);
    summary.bytes = base + layout.media_bytes;
    summary.video_count = static_cast<std::uint32_t>(layout.video.sizes.size());
    summary.audio_count = static_cast<std::uint32_t>(layout.audio.sizes.size());
    return summary;
}

} // namespace

bool clip_uses_co64(std::uint64_t media_bytes) { return media_bytes > clip_stco_limit_bytes; }

ClipLayout lay_out_clip(std::span<ring::Sample const> video, std::span<ring::Sample const> audio)
{
    ClipLayout layout;
    if (video.empty() && audio.empty())
        return layout;
    // 128-bit window bounds: sample times may be anywhere in the i64 range.
    __int128 first = video.empty() ? 0 : video.front().time;
    __int128 window_end = first;
    std::size_t vi = 0;
    std::size_t ai = 0;
    while (vi < video.size() || ai < audio.size()) {
        window_end += ticks_per_second;
        if (vi < video.size()) {
            // Over a gap, go straight to the window of the next sample: the empty windows between would make
            // no chunk, and a corrupt time years ahead must not cost one round per second.
            std::int64_t next = video[vi].time;
            if (ai < audio.size())
                next = std::min(next, audio[ai].time);
            if (next >= window_end)
                window_end = first + ((__int128(next) - first) / ticks_per_second + 1) * ticks_per_second;
        }
        std::size_t end = vi;
        while (end < video.size() && video[end].time < window_end)
            ++end;
        vi = take_chunk(layout, video, vi, end, false);
        end = ai;
        if (vi == video.size())
            end = audio.size();
        else
            while (end < audio.size() && audio[end].time < window_end)
                ++end;
        ai = take_chunk(layout, audio, ai, end, true);
    }
    return layout;
}

Result<WriteSummary> write_mp4_file(std::filesystem::path const& dir, std::string_view name, ClipMedia const& media,
                                    std::optional<AudioConfig> const& audio)
{
    auto written = write_clip(dir, name, media, audio);
    if (!written)
        return fail(fmt::format("Écriture impossible : {}", written.error()));
    return written;
}

}
