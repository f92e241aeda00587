#pragma once
// The clip library: every clip is "{id}.mp4" in the clips folder, with its sidecar "{id}.json" (the Clip
// record as compact JSON) and thumbnail "{id}.jpg" in the hidden ".quillmar" folder inside it. The folder
// and the sidecars are the only store: nothing is cached, every listing reads the disk again.
//
// Threads: every function may be called from any thread (page workers, saver, recording writer, trash
// thread). The engine owns the current clips folder and the pending deletions and hands them in; these
// functions take no engine lock. Sidecar writes are serialised per clips folder by a lock of this module,
// held across the read-modify-write of an edit, so two edits of one clip never lose each other's change.
// That lock ranks as a leaf: call these functions while holding no other leaf lock.

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "base/file_io.h"
#include "base/result.h"
#include "base/threads.h"

namespace platform {
class Trash;
}

namespace library {

struct Clip {
    std::string id; // the stem of the MP4 file name
    std::string title;
    std::string game; // a game, an app, or "Bureau"
    std::uint64_t created { 0 }; // whole seconds since 1970 (UTC)
    double secs { 0.0 };
    std::uint64_t bytes { 0 }; // size of the MP4
    bool favorite { false }; // retention never removes a favourite
    bool recording { false }; // made by the record key, not saved from the buffer
    std::uint32_t width { 0 };
    std::uint32_t height { 0 };

    bool operator==(Clip const&) const = default;
};

inline constexpr std::string_view meta_dir_name = ".quillmar";
inline constexpr std::string_view legacy_meta_dir_name = ".fennow";
inline constexpr std::string_view clips_dir_name = "quill.mar";
inline constexpr std::string_view legacy_clips_dir_name = "Fennow";
inline constexpr std::string_view fallback_game = "Autres";
// The text of a missing clip, for edits and for a clip removed by hand before its purge.
inline constexpr std::string_view not_found_text = "entity not found";
// The text of a clip whose file is gone, for every action on a clip named by its id.
inline constexpr std::string_view clip_gone_text = "Ce clip n'existe plus.";
// A title keeps at most this many characters (Unicode scalar values), whoever sets it.
inline constexpr std::size_t title_max_chars = 120;

// An id from outside (API, page server) may name a clip only when it is not empty and holds no "/", ":",
// "\", NUL, nor ".." anywhere. Other characters, accented or not, are allowed.
bool is_valid_clip_id(std::string_view id);

// --- Folders -----------------------------------------------------------------------------------------

// A folder left under the former product word moves to its new name, but only a real folder (not a link to
// somewhere else) and only while the new name is free. Every error is ignored: the new folder is then simply
// created empty.
void move_legacy_folder(std::filesystem::path const& legacy, std::filesystem::path const& current);

// The clips folder: `clips_dir` (the setting) unchanged when set; else `videos_dir` (or the temporary
// folder when there is none) joined with "quill.mar", after moving a former "Fennow" folder there when
// "quill.mar" does not exist yet. Nothing is created.
std::filesystem::path resolve_clips_dir(
    std::optional<std::filesystem::path> const& clips_dir, std::optional<std::filesystem::path> const& videos_dir);

// Creates the clips folder and its ".quillmar" (moving a former ".fennow" there first). Gives back the
// folder, or the error of open_meta_dir.
Result<std::filesystem::path> ensure_meta_dir(std::filesystem::path const& folder);
// The hidden folder of `folder`, opened without following a link at ".quillmar" (the clips folder itself may
// be a link the player chose). Whoever can write to the clips folder can put a link there, to the settings
// folder say, and every sidecar written, thumbnail copied or clip deleted would then change files there: every
// file kept in the hidden folder is read, written and removed through this descriptor only.
// Errors: meta_link_text when ".quillmar" is a link, else the system's text.
Result<files::Dir> open_meta_dir(std::filesystem::path const& folder);
inline constexpr std::string_view meta_link_text = "le dossier .quillmar est un lien, il n'est pas suivi";
// Creates the clips folder and its ".quillmar" again when they are missing. Every writer of a new clip (save,
// recording, trim) calls it right before writing: the player may delete the folder while the program runs,
// and the next clip must bring it back. What cannot be created is left for the write that follows to report.
void restore_clips_dir(std::filesystem::path const& folder);

// Start-up: removes what an earlier run left half-written in the clips folder and its ".quillmar"
// ("*.mp4.part", "*.json.tmp", "*.jpg.part"). Only regular files go; a link of that name is left, and its
// target with it, and a linked ".quillmar" is not entered. A part whose writer still holds it (another copy of the
// program saving into the same folder) is left as well. Errors are ignored: a leftover only takes up room.
void remove_leftover_parts(std::filesystem::path const& folder);

// The MP4 of a valid id when it exists as a regular file (after links); nothing is opened.
std::optional<std::filesystem::path> clip_path(std::filesystem::path const& folder, std::string_view id);
// Unchecked paths of the sidecar and the thumbnail, for showing and for tests: files there are opened
// through open_meta_dir.
std::filesystem::path meta_path(std::filesystem::path const& folder, std::string_view id);
std::filesystem::path thumb_path(std::filesystem::path const& folder, std::string_view id);
// A recording in progress keeps, in ".quillmar", its journal (what rebuilds its index after a crash) and a
// reserve (room for that index on a full disk). Unchecked paths, for showing and for tests.
std::filesystem::path journal_path(std::filesystem::path const& folder, std::string_view id);
std::filesystem::path reserve_path(std::filesystem::path const& folder, std::string_view id);
// Each created afresh (whatever had the name, a link included, goes first) through open_meta_dir, whose folder
// is then synced so that the name outlives a power cut. The journal comes locked (files::try_lock) before it holds
// a byte, and its descriptor keeps the lock for as long as the recorder holds it: another copy of the program
// (another settings folder, the same clips folder) starting meanwhile leaves the recording alone. Should that
// start-up take it in the instant after the creation, the journal is made again (files::Dir::create_locked).
Result<files::Fd> create_journal(std::filesystem::path const& folder, std::string_view id);
Result<files::Fd> create_reserve(std::filesystem::path const& folder, std::string_view id);
// The journal, opened for reading when it is a regular file itself, not a link (it is read a window at a time:
// its length is not to be trusted).
Result<files::Fd> open_journal(std::filesystem::path const& folder, std::string_view id);
// The journal of a recording nobody writes any longer, opened as open_journal does and locked: while the
// descriptor is held, no recorder and no other start-up works on the recording. Nothing when it cannot be opened
// or locked, when a running recording holds it, or when it was removed since it was listed (its recording
// finished, or another start-up completed it): the recording is then left as it is.
std::optional<files::Fd> lock_journal(std::filesystem::path const& folder, std::string_view id);
// The recording "{id}.mp4" of the clips folder, opened for reading and writing when it is a regular file itself:
// a link at its name is refused (ELOOP), never followed.
Result<files::Fd> open_recording(std::filesystem::path const& folder, std::string_view id);
// true when the clip has a sidecar of its own (a regular file).
bool has_clip_metadata(std::filesystem::path const& folder, std::string_view id);
// Removes a recording that holds nothing worth keeping: its MP4 (the entry itself; a link's target is never
// touched), sidecar, thumbnail, journal and reserve. What is missing is ignored.
void remove_recording(std::filesystem::path const& folder, std::string_view id);
// The valid ids whose journal is a regular file: the recordings an earlier run left unfinished.
std::vector<std::string> journaled_recordings(std::filesystem::path const& folder);
// Removes the recording's reserve and journal, or its reserve alone; what is missing is ignored.
void remove_journal(std::filesystem::path const& folder, std::string_view id);
void remove_reserve(std::filesystem::path const& folder, std::string_view id);

// --- Thumbnails --------------------------------------------------------------------------------------

// Ours are a few tens of kilobytes; a larger file in a thumbnail's place is not read.
inline constexpr std::uint64_t thumb_max_bytes = 4 * 1024 * 1024;
// The JPEG of a valid id when it is a regular file itself (not a link) of at most thumb_max_bytes.
std::optional<std::string> read_thumbnail(std::filesystem::path const& folder, std::string_view id);
// Writes the thumbnail through "{id}.jpg.part" and a rename. The error is the system's text.
Result<void> write_thumbnail(
    std::filesystem::path const& folder, std::string_view id, std::span<std::uint8_t const> jpeg);

// --- Sidecars ----------------------------------------------------------------------------------------

// The sidecar bytes: compact JSON, keys in the record's order, `secs` in its shortest form with ".0" on
// whole values (null when not finite).
std::string sidecar_text(Clip const& clip);
// The strict reader: an object with each of the ten keys exactly once (others ignored), or an array of
// the ten values in order; every value of its field's type and width; only whitespace after it. A null
// `secs` reads as 0.0. Nothing when any rule is broken.
std::optional<Clip> parse_sidecar(std::string_view text);

// Writes the sidecar through "{id}.json.tmp" and a rename. The error is the system's text.
Result<void> save_clip_metadata(std::filesystem::path const& folder, Clip const& clip);
// The clip for `id`: its sidecar when readable (a regular file itself, not a link, of at most 1 MiB), else the
// fallback record built from the MP4 at `mp4`.
// The id is always `id` (the MP4's stem), whatever the sidecar says. Never fails.
Clip read_clip_meta(std::filesystem::path const& folder, std::string_view id, std::filesystem::path const& mp4);
// The record of a clip without a readable sidecar: title = id, game "Autres", created and bytes from
// the MP4 (0 when it cannot be queried), everything else zero or false.
Clip fallback_clip(std::string_view id, std::filesystem::path const& mp4);

// Every "*.mp4" regular file of the folder (extension compared without case), newest first, equal times
// by id. An unreadable folder gives an empty list.
std::vector<Clip> list_clips(std::filesystem::path const& folder);

// The API form: the ten keys in ascending byte order, `secs` null when not finite.
nlohmann::json clip_to_value(Clip const& clip);

// --- Edits -------------------------------------------------------------------------------------------

// Each reads the clip's record (the fallback when it has no sidecar), changes one field and writes the
// sidecar, under the folder's sidecar lock. Errors: "entity not found", or the system's text of the write.
Result<Clip> set_favorite(std::filesystem::path const& folder, std::string_view id, bool value);
Result<Clip> set_title(std::filesystem::path const& folder, std::string_view id, std::string_view title);
// Also rewrites a title that begins with the old game name so that it begins with the new one.
Result<Clip> set_game(std::filesystem::path const& folder, std::string_view id, std::string_view game);

// --- Deferred deletion -------------------------------------------------------------------------------

inline constexpr int trash_grace_secs = 6;

struct PendingDelete {
    std::string id;
    std::chrono::steady_clock::time_point at; // when it was marked
    std::filesystem::path folder; // the clips folder it was marked in; purged there
};

// The engine's pending-deletion list (its own leaf lock). Empty at every start; never stored.
using PendingList = threads::Locked<std::vector<PendingDelete>>;

// Marks the clips of `folder` for deletion at `now`. Every id must name a clip, or nothing is marked and
// the error is "Ce clip n'existe plus.". Marking a pending clip again restarts its grace period; an id
// given twice is marked once.
Result<void> mark_deleted(PendingList& pending, std::filesystem::path const& folder, std::span<std::string const> ids,
    std::chrono::steady_clock::time_point now);
// Takes the ids off the list, whichever folder they were marked in (an undo after a change of folder
// still saves the clip); ids that are not pending are ignored.
void restore_deleted(PendingList& pending, std::span<std::string const> ids);
// The ids pending in `folder`, in list order.
std::vector<std::string> pending_ids(PendingList const& pending, std::filesystem::path const& folder);
// list_clips of `folder` without the clips pending deletion there: what the page shows.
std::vector<Clip> visible_clips(PendingList const& pending, std::filesystem::path const& folder);

enum class Force { No, Yes };
// Sends every entry whose grace period is over at `now` (every entry with Force::Yes) to the trash, each
// in the folder where it was marked. Gives the player's error texts, "Corbeille impossible : {}", one per
// clip that could not be moved; those clips stay and are no longer pending.
std::vector<std::string> purge_deleted(
    PendingList& pending, platform::Trash& trash, Force force, std::chrono::steady_clock::time_point now);

// Moves the clip's MP4 to the trash, then removes its sidecar and thumbnail. When the move fails nothing
// is removed and the error is the trash's text ("entity not found" for a missing clip).
Result<void> send_to_recycle_bin(platform::Trash& trash, std::filesystem::path const& folder, std::string_view id);

// --- Retention ---------------------------------------------------------------------------------------

struct RetentionLimits {
    std::uint32_t keep_days { 0 }; // 0: no age limit
    std::uint32_t max_gb { 0 }; // 10^9 bytes; 0: no size limit
};

// The ids retention would remove from `clips` (any order), oldest first: older than keep_days at `now`,
// then the oldest until the total fits max_gb. Favourites and the newest clip are never chosen.
std::vector<std::string> retention_choice(
    std::vector<Clip> const& clips, RetentionLimits limits, std::chrono::system_clock::time_point now);

// Applies the limits to the clips this program made (an MP4 with its sidecar), counting each clip's size on
// disk (never the size its sidecar claims). Other videos of the folder, and the clips in `leave_alone` (the
// pending deletions and the recording in progress), are neither counted nor removed. Gives the ids moved to the trash,
// in the order moved; a clip the trash refuses is skipped silently.
std::vector<std::string> apply_retention(platform::Trash& trash, std::filesystem::path const& folder,
    RetentionLimits limits, std::span<std::string const> leave_alone, std::chrono::system_clock::time_point now);

// --- Autostart ---------------------------------------------------------------------------------------

// The desktop entry that starts `exe` with "--tray" at log-in. The command is quoted by the Desktop
// Entry rules; "Hidden" and "X-GNOME-Autostart-enabled" set by the user in `previous` (the current
// entry, or empty) are kept. Fails when `exe` is not valid UTF-8.
Result<std::string> autostart_entry(std::string_view exe, std::string_view previous);

// Writes (on) or removes (off) "{config_home}/autostart/quill.mar.desktop" for `exe`, and always removes
// the former "Fennow.desktop". The error is the system's text.
Result<void> set_autostart(bool on, std::filesystem::path const& config_home, std::filesystem::path const& exe);
// The same for the running executable.
Result<void> set_autostart(bool on, std::filesystem::path const& config_home);

}
