// The settings fields, described once (JSON key, member, clamp), and what is built on that table: sanitising,
// the two JSON forms, their readers, and loading and saving settings.json.
//
// Reading goes through one set of templated readers over two views of a JSON value: a nlohmann::json (the API
// body) and the json_text tree read from the text, which keeps every member in document order so that a
// duplicate key can be refused.

#include "library/settings.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <limits>
#include <mutex>
#include <tuple>
#include <type_traits>

#include <nlohmann/json.hpp>

#include "base/file_io.h"
#include "base/json_text.h"
#include "base/utf8.h"

namespace settings {

namespace {

constexpr std::string_view invalid_path_error = "path contains invalid UTF-8 characters";

// ---- The field table -------------------------------------------------------------------------------------

// One field of a record: its JSON key, the member it fills and, for Settings, the limit sanitising applies.
template <class R, class T> struct Field {
    std::string_view key;
    T R::*member;
    void (*clamp)(T&);
};

template <class R, class T>
constexpr Field<R, T> field(std::string_view key, T R::*member, void (*clamp)(T&) = nullptr)
{
    return { key, member, clamp };
}

void clamp_slots(std::vector<Slot>& slots)
{
    if (slots.empty())
        slots = default_slots();
    for (auto& slot : slots)
        slot.secs = std::clamp(slot.secs, min_slot_secs, max_slot_secs);
}

void clamp_fps(std::uint32_t& fps) { fps = std::clamp(fps, min_fps, max_fps); }

void clamp_volume(float& volume) { volume = std::isfinite(volume) ? std::clamp(volume, 0.0f, max_volume) : 1.0f; }

// A record is read from the sequence of its fields in order, or from a map of named fields (unknown names
// ignored, a repeated name refused); it is written as a map in field order.
template <class R> struct Form;

template <> struct Form<Hotkey> {
    static constexpr std::string_view name = "struct Hotkey"; // as errors name it
    static constexpr std::size_t required = 3; // how many leading fields a map must name
    static constexpr bool defaulted = false; // whether a short sequence leaves the other fields as they are
    static constexpr auto fields
        = std::tuple { field("mods", &Hotkey::mods), field("vk", &Hotkey::vk), field("label", &Hotkey::label) };
};

// A slot's key may be left out of the map form (no shortcut), never out of the sequence form.
template <> struct Form<Slot> {
    static constexpr std::string_view name = "struct Slot";
    static constexpr std::size_t required = 1;
    static constexpr bool defaulted = false;
    static constexpr auto fields = std::tuple { field("secs", &Slot::secs), field("key", &Slot::key) };
};

// In the order of the settings.json keys, which is the order of the sequence form.
template <> struct Form<Settings> {
    static constexpr std::string_view name = "struct Settings";
    static constexpr std::size_t required = 0;
    static constexpr bool defaulted = true;
    static constexpr auto fields = std::tuple {
        field("slots", &Settings::slots, clamp_slots),
        field("recordKey", &Settings::record_key),
        field("resolution", &Settings::resolution),
        field("fps", &Settings::fps, clamp_fps),
        field("codec", &Settings::codec),
        field("quality", &Settings::quality),
        field("gameAudio", &Settings::game_audio),
        field("micAudio", &Settings::mic_audio),
        field("micDevice", &Settings::mic_device),
        field("outputDevice", &Settings::output_device),
        field("gameVolume", &Settings::game_volume, clamp_volume),
        field("micVolume", &Settings::mic_volume, clamp_volume),
        field("monitor", &Settings::monitor),
        field("clipsDir", &Settings::clips_dir),
        field("autostart", &Settings::autostart),
        field("theme", &Settings::theme),
        field("inGameToast", &Settings::in_game_toast),
        field("captureDesktop", &Settings::capture_desktop),
        field("keepDays", &Settings::keep_days),
        field("maxGb", &Settings::max_gb),
    };
};

template <class R> constexpr std::size_t field_count = std::tuple_size_v<decltype(Form<R>::fields)>;

// f(field) for each field of R, in order.
template <class R, class F> void for_each_field(F&& f)
{
    std::apply([&](auto const&... each) { (f(each), ...); }, Form<R>::fields);
}

// Each enumeration is stored as its name; the value is the name's index. A value outside the table (which no
// reader gives) is written as the default record's.
template <class E> struct Names;
template <> struct Names<Resolution> {
    static constexpr std::array<std::string_view, 5> list { "P720", "P1080", "P1440", "P2160", "Source" };
    static constexpr std::size_t fallback = 1;
};
template <> struct Names<Codec> {
    static constexpr std::array<std::string_view, 3> list { "H264", "Hevc", "Av1" };
    static constexpr std::size_t fallback = 0;
};
template <> struct Names<Quality> {
    static constexpr std::array<std::string_view, 3> list { "Compact", "Standard", "High" };
    static constexpr std::size_t fallback = 1;
};
template <> struct Names<Theme> {
    static constexpr std::array<std::string_view, 3> list { "System", "Light", "Dark" };
    static constexpr std::size_t fallback = 0;
};

template <class E> std::string_view name_of(E value)
{
    auto index = static_cast<std::size_t>(value);
    return Names<E>::list[index < Names<E>::list.size() ? index : Names<E>::fallback];
}

template <class E> Result<E> from_name(std::string_view name)
{
    auto const& list = Names<E>::list;
    for (std::size_t i = 0; i < list.size(); ++i) {
        if (list[i] == name)
            return static_cast<E>(i);
    }
    std::string expected = "one of ";
    for (std::size_t i = 0; i < list.size(); ++i)
        expected += fmt::format("{}`{}`", i == 0 ? "" : ", ", list[i]);
    return fail(fmt::format("unknown variant `{}`, expected {}", name, expected));
}

template <class T> constexpr bool is_optional = false;
template <class T> constexpr bool is_optional<std::optional<T>> = true;
template <class T> constexpr bool is_vector = false;
template <class T> constexpr bool is_vector<std::vector<T>> = true;

// ---- Text formatting helpers -----------------------------------------------------------------------------

// Shortest text that reads back to the same value, laid out as plain decimals within a range of exponents
// and in scientific form outside it ("1.0", "0.8", "12340000000.0", "0.00001", "1e-7", "1.5e20"). The
// ranges differ between float and double; non-finite values have no JSON text and are written as null.
template <class F> std::string shortest_number(F value)
{
    if (!std::isfinite(value))
        return "null";
    constexpr int max_plain = std::is_same_v<F, float> ? 13 : 16;
    constexpr int min_plain = std::is_same_v<F, float> ? -6 : -5;
    char buffer[64];
    auto [end, ec] = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::scientific);
    if (ec != std::errc {})
        return "null";
    std::string_view sci(buffer, static_cast<std::size_t>(end - buffer));
    std::string out;
    if (sci.front() == '-') {
        out += '-';
        sci.remove_prefix(1);
    }
    auto e = sci.find('e');
    std::string digits;
    for (char c : sci.substr(0, e)) {
        if (c != '.')
            digits += c;
    }
    int exponent = 0;
    auto exponent_text = sci.substr(e + 1);
    if (exponent_text.front() == '+')
        exponent_text.remove_prefix(1);
    std::from_chars(exponent_text.data(), exponent_text.data() + exponent_text.size(), exponent);
    if (digits == "0")
        return out + "0.0";
    int length = static_cast<int>(digits.size());
    int point = exponent + 1; // digits[0..point) come before the decimal point
    int trailing = point - length;
    if (trailing >= 0 && point <= max_plain) {
        out += digits;
        out.append(static_cast<std::size_t>(trailing), '0');
        out += ".0";
    } else if (point > 0 && point <= max_plain) {
        out += digits.substr(0, static_cast<std::size_t>(point));
        out += '.';
        out += digits.substr(static_cast<std::size_t>(point));
    } else if (point > min_plain && point <= 0) {
        out += "0.";
        out.append(static_cast<std::size_t>(-point), '0');
        out += digits;
    } else if (length == 1) {
        out += fmt::format("{}e{}", digits, point - 1);
    } else {
        out += fmt::format("{}.{}e{}", digits.substr(0, 1), digits.substr(1), point - 1);
    }
    return out;
}

// ---- The text's own tree ---------------------------------------------------------------------------------

using json_text::Kind;
using json_text::Node;

// ---- Views over both trees -------------------------------------------------------------------------------

class TextView {
public:
    static constexpr bool from_text = true;
    explicit TextView(Node const& node)
        : m_node(&node)
    {
    }

    Kind kind() const { return m_node->kind; }
    bool boolean() const { return m_node->boolean; }
    std::uint64_t unsigned_value() const { return m_node->unsigned_value; }
    std::int64_t signed_value() const { return m_node->signed_value; }
    double float_value() const { return m_node->float_value; }
    std::string const& string() const { return m_node->string; }
    std::size_t size() const { return m_node->kind == Kind::Array ? m_node->items.size() : m_node->members.size(); }
    TextView item(std::size_t i) const { return TextView(m_node->items[i]); }

    // f(key, value) for each member in document order, duplicates included; stops at the first error.
    template <class F> Result<void> for_each_member(F&& f) const
    {
        for (auto const& member : m_node->members)
            TRY_VOID(f(member.key, TextView(member.value)));
        return {};
    }

private:
    Node const* m_node;
};

class ValueView {
public:
    static constexpr bool from_text = false;
    explicit ValueView(nlohmann::json const& value)
        : m_value(&value)
    {
    }

    Kind kind() const
    {
        using Type = nlohmann::json::value_t;
        switch (m_value->type()) {
        case Type::boolean:
            return Kind::Bool;
        case Type::number_unsigned:
            return Kind::Unsigned;
        case Type::number_integer:
            return Kind::Signed;
        case Type::number_float:
            return Kind::Float;
        case Type::string:
            return Kind::String;
        case Type::binary:
            return Kind::Bytes;
        case Type::array:
            return Kind::Array;
        case Type::object:
            return Kind::Object;
        case Type::null:
        case Type::discarded:
            break;
        }
        return Kind::Null;
    }
    bool boolean() const { return m_value->get_ref<nlohmann::json::boolean_t const&>(); }
    std::uint64_t unsigned_value() const { return m_value->get_ref<nlohmann::json::number_unsigned_t const&>(); }
    std::int64_t signed_value() const { return m_value->get_ref<nlohmann::json::number_integer_t const&>(); }
    double float_value() const { return m_value->get_ref<nlohmann::json::number_float_t const&>(); }
    std::string const& string() const { return m_value->get_ref<nlohmann::json::string_t const&>(); }
    std::size_t size() const { return m_value->size(); }
    ValueView item(std::size_t i) const { return ValueView((*m_value)[i]); }

    template <class F> Result<void> for_each_member(F&& f) const
    {
        for (auto const& [key, value] : m_value->get_ref<nlohmann::json::object_t const&>())
            TRY_VOID(f(key, ValueView(value)));
        return {};
    }

private:
    nlohmann::json const* m_value;
};

// ---- Readers ---------------------------------------------------------------------------------------------

template <class View> std::string unexpected(View const& view)
{
    switch (view.kind()) {
    case Kind::Null:
        return "null";
    case Kind::Bool:
        return fmt::format("boolean `{}`", view.boolean());
    case Kind::Unsigned:
        return fmt::format("integer `{}`", view.unsigned_value());
    case Kind::Signed:
        return fmt::format("integer `{}`", view.signed_value());
    case Kind::Float:
        return fmt::format("floating point `{}`", shortest_number(view.float_value()));
    case Kind::String:
        return "string " + json_text::quote_for_message(view.string());
    case Kind::Bytes:
        return "byte array";
    case Kind::Array:
        return "sequence";
    case Kind::Object:
        return "map";
    }
    return "null";
}

template <class View> std::unexpected<std::string> invalid_type(View const& view, std::string_view expected)
{
    return fail(fmt::format("invalid type: {}, expected {}", unexpected(view), expected));
}

template <class View> Result<std::uint32_t> read_u32(View const& view)
{
    constexpr std::uint64_t max = std::numeric_limits<std::uint32_t>::max();
    switch (view.kind()) {
    case Kind::Unsigned:
        if (view.unsigned_value() <= max)
            return static_cast<std::uint32_t>(view.unsigned_value());
        break;
    case Kind::Signed:
        if (view.signed_value() >= 0 && static_cast<std::uint64_t>(view.signed_value()) <= max)
            return static_cast<std::uint32_t>(view.signed_value());
        break;
    default:
        return invalid_type(view, "u32");
    }
    return fail(fmt::format("invalid value: {}, expected u32", unexpected(view)));
}

template <class View> Result<float> read_f32(View const& view)
{
    switch (view.kind()) {
    case Kind::Unsigned:
        return static_cast<float>(view.unsigned_value());
    case Kind::Signed:
        return static_cast<float>(view.signed_value());
    case Kind::Float:
        return static_cast<float>(view.float_value());
    default:
        return invalid_type(view, "f32");
    }
}

template <class E, class View> Result<E> read_enum(View const& view)
{
    if (view.kind() == Kind::String)
        return from_name<E>(view.string());
    if (view.kind() != Kind::Object)
        return invalid_type(view, "string or map");
    if (view.size() != 1)
        return fail("invalid value: map, expected map with a single key");
    E found {};
    TRY_VOID(view.for_each_member([&](std::string const& key, View const& value) -> Result<void> {
        found = TRY(from_name<E>(key));
        if (value.kind() != Kind::Null)
            return invalid_type(value, "unit variant");
        return {};
    }));
    return found;
}

template <class T, class View> Result<T> read(View const& view);

template <class R, class View> Result<R> read_record(View const& view)
{
    using F = Form<R>;
    constexpr std::size_t fields = field_count<R>;
    R record {};
    // Reads the field at `index` into the record.
    auto read_field = [&](std::size_t index, View const& value) {
        Result<void> done;
        std::size_t i = 0;
        for_each_field<R>([&](auto const& field) {
            if (i++ != index)
                return;
            using T = std::remove_reference_t<decltype(record.*field.member)>;
            if (auto read_value = read<T>(value))
                record.*field.member = std::move(*read_value);
            else
                done = fail(std::move(read_value).error());
        });
        return done;
    };
    if (view.kind() == Kind::Array) {
        std::size_t count = view.size();
        for (std::size_t i = 0; i < std::min(count, fields); ++i)
            TRY_VOID(read_field(i, view.item(i)));
        if (count < fields && !F::defaulted)
            return fail(fmt::format("invalid length {}, expected {} with {} elements", count, F::name, fields));
        // The text reader meets the extra value where it wanted "]".
        if (count > fields)
            return fail(View::from_text ? std::string("trailing characters")
                                        : fmt::format("invalid length {}, expected fewer elements in array", count));
        return record;
    }
    if (view.kind() != Kind::Object)
        return invalid_type(view, F::name);
    std::array<std::string_view, fields> keys;
    std::size_t i = 0;
    for_each_field<R>([&](auto const& field) { keys[i++] = field.key; });
    std::array<bool, fields> seen {};
    TRY_VOID(view.for_each_member([&](std::string const& key, View const& value) -> Result<void> {
        auto found = std::ranges::find(keys, key);
        if (found == keys.end())
            return {};
        auto index = static_cast<std::size_t>(found - keys.begin());
        if (seen[index])
            return fail(fmt::format("duplicate field `{}`", key));
        seen[index] = true;
        return read_field(index, value);
    }));
    for (std::size_t j = 0; j < F::required; ++j) {
        if (!seen[j])
            return fail(fmt::format("missing field `{}`", keys[j]));
    }
    return record;
}

// One reader for every field type; the error texts name what a field expects.
template <class T, class View> Result<T> read(View const& view)
{
    if constexpr (std::is_same_v<T, std::uint32_t>) {
        return read_u32(view);
    } else if constexpr (std::is_same_v<T, float>) {
        return read_f32(view);
    } else if constexpr (std::is_same_v<T, bool>) {
        if (view.kind() != Kind::Bool)
            return invalid_type(view, "a boolean");
        return view.boolean();
    } else if constexpr (std::is_same_v<T, std::string> || std::is_same_v<T, std::filesystem::path>) {
        if (view.kind() != Kind::String)
            return invalid_type(view, std::is_same_v<T, std::string> ? "a string" : "path string");
        return T(view.string());
    } else if constexpr (is_optional<T>) {
        if (view.kind() == Kind::Null)
            return T {};
        return T(TRY(read<typename T::value_type>(view)));
    } else if constexpr (std::is_enum_v<T>) {
        return read_enum<T>(view);
    } else if constexpr (is_vector<T>) {
        if (view.kind() != Kind::Array)
            return invalid_type(view, "a sequence");
        T items;
        items.reserve(view.size());
        for (std::size_t i = 0; i < view.size(); ++i)
            items.push_back(TRY(read<typename T::value_type>(view.item(i))));
        return items;
    } else {
        return read_record<T>(view);
    }
}

// Parses the text and reads one value from it; nothing escapes as an exception.
template <class T> Result<T> read_text(std::string_view text)
{
    try {
        auto tree = TRY(json_text::parse(text));
        return read<T>(TextView(tree));
    } catch (std::exception const& error) {
        return fail(error.what());
    }
}

// ---- Writers ---------------------------------------------------------------------------------------------

// The file form: pretty, two spaces a level; `indent` is where the line holding the value starts.
template <class T> void write_text(std::string& out, T const& value, int indent)
{
    auto new_line = [&](int spaces) {
        out += '\n';
        out.append(static_cast<std::size_t>(spaces), ' ');
    };
    if constexpr (std::is_same_v<T, std::uint32_t>) {
        out += fmt::format("{}", value);
    } else if constexpr (std::is_same_v<T, float>) {
        out += shortest_number(value);
    } else if constexpr (std::is_same_v<T, bool>) {
        out += value ? "true" : "false";
    } else if constexpr (std::is_same_v<T, std::string>) {
        json_text::append_string(out, value);
    } else if constexpr (std::is_same_v<T, std::filesystem::path>) {
        json_text::append_string(out, value.native());
    } else if constexpr (is_optional<T>) {
        if (value)
            write_text(out, *value, indent);
        else
            out += "null";
    } else if constexpr (std::is_enum_v<T>) {
        json_text::append_string(out, name_of(value));
    } else if constexpr (is_vector<T>) {
        if (value.empty()) {
            out += "[]";
            return;
        }
        out += '[';
        for (std::size_t i = 0; i < value.size(); ++i) {
            out += i == 0 ? "" : ",";
            new_line(indent + 2);
            write_text(out, value[i], indent + 2);
        }
        new_line(indent);
        out += ']';
    } else {
        out += '{';
        bool first = true;
        for_each_field<T>([&](auto const& field) {
            out += first ? "" : ",";
            first = false;
            new_line(indent + 2);
            json_text::append_string(out, field.key);
            out += ": ";
            write_text(out, value.*field.member, indent + 2);
        });
        new_line(indent);
        out += '}';
    }
}

// The API form. Strings that are not valid UTF-8 have their bad bytes replaced, so that dumping never throws;
// volumes are widened to double and a non-finite one is null.
template <class T> nlohmann::json to_value(T const& value)
{
    if constexpr (std::is_same_v<T, std::string>) {
        return utf8::lossy(value);
    } else if constexpr (std::is_same_v<T, std::filesystem::path>) {
        return value.native();
    } else if constexpr (std::is_same_v<T, float>) {
        return std::isfinite(value) ? nlohmann::json(static_cast<double>(value)) : nlohmann::json(nullptr);
    } else if constexpr (is_optional<T>) {
        return value ? to_value(*value) : nlohmann::json(nullptr);
    } else if constexpr (std::is_enum_v<T>) {
        return std::string(name_of(value));
    } else if constexpr (is_vector<T>) {
        auto items = nlohmann::json::array();
        for (auto const& item : value)
            items.push_back(to_value(item));
        return items;
    } else if constexpr (std::is_class_v<T>) {
        auto object = nlohmann::json::object();
        for_each_field<T>([&](auto const& field) { object[field.key] = to_value(value.*field.member); });
        return object;
    } else {
        return value;
    }
}

bool clips_dir_is_utf8(Settings const& settings)
{
    return !settings.clips_dir || utf8::is_valid(settings.clips_dir->native());
}

}

Settings sanitize(Settings settings, std::span<std::filesystem::path const> own_folders)
{
    for_each_field<Settings>([&](auto const& field) {
        if (field.clamp)
            field.clamp(settings.*field.member);
    });
    // The folder's check needs to know the program's own folders, which no field's clamp is given.
    if (settings.clips_dir && !check_clips_dir(*settings.clips_dir, own_folders))
        settings.clips_dir.reset();
    return settings;
}

std::string_view codec_name(Codec codec) { return name_of(codec); }

Result<Settings> deserialize_settings(std::string_view text) { return read_text<Settings>(text); }
Result<Slot> deserialize_slot(std::string_view text) { return read_text<Slot>(text); }
Result<std::optional<Hotkey>> deserialize_hotkey(std::string_view text) { return read_text<std::optional<Hotkey>>(text); }
Result<Resolution> deserialize_resolution(std::string_view text) { return read_text<Resolution>(text); }
Result<Codec> deserialize_codec(std::string_view text) { return read_text<Codec>(text); }
Result<Quality> deserialize_quality(std::string_view text) { return read_text<Quality>(text); }
Result<Theme> deserialize_theme(std::string_view text) { return read_text<Theme>(text); }

Result<Settings> settings_from_value(nlohmann::json const& value)
{
    try {
        return read<Settings>(ValueView(value));
    } catch (std::exception const& error) {
        return fail(error.what());
    }
}

Result<nlohmann::json> settings_to_value(Settings const& settings)
{
    if (!clips_dir_is_utf8(settings))
        return fail(std::string(invalid_path_error));
    try {
        return to_value(settings);
    } catch (std::exception const& error) {
        return fail(error.what());
    }
}

Result<std::string> settings_to_file_text(Settings const& settings)
{
    if (!clips_dir_is_utf8(settings))
        return fail(std::string(invalid_path_error));
    std::string out;
    out.reserve(128);
    write_text(out, settings, 0);
    return out;
}

std::filesystem::path settings_path(std::filesystem::path const& data_dir)
{
    return data_dir / "settings.json";
}

Settings load(std::filesystem::path const& data_dir)
{
    auto text = files::read_text(settings_path(data_dir));
    if (!text)
        return Settings::defaults();
    auto settings = deserialize_settings(*text);
    return settings ? std::move(*settings) : Settings::defaults();
}

Result<void> save(std::filesystem::path const& path, Settings const& settings)
{
    auto text = TRY(settings_to_file_text(settings));
    auto temp = path;
    temp.replace_extension("json.tmp");
    // API methods run on several page workers at once and every save goes through the one temporary name: two
    // saves at the same time would truncate each other's file, rename it half written, or fail to find it.
    static std::mutex one_save_at_a_time;
    std::lock_guard lock(one_save_at_a_time);
    // When anything fails settings.json keeps its former content, and the temporary file stays as far as it
    // was written.
    TRY_VOID_AS("Réglages : {}", files::atomic_replace(path, temp, text, files::Leftover::Keep));
    return {};
}

}
