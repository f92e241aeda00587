#include "app/api/api.h"

#include <algorithm>
#include <chrono>

#include "app/api/page_server.h"
#include "app/hotkeys.h"
#include "app/main.h"
#include "base/utf8.h"
#include "engine/engine.h"
#include "engine/export.h"
#include "engine/trim.h"
#include "library/library.h"
#include "platform/clipboard.h"
#include "platform/shell.h"
#include "platform/transcode.h"

namespace api {

namespace {

using json = nlohmann::json;

constexpr std::string_view missing_id_text = "identifiant manquant";
constexpr std::string_view gone_text = "Ce clip n'existe plus.";
constexpr std::string_view recording_busy_text = "Ce clip est en cours d'enregistrement.";
constexpr std::string_view no_player_text = "Aucune application ne sait ouvrir ce clip.";
constexpr std::string_view no_file_manager_text = "Aucun gestionnaire de fichiers pour montrer ce clip.";
constexpr std::string_view transcoder_missing_text = "Version légère impossible : aucun encodeur disponible";
constexpr std::size_t max_title_chars = 120;
constexpr std::size_t max_game_chars = 60;
constexpr std::uint32_t default_save_secs = 30;

json const* member(json const& params, char const* key)
{
    if (!params.is_object())
        return nullptr;
    auto found = params.find(key);
    return found == params.end() ? nullptr : &*found;
}

bool param_bool(json const& params, char const* key)
{
    auto const* value = member(params, key);
    return value && value->is_boolean() && value->get<bool>();
}

// Any JSON number, integer or not; absent gives 0.
double param_number(json const& params, char const* key)
{
    auto const* value = member(params, key);
    return value && value->is_number() ? value->get<double>() : 0.0;
}

std::string param_text(json const& params, char const* key)
{
    auto const* value = member(params, key);
    return value && value->is_string() ? value->get<std::string>() : std::string {};
}

// Only a non-negative integer counts; it is taken as its low 32 bits.
std::uint32_t param_secs(json const& params)
{
    auto const* value = member(params, "secs");
    if (!value || !value->is_number_unsigned())
        return default_save_secs;
    return static_cast<std::uint32_t>(value->get<std::uint64_t>());
}

// Surrounding white space off, then at most max_chars characters (Unicode scalar values).
std::string trimmed_prefix(std::string_view text, std::size_t max_chars)
{
    std::size_t begin = text.size();
    std::size_t end = 0;
    for (std::size_t i = 0; i < text.size();) {
        std::size_t at = i;
        if (!utf8::is_space(utf8::next(text, i))) {
            begin = std::min(begin, at);
            end = i;
        }
    }
    if (begin >= end)
        return {};
    std::string_view inner = text.substr(begin, end - begin);
    std::size_t i = 0;
    for (std::size_t chars = 0; i < inner.size() && chars < max_chars; ++chars)
        utf8::next(inner, i);
    return std::string(inner.substr(0, i));
}

// Edits and deletion of the clip still being written would be lost or break it: its file grows and its
// record is written when it finishes.
Result<void> refuse_recording_clip(engine::Engine& engine, std::span<std::string const> ids)
{
    bool busy = engine.recording.with([&](std::optional<engine::RecordingSlot> const& slot) {
        return slot && !slot->clip_id.empty() && std::ranges::find(ids, slot->clip_id) != ids.end();
    });
    if (busy)
        return fail(std::string(recording_busy_text));
    return {};
}

// The clip being recorded has no index until it finishes: a player or a paste would get a file nothing reads.
Result<std::filesystem::path> param_finished_clip(engine::Engine& engine, json const& params)
{
    auto path = TRY(param_clip(engine, params));
    auto id = TRY(param_id(params));
    TRY_VOID(refuse_recording_clip(engine, std::span(&id, 1)));
    return path;
}

ApiResult clip_reply(Result<library::Clip> clip)
{
    if (!clip)
        return fail(std::move(clip).error());
    return library::clip_to_value(*clip);
}

json clips_array(engine::Engine& engine)
{
    json list = json::array();
    for (auto const& clip : library::visible_clips(engine.pending_deletions, engine.clips_dir()))
        list.push_back(library::clip_to_value(clip));
    return list;
}

using TextEdit = Result<library::Clip> (*)(std::filesystem::path const&, std::string_view, std::string_view);

// "rename" and "game": the text is checked before the id.
ApiResult edit_text(engine::Engine& engine, json const& params, char const* key, std::size_t max_chars,
                    std::string_view empty_text, TextEdit edit)
{
    auto text = trimmed_prefix(param_text(params, key), max_chars);
    if (text.empty())
        return fail(std::string(empty_text));
    auto id = TRY(param_id(params));
    TRY_VOID(refuse_recording_clip(engine, std::span(&id, 1)));
    return clip_reply(edit(engine.clips_dir(), id, text));
}

ApiResult favorite(engine::Engine& engine, json const& params)
{
    bool on = param_bool(params, "v");
    auto id = TRY(param_id(params));
    TRY_VOID(refuse_recording_clip(engine, std::span(&id, 1)));
    return clip_reply(library::set_favorite(engine.clips_dir(), id, on));
}

ApiResult delete_clips(engine::Engine& engine, json const& params)
{
    auto ids = TRY(param_ids(params));
    TRY_VOID(refuse_recording_clip(engine, ids));
    TRY_VOID(library::mark_deleted(engine.pending_deletions, engine.clips_dir(), ids, std::chrono::steady_clock::now()));
    return json::object();
}

ApiResult restore_clips(engine::Engine& engine, json const& params)
{
    auto ids = TRY(param_ids(params));
    library::restore_deleted(engine.pending_deletions, ids);
    return json { { "clips", clips_array(engine) } };
}

ApiResult meters(engine::Engine& engine)
{
    auto& shared = *engine.shared;
    std::uint32_t output = shared.output_meter.exchange(0);
    std::uint32_t mic = shared.mic_meter.exchange(0);
    return json::array({ output, mic });
}

ApiResult suspend(engine::Engine& engine, json const& params)
{
    bool paused = param_bool(params, "v");
    if (auto keys = engine.hotkeys.copy())
        keys->set_paused(paused);
    return json::object();
}

Result<void> put_on_clipboard(Platform const& platform, std::filesystem::path const& path)
{
    std::error_code ec;
    auto absolute = std::filesystem::absolute(path, ec);
    if (ec)
        absolute = path;
    if (!platform.clipboard)
        return fail(copy_error_text(platform::clipboard_unavailable_text));
    if (auto put = platform.clipboard->put_file(absolute); !put)
        return fail(copy_error_text(put.error()));
    return {};
}

ApiResult copy_clip(engine::Engine& engine, Platform const& platform, json const& params)
{
    auto path = TRY(param_finished_clip(engine, params));
    TRY_VOID(put_on_clipboard(platform, path));
    return json::object();
}

// The bounds are read before the id, so a missing id is the only error the page sees for a bad call. The new
// clip reaches the page as this reply only: no clip event is sent for it.
ApiResult trim_clip(engine::Engine& engine, json const& params)
{
    double from = param_number(params, "from");
    double to = param_number(params, "to");
    auto id = TRY(param_id(params));
    TRY_VOID(refuse_recording_clip(engine, std::span(&id, 1)));
    return clip_reply(trim::cut_clip(engine, id, from, to));
}

// The id is not resolved here: the light copy does it, and its errors reach the page unchanged.
ApiResult copy_light(engine::Engine& engine, Platform const& platform, json const& params)
{
    auto id = TRY(param_id(params));
    if (!platform.transcoder)
        return fail(std::string(transcoder_missing_text));
    auto copy = TRY(light_copy::make_light_copy(engine, id, *platform.transcoder));
    TRY_VOID(put_on_clipboard(platform, copy.path));
    return json { { "bytes", copy.bytes } };
}

// {key: text}, or {key: null} when there is none.
json one_text(char const* key, std::optional<std::string> const& text)
{
    return json { { key, text ? json(*text) : json(nullptr) } };
}

enum class ShellAction { Open, Reveal };

ApiResult shell_clip(engine::Engine& engine, Platform const& platform, json const& params, ShellAction action)
{
    // Showing the clip in its folder is harmless while it grows; opening it is not.
    auto path = TRY(action == ShellAction::Open ? param_finished_clip(engine, params) : param_clip(engine, params));
    // A bare window manager may have no player or file manager at all: the page must say so.
    bool shown = platform.shell
        && (action == ShellAction::Open ? platform.shell->open(path) : platform.shell->reveal(path)).has_value();
    if (!shown)
        return fail(std::string(action == ShellAction::Open ? no_player_text : no_file_manager_text));
    return json::object();
}

ApiResult open_folder(engine::Engine& engine, Platform const& platform)
{
    if (platform.shell)
        (void)platform.shell->open(engine.clips_dir());
    return json::object();
}

// A window that is gone (the event loop ended) loses the command; the page is answered all the same.
ApiResult window_command(PageJob const& job, shell::WindowCommand::Kind kind, bool on)
{
    if (job.proxy)
        (void)job.proxy->send(shell::UserEvent { shell::UserEvent::Window { shell::WindowCommand { kind, on } } });
    return json::object();
}

}

Result<std::string> param_id(json const& params)
{
    auto const* value = member(params, "id");
    if (!value || !value->is_string())
        return fail(std::string(missing_id_text));
    return value->get<std::string>();
}

Result<std::vector<std::string>> param_ids(json const& params)
{
    auto const* value = member(params, "ids");
    std::vector<std::string> ids;
    if (value && value->is_array()) {
        for (auto const& item : *value) {
            if (item.is_string())
                ids.push_back(item.get<std::string>());
        }
    }
    if (ids.empty())
        return fail(std::string(missing_id_text));
    return ids;
}

Result<std::filesystem::path> param_clip(engine::Engine& engine, json const& params)
{
    auto id = TRY(param_id(params));
    auto path = library::clip_path(engine.clips_dir(), id);
    if (!path)
        return fail(std::string(gone_text));
    return *path;
}

std::string copy_error_text(std::string_view error) { return fmt::format("Copie impossible : {}", error); }

ApiResult state_value(engine::Engine& engine)
{
    auto settings = TRY(settings::settings_to_value(engine.settings_copy()));
    return json { { "settings", std::move(settings) }, { "clipsDir", engine.clips_dir().native() } };
}

ApiResult dispatch_api_method(App& app, PageJob const& job, std::string_view method, json const& params)
{
    auto& engine = *app.engine;
    auto const& platform = app.platform;
    using Kind = shell::WindowCommand::Kind;
    // The names are compared whole and byte for byte: another case or a trailing space is unknown.
    if (method == "state")
        return state_value(engine);
    if (method == "clips")
        return clips_array(engine);
    if (method == "status")
        return status_value(engine);
    if (method == "caps")
        return caps_value(app);
    if (method == "meters")
        return meters(engine);
    if (method == "settings")
        return apply_settings(engine, platform, params);
    if (method == "save") {
        if (engine.actions.save_last_seconds)
            engine.actions.save_last_seconds(engine, param_secs(params));
        return json::object();
    }
    if (method == "record") {
        // The engine shows its own refusals to the player.
        if (engine.actions.toggle_recording)
            engine.actions.toggle_recording(app.engine);
        return json::object();
    }
    if (method == "suspend")
        return suspend(engine, params);
    if (method == "rename")
        return edit_text(engine, params, "title", max_title_chars, "Le titre est vide.", &library::set_title);
    if (method == "game")
        return edit_text(engine, params, "game", max_game_chars, "Le nom du jeu est vide.", &library::set_game);
    if (method == "favorite")
        return favorite(engine, params);
    if (method == "delete")
        return delete_clips(engine, params);
    if (method == "restore")
        return restore_clips(engine, params);
    if (method == "trim")
        return trim_clip(engine, params);
    if (method == "copy")
        return copy_clip(engine, platform, params);
    if (method == "copy-light")
        return copy_light(engine, platform, params);
    if (method == "reveal")
        return shell_clip(engine, platform, params, ShellAction::Reveal);
    if (method == "open")
        return shell_clip(engine, platform, params, ShellAction::Open);
    if (method == "open-folder")
        return open_folder(engine, platform);
    if (method == "pick-folder")
        return one_text("path", platform.shell ? platform.shell->pick_folder() : std::nullopt);
    if (method == "paste")
        return one_text("text", platform.clipboard ? platform.clipboard->text() : std::nullopt);
    if (method == "theme")
        return window_command(job, Kind::Theme, param_bool(params, "dark"));
    if (method == "fullscreen")
        return window_command(job, Kind::Fullscreen, param_bool(params, "v"));
    if (method == "ready")
        return window_command(job, Kind::Ready, false);
    return fail("méthode inconnue");
}

}
