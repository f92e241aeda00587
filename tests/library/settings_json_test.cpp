#include "library/settings.h"

#include <cmath>
#include <limits>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "tests/support/temp_dir.h"

using settings::Hotkey;
using settings::Settings;
using settings::Slot;
using testing_support::TempDirTest;
using namespace std::string_literals;

namespace {

// A record that differs from the defaults in every field, with strings that need escaping: each control
// character, quotes and backslashes, and text past ASCII. A string written unescaped or cut short does not read back.
Settings unusual_record()
{
    Settings record;
    record.slots = { Slot { 45, std::nullopt },
        Slot { 1200, Hotkey { 7, 0x41, "Ctrl+Alt+Shift+\"A\"\\\b\f\n\r\t\x01\x1f\x7f/\0\xF0\x9F\x8E\xAE"s } } };
    record.record_key.reset();
    record.resolution = settings::Resolution::P2160;
    record.fps = 144;
    record.codec = Codec::Hevc;
    record.quality = settings::Quality::High;
    record.game_audio = false;
    record.mic_audio = false;
    record.mic_device = "alsa_input.usb-Éclair_Micro";
    record.output_device = "alsa_output.pci-0000_00_1f.3.analog-stereo";
    record.game_volume = 0.8f;
    record.mic_volume = 0.33f;
    record.monitor = "HDMI-1";
    record.clips_dir = "/home/joueur/Vidéos/quill clips";
    record.autostart = true;
    record.theme = settings::Theme::Dark;
    record.in_game_toast = false;
    record.capture_desktop = true;
    record.keep_days = 30;
    record.max_gb = 4294967295u;
    return record;
}

}

TEST(SettingsFileForm, WritesShortestFloatText)
{
    struct Row {
        float volume;
        char const* text;
    };
    Row const rows[] = { { 1.0f, "1.0" }, { 0.8f, "0.8" }, { 0.0f, "0.0" }, { 0.33f, "0.33" }, { 1e-5f, "0.00001" },
        { 1e-6f, "0.000001" }, { 1e-7f, "1e-7" }, { 1.25e-7f, "1.25e-7" }, { 123456.7f, "123456.7" },
        { 1.5e20f, "1.5e20" }, { -0.5f, "-0.5" }, { std::nanf(""), "null" } };
    for (auto const& row : rows) {
        SCOPED_TRACE(row.text);
        Settings record;
        record.game_volume = row.volume;
        auto text = settings::settings_to_file_text(record);
        ASSERT_TRUE(text);
        EXPECT_NE(text->find(fmt::format("\"gameVolume\": {},\n", row.text)), std::string::npos) << *text;
    }
}

// A clips folder read from settings.json that is not an absolute path of valid UTF-8 without NUL gives the default
// folder: a relative one would follow the working folder, a NUL would cut the path short. So does a ".quillmar"
// folder, or one of the program's own folders or a folder inside one, reached through a link or not.
using SettingsSanitize = TempDirTest;
TEST_F(SettingsSanitize, UnusableClipsFolderBecomesTheDefault)
{
    auto const cache = dir() / "cache" / "quill.mar";
    std::filesystem::create_directories(cache / "discord");
    std::filesystem::create_directory_symlink(cache, dir() / "raccourci");
    std::vector<std::filesystem::path> const own { dir() / "config" / "quill.mar", cache };
    auto quoted = [](std::filesystem::path const& path) { return nlohmann::json(path.native()).dump(); };
    std::pair<std::string, std::optional<std::string>> const rows[] = {
        { R"("")", std::nullopt },
        { R"("rel-clips")", std::nullopt },
        { R"("..")", std::nullopt },
        { R"("/home/joueur\u0000/clips")", std::nullopt },
        { R"("/home/joueur/Vidéos/../clips")", "/home/joueur/Vidéos/../clips" },
        { "null", std::nullopt },
        { R"("/home/joueur/Vidéos/quill.mar/.quillmar")", std::nullopt },
        { R"("/home/joueur/Vidéos/quill.mar/.quillmar/anciens")", std::nullopt },
        { R"("/home/joueur/Vidéos/quill.mar/.quillmar-anciens")", "/home/joueur/Vidéos/quill.mar/.quillmar-anciens" },
        { quoted(cache / "discord"), std::nullopt },
        { quoted(dir() / "config" / "quill.mar"), std::nullopt },
        { quoted(dir() / "raccourci" / "clips"), std::nullopt },
        { quoted(dir() / "cache" / "quill.mar.clips"), (dir() / "cache" / "quill.mar.clips").native() },
    };
    for (auto const& [json, expected] : rows) {
        SCOPED_TRACE(json);
        auto read = settings::deserialize_settings(R"({"clipsDir": )" + json + "}");
        ASSERT_TRUE(read) << read.error();
        auto clean = settings::sanitize(*read, own);
        EXPECT_EQ(clean.clips_dir, expected ? std::optional<std::filesystem::path>(*expected) : std::nullopt);
    }
    Settings odd;
    odd.clips_dir = std::filesystem::path("/x/\xc3");
    EXPECT_EQ(settings::sanitize(odd).clips_dir, std::nullopt);
}

TEST(SettingsForms, BothFormsReadBackToAnEqualRecord)
{
    auto const record = unusual_record();
    EXPECT_EQ(settings::sanitize(record), record); // in range everywhere: sanitising changes nothing
    auto text = settings::settings_to_file_text(record);
    ASSERT_TRUE(text) << text.error();
    auto from_text = settings::deserialize_settings(*text);
    ASSERT_TRUE(from_text) << from_text.error();
    EXPECT_EQ(*from_text, record);

    auto value = settings::settings_to_value(record);
    ASSERT_TRUE(value) << value.error();
    EXPECT_EQ((*value)["gameVolume"].dump(), "0.800000011920929"); // the float widened, not rounded
    auto from_value = settings::settings_from_value(*value);
    ASSERT_TRUE(from_value) << from_value.error();
    EXPECT_EQ(*from_value, record);
    // What the page receives is the dump; read it back as text too.
    auto from_dump = settings::deserialize_settings(value->dump());
    ASSERT_TRUE(from_dump) << from_dump.error();
    EXPECT_EQ(*from_dump, record);

    Settings empty_slots;
    empty_slots.slots.clear();
    auto empty_text = settings::settings_to_file_text(empty_slots);
    ASSERT_TRUE(empty_text);
    EXPECT_NE(empty_text->find("  \"slots\": [],\n"), std::string::npos);
    EXPECT_EQ(settings::deserialize_settings(*empty_text).value(), empty_slots);
}

// Each bad byte becomes one U+FFFD and the text after it is kept, in both forms.
TEST(SettingsForms, InvalidStringsAndInfiniteVolumesStillDump)
{
    Settings record;
    record.monitor = std::string("DP-\xff\xE2\x82-1\xC0\x80");
    std::string const repaired = "DP-\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD-1\xEF\xBF\xBD\xEF\xBF\xBD";
    auto text = settings::settings_to_file_text(record);
    ASSERT_TRUE(text);
    EXPECT_EQ(settings::deserialize_settings(*text).value().monitor, repaired);
    record.mic_volume = std::numeric_limits<float>::infinity();
    auto value = settings::settings_to_value(record);
    ASSERT_TRUE(value);
    EXPECT_EQ((*value)["monitor"], repaired);
    EXPECT_TRUE((*value)["micVolume"].is_null());
    EXPECT_NO_THROW((void)value->dump());
}

TEST(SettingsTextReader, ReadsWholeRecordsInEveryForm)
{
    auto read = [](std::string_view text) {
        auto result = settings::deserialize_settings(text);
        EXPECT_TRUE(result) << text << ": " << result.error();
        return result.value_or(Settings {});
    };
    EXPECT_EQ(read(" \t\r\n[]\r\n\t "), Settings::defaults()); // an empty object is the field table's

    auto fps = Settings::defaults();
    fps.fps = 30;
    EXPECT_EQ(read(R"({"junk": 1, "junk": 2, "fps": 30, "frameRate": [1, {"x": null}]})"), fps); // unknown keys may repeat

    // By position: the first fields, the rest at their defaults.
    auto positional = Settings::defaults();
    positional.slots = { Slot { 45, std::nullopt } };
    positional.record_key.reset();
    positional.resolution = settings::Resolution::P720;
    positional.fps = 30;
    EXPECT_EQ(read(R"([[[45, null]], null, "P720", 30])"), positional);
}

// One field at a time, as both readers take it and as sanitising then leaves it (its limits, the default slots for
// an empty list, 1.0 for a volume that is not finite), while every other field keeps its default.
TEST(SettingsReaders, ReadAndSanitiseEachField)
{
    auto const defaults = settings::settings_to_value(Settings::defaults()).value();
    struct Row {
        char const* key;
        char const* input;
        nlohmann::json expected; // the field in the API form of the sanitised record
    };
    Row const rows[] = {
        { "fps", "0", 15 },
        { "fps", "241", 240 },
        { "gameVolume", "1", 1.0 },
        { "gameVolume", "-0.5", 0.0 },
        { "micVolume", "2.5", 2.0 },
        { "gameVolume", "1e300", 1.0 },
        { "recordKey", "null", nullptr },
        { "resolution", R"({"P1440": null})", "P1440" },
        { "resolution", R"("P1440")", "P1440" },
        { "slots", "[]", defaults["slots"] },
        { "slots", R"([{"secs": 45}, [4, null], {"key": null, "secs": 4294967295, "extra": true}, [10, [4, 65, "A"]]])",
            nlohmann::json::parse(R"([{"key": null, "secs": 45}, {"key": null, "secs": 5}, {"key": null, "secs": 1200},
                                      {"key": {"label": "A", "mods": 4, "vk": 65}, "secs": 10}])") },
    };
    for (auto const& row : rows) {
        SCOPED_TRACE(fmt::format("{}: {}", row.key, row.input));
        auto const text = fmt::format(R"({{"{}": {}}})", row.key, row.input);
        for (auto read : { settings::deserialize_settings(text), settings::settings_from_value(nlohmann::json::parse(text)) }) {
            ASSERT_TRUE(read) << read.error();
            auto value = settings::settings_to_value(settings::sanitize(*read)).value();
            EXPECT_EQ(value[row.key], row.expected);
            value[row.key] = defaults[row.key];
            EXPECT_EQ(value, defaults);
        }
    }
}

// Refusals, as the text reader and the value reader report them. The value reader has no duplicate keys, and
// meets an overlong array as such where the text reader meets a syntax error.
TEST(SettingsReaders, RefuseWithTheExactMessages)
{
    struct Row {
        std::string json;
        char const* message;
        char const* value_message = nullptr; // nullptr: as the text reader; "": not a value tree
    };
    std::string overlong = R"([[], null, "P720", 60, "H264", "Standard", true, true, null, null, 1.0, 1.0, null,)"
                           R"( null, false, "System", true, false, 0, 0, 7])";
    Row const rows[] = {
        { R"({"fps": 30.7})", "invalid type: floating point `30.7`, expected u32" },
        { R"({"fps": -5})", "invalid value: integer `-5`, expected u32" },
        { R"({"fps": null})", "invalid type: null, expected u32" },
        { R"({"keepDays": true})", "invalid type: boolean `true`, expected u32" },
        { R"({"gameAudio": 1})", "invalid type: integer `1`, expected a boolean" },
        { R"({"gameVolume": "1.0"})", "invalid type: string \"1.0\", expected f32" },
        { R"({"monitor": 3})", "invalid type: integer `3`, expected a string" },
        { R"({"clipsDir": []})", "invalid type: sequence, expected path string" },
        { R"({"slots": {}})", "invalid type: map, expected a sequence" },
        { R"(5)", "invalid type: integer `5`, expected struct Settings" },
        { R"({"recordKey": "F10"})", "invalid type: string \"F10\", expected struct Hotkey" },
        { R"({"slots": [{"key": null}]})", "missing field `secs`" },
        { R"({"slots": [[45]]})", "invalid length 1, expected struct Slot with 2 elements" },
        { R"({"resolution": "p1440"})",
            "unknown variant `p1440`, expected one of `P720`, `P1080`, `P1440`, `P2160`, `Source`" },
        { R"({"quality": {"Ultra": null}})", "unknown variant `Ultra`, expected one of `Compact`, `Standard`, `High`" },
        { R"({"theme": 1})", "invalid type: integer `1`, expected string or map" },
        { R"({"theme": {"Dark": null, "Light": null}})", "invalid value: map, expected map with a single key" },
        { R"({"theme": {"Dark": 1}})", "invalid type: integer `1`, expected unit variant" },
        { overlong, "trailing characters", "invalid length 21, expected fewer elements in array" },
        { R"({"fps": 30, "fps": 60})", "duplicate field `fps`", "" },
        { "{\"recordKey\": {\"mods\": 0, \"vk\": 1,\n\"label\": \"a\", \"vk\": 2}}", "duplicate field `vk`", "" },
        { R"({"fps": "x", "codec": "x"})", "invalid type: string \"x\", expected u32", "" }, // document order
        { R"({"codec": "x", "fps": "x"})", "unknown variant `x`, expected one of `H264`, `Hevc`, `Av1`", "" },
    };
    for (auto const& row : rows) {
        SCOPED_TRACE(row.json);
        auto from_text = settings::deserialize_settings(row.json);
        ASSERT_FALSE(from_text);
        EXPECT_EQ(from_text.error(), row.message);
        if (row.value_message && !*row.value_message)
            continue;
        auto from_value = settings::settings_from_value(nlohmann::json::parse(row.json));
        ASSERT_FALSE(from_value);
        EXPECT_EQ(from_value.error(), row.value_message ? row.value_message : row.message);
    }
}

TEST(SettingsTextReader, RefusesWhatTheParserWouldForgive)
{
    std::string const deep_128 = R"({"x": )" + std::string(127, '[') + std::string(127, ']') + "}";
    std::string const deep_129 = R"({"x": )" + std::string(128, '[') + std::string(128, ']') + "}";
    ASSERT_TRUE(settings::deserialize_settings(deep_128));
    auto deep = settings::deserialize_settings(deep_129);
    ASSERT_FALSE(deep);
    EXPECT_EQ(deep.error(), "recursion limit exceeded");

    using namespace std::string_view_literals;
    std::string_view const refused[] = { ""sv, " \n\t"sv, "\xEF\xBB\xBF{}"sv, "{}{}"sv, "{} x"sv, "{\"fps\": 30}//"sv,
        "{\"monitor\": \"a\xff\"}"sv, "{\"monitor\": \"\\ud800\"}"sv, "{\"fps\": 30,}"sv, "{\"fps\": 1e400}"sv,
        "{'fps': 30}"sv, "{}\0"sv, "{}\0{}"sv, "{\"fps\": 30\0}"sv, "{\"fps\": -0}"sv };
    for (auto text : refused) {
        SCOPED_TRACE(text);
        EXPECT_FALSE(settings::deserialize_settings(text));
    }
}

class SettingsFile : public TempDirTest { };

TEST_F(SettingsFile, LoadFallsBackToDefaultsSilently)
{
    EXPECT_EQ(settings::load(dir()), Settings::defaults()); // no file at all
    // Any refused text: the readers' tests above tell why each one is refused.
    write_file("settings.json", "{\"fps\": 30} trailing");
    EXPECT_EQ(settings::load(dir()), Settings::defaults());
    write_file("settings.json", "{\"fps\": 30, \"unknown\": {}}\r\n");
    EXPECT_EQ(settings::load(dir()).fps, 30u);

    std::filesystem::remove(dir() / "settings.json");
    std::filesystem::create_directory(dir() / "settings.json");
    EXPECT_EQ(settings::load(dir()), Settings::defaults());
}

// A record that cannot be written writes nothing, and a failed move keeps the new record in the temporary file
// besides.
TEST_F(SettingsFile, FailedSaveKeepsTheFormerFile)
{
    auto path = write_file("settings.json", "former");
    Settings bad_path;
    bad_path.clips_dir = std::filesystem::path("/x/\xc3");
    auto saved = settings::save(path, bad_path);
    ASSERT_FALSE(saved);
    EXPECT_EQ(saved.error(), "path contains invalid UTF-8 characters");
    EXPECT_EQ(settings::settings_to_value(bad_path).error(), "path contains invalid UTF-8 characters");
    EXPECT_FALSE(std::filesystem::exists(dir() / "settings.json.tmp"));

    auto const record = unusual_record();
    std::filesystem::remove(path);
    std::filesystem::create_directory(path);
    write_file("settings.json/keep", "x"); // a non-empty folder cannot be replaced by rename
    saved = settings::save(path, record);
    ASSERT_FALSE(saved);
    EXPECT_TRUE(saved.error().starts_with("Réglages : ")) << saved.error();
    EXPECT_TRUE(std::filesystem::is_directory(path));
    EXPECT_EQ(settings::deserialize_settings(read_file(dir() / "settings.json.tmp")).value(), record);
}
