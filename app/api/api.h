#pragma once
// The JSON API of the page: one method name and its parameters in, a value or the player's error text out.
// Runs on a page worker, up to four calls at once; methods reach the program only through the App and keep
// no state of their own, except the capabilities cache that lives in the App.

#include <chrono>
#include <cstdint>
#include <expected>
#include <filesystem>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "base/result.h"
#include "base/threads.h"
#include "platform/audio_source.h"
#include "platform/capture.h"

namespace engine {
class Engine;
}
namespace platform {
struct EncoderDriver;
class Clipboard;
class DesktopShell;
class Transcoder;
}

namespace api {

struct App;
struct PageJob;

using ApiResult = std::expected<nlohmann::json, std::string>;

// What the methods need of the desktop beyond the engine: the drivers "caps" asks, the clipboard, the shell,
// the transcoder of the light copy, and where the autostart entry and the default clips folder live. The
// shell fills it with the real drivers; tests with their own. A driver left empty makes its method answer as
// when the desktop refuses.
struct Platform {
    platform::CaptureDriver const* capture { nullptr };
    platform::EncoderDriver const* encoder { nullptr };
    platform::AudioDriver const* audio { nullptr };
    std::shared_ptr<platform::Clipboard> clipboard;
    std::shared_ptr<platform::DesktopShell> shell;
    std::shared_ptr<platform::Transcoder> transcoder; // called by up to four workers at once
    std::filesystem::path autostart_home; // $XDG_CONFIG_HOME
    std::filesystem::path executable;     // what the autostart entry starts
    std::optional<std::filesystem::path> videos_dir;
};

// One call of a method: the program, the request it came in, and its parameters.
struct ApiCall {
    App& app;
    PageJob const& job;
    nlohmann::json const& params;
};

// A method of the API: the name the page calls it by, and what answers it.
struct ApiMethod {
    std::string_view name;
    ApiResult (*answer)(ApiCall const& call);
};

inline constexpr std::string_view unknown_method_text = "méthode inconnue";

// Every method of the API, each name once.
std::span<ApiMethod const> api_methods();

// Runs the method of that name (compared whole and byte for byte), or answers unknown_method_text.
ApiResult dispatch_api_method(App& app, PageJob const& job, std::string_view method, nlohmann::json const& params);

// The "id" parameter (a JSON string), or "identifiant manquant".
Result<std::string> param_id(nlohmann::json const& params);
// The string items of the "ids" array in order (other items skipped), or "identifiant manquant" when
// there is no such array or it holds no string.
Result<std::vector<std::string>> param_ids(nlohmann::json const& params);
// The MP4 named by "id" in the clips folder in force, or "Ce clip n'existe plus.".
Result<std::filesystem::path> param_clip(engine::Engine& engine, nlohmann::json const& params);

// "Copie impossible : {}".
std::string copy_error_text(std::string_view error);

// -- Status, capabilities, settings ------------------------------------------------------------------------

// What this machine offers the settings view.
struct Caps {
    std::vector<std::string> codecs; // "H264", "Hevc", "Av1": a codec counts when some encoder for it opens
    std::uint32_t monitor_width { 1920 };
    std::uint32_t monitor_height { 1080 };
    std::uint32_t monitor_hz { 60 };
    std::vector<platform::MonitorInfo> monitors; // primary first
    std::vector<platform::AudioDevice> microphones;
    std::vector<platform::AudioDevice> outputs;
};

inline constexpr std::chrono::seconds caps_lifetime { 20 };

// The last capabilities reply, for the monitor setting it was built for.
struct CapsCache {
    std::optional<std::string> key;
    std::chrono::steady_clock::time_point taken_at;
    std::shared_ptr<Caps const> record;
};

// The live state of capture, the buffer and the recording.
nlohmann::json status_value(engine::Engine& engine);
// The cached capabilities when they are younger than 20 s and were built for the monitor setting in force;
// else built again from the drivers (outside every lock) and stored.
nlohmann::json caps_value(App& app);
Caps build_caps(Platform const& platform, std::optional<std::string> const& monitor);
nlohmann::json caps_to_value(Caps const& caps);
nlohmann::json audio_devices_to_value(std::vector<platform::AudioDevice> const& devices);
// Takes a whole settings object, saves it, then applies what changed to the running engine.
ApiResult apply_settings(engine::Engine& engine, Platform const& platform, nlohmann::json const& params);
// {"settings", "clipsDir"}: the settings and the clips folder in force.
ApiResult state_value(engine::Engine& engine);

}
