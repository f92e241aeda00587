#include "engine/trim.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include <fmt/format.h>

#include "base/file_io.h"
#include "base/utf8.h"
#include "core/demux.h"
#include "core/mp4.h"
#include "core/spill.h"
#include "engine/engine.h"
#include "engine/saver.h"
#include "library/naming.h"

namespace trim {

namespace {

constexpr std::string_view too_short_text = "La sélection est trop courte.";

// The thumbnail goes through a temporary name, so a copy that fails half-way leaves no truncated JPEG. A
// failure only leaves the new clip without a thumbnail until one is made. Only a real thumbnail is copied: a
// link in its place would hand any file the link names to the new clip.
void copy_thumbnail(std::filesystem::path const& folder, std::string_view from_id, std::string_view to_id)
{
    auto jpeg = library::read_thumbnail(folder, from_id);
    if (!jpeg)
        return;
    (void)library::write_thumbnail(
        folder, to_id, std::span(reinterpret_cast<std::uint8_t const*>(jpeg->data()), jpeg->size()));
}

std::vector<ring::Sample> spilled_samples(
    std::vector<demux::SampleRef> const& refs, std::shared_ptr<spill::SpillFile> const& file)
{
    std::vector<ring::Sample> samples;
    samples.reserve(refs.size());
    for (auto const& ref : refs) {
        // Frames shown out of decode order keep their offsets; none is anywhere near the 3.5 minutes 32 bits
        // hold, unless the file is corrupt.
        auto composition = static_cast<std::int32_t>(std::clamp<std::int64_t>(ref.composition,
            std::numeric_limits<std::int32_t>::min(), std::numeric_limits<std::int32_t>::max()));
        samples.push_back({ ring::Spilled { ref.size, ref.offset, file }, ref.time, ref.sync, composition });
    }
    return samples;
}

}

std::int64_t seconds_to_ticks(double secs)
{
    if (std::isnan(secs))
        return 0;
    double ticks = secs * static_cast<double>(mp4::ticks_per_second);
    // 2^63 is exactly representable; every double below it converts without overflow.
    constexpr double limit = 9'223'372'036'854'775'808.0;
    if (ticks >= limit)
        return std::numeric_limits<std::int64_t>::max();
    if (ticks <= -limit)
        return std::numeric_limits<std::int64_t>::min();
    return static_cast<std::int64_t>(ticks);
}

Result<library::Clip> cut_clip(engine::Engine& engine, std::string_view id, double from, double to)
{
    auto pass = engine.file_jobs.enter();
    if (!pass)
        return fail(std::string(engine::closing_text));
    return cut_clip(engine.clips_dir(), id, from, to);
}

Result<library::Clip> cut_clip(std::filesystem::path const& folder, std::string_view id, double from, double to,
    std::function<void()> const& after_index)
{
    auto path = library::clip_path(folder, id);
    if (!path)
        return fail(std::string(library::clip_gone_text));
    auto source = library::read_clip_meta(folder, id, *path);
    if (!std::isfinite(from) || !std::isfinite(to) || !(to - from >= min_selection_secs))
        return fail(std::string(too_short_text));

    // The index and the bytes come through one descriptor: a file put in the source's place meanwhile can
    // never pair one file's index with another's bytes.
    auto fd = TRY(files::open_regular(*path));
    auto opened = TRY(demux::read_index(fd.get()));
    if (after_index)
        after_index();
    auto [video, audio] = demux::select_range(opened, seconds_to_ticks(from), seconds_to_ticks(to));
    if (video.size() < 2)
        return fail(std::string(too_short_text));

    auto file = spill::SpillFile::adopt(std::move(fd));
    mp4::ClipMedia media { std::move(opened.video), spilled_samples(video, file), spilled_samples(audio, file) };
    file.reset();
    library::restore_clips_dir(folder);
    // The name stays reserved until the clip and its sidecar are in place.
    auto name = engine::clip_file_name(folder, source.game, engine::local_stamp());
    auto written = TRY(mp4::write_mp4_file(folder, name.id(), media, opened.audio));
    auto width = media.video.width, height = media.video.height;
    media = {}; // closes the source
    copy_thumbnail(folder, id, name.id());

    library::Clip clip;
    clip.id = name.id();
    clip.title = std::string(utf8::first_chars(fmt::format("{} (coupé)", source.title), library::title_max_chars));
    clip.game = source.game;
    clip.created = static_cast<std::uint64_t>(engine::unix_seconds_now());
    clip.secs = static_cast<double>(written.duration_ticks) / static_cast<double>(mp4::ticks_per_second);
    clip.bytes = written.bytes;
    clip.favorite = false;
    clip.recording = false;
    clip.width = width;
    clip.height = height;
    TRY_VOID(library::save_clip_metadata(folder, clip));
    return clip;
}

}
