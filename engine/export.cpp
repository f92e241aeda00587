#include "engine/export.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fmt/format.h>

#include "base/file_io.h"
#include "base/utf8.h"
#include "engine/engine.h"
#include "library/library.h"
#include "platform/paths.h"

namespace light_copy {

namespace {

constexpr std::uint32_t fallback_width = 1920;
constexpr std::uint32_t fallback_height = 1080;

bool forbidden(char c)
{
    switch (c) {
    case '<':
    case '>':
    case ':':
    case '"':
    case '/':
    case '\\':
    case '|':
    case '?':
    case '*':
        return true;
    default:
        return static_cast<unsigned char>(c) < 0x20;
    }
}

Result<std::uint64_t> size_of(std::filesystem::path const& path)
{
    struct stat st { };
    if (::stat(path.c_str(), &st) != 0)
        return fail(os_error(errno));
    return static_cast<std::uint64_t>(st.st_size);
}

// The folder is the user's own, but its copies are handed to other programs through the clipboard: nobody
// else may read them, and a link in its place is refused rather than followed.
Result<void> prepare_folder(std::filesystem::path const& folder)
{
    std::error_code ec;
    std::filesystem::create_directories(folder.parent_path(), ec);
    if (ec)
        return fail(os_error(ec.value()));
    if (::mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST)
        return fail(os_error(errno));
    files::Fd fd(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!fd)
        return fail(os_error(errno));
    if (::fchmod(fd.get(), 0700) != 0)
        return fail(os_error(errno));
    return {};
}

}

std::filesystem::path light_copy_dir()
{
    return paths::cache_dir() / "discord";
}

TranscodeTarget plan_attempt(double factor, double secs, std::uint32_t source_width, std::uint32_t source_height)
{
    double d = std::isfinite(secs) ? std::max(secs, 1.0) : 1.0;
    std::uint64_t w = std::max<std::uint32_t>(source_width, 2);
    std::uint64_t h = std::max<std::uint32_t>(source_height, 2);
    double total = factor * aim_bits / d;
    std::uint32_t audio = total > 1'500'000.0 ? 128'000 : 96'000;
    double video = std::max(total - audio, 250'000.0);
    std::uint64_t height = video >= 5'000'000.0 ? 1080 : video >= 2'500'000.0 ? 720 : video >= 1'200'000.0 ? 540 : 480;
    height = std::min(height, h) & ~std::uint64_t { 1 };
    // A very narrow source would otherwise round its width down to nothing.
    std::uint64_t width = std::max<std::uint64_t>((height * w / h) & ~std::uint64_t { 1 }, 2);
    constexpr double max_rate = std::numeric_limits<std::uint32_t>::max();
    auto rate = static_cast<std::uint32_t>(std::min(video, max_rate));
    return { static_cast<std::uint32_t>(width), static_cast<std::uint32_t>(height), rate, audio };
}

std::string output_name(std::string_view title)
{
    std::string name(title);
    std::replace_if(name.begin(), name.end(), forbidden, '_');
    auto trimmed = utf8::trim(name);
    while (!trimmed.empty() && trimmed.back() == '.')
        trimmed.remove_suffix(1);
    trimmed = utf8::trim(trimmed);
    if (trimmed.empty())
        return "clip";
    return std::string(utf8::cut_bytes(trimmed, name_max_bytes));
}

void clean_folder(std::filesystem::path const& folder, std::chrono::system_clock::time_point now, Leftovers leftovers)
{
    // Listed and cleaned through the folder's own descriptor, never through a link at its place.
    auto parent = files::Dir::open(folder.parent_path());
    if (!parent)
        return;
    auto dir = parent->open_child(folder.filename().native());
    if (!dir)
        return;
    auto now_ns = std::chrono::duration_cast<std::chrono::nanoseconds>(now.time_since_epoch()).count();
    constexpr std::int64_t max_age_ns = max_age_secs * 1'000'000'000;
    for (auto const& entry : dir->entries().value_or(std::vector<files::Dir::Entry> {})) {
        if (!entry.regular)
            continue;
        bool const temporary
            = leftovers == Leftovers::Remove && entry.name.starts_with(platform::transcode_temp_prefix);
        if (temporary || now_ns - entry.modified_ns > max_age_ns || entry.modified_ns > now_ns)
            (void)dir->remove(entry.name);
    }
}

Result<LightCopy> make_light_copy(engine::Engine& engine, std::string_view id, platform::Transcoder& transcoder)
{
    auto pass = engine.file_jobs.enter();
    if (!pass)
        return fail(std::string(engine::closing_text));
    return make_light_copy(engine.clips_dir(), id, transcoder, light_copy_dir());
}

Result<LightCopy> make_light_copy(std::filesystem::path const& clips_folder, std::string_view id,
    platform::Transcoder& transcoder, std::filesystem::path const& copies_folder)
{
    auto path = library::clip_path(clips_folder, id);
    if (!path)
        return fail(std::string(library::clip_gone_text));
    auto record = library::read_clip_meta(clips_folder, id, *path);
    // A recording in progress is small, growing and has no index yet: it must not be handed out as it is.
    // The file's own streams give its size and length; a sidecar is only a file in the clips folder and may say
    // anything (a picture 16384 wide makes the encoder ask for gigabytes, a length too short makes every
    // attempt aim too high).
    auto info = TRY_AS("Version légère impossible : {}", transcoder.probe_media(*path));
    // The record's size is never compared with the file; the file's own size is the truth.
    auto bytes = TRY(size_of(*path));
    if (bytes <= light_limit_bytes)
        return LightCopy { *path, bytes };

    clean_folder(copies_folder, std::chrono::system_clock::now());
    TRY_VOID(prepare_folder(copies_folder));
    auto output = copies_folder / (output_name(record.title) + ".mp4");

    std::uint32_t width = info.width, height = info.height;
    if (width == 0 || height == 0) {
        width = fallback_width;
        height = fallback_height;
    }
    for (double factor : factors) {
        std::error_code ignored;
        std::filesystem::remove(output, ignored);
        auto target = plan_attempt(factor, info.duration_secs, width, height);
        TRY_VOID_AS("Version légère impossible : {}", transcoder.transcode_h264(*path, output, target));
        auto written = TRY(size_of(output));
        if (written <= light_limit_bytes)
            return LightCopy { output, written };
    }
    return fail("Ce clip reste trop lourd pour Discord, même allégé.");
}

}
