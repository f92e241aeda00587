// The two JSON forms of the settings record, their readers, and loading and saving settings.json.
//
// Reading goes through one set of templated readers over two views of a JSON value: a nlohmann::json (the API
// body) and a Node tree built here from the text. nlohmann's own tree cannot serve for the text, because it
// keeps only the last of two equal keys (a duplicate must be refused), and its parser skips a byte-order mark
// and stops at a NUL byte; the Node tree keeps every member in order and where each value ends in the text.

#include "library/settings.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <iterator>
#include <limits>
#include <mutex>
#include <type_traits>

#include <nlohmann/json.hpp>

#include "base/file_io.h"
#include "base/json_text.h"
#include "base/utf8.h"

namespace settings {

namespace {

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

// A string as an error message quotes it: in double quotes, with quote, backslash and control characters
// escaped.
std::string debug_quoted(std::string_view text)
{
    std::string out = "\"";
    for (char c : text) {
        auto byte = static_cast<unsigned char>(c);
        switch (c) {
        case '"':
            out += "\\\"";
            break;
        case '\\':
            out += "\\\\";
            break;
        case '\n':
            out += "\\n";
            break;
        case '\r':
            out += "\\r";
            break;
        case '\t':
            out += "\\t";
            break;
        case '\0':
            out += "\\0";
            break;
        default:
            if (byte < 0x20 || byte == 0x7F)
                out += fmt::format("\\u{{{:x}}}", byte);
            else
                out += c;
        }
    }
    return out + "\"";
}

// ---- The text's own tree ---------------------------------------------------------------------------------

enum class Kind { Null, Bool, Unsigned, Signed, Float, String, Bytes, Array, Object };

struct Member;

struct Node {
    Kind kind { Kind::Null };
    bool boolean { false };
    std::uint64_t unsigned_value { 0 };
    std::int64_t signed_value { 0 };
    double float_value { 0 };
    std::string string;
    std::vector<Node> items;
    std::vector<Member> members;
    std::size_t end { 0 }; // offset just past the value in the text
};

struct Member {
    std::string key;
    std::size_t key_end { 0 };
    Node value;
};

// Input iterator over the text that publishes how far the parser has read, so that each parsed value can
// remember where it ends.
class TrackingIterator {
public:
    using iterator_category = std::input_iterator_tag;
    using value_type = char;
    using difference_type = std::ptrdiff_t;
    using pointer = char const*;
    using reference = char const&;

    TrackingIterator(char const* at, char const** cursor)
        : m_at(at)
        , m_cursor(cursor)
    {
    }
    reference operator*() const { return *m_at; }
    TrackingIterator& operator++()
    {
        ++m_at;
        *m_cursor = m_at;
        return *this;
    }
    TrackingIterator operator++(int)
    {
        auto before = *this;
        ++*this;
        return before;
    }
    bool operator==(TrackingIterator const& other) const { return m_at == other.m_at; }

private:
    char const* m_at;
    char const** m_cursor;
};

std::string position_suffix(std::string_view text, std::size_t offset)
{
    offset = std::min(offset, text.size());
    std::size_t line = 1, line_start = 0;
    for (std::size_t i = 0; i < offset; ++i) {
        if (text[i] == '\n') {
            ++line;
            line_start = i + 1;
        }
    }
    return fmt::format(" at line {} column {}", line, offset - line_start);
}

class TreeBuilder final : public nlohmann::json_sax<nlohmann::json> {
public:
    TreeBuilder(std::string_view text, char const** cursor)
        : m_text(text)
        , m_cursor(cursor)
    {
    }

    Node& root() { return m_root; }
    std::string const& error() const { return m_error; }

    bool null() override { return place(Node {}); }
    bool boolean(bool value) override
    {
        Node node;
        node.kind = Kind::Bool;
        node.boolean = value;
        return place(std::move(node));
    }
    bool number_integer(number_integer_t value) override
    {
        Node node;
        // Non-negative integers arrive as unsigned; a signed zero can only be "-0", which is a float.
        if (value == 0) {
            node.kind = Kind::Float;
            node.float_value = -0.0;
        } else {
            node.kind = Kind::Signed;
            node.signed_value = value;
        }
        return place(std::move(node), true);
    }
    bool number_unsigned(number_unsigned_t value) override
    {
        Node node;
        node.kind = Kind::Unsigned;
        node.unsigned_value = value;
        return place(std::move(node), true);
    }
    bool number_float(number_float_t value, string_t const&) override
    {
        Node node;
        node.kind = Kind::Float;
        node.float_value = value;
        return place(std::move(node), true);
    }
    bool string(string_t& value) override
    {
        Node node;
        node.kind = Kind::String;
        node.string = std::move(value);
        return place(std::move(node));
    }
    bool binary(binary_t&) override
    {
        Node node;
        node.kind = Kind::Bytes;
        return place(std::move(node));
    }
    bool start_object(std::size_t) override { return open(Kind::Object); }
    bool key(string_t& value) override
    {
        m_stack.back()->members.push_back(Member { std::move(value), offset(), Node {} });
        return true;
    }
    bool end_object() override { return close(); }
    bool start_array(std::size_t) override { return open(Kind::Array); }
    bool end_array() override { return close(); }
    bool parse_error(std::size_t, std::string const&, nlohmann::detail::exception const& error) override
    {
        // nlohmann's text starts with "[json.exception.parse_error.101] parse error at line 1, column 2: ".
        std::string_view what = error.what();
        if (auto colon = what.find(": "); colon != std::string_view::npos)
            what.remove_prefix(colon + 2);
        m_error = std::string(what) + position_suffix(m_text, offset());
        return false;
    }

private:
    std::size_t offset() const { return static_cast<std::size_t>(*m_cursor - m_text.data()); }

    // The parser reads one character past a number before it knows the number has ended.
    std::size_t number_end() const
    {
        std::size_t end = offset();
        if (end > 0 && end <= m_text.size()) {
            char last = m_text[end - 1];
            bool part_of_number = (last >= '0' && last <= '9') || last == '.' || last == 'e' || last == 'E'
                || last == '+' || last == '-';
            if (!part_of_number)
                --end;
        }
        return end;
    }

    Node* attach(Node node)
    {
        if (m_stack.empty()) {
            m_root = std::move(node);
            return &m_root;
        }
        // The parent's own vector never grows while a child is open, so these pointers stay valid.
        Node* parent = m_stack.back();
        if (parent->kind == Kind::Array) {
            parent->items.push_back(std::move(node));
            return &parent->items.back();
        }
        parent->members.back().value = std::move(node);
        return &parent->members.back().value;
    }

    bool place(Node node, bool is_number = false)
    {
        node.end = is_number ? number_end() : offset();
        attach(std::move(node));
        return true;
    }

    bool open(Kind kind)
    {
        if (m_stack.size() >= max_nesting_depth) {
            m_error = "recursion limit exceeded" + position_suffix(m_text, offset());
            return false;
        }
        Node node;
        node.kind = kind;
        m_stack.push_back(attach(std::move(node)));
        return true;
    }

    bool close()
    {
        m_stack.back()->end = offset();
        m_stack.pop_back();
        return true;
    }

    std::string_view m_text;
    char const** m_cursor;
    Node m_root;
    std::vector<Node*> m_stack;
    std::string m_error;
};

Result<Node> parse_text(std::string_view text)
{
    if (text.starts_with("\xEF\xBB\xBF"))
        return fail("expected value" + position_suffix(text, 1));
    char const* cursor = text.data();
    TreeBuilder builder(text, &cursor);
    bool parsed = false;
    try {
        parsed = nlohmann::json::sax_parse(
            TrackingIterator(text.data(), &cursor), TrackingIterator(text.data() + text.size(), &cursor), &builder);
    } catch (std::exception const& error) {
        return fail(error.what());
    }
    if (!parsed)
        return fail(builder.error().empty() ? std::string("invalid JSON") : builder.error());
    // The parser takes a NUL byte for the end of the input; a NUL cannot sit inside a parsed string (control
    // characters must be escaped there), so one anywhere means bytes after the value.
    if (auto nul = text.find('\0'); nul != std::string_view::npos)
        return fail("trailing characters" + position_suffix(text, nul + 1));
    return std::move(builder.root());
}

// ---- Views over both trees -------------------------------------------------------------------------------

class TextView {
public:
    static constexpr bool from_text = true;
    TextView(Node const& node, std::string_view text)
        : m_node(&node)
        , m_text(text)
    {
    }

    Kind kind() const { return m_node->kind; }
    bool boolean() const { return m_node->boolean; }
    std::uint64_t unsigned_value() const { return m_node->unsigned_value; }
    std::int64_t signed_value() const { return m_node->signed_value; }
    double float_value() const { return m_node->float_value; }
    std::string const& string() const { return m_node->string; }
    std::size_t size() const { return m_node->kind == Kind::Array ? m_node->items.size() : m_node->members.size(); }
    TextView item(std::size_t i) const { return TextView(m_node->items[i], m_text); }

    // f(key, value, key_error) for each member in order, duplicates included; stops at the first error.
    template <class F> Result<void> for_each_member(F&& f) const
    {
        for (auto const& member : m_node->members) {
            auto key_error = [&](std::string message) { return message + position_suffix(m_text, member.key_end); };
            auto done = f(member.key, TextView(member.value, m_text), key_error);
            if (!done)
                return done;
        }
        return {};
    }

    std::string error(std::string message) const { return message + position_suffix(m_text, m_node->end); }

private:
    Node const* m_node;
    std::string_view m_text;
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
        switch (m_value->type()) {
        case nlohmann::json::value_t::boolean:
            return Kind::Bool;
        case nlohmann::json::value_t::number_unsigned:
            return Kind::Unsigned;
        case nlohmann::json::value_t::number_integer:
            return Kind::Signed;
        case nlohmann::json::value_t::number_float:
            return Kind::Float;
        case nlohmann::json::value_t::string:
            return Kind::String;
        case nlohmann::json::value_t::binary:
            return Kind::Bytes;
        case nlohmann::json::value_t::array:
            return Kind::Array;
        case nlohmann::json::value_t::object:
            return Kind::Object;
        case nlohmann::json::value_t::null:
        case nlohmann::json::value_t::discarded:
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
        auto const& object = m_value->get_ref<nlohmann::json::object_t const&>();
        for (auto const& [key, value] : object) {
            auto key_error = [](std::string message) { return message; };
            auto done = f(key, ValueView(value), key_error);
            if (!done)
                return done;
        }
        return {};
    }

    std::string error(std::string message) const { return message; }

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
        return "string " + debug_quoted(view.string());
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
    return fail(view.error(fmt::format("invalid type: {}, expected {}", unexpected(view), expected)));
}

// An array longer than its record allows: the text reader meets the extra value where it wanted "]".
template <class View> std::unexpected<std::string> too_long(View const& view, std::size_t allowed)
{
    if constexpr (View::from_text)
        return fail(view.item(allowed).error("trailing characters"));
    else
        return fail(fmt::format("invalid length {}, expected fewer elements in array", view.size()));
}

template <class View> std::unexpected<std::string> missing_field(View const& view, std::string_view key)
{
    return fail(view.error(fmt::format("missing field `{}`", key)));
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
    return fail(view.error(fmt::format("invalid value: {}, expected u32", unexpected(view))));
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

template <class View> Result<bool> read_bool(View const& view)
{
    if (view.kind() != Kind::Bool)
        return invalid_type(view, "a boolean");
    return view.boolean();
}

template <class View> Result<std::string> read_string(View const& view)
{
    if (view.kind() != Kind::String)
        return invalid_type(view, "a string");
    return view.string();
}

template <class View> Result<std::optional<std::string>> read_optional_string(View const& view)
{
    if (view.kind() == Kind::Null)
        return std::optional<std::string> {};
    return std::optional<std::string>(TRY(read_string(view)));
}

template <class View> Result<std::optional<std::filesystem::path>> read_optional_path(View const& view)
{
    if (view.kind() == Kind::Null)
        return std::optional<std::filesystem::path> {};
    if (view.kind() != Kind::String)
        return invalid_type(view, "path string");
    return std::optional<std::filesystem::path>(std::filesystem::path(view.string()));
}

template <class E, std::size_t N> struct EnumNames {
    std::array<std::pair<std::string_view, E>, N> names;
};

constexpr EnumNames<Resolution, 5> resolution_names { { { { "P720", Resolution::P720 }, { "P1080", Resolution::P1080 },
    { "P1440", Resolution::P1440 }, { "P2160", Resolution::P2160 }, { "Source", Resolution::Source } } } };
constexpr EnumNames<Codec, 3> codec_names {
    { { { "H264", Codec::H264 }, { "Hevc", Codec::Hevc }, { "Av1", Codec::Av1 } } }
};
constexpr EnumNames<Quality, 3> quality_names {
    { { { "Compact", Quality::Compact }, { "Standard", Quality::Standard }, { "High", Quality::High } } }
};
constexpr EnumNames<Theme, 3> theme_names {
    { { { "System", Theme::System }, { "Light", Theme::Light }, { "Dark", Theme::Dark } } }
};

template <class E, std::size_t N> Result<E> from_name(EnumNames<E, N> const& table, std::string_view name)
{
    for (auto const& [candidate, value] : table.names) {
        if (candidate == name)
            return value;
    }
    std::string expected = "one of ";
    for (std::size_t i = 0; i < N; ++i)
        expected += fmt::format("{}`{}`", i == 0 ? "" : ", ", table.names[i].first);
    return fail(fmt::format("unknown variant `{}`, expected {}", name, expected));
}

template <class E, std::size_t N, class View> Result<E> read_enum(EnumNames<E, N> const& table, View const& view)
{
    if (view.kind() == Kind::String) {
        auto value = from_name(table, view.string());
        if (!value)
            return fail(view.error(value.error()));
        return *value;
    }
    if (view.kind() != Kind::Object)
        return invalid_type(view, "string or map");
    if (view.size() != 1)
        return fail(view.error("invalid value: map, expected map with a single key"));
    std::optional<E> found;
    TRY_VOID(view.for_each_member([&](std::string const& key, View const& value, auto key_error) -> Result<void> {
        auto named = from_name(table, key);
        if (!named)
            return fail(key_error(named.error()));
        if (value.kind() != Kind::Null)
            return invalid_type(value, "unit variant");
        found = *named;
        return {};
    }));
    return *found;
}

// A record read in either of its two forms: the sequence of its fields in order, or a map of named fields
// (unknown names ignored, a repeated name refused).
struct RecordForm {
    std::string_view name; // "struct Hotkey", as errors name it
    std::span<std::string_view const> keys; // the field names, in field order
    std::size_t required; // how many leading fields a map must name
    bool defaulted; // a short sequence leaves the remaining fields as they are
};

// read_field(index, value) reads one field into the record being built.
template <class View, class ReadField>
Result<void> read_record(View const& view, RecordForm const& form, ReadField read_field)
{
    std::size_t const fields = form.keys.size();
    if (view.kind() == Kind::Array) {
        std::size_t count = view.size();
        for (std::size_t i = 0; i < std::min(count, fields); ++i)
            TRY_VOID(read_field(i, view.item(i)));
        if (count < fields && !form.defaulted)
            return fail(
                view.error(fmt::format("invalid length {}, expected {} with {} elements", count, form.name, fields)));
        if (count > fields)
            return too_long(view, fields);
        return {};
    }
    if (view.kind() != Kind::Object)
        return invalid_type(view, form.name);
    std::vector<bool> seen(fields);
    TRY_VOID(view.for_each_member([&](std::string const& key, View const& value, auto key_error) -> Result<void> {
        for (std::size_t i = 0; i < fields; ++i) {
            if (key != form.keys[i])
                continue;
            if (seen[i])
                return fail(key_error(fmt::format("duplicate field `{}`", key)));
            seen[i] = true;
            return read_field(i, value);
        }
        return {};
    }));
    for (std::size_t i = 0; i < form.required; ++i) {
        if (!seen[i])
            return missing_field(view, form.keys[i]);
    }
    return {};
}

constexpr std::string_view hotkey_keys[] = { "mods", "vk", "label" };

template <class View> Result<Hotkey> read_hotkey(View const& view)
{
    Hotkey hotkey;
    TRY_VOID(read_record(
        view, { "struct Hotkey", hotkey_keys, 3, false }, [&](std::size_t field, View const& value) -> Result<void> {
            if (field == 0)
                hotkey.mods = TRY(read_u32(value));
            else if (field == 1)
                hotkey.vk = TRY(read_u32(value));
            else
                hotkey.label = TRY(read_string(value));
            return {};
        }));
    return hotkey;
}

template <class View> Result<std::optional<Hotkey>> read_optional_hotkey(View const& view)
{
    if (view.kind() == Kind::Null)
        return std::optional<Hotkey> {};
    return std::optional<Hotkey>(TRY(read_hotkey(view)));
}

// A slot's key may be left out of the map form (no shortcut), never out of the sequence form.
constexpr std::string_view slot_keys[] = { "secs", "key" };

template <class View> Result<Slot> read_slot(View const& view)
{
    Slot slot;
    TRY_VOID(read_record(
        view, { "struct Slot", slot_keys, 1, false }, [&](std::size_t field, View const& value) -> Result<void> {
            if (field == 0)
                slot.secs = TRY(read_u32(value));
            else
                slot.key = TRY(read_optional_hotkey(value));
            return {};
        }));
    return slot;
}

template <class View> Result<std::vector<Slot>> read_slots(View const& view)
{
    if (view.kind() != Kind::Array)
        return invalid_type(view, "a sequence");
    std::vector<Slot> slots;
    slots.reserve(view.size());
    for (std::size_t i = 0; i < view.size(); ++i)
        slots.push_back(TRY(read_slot(view.item(i))));
    return slots;
}

// JSON keys in the record's field order; the position of a key is its field's index below.
constexpr std::array<std::string_view, 20> settings_keys = {
    "slots",
    "recordKey",
    "resolution",
    "fps",
    "codec",
    "quality",
    "gameAudio",
    "micAudio",
    "micDevice",
    "outputDevice",
    "gameVolume",
    "micVolume",
    "monitor",
    "clipsDir",
    "autostart",
    "theme",
    "inGameToast",
    "captureDesktop",
    "keepDays",
    "maxGb",
};

template <class View> Result<void> read_settings_field(Settings& settings, std::size_t field, View const& view)
{
    switch (field) {
    case 0:
        settings.slots = TRY(read_slots(view));
        break;
    case 1:
        settings.record_key = TRY(read_optional_hotkey(view));
        break;
    case 2:
        settings.resolution = TRY(read_enum(resolution_names, view));
        break;
    case 3:
        settings.fps = TRY(read_u32(view));
        break;
    case 4:
        settings.codec = TRY(read_enum(codec_names, view));
        break;
    case 5:
        settings.quality = TRY(read_enum(quality_names, view));
        break;
    case 6:
        settings.game_audio = TRY(read_bool(view));
        break;
    case 7:
        settings.mic_audio = TRY(read_bool(view));
        break;
    case 8:
        settings.mic_device = TRY(read_optional_string(view));
        break;
    case 9:
        settings.output_device = TRY(read_optional_string(view));
        break;
    case 10:
        settings.game_volume = TRY(read_f32(view));
        break;
    case 11:
        settings.mic_volume = TRY(read_f32(view));
        break;
    case 12:
        settings.monitor = TRY(read_optional_string(view));
        break;
    case 13:
        settings.clips_dir = TRY(read_optional_path(view));
        break;
    case 14:
        settings.autostart = TRY(read_bool(view));
        break;
    case 15:
        settings.theme = TRY(read_enum(theme_names, view));
        break;
    case 16:
        settings.in_game_toast = TRY(read_bool(view));
        break;
    case 17:
        settings.capture_desktop = TRY(read_bool(view));
        break;
    case 18:
        settings.keep_days = TRY(read_u32(view));
        break;
    case 19:
        settings.max_gb = TRY(read_u32(view));
        break;
    }
    return {};
}

template <class View> Result<Settings> read_settings(View const& view)
{
    Settings settings = Settings::defaults();
    TRY_VOID(read_record(view, { "struct Settings", settings_keys, 0, true },
        [&](std::size_t field, View const& value) { return read_settings_field(settings, field, value); }));
    return settings;
}

// Parses the text and reads one value from it; nothing escapes as an exception.
template <class T, class Read> Result<T> read_text(std::string_view text, Read read)
{
    try {
        auto tree = TRY(parse_text(text));
        return read(TextView(tree, text));
    } catch (std::exception const& error) {
        return fail(error.what());
    }
}

template <class T, class Read> Result<T> read_value(nlohmann::json const& value, Read read)
{
    try {
        return read(ValueView(value));
    } catch (std::exception const& error) {
        return fail(error.what());
    }
}

// ---- Writers ---------------------------------------------------------------------------------------------

nlohmann::json string_value(std::string_view text)
{
    return nlohmann::json(utf8::lossy(text));
}

nlohmann::json optional_string_value(std::optional<std::string> const& text)
{
    return text ? string_value(*text) : nlohmann::json(nullptr);
}

nlohmann::json volume_value(float volume)
{
    if (!std::isfinite(volume))
        return nullptr;
    return static_cast<double>(volume);
}

void write_optional_string(std::string& out, std::optional<std::string> const& text)
{
    if (text)
        json_text::append_string(out, *text);
    else
        out += "null";
}

void indent_to(std::string& out, int spaces)
{
    out.append(static_cast<std::size_t>(spaces), ' ');
}

}

std::string_view resolution_name(Resolution value)
{
    auto index = static_cast<std::size_t>(value);
    return index < resolution_names.names.size() ? resolution_names.names[index].first : "P1080";
}

std::string_view codec_name(Codec value)
{
    auto index = static_cast<std::size_t>(value);
    return index < codec_names.names.size() ? codec_names.names[index].first : "H264";
}

std::string_view quality_name(Quality value)
{
    auto index = static_cast<std::size_t>(value);
    return index < quality_names.names.size() ? quality_names.names[index].first : "Standard";
}

std::string_view theme_name(Theme value)
{
    auto index = static_cast<std::size_t>(value);
    return index < theme_names.names.size() ? theme_names.names[index].first : "System";
}

Result<Resolution> resolution_from_name(std::string_view name)
{
    return from_name(resolution_names, name);
}
Result<Codec> codec_from_name(std::string_view name)
{
    return from_name(codec_names, name);
}
Result<Quality> quality_from_name(std::string_view name)
{
    return from_name(quality_names, name);
}
Result<Theme> theme_from_name(std::string_view name)
{
    return from_name(theme_names, name);
}

Result<Settings> deserialize_settings(std::string_view text)
{
    return read_text<Settings>(text, [](TextView const& view) { return read_settings(view); });
}

Result<Slot> deserialize_slot(std::string_view text)
{
    return read_text<Slot>(text, [](TextView const& view) { return read_slot(view); });
}

Result<std::optional<Hotkey>> deserialize_hotkey(std::string_view text)
{
    return read_text<std::optional<Hotkey>>(text, [](TextView const& view) { return read_optional_hotkey(view); });
}

Result<Resolution> deserialize_resolution(std::string_view text)
{
    return read_text<Resolution>(text, [](TextView const& view) { return read_enum(resolution_names, view); });
}

Result<Codec> deserialize_codec(std::string_view text)
{
    return read_text<Codec>(text, [](TextView const& view) { return read_enum(codec_names, view); });
}

Result<Quality> deserialize_quality(std::string_view text)
{
    return read_text<Quality>(text, [](TextView const& view) { return read_enum(quality_names, view); });
}

Result<Theme> deserialize_theme(std::string_view text)
{
    return read_text<Theme>(text, [](TextView const& view) { return read_enum(theme_names, view); });
}

Result<Settings> settings_from_value(nlohmann::json const& value)
{
    return read_value<Settings>(value, [](ValueView const& view) { return read_settings(view); });
}

Result<Slot> slot_from_value(nlohmann::json const& value)
{
    return read_value<Slot>(value, [](ValueView const& view) { return read_slot(view); });
}

Result<std::optional<Hotkey>> hotkey_from_value(nlohmann::json const& value)
{
    return read_value<std::optional<Hotkey>>(value, [](ValueView const& view) { return read_optional_hotkey(view); });
}

Result<Resolution> resolution_from_value(nlohmann::json const& value)
{
    return read_value<Resolution>(value, [](ValueView const& view) { return read_enum(resolution_names, view); });
}

Result<Codec> codec_from_value(nlohmann::json const& value)
{
    return read_value<Codec>(value, [](ValueView const& view) { return read_enum(codec_names, view); });
}

Result<Quality> quality_from_value(nlohmann::json const& value)
{
    return read_value<Quality>(value, [](ValueView const& view) { return read_enum(quality_names, view); });
}

Result<Theme> theme_from_value(nlohmann::json const& value)
{
    return read_value<Theme>(value, [](ValueView const& view) { return read_enum(theme_names, view); });
}

nlohmann::json hotkey_entry_to_value(std::optional<Hotkey> const& key)
{
    if (!key)
        return nullptr;
    nlohmann::json value = nlohmann::json::object();
    value["mods"] = key->mods;
    value["vk"] = key->vk;
    value["label"] = string_value(key->label);
    return value;
}

nlohmann::json codec_to_value(Codec codec)
{
    return std::string(codec_name(codec));
}

Result<nlohmann::json> settings_to_value(Settings const& settings)
{
    try {
        nlohmann::json clips_dir = nullptr;
        if (settings.clips_dir) {
            auto const& native = settings.clips_dir->native();
            if (!utf8::is_valid(native))
                return fail(std::string(invalid_path_error));
            clips_dir = native;
        }
        nlohmann::json slots = nlohmann::json::array();
        for (auto const& slot : settings.slots) {
            nlohmann::json entry = nlohmann::json::object();
            entry["secs"] = slot.secs;
            entry["key"] = hotkey_entry_to_value(slot.key);
            slots.push_back(std::move(entry));
        }
        nlohmann::json value = nlohmann::json::object();
        value["slots"] = std::move(slots);
        value["recordKey"] = hotkey_entry_to_value(settings.record_key);
        value["resolution"] = std::string(resolution_name(settings.resolution));
        value["fps"] = settings.fps;
        value["codec"] = codec_to_value(settings.codec);
        value["quality"] = std::string(quality_name(settings.quality));
        value["gameAudio"] = settings.game_audio;
        value["micAudio"] = settings.mic_audio;
        value["micDevice"] = optional_string_value(settings.mic_device);
        value["outputDevice"] = optional_string_value(settings.output_device);
        value["gameVolume"] = volume_value(settings.game_volume);
        value["micVolume"] = volume_value(settings.mic_volume);
        value["monitor"] = optional_string_value(settings.monitor);
        value["clipsDir"] = std::move(clips_dir);
        value["autostart"] = settings.autostart;
        value["theme"] = std::string(theme_name(settings.theme));
        value["inGameToast"] = settings.in_game_toast;
        value["captureDesktop"] = settings.capture_desktop;
        value["keepDays"] = settings.keep_days;
        value["maxGb"] = settings.max_gb;
        return value;
    } catch (std::exception const& error) {
        return fail(error.what());
    }
}

void write_hotkey_entry(std::string& out, std::optional<Hotkey> const& key, int indent)
{
    if (!key) {
        out += "null";
        return;
    }
    out += "{\n";
    indent_to(out, indent + 2);
    out += fmt::format("\"mods\": {},\n", key->mods);
    indent_to(out, indent + 2);
    out += fmt::format("\"vk\": {},\n", key->vk);
    indent_to(out, indent + 2);
    out += "\"label\": ";
    json_text::append_string(out, key->label);
    out += '\n';
    indent_to(out, indent);
    out += '}';
}

Result<std::string> settings_to_file_text(Settings const& settings)
{
    if (settings.clips_dir && !utf8::is_valid(settings.clips_dir->native()))
        return fail(std::string(invalid_path_error));
    std::string out;
    out.reserve(128);
    // Every top-level member but the first starts with ",\n"; members sit at two spaces.
    bool first = true;
    auto member = [&](std::string_view key) {
        out += first ? "\n" : ",\n";
        first = false;
        out += "  ";
        json_text::append_string(out, key);
        out += ": ";
    };
    out += '{';
    member("slots");
    if (settings.slots.empty()) {
        out += "[]";
    } else {
        out += "[\n";
        for (std::size_t i = 0; i < settings.slots.size(); ++i) {
            auto const& slot = settings.slots[i];
            out += "    {\n";
            out += fmt::format("      \"secs\": {},\n", slot.secs);
            out += "      \"key\": ";
            write_hotkey_entry(out, slot.key, 6);
            out += "\n    }";
            out += i + 1 < settings.slots.size() ? ",\n" : "\n";
        }
        out += "  ]";
    }
    member("recordKey");
    write_hotkey_entry(out, settings.record_key, 2);
    member("resolution");
    json_text::append_string(out, resolution_name(settings.resolution));
    member("fps");
    out += fmt::format("{}", settings.fps);
    member("codec");
    json_text::append_string(out, codec_name(settings.codec));
    member("quality");
    json_text::append_string(out, quality_name(settings.quality));
    member("gameAudio");
    out += settings.game_audio ? "true" : "false";
    member("micAudio");
    out += settings.mic_audio ? "true" : "false";
    member("micDevice");
    write_optional_string(out, settings.mic_device);
    member("outputDevice");
    write_optional_string(out, settings.output_device);
    member("gameVolume");
    out += shortest_number(settings.game_volume);
    member("micVolume");
    out += shortest_number(settings.mic_volume);
    member("monitor");
    write_optional_string(out, settings.monitor);
    member("clipsDir");
    if (settings.clips_dir)
        json_text::append_string(out, settings.clips_dir->native());
    else
        out += "null";
    member("autostart");
    out += settings.autostart ? "true" : "false";
    member("theme");
    json_text::append_string(out, theme_name(settings.theme));
    member("inGameToast");
    out += settings.in_game_toast ? "true" : "false";
    member("captureDesktop");
    out += settings.capture_desktop ? "true" : "false";
    member("keepDays");
    out += fmt::format("{}", settings.keep_days);
    member("maxGb");
    out += fmt::format("{}", settings.max_gb);
    out += "\n}";
    return out;
}

std::filesystem::path settings_path(std::filesystem::path const& data_dir)
{
    return data_dir / settings_file_name;
}

Settings load(std::filesystem::path const& data_dir)
{
    auto text = files::read_text(settings_path(data_dir));
    if (!text)
        return Settings::defaults();
    auto settings = deserialize_settings(*text);
    if (!settings)
        return Settings::defaults();
    return std::move(*settings);
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
    // The temporary file must reach the disk before the rename: otherwise a power cut can leave a renamed but
    // empty settings.json, and the next start would silently fall back to the defaults. When anything fails the
    // temporary file is left as it is and settings.json keeps its former content.
    auto fd = TRY_AS("Réglages : {}", files::open_write(temp, files::Create::Truncate));
    TRY_VOID_AS("Réglages : {}",
        files::write_all(fd.get(), std::span(reinterpret_cast<std::uint8_t const*>(text.data()), text.size())));
    TRY_VOID_AS("Réglages : {}", files::fdatasync_fd(fd.get()));
    fd.reset();
    if (std::rename(temp.c_str(), path.c_str()) != 0)
        return fail(fmt::format("Réglages : {}", os_error(errno)));
    return {};
}

}
