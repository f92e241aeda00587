#pragma once
// The player's settings: a plain value record with its companion types, the default record, the clamping
// every record passes before use, and the two JSON forms (the settings.json file and the page API's value).
//
// Ownership and threads: a Settings value owns its strings, path and slot list; copies are deep and
// independent. The engine keeps the one current record under its settings lock and hands out copies; none of
// the functions here touch shared state, so any thread may call them. None throws: readers and writers
// report failures as values.

#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json_fwd.hpp>

#include "base/codec.h"
#include "base/result.h"

namespace settings {

// Each enumeration is stored in one byte; the numbers are part of the stored form and never change.
enum class Resolution : std::uint8_t { P720 = 0, P1080 = 1, P1440 = 2, P2160 = 3, Source = 4 };
enum class Quality : std::uint8_t { Compact = 0, Standard = 1, High = 2 };
enum class Theme : std::uint8_t { System = 0, Light = 1, Dark = 2 };

// One global shortcut. mods uses the Windows modifier bits (Alt 1, Ctrl 2, Shift 4) and vk the Windows
// virtual-key code, because that is how the page and settings.json spell keys; the hotkeys layer maps them.
struct Hotkey {
    std::uint32_t mods { 0 };
    std::uint32_t vk { 0 };
    std::string label; // shown to the player, also to name a key whose registration failed

    bool operator==(Hotkey const&) const = default;
};

// One save shortcut: the seconds saved when pressed. A slot without a key is kept and shown but grabs nothing.
struct Slot {
    std::uint32_t secs { 0 };
    std::optional<Hotkey> key;

    bool operator==(Slot const&) const = default;
};

constexpr std::uint32_t min_slot_secs = 5;
constexpr std::uint32_t max_slot_secs = 1200;
constexpr std::uint32_t min_fps = 15;
constexpr std::uint32_t max_fps = 240;
constexpr float max_volume = 2.0f;

// F6 30 s, F7 60 s, F8 90 s, F9 120 s, no modifiers: the defaults, and what an empty list becomes.
std::vector<Slot> default_slots();

// Field order is the order of the settings.json keys. A default-constructed Settings is the default record.
struct Settings {
    std::vector<Slot> slots { default_slots() };
    std::optional<Hotkey> record_key { Hotkey { 0, 0x79, "F10" } }; // absent: no record key
    Resolution resolution { Resolution::P1080 }; // target height; the engine only scales down
    std::uint32_t fps { 60 };
    Codec codec { Codec::H264 };
    Quality quality { Quality::Standard };
    bool game_audio { true }; // loopback of the output device
    bool mic_audio { true };
    std::optional<std::string> mic_device; // absent: the default microphone
    std::optional<std::string> output_device; // absent: the default output
    float game_volume { 1.0f }; // linear gain, 0.0 to 2.0
    float mic_volume { 1.0f };
    std::optional<std::string> monitor; // absent: the primary monitor
    std::optional<std::filesystem::path> clips_dir; // absent: the default clips folder
    bool autostart { false };
    Theme theme { Theme::System };
    bool in_game_toast { true };
    bool capture_desktop { false }; // keep capturing while no game is in front
    std::uint32_t keep_days { 0 }; // retention by age, 0 = off
    std::uint32_t max_gb { 0 }; // retention by total size in 10^9 bytes, 0 = off

    static Settings defaults() { return Settings {}; }
    Settings clone() const { return *this; }
    bool operator==(Settings const&) const = default;
};

// Applies the limits: an empty slot list becomes the default slots, slot seconds are clamped to 5..1200, fps to
// 15..240, a non-finite volume becomes 1.0 and a finite one is clamped to 0.0..2.0, and a clips folder that
// check_clips_dir refuses (with the same own folders) becomes the default folder. Nothing else changes.
Settings sanitize(Settings settings, std::span<std::filesystem::path const> own_folders = {});

// A clips folder must be an absolute path of valid UTF-8 without NUL: a relative one would follow the working
// folder, and a NUL would cut the path short for every system call. Nor may it be, or lie inside, a ".quillmar"
// folder (the sidecars and thumbnails of some clips folder) or one of `own_folders`, the program's own config,
// data and cache folders: the light copies' folder there clears files over a day old, and the library would
// list clips among the program's files. Both sides are compared with their links followed and normalised, so
// a link into the cache folder counts as the cache folder. The error is the player's French text.
Result<void> check_clips_dir(
    std::filesystem::path const& folder, std::span<std::filesystem::path const> own_folders = {});

// Same length and, slot by slot, the same seconds and the same key (both absent, or equal mods, vk, label).
bool slots_equal(std::span<Slot const> a, std::span<Slot const> b);

// ---- JSON forms ----------------------------------------------------------------------------------------------
// (Callers of the value-tree functions include <nlohmann/json.hpp>; this header only declares nlohmann::json.)
//
// settings.json: one object, pretty with two spaces of indent, keys in the record's field order, every key
// always written (an absent option as null), enumerations by name ("P1080", "Hevc", "Standard", "Dark"),
// volumes as the shortest text that reads back to the same float, no byte-order mark and no final line break.
// The API form is a nlohmann::json value tree (its objects keep keys in ascending byte order, and its compact
// dump is what the page receives), volumes widened to double.
//
// Both readers follow the same rules: a Settings object takes every missing key from the default record and
// skips unknown keys; a Settings array takes fields by position; a known key given twice is refused; Slot and
// Hotkey objects need their required keys; enumerations are a name or a one-key object {"Name": null}. The
// first error ends the read and its text is fixed for the cases the page can meet, e.g.
//   "duplicate field `fps`", "missing field `secs`", "invalid length 1, expected struct Slot with 2 elements",
//   "unknown variant `p1440`, expected one of `P720`, `P1080`, `P1440`, `P2160`, `Source`",
//   "invalid type: floating point `30.7`, expected u32", "invalid value: integer `-5`, expected u32".
// The text readers also refuse a byte-order mark, anything but whitespace after the value, and nesting deeper
// than 128 arrays or objects.

// A codec's name as both JSON forms store it ("H264", "Hevc", "Av1").
std::string_view codec_name(Codec codec);

// Text readers (the settings.json side). deserialize_hotkey gives nullopt for the text "null".
Result<Settings> deserialize_settings(std::string_view text);
Result<Slot> deserialize_slot(std::string_view text);
Result<std::optional<Hotkey>> deserialize_hotkey(std::string_view text);
Result<Resolution> deserialize_resolution(std::string_view text);
Result<Codec> deserialize_codec(std::string_view text);
Result<Quality> deserialize_quality(std::string_view text);
Result<Theme> deserialize_theme(std::string_view text);

// The value-tree reader (the API side: the request body of the "settings" method).
Result<Settings> settings_from_value(nlohmann::json const& value);

// The API form. Fails only with "path contains invalid UTF-8 characters", when clips_dir is not valid UTF-8.
// Other strings that are not valid UTF-8 (never produced by the readers) have their bad bytes replaced by
// U+FFFD, so that dumping the value can never throw.
Result<nlohmann::json> settings_to_value(Settings const& settings);
// The whole settings.json text; fails as settings_to_value does.
Result<std::string> settings_to_file_text(Settings const& settings);

// data_dir / "settings.json".
std::filesystem::path settings_path(std::filesystem::path const& data_dir);

// Reads data_dir/settings.json. A missing or unreadable file, or any reader error, gives the default record,
// silently; the file is left as it is. The caller sanitises the result.
Settings load(std::filesystem::path const& data_dir);

// Writes the file form to settings.json.tmp beside `path` (created afresh, never through a link), flushes it to
// disk (fdatasync), renames it over `path` and syncs the folder, so that a crash or power cut leaves either the former file or the new one, never an empty one.
// Errors: the writer's UTF-8 error (nothing written), or "Réglages : {}" with the system error text; then the
// temporary file stays as far as it was written and `path` keeps its former content. Saves from several threads
// are serialised (one process-wide mutex held for the write, sync and rename; it takes no other lock), so the
// file always holds one whole record; call it without holding the engine's locks.
Result<void> save(std::filesystem::path const& path, Settings const& settings);

}
