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
constexpr std::string_view recording_busy_text = "Ce clip est en cours d'enregistrement.";
constexpr std::string_view no_player_text = "Aucune application ne sait ouvrir ce clip.";
constexpr std::string_view no_file_manager_text = "Aucun gestionnaire de fichiers pour montrer ce clip.";
constexpr std::string_view no_folder_opener_text = "Aucun gestionnaire de fichiers pour ouvrir ce dossier.";
constexpr std::string_view transcoder_missing_text = "Version légère impossible : aucun encodeur disponible";
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
    return std::string(utf8::first_chars(utf8::trim(text), max_chars));
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

// The clip being recorded is left out until it finishes: its growing file has neither index nor record, and
// would show as a broken clip of no game. Its "recording" event brings it, whenever the page was opened.
json clips_array(engine::Engine& engine)
{
    auto recording = engine.recording.with([](std::optional<engine::RecordingSlot> const& slot) {
        return slot ? slot->clip_id : std::string {};
    });
    json list = json::array();
    for (auto const& clip : library::visible_clips(engine.pending_deletions, engine.clips_dir())) {
        if (recording.empty() || clip.id != recording)
            list.push_back(library::clip_to_value(clip));
    }
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

// The id is not resolved here: the light copy does it, and its errors reach the page unchanged. The clip being
// recorded is refused first: its file has no index, so a transcoder would only fail on it after a while.
ApiResult copy_light(engine::Engine& engine, Platform const& platform, json const& params)
{
    auto id = TRY(param_id(params));
    TRY_VOID(refuse_recording_clip(engine, std::span(&id, 1)));
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

// As for a clip: a desktop without a file manager must not leave the button silent.
ApiResult open_folder(engine::Engine& engine, Platform const& platform)
{
    if (!platform.shell || !platform.shell->open(engine.clips_dir()))
        return fail(std::string(no_folder_opener_text));
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
        return fail(std::string(library::clip_gone_text));
    return *path;
}

std::string copy_error_text(std::string_view error) { return fmt::format("Copie impossible : {}", error); }

ApiResult state_value(engine::Engine& engine)
{
    auto settings = TRY(settings::settings_to_value(engine.settings_copy()));
    return json { { "settings", std::move(settings) }, { "clipsDir", engine.clips_dir().native() } };
}

namespace {

using Kind = shell::WindowCommand::Kind;

engine::Engine& engine_of(ApiCall const& call) { return *call.app.engine; }
Platform const& platform_of(ApiCall const& call) { return call.app.platform; }

// The page's whole API. Arguments are read by each method's own function, in the order its errors rank.
constexpr ApiMethod methods[] = {
    { "state", [](ApiCall const& c) { return state_value(engine_of(c)); } },
    { "clips", [](ApiCall const& c) -> ApiResult { return clips_array(engine_of(c)); } },
    { "status", [](ApiCall const& c) -> ApiResult { return status_value(engine_of(c)); } },
    { "caps", [](ApiCall const& c) -> ApiResult { return caps_value(c.app); } },
    { "meters", [](ApiCall const& c) { return meters(engine_of(c)); } },
    { "settings", [](ApiCall const& c) { return apply_settings(engine_of(c), platform_of(c), c.params); } },
    { "save",
        [](ApiCall const& c) -> ApiResult {
            auto& engine = engine_of(c);
            if (engine.actions.save_last_seconds)
                engine.actions.save_last_seconds(engine, param_secs(c.params));
            return json::object();
        } },
    { "record",
        [](ApiCall const& c) -> ApiResult {
            // The engine shows its own refusals to the player.
            if (engine_of(c).actions.toggle_recording)
                engine_of(c).actions.toggle_recording(c.app.engine);
            return json::object();
        } },
    { "suspend", [](ApiCall const& c) { return suspend(engine_of(c), c.params); } },
    { "rename",
        [](ApiCall const& c) {
            return edit_text(
                engine_of(c), c.params, "title", library::title_max_chars, "Le titre est vide.", &library::set_title);
        } },
    { "game",
        [](ApiCall const& c) {
            return edit_text(
                engine_of(c), c.params, "game", max_game_chars, "Le nom du jeu est vide.", &library::set_game);
        } },
    { "favorite", [](ApiCall const& c) { return favorite(engine_of(c), c.params); } },
    { "delete", [](ApiCall const& c) { return delete_clips(engine_of(c), c.params); } },
    { "restore", [](ApiCall const& c) { return restore_clips(engine_of(c), c.params); } },
    { "trim", [](ApiCall const& c) { return trim_clip(engine_of(c), c.params); } },
    { "copy", [](ApiCall const& c) { return copy_clip(engine_of(c), platform_of(c), c.params); } },
    { "copy-light", [](ApiCall const& c) { return copy_light(engine_of(c), platform_of(c), c.params); } },
    { "reveal",
        [](ApiCall const& c) { return shell_clip(engine_of(c), platform_of(c), c.params, ShellAction::Reveal); } },
    { "open", [](ApiCall const& c) { return shell_clip(engine_of(c), platform_of(c), c.params, ShellAction::Open); } },
    { "open-folder", [](ApiCall const& c) { return open_folder(engine_of(c), platform_of(c)); } },
    { "pick-folder",
        [](ApiCall const& c) -> ApiResult {
            auto const& shell = platform_of(c).shell;
            return one_text("path", shell ? shell->pick_folder() : std::nullopt);
        } },
    { "paste",
        [](ApiCall const& c) -> ApiResult {
            auto const& clipboard = platform_of(c).clipboard;
            return one_text("text", clipboard ? clipboard->text() : std::nullopt);
        } },
    { "theme", [](ApiCall const& c) { return window_command(c.job, Kind::Theme, param_bool(c.params, "dark")); } },
    { "fullscreen",
        [](ApiCall const& c) { return window_command(c.job, Kind::Fullscreen, param_bool(c.params, "v")); } },
    { "ready", [](ApiCall const& c) { return window_command(c.job, Kind::Ready, false); } },
};

}

std::span<ApiMethod const> api_methods() { return methods; }

ApiResult dispatch_api_method(App& app, PageJob const& job, std::string_view method, json const& params)
{
    // The names are compared whole and byte for byte: another case or a trailing space is unknown.
    auto found = std::ranges::find(methods, method, &ApiMethod::name);
    if (found == std::end(methods))
        return fail(std::string(unknown_method_text));
    return found->answer(ApiCall { app, job, params });
}

}
