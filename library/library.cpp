#include "library/library.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cerrno>
#include <cmath>
#include <limits>
#include <system_error>

#include <sys/stat.h>

#include "base/file_io.h"
#include "base/json_text.h"
#include "base/utf8.h"
#include "library/library_internal.h"

namespace fs = std::filesystem;

namespace library {

bool is_valid_clip_id(std::string_view id)
{
    if (id.empty())
        return false;
    // NUL ends every path handed to the system: "x.json\0y" would name the sidecar "x.json".
    for (char c : id) {
        if (c == '/' || c == ':' || c == '\\' || c == '\0')
            return false;
    }
    return id.find("..") == std::string_view::npos;
}

namespace detail {

namespace {

struct StripeSet {
    std::array<std::mutex, 16> stripes;
};

}

SidecarLock::SidecarLock(fs::path const& folder)
    : m_order(threads::LockRank::Leaf)
{
    // A process-wide set of mutexes, chosen by the folder's normal absolute form. Never destroyed: the
    // trash thread is detached and may still write while the process ends.
    static auto* set = new StripeSet;
    std::error_code ec;
    auto key = fs::absolute(folder, ec);
    if (ec)
        key = folder;
    key = key.lexically_normal();
    if (!key.has_filename() && key.has_relative_path())
        key = key.parent_path();
    m_lock = std::unique_lock(set->stripes[std::hash<std::string> {}(key.native()) % set->stripes.size()]);
}

Result<void> write_sidecar(fs::path const& folder, Clip const& clip)
{
    auto meta = TRY(open_meta_dir(folder));
    return files::atomic_replace(meta, clip.id + ".json", clip.id + ".json.tmp", sidecar_text(clip));
}

}

// --- Folders -----------------------------------------------------------------------------------------

namespace {

bool entry_missing(fs::path const& path)
{
    std::error_code ec;
    auto status = fs::symlink_status(path, ec);
    return status.type() == fs::file_type::not_found;
}

}

void move_legacy_folder(fs::path const& legacy, fs::path const& current)
{
    if (!entry_missing(current))
        return;
    std::error_code ec;
    if (fs::symlink_status(legacy, ec).type() != fs::file_type::directory)
        return;
    fs::rename(legacy, current, ec);
}

fs::path resolve_clips_dir(std::optional<fs::path> const& clips_dir, std::optional<fs::path> const& videos_dir)
{
    if (clips_dir)
        return *clips_dir;
    fs::path base;
    if (videos_dir) {
        base = *videos_dir;
    } else {
        std::error_code ec;
        base = fs::temp_directory_path(ec);
        if (ec)
            base = "/tmp";
    }
    auto folder = base / clips_dir_name;
    move_legacy_folder(base / legacy_clips_dir_name, folder);
    return folder;
}

Result<fs::path> ensure_meta_dir(fs::path const& folder)
{
    move_legacy_folder(folder / legacy_meta_dir_name, folder / meta_dir_name);
    // The leading dot already hides the folder from file managers.
    std::error_code ec;
    fs::create_directories(folder, ec);
    if (ec)
        return fail(os_error(ec.value()));
    TRY_VOID(TRY(files::Dir::open(folder)).make_folder(meta_dir_name));
    TRY_VOID(open_meta_dir(folder));
    return folder;
}

Result<files::Dir> open_meta_dir(fs::path const& folder)
{
    auto clips = TRY(files::Dir::open(folder));
    auto meta = clips.open_child(meta_dir_name);
    std::error_code ec;
    if (!meta && fs::symlink_status(folder / meta_dir_name, ec).type() == fs::file_type::symlink)
        return fail(std::string(meta_link_text));
    return meta;
}

void restore_clips_dir(fs::path const& folder)
{
    std::error_code ignored;
    fs::create_directories(folder, ignored);
    if (auto clips = files::Dir::open(folder))
        (void)clips->make_folder(meta_dir_name);
}

void remove_leftover_parts(fs::path const& folder)
{
    constexpr std::string_view suffixes[] = { ".mp4.part", ".json.tmp", ".jpg.part" };
    auto sweep = [&](Result<files::Dir> const& dir) {
        if (!dir)
            return;
        for (auto const& entry : dir->entries().value_or(std::vector<files::Dir::Entry> {})) {
            bool const leftover
                = std::ranges::any_of(suffixes, [&](auto suffix) { return entry.name.ends_with(suffix); });
            // A part still being written, by another copy of the program sharing the folder, is locked.
            if (leftover && entry.regular)
                (void)dir->remove_unheld(entry.name);
        }
    };
    sweep(files::Dir::open(folder));
    sweep(open_meta_dir(folder));
}

std::optional<fs::path> clip_path(fs::path const& folder, std::string_view id)
{
    if (!is_valid_clip_id(id))
        return std::nullopt;
    auto path = folder / (std::string(id) + ".mp4");
    if (!files::is_regular_file(path))
        return std::nullopt;
    return path;
}

fs::path meta_path(fs::path const& folder, std::string_view id)
{
    return folder / meta_dir_name / (std::string(id) + ".json");
}

fs::path thumb_path(fs::path const& folder, std::string_view id)
{
    return folder / meta_dir_name / (std::string(id) + ".jpg");
}

namespace {

constexpr std::string_view journal_suffix = ".journal";
constexpr std::string_view reserve_suffix = ".reserve";

// The names of a recording's journal and reserve inside the hidden folder.
std::string journal_name(std::string_view id) { return std::string(id) + std::string(journal_suffix); }
std::string reserve_name(std::string_view id) { return std::string(id) + std::string(reserve_suffix); }

enum class Held { No, Yes };

Result<files::Fd> create_in_meta_dir(fs::path const& folder, std::string const& name, Held held = Held::No)
{
    auto meta = TRY(open_meta_dir(folder));
    auto fd = TRY(held == Held::Yes ? meta.create_locked(name) : meta.create_temp(name));
    (void)meta.sync();
    return fd;
}

}

fs::path journal_path(fs::path const& folder, std::string_view id)
{
    return folder / meta_dir_name / journal_name(id);
}

fs::path reserve_path(fs::path const& folder, std::string_view id)
{
    return folder / meta_dir_name / reserve_name(id);
}

Result<files::Fd> create_journal(fs::path const& folder, std::string_view id)
{
    // Locked before its first byte, and before the folder's sync, which takes a while: a start-up meanwhile leaves
    // the recording alone.
    return create_in_meta_dir(folder, journal_name(id), Held::Yes);
}

Result<files::Fd> create_reserve(fs::path const& folder, std::string_view id)
{
    return create_in_meta_dir(folder, reserve_name(id));
}

Result<files::Fd> open_journal(fs::path const& folder, std::string_view id)
{
    auto meta = TRY(open_meta_dir(folder));
    return meta.open_regular(journal_name(id));
}

std::optional<files::Fd> lock_journal(fs::path const& folder, std::string_view id)
{
    auto journal = open_journal(folder, id);
    if (!journal || !files::try_lock(journal->get()).value_or(false))
        return std::nullopt;
    // Locked only once its recorder was done with it and removed it, or another start-up did: nothing is left to do.
    struct stat st {};
    if (::fstat(journal->get(), &st) != 0 || st.st_nlink == 0)
        return std::nullopt;
    return std::move(*journal);
}

Result<files::Fd> open_recording(fs::path const& folder, std::string_view id)
{
    if (!is_valid_clip_id(id))
        return fail(os_error(EINVAL));
    auto clips = TRY(files::Dir::open(folder));
    return clips.open_regular_read_write(std::string(id) + ".mp4");
}

bool has_clip_metadata(fs::path const& folder, std::string_view id)
{
    auto meta = open_meta_dir(folder);
    return is_valid_clip_id(id) && meta && meta->open_regular(std::string(id) + ".json");
}

void remove_recording(fs::path const& folder, std::string_view id)
{
    if (!is_valid_clip_id(id))
        return;
    if (auto clips = files::Dir::open(folder))
        (void)clips->remove(std::string(id) + ".mp4");
    if (auto meta = open_meta_dir(folder)) {
        std::string const named(id);
        for (auto const& name : { named + ".json", named + ".jpg", reserve_name(id), journal_name(id) })
            (void)meta->remove(name);
        (void)meta->sync();
    }
}

std::vector<std::string> journaled_recordings(fs::path const& folder)
{
    std::vector<std::string> ids;
    auto meta = open_meta_dir(folder);
    if (!meta)
        return ids;
    for (auto const& entry : meta->entries().value_or(std::vector<files::Dir::Entry> {})) {
        if (!entry.name.ends_with(journal_suffix) || !entry.regular)
            continue;
        auto id = entry.name.substr(0, entry.name.size() - journal_suffix.size());
        if (is_valid_clip_id(id))
            ids.push_back(std::move(id));
    }
    std::ranges::sort(ids);
    return ids;
}

void remove_journal(fs::path const& folder, std::string_view id)
{
    if (auto meta = open_meta_dir(folder)) {
        (void)meta->remove(reserve_name(id));
        (void)meta->remove(journal_name(id));
    }
}

void remove_reserve(fs::path const& folder, std::string_view id)
{
    if (auto meta = open_meta_dir(folder))
        (void)meta->remove(reserve_name(id));
}

std::optional<std::string> read_thumbnail(fs::path const& folder, std::string_view id)
{
    if (!is_valid_clip_id(id))
        return std::nullopt;
    auto meta = open_meta_dir(folder);
    if (!meta)
        return std::nullopt;
    auto jpeg = meta->read_regular(std::string(id) + ".jpg", thumb_max_bytes);
    if (!jpeg)
        return std::nullopt;
    return std::move(*jpeg);
}

Result<void> write_thumbnail(fs::path const& folder, std::string_view id, std::span<std::uint8_t const> jpeg)
{
    auto meta = TRY(open_meta_dir(folder));
    auto name = std::string(id) + ".jpg";
    return files::atomic_replace(meta, name, name + ".part", jpeg);
}

// --- Sidecars ----------------------------------------------------------------------------------------

namespace {

void append_seconds(std::string& out, double secs)
{
    if (!std::isfinite(secs)) {
        out += "null";
        return;
    }
    char buffer[64];
    auto [end, ec] = std::to_chars(buffer, buffer + sizeof buffer, secs);
    std::string_view digits(buffer, static_cast<std::size_t>(end - buffer));
    out += digits;
    // Whole values keep a fraction so that they read back as a float: 30 seconds is "30.0".
    if (digits.find_first_of(".e") == std::string_view::npos)
        out += ".0";
}

using Json = nlohmann::json;

std::optional<std::uint64_t> as_u64(Json const& value)
{
    if (value.is_number_unsigned())
        return value.get<std::uint64_t>();
    // "-0" parses as a signed zero.
    if (value.is_number_integer() && value.get<std::int64_t>() == 0)
        return 0;
    return std::nullopt;
}

std::optional<std::uint32_t> as_u32(Json const& value)
{
    auto wide = as_u64(value);
    if (!wide || *wide > std::numeric_limits<std::uint32_t>::max())
        return std::nullopt;
    return static_cast<std::uint32_t>(*wide);
}

constexpr std::uint64_t max_sidecar_bytes = 1 << 20;

constexpr std::string_view sidecar_keys[]
    = { "id", "title", "game", "created", "secs", "bytes", "favorite", "recording", "width", "height" };

}

std::string sidecar_text(Clip const& clip)
{
    std::string out;
    out.reserve(256);
    out += "{\"id\":";
    json_text::append_string(out, clip.id);
    out += ",\"title\":";
    json_text::append_string(out, clip.title);
    out += ",\"game\":";
    json_text::append_string(out, clip.game);
    out += fmt::format(",\"created\":{},\"secs\":", clip.created);
    append_seconds(out, clip.secs);
    out += fmt::format(",\"bytes\":{},\"favorite\":{},\"recording\":{},\"width\":{},\"height\":{}}}", clip.bytes,
        clip.favorite, clip.recording, clip.width, clip.height);
    return out;
}

std::optional<Clip> parse_sidecar(std::string_view text)
{
    // The value tree keeps the last of two equal keys; a sidecar with a repeated key is refused instead,
    // so the callback watches the keys of the outer object.
    bool repeated = false;
    std::vector<std::string> seen;
    auto watch = [&](int depth, Json::parse_event_t event, Json& parsed) {
        if (event == Json::parse_event_t::key && depth == 1) {
            auto const& key = parsed.get_ref<std::string const&>();
            if (std::find(seen.begin(), seen.end(), key) != seen.end())
                repeated = true;
            seen.push_back(key);
        }
        return true;
    };
    auto value = Json::parse(text.begin(), text.end(), watch, /*allow_exceptions=*/false);
    if (value.is_discarded() || repeated)
        return std::nullopt;

    Json const* fields[std::size(sidecar_keys)] {};
    if (value.is_object()) {
        for (std::size_t i = 0; i < std::size(sidecar_keys); ++i) {
            auto found = value.find(sidecar_keys[i]);
            if (found == value.end())
                return std::nullopt;
            fields[i] = &*found;
        }
    } else if (value.is_array() && value.size() == std::size(sidecar_keys)) {
        for (std::size_t i = 0; i < std::size(sidecar_keys); ++i)
            fields[i] = &value[i];
    } else {
        return std::nullopt;
    }

    Clip clip;
    auto string_field = [&](int i, std::string& out) {
        if (!fields[i]->is_string())
            return false;
        out = fields[i]->get_ref<std::string const&>();
        return true;
    };
    auto bool_field = [&](int i, bool& out) {
        if (!fields[i]->is_boolean())
            return false;
        out = fields[i]->get<bool>();
        return true;
    };
    if (!string_field(0, clip.id) || !string_field(1, clip.title) || !string_field(2, clip.game))
        return std::nullopt;
    auto created = as_u64(*fields[3]);
    auto bytes = as_u64(*fields[5]);
    auto width = as_u32(*fields[8]);
    auto height = as_u32(*fields[9]);
    if (!created || !bytes || !width || !height)
        return std::nullopt;
    clip.created = *created;
    clip.bytes = *bytes;
    clip.width = *width;
    clip.height = *height;
    // The writer turns a duration that is not finite into null; reading it back as zero keeps the rest of
    // the record instead of losing title, game and favourite to the fallback.
    if (fields[4]->is_null())
        clip.secs = 0.0;
    else if (fields[4]->is_number())
        clip.secs = fields[4]->get<double>();
    else
        return std::nullopt;
    if (!bool_field(6, clip.favorite) || !bool_field(7, clip.recording))
        return std::nullopt;
    return clip;
}

Result<void> save_clip_metadata(fs::path const& folder, Clip const& clip)
{
    detail::SidecarLock lock(folder);
    return detail::write_sidecar(folder, clip);
}

Clip fallback_clip(std::string_view id, fs::path const& mp4)
{
    Clip clip;
    clip.id = id;
    clip.title = id;
    clip.game = fallback_game;
    struct stat st { };
    if (::stat(mp4.c_str(), &st) == 0) {
        clip.created = st.st_mtim.tv_sec > 0 ? static_cast<std::uint64_t>(st.st_mtim.tv_sec) : 0;
        clip.bytes = static_cast<std::uint64_t>(st.st_size);
    }
    return clip;
}

namespace {

std::optional<Clip> read_sidecar(Result<files::Dir> const& meta, std::string_view id)
{
    if (!meta)
        return std::nullopt;
    // A sidecar is a few hundred bytes; a huge file in its place would stall every listing.
    auto text = meta->read_regular(std::string(id) + ".json", max_sidecar_bytes);
    if (!text)
        return std::nullopt;
    return parse_sidecar(*text);
}

// read_clip_meta with the hidden folder already opened: a listing opens it once for all its clips.
Clip clip_meta_in(Result<files::Dir> const& meta, std::string_view id, fs::path const& mp4)
{
    if (auto clip = read_sidecar(meta, id)) {
        // The MP4's name is the id: a copied clip with its copied sidecar is a second clip, not a
        // second entry under the first one's id.
        clip->id = id;
        return *clip;
    }
    return fallback_clip(id, mp4);
}

}

Clip read_clip_meta(fs::path const& folder, std::string_view id, fs::path const& mp4)
{
    return clip_meta_in(open_meta_dir(folder), id, mp4);
}

namespace {

bool has_mp4_extension(std::string_view name, std::string_view& stem)
{
    auto dot = name.rfind('.');
    if (dot == std::string_view::npos || dot == 0)
        return false;
    auto extension = name.substr(dot + 1);
    if (extension.size() != 3)
        return false;
    auto lower = [](char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; };
    if (lower(extension[0]) != 'm' || lower(extension[1]) != 'p' || extension[2] != '4')
        return false;
    stem = name.substr(0, dot);
    return true;
}

}

std::vector<Clip> list_clips(fs::path const& folder)
{
    std::vector<Clip> clips;
    std::error_code ec;
    fs::directory_iterator it(folder, ec);
    if (ec)
        return clips;
    auto const meta = open_meta_dir(folder);
    for (; it != fs::directory_iterator(); it.increment(ec)) {
        if (ec)
            break;
        auto const& path = it->path();
        auto const file_name = path.filename();
        std::string const& name = file_name.native();
        std::string_view stem;
        if (!has_mp4_extension(name, stem) || !utf8::is_valid(name))
            continue;
        // Only a regular file is a clip: a FIFO or a folder named like one would block or fail every
        // reader that follows.
        if (!files::is_regular_file(path))
            continue;
        clips.push_back(clip_meta_in(meta, stem, path));
    }
    std::stable_sort(clips.begin(), clips.end(), [](Clip const& a, Clip const& b) {
        if (a.created != b.created)
            return a.created > b.created;
        return a.id < b.id;
    });
    return clips;
}

nlohmann::json clip_to_value(Clip const& clip)
{
    nlohmann::json value = nlohmann::json::object();
    // The value tree refuses to write a string that is not UTF-8; such bytes become U+FFFD here.
    value["id"] = utf8::lossy(clip.id);
    value["title"] = utf8::lossy(clip.title);
    value["game"] = utf8::lossy(clip.game);
    value["created"] = clip.created;
    value["secs"] = std::isfinite(clip.secs) ? nlohmann::json(clip.secs) : nlohmann::json(nullptr);
    value["bytes"] = clip.bytes;
    value["favorite"] = clip.favorite;
    value["recording"] = clip.recording;
    value["width"] = clip.width;
    value["height"] = clip.height;
    return value;
}

}
