// Changes to clips after they are made: the three sidecar edits, deferred deletion to the trash, and
// retention.

#include "library/library.h"

#include <algorithm>
#include <set>
#include <system_error>

#include "base/file_io.h"
#include "library/library_internal.h"
#include "platform/trash.h"

namespace fs = std::filesystem;

namespace library {

namespace {

// Read, change and write back under the folder's sidecar lock, so that a second edit of the same clip
// starts from this one's result instead of racing it.
template <class Change> Result<Clip> edit_clip(fs::path const& folder, std::string_view id, Change change)
{
    detail::SidecarLock lock(folder);
    auto mp4 = clip_path(folder, id);
    if (!mp4)
        return fail(std::string(not_found_text));
    auto clip = read_clip_meta(folder, id, *mp4);
    change(clip);
    TRY_VOID(detail::write_sidecar(folder, clip));
    return clip;
}

bool contains(std::span<std::string const> ids, std::string_view id)
{
    return std::find(ids.begin(), ids.end(), id) != ids.end();
}

}

Result<Clip> set_favorite(fs::path const& folder, std::string_view id, bool value)
{
    return edit_clip(folder, id, [&](Clip& clip) { clip.favorite = value; });
}

Result<Clip> set_title(fs::path const& folder, std::string_view id, std::string_view title)
{
    return edit_clip(folder, id, [&](Clip& clip) { clip.title = title; });
}

Result<Clip> set_game(fs::path const& folder, std::string_view id, std::string_view game)
{
    return edit_clip(folder, id, [&](Clip& clip) {
        // Titles made from the file name begin with the game ("Valorant 21h04"); they follow the new
        // name. A title the player wrote keeps its text.
        if (clip.title.starts_with(clip.game))
            clip.title = fmt::format("{}{}", game, std::string_view(clip.title).substr(clip.game.size()));
        clip.game = game;
    });
}

// --- Deferred deletion -------------------------------------------------------------------------------

Result<void> mark_deleted(PendingList& pending, fs::path const& folder, std::span<std::string const> ids,
    std::chrono::steady_clock::time_point now)
{
    // An id given twice is one clip: a second entry would only fail later with a false error.
    std::vector<std::string> unique;
    for (auto const& id : ids) {
        if (!contains(unique, id))
            unique.push_back(id);
    }
    for (auto const& id : unique) {
        if (!clip_path(folder, id))
            return fail(std::string(clip_gone_text));
    }
    pending.with([&](std::vector<PendingDelete>& list) {
        std::erase_if(
            list, [&](PendingDelete const& entry) { return entry.folder == folder && contains(unique, entry.id); });
        for (auto& id : unique)
            list.push_back(PendingDelete { std::move(id), now, folder });
    });
    return {};
}

void restore_deleted(PendingList& pending, std::span<std::string const> ids)
{
    pending.with([&](std::vector<PendingDelete>& list) {
        std::erase_if(list, [&](PendingDelete const& entry) { return contains(ids, entry.id); });
    });
}

std::vector<std::string> pending_ids(PendingList const& pending, fs::path const& folder)
{
    return pending.with([&](std::vector<PendingDelete> const& list) {
        std::vector<std::string> ids;
        for (auto const& entry : list) {
            if (entry.folder == folder)
                ids.push_back(entry.id);
        }
        return ids;
    });
}

std::vector<Clip> visible_clips(PendingList const& pending, fs::path const& folder)
{
    auto hidden = pending_ids(pending, folder);
    auto clips = list_clips(folder);
    std::erase_if(clips, [&](Clip const& clip) { return contains(hidden, clip.id); });
    return clips;
}

std::vector<std::string> purge_deleted(
    PendingList& pending, platform::Trash& trash, Force force, std::chrono::steady_clock::time_point now)
{
    auto due = pending.with([&](std::vector<PendingDelete>& list) {
        std::vector<PendingDelete> taken;
        std::vector<PendingDelete> waiting;
        for (auto& entry : list) {
            bool is_due = force == Force::Yes || now - entry.at >= std::chrono::seconds(trash_grace_secs);
            (is_due ? taken : waiting).push_back(std::move(entry));
        }
        list = std::move(waiting);
        return taken;
    });
    std::vector<std::string> errors;
    for (auto const& entry : due) {
        // Each clip goes to the trash from the folder it was marked in, even if the clips folder changed
        // since: a clip of the same name in the new folder is not the one the player deleted.
        auto moved = send_to_recycle_bin(trash, entry.folder, entry.id);
        if (!moved)
            errors.push_back(fmt::format("Corbeille impossible : {}", moved.error()));
    }
    return errors;
}

Result<void> send_to_recycle_bin(platform::Trash& trash, fs::path const& folder, std::string_view id)
{
    auto mp4 = clip_path(folder, id);
    if (!mp4)
        return fail(std::string(not_found_text));
    TRY_VOID(trash.move_to_trash(*mp4));
    // Only now that the MP4 is safely in the trash do its companions go. Under the sidecar lock, so an
    // edit that started before the move cannot write the sidecar back after its removal.
    detail::SidecarLock lock(folder);
    if (auto meta = open_meta_dir(folder)) {
        (void)meta->remove(std::string(id) + ".json");
        (void)meta->remove(std::string(id) + ".jpg");
    }
    return {};
}

// --- Retention ---------------------------------------------------------------------------------------

std::vector<std::string> retention_choice(
    std::vector<Clip> const& clips, RetentionLimits limits, std::chrono::system_clock::time_point now)
{
    struct Candidate {
        Clip const* clip;
        bool chosen;
    };
    std::vector<Candidate> candidates;
    for (auto const& clip : clips)
        candidates.push_back({ &clip, false });
    if (candidates.empty())
        return {};
    std::stable_sort(candidates.begin(), candidates.end(), [](Candidate const& a, Candidate const& b) {
        if (a.clip->created != b.clip->created)
            return a.clip->created < b.clip->created;
        return a.clip->id < b.clip->id;
    });
    // The newest clip always stays, so retention never empties the library.
    auto const protected_index = candidates.size() - 1;
    std::vector<std::string> chosen;

    if (limits.keep_days != 0) {
        auto now_secs = std::chrono::duration_cast<std::chrono::seconds>(now.time_since_epoch()).count();
        std::int64_t keep_secs = static_cast<std::int64_t>(limits.keep_days) * 86'400;
        std::uint64_t cutoff = now_secs > keep_secs ? static_cast<std::uint64_t>(now_secs - keep_secs) : 0;
        for (std::size_t i = 0; i < protected_index; ++i) {
            auto& candidate = candidates[i];
            if (candidate.clip->created < cutoff && !candidate.clip->favorite) {
                candidate.chosen = true;
                chosen.push_back(candidate.clip->id);
            }
        }
    }

    if (limits.max_gb != 0) {
        std::uint64_t const limit = static_cast<std::uint64_t>(limits.max_gb) * 1'000'000'000;
        // Saturating: sidecar sizes are not checked against the files and could add up past 64 bits.
        std::uint64_t total = 0;
        for (auto const& candidate : candidates) {
            if (!candidate.chosen)
                total = total > UINT64_MAX - candidate.clip->bytes ? UINT64_MAX : total + candidate.clip->bytes;
        }
        for (std::size_t i = 0; i < candidates.size(); ++i) {
            if (total <= limit)
                break;
            auto& candidate = candidates[i];
            if (candidate.clip->favorite || i == protected_index || candidate.chosen)
                continue;
            candidate.chosen = true;
            chosen.push_back(candidate.clip->id);
            total -= std::min(total, candidate.clip->bytes);
        }
    }
    return chosen;
}

std::vector<std::string> apply_retention(platform::Trash& trash, fs::path const& folder, RetentionLimits limits,
    std::span<std::string const> leave_alone, std::chrono::system_clock::time_point now)
{
    if (limits.keep_days == 0 && limits.max_gb == 0)
        return {};
    auto clips = list_clips(folder);
    // A video without a sidecar was not made here (the player's own films in a folder they chose): it is
    // listed and played, but retention never takes it nor counts it. A link in the hidden folder is no sidecar.
    std::set<std::string> sidecars;
    if (auto meta = open_meta_dir(folder)) {
        for (auto& entry : meta->entries().value_or(std::vector<files::Dir::Entry> {})) {
            if (entry.regular && entry.name.ends_with(".json"))
                sidecars.insert(std::move(entry.name));
        }
    }
    // Clips pending deletion are already going; a recording still growing is neither old nor finished.
    // Neither counts towards the total, and neither may become the protected newest clip.
    std::erase_if(clips, [&](Clip const& clip) {
        return contains(leave_alone, clip.id) || !sidecars.contains(clip.id + ".json");
    });
    // A sidecar says whatever its file says; one claiming an absurd size would send every other clip to the
    // trash. What counts is the space the MP4 really takes.
    for (auto& clip : clips) {
        std::error_code ec;
        auto bytes = fs::file_size(folder / (clip.id + ".mp4"), ec);
        clip.bytes = ec ? 0 : bytes;
    }
    std::vector<std::string> moved;
    for (auto& id : retention_choice(clips, limits, now)) {
        if (send_to_recycle_bin(trash, folder, id))
            moved.push_back(std::move(id));
    }
    return moved;
}

}
