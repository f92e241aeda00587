#include "base/json_text.h"

#include <exception>

#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include "base/utf8.h"

// Nodes are built naming only what they hold; their lists start empty. The header cannot give `members` an
// initializer while Member is still incomplete (clang refuses it), so g++ would warn at every such node.
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"

namespace json_text {

namespace {

constexpr std::size_t max_nesting_depth = 128;

// The escapes a JSON string and an error message's quote share, or nothing for any other byte.
std::string_view shared_escape(char c)
{
    switch (c) {
    case '"':
        return "\\\"";
    case '\\':
        return "\\\\";
    case '\n':
        return "\\n";
    case '\r':
        return "\\r";
    case '\t':
        return "\\t";
    default:
        return {};
    }
}

class TreeBuilder final : public nlohmann::json_sax<nlohmann::json> {
public:
    Node& root() { return m_root; }
    std::string const& error() const { return m_error; }

    bool null() override { return place(Node {}); }
    bool boolean(bool value) override { return place(Node { .kind = Kind::Bool, .boolean = value }); }
    bool number_integer(number_integer_t value) override
    {
        // Non-negative integers arrive as unsigned; a signed zero can only be "-0", which is a float.
        if (value == 0)
            return place(Node { .kind = Kind::Float, .float_value = -0.0 });
        return place(Node { .kind = Kind::Signed, .signed_value = value });
    }
    bool number_unsigned(number_unsigned_t value) override
    {
        return place(Node { .kind = Kind::Unsigned, .unsigned_value = value });
    }
    bool number_float(number_float_t value, string_t const&) override
    {
        return place(Node { .kind = Kind::Float, .float_value = value });
    }
    bool string(string_t& value) override { return place(Node { .kind = Kind::String, .string = std::move(value) }); }
    bool binary(binary_t&) override { return place(Node { .kind = Kind::Bytes }); }
    bool start_object(std::size_t) override { return open(Kind::Object); }
    bool key(string_t& value) override
    {
        m_stack.back()->members.push_back(Member { std::move(value), Node {} });
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
        m_error = what;
        return false;
    }

private:
    Node* place(Node node)
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

    bool open(Kind kind)
    {
        if (m_stack.size() >= max_nesting_depth) {
            m_error = "recursion limit exceeded";
            return false;
        }
        m_stack.push_back(place(Node { .kind = kind }));
        return true;
    }

    bool close()
    {
        m_stack.pop_back();
        return true;
    }

    Node m_root;
    std::vector<Node*> m_stack;
    std::string m_error;
};

}

Result<Node> parse(std::string_view text)
{
    if (text.starts_with("\xEF\xBB\xBF"))
        return fail("expected value");
    TreeBuilder builder;
    bool parsed = false;
    try {
        parsed = nlohmann::json::sax_parse(text.begin(), text.end(), &builder);
    } catch (std::exception const& error) {
        return fail(error.what());
    }
    if (!parsed)
        return fail(builder.error().empty() ? std::string("invalid JSON") : builder.error());
    // The parser takes a NUL byte for the end of the input; a NUL cannot sit inside a parsed string (control
    // characters must be escaped there), so one anywhere means bytes after the value.
    if (text.find('\0') != std::string_view::npos)
        return fail("trailing characters");
    return std::move(builder.root());
}

void append_string(std::string& out, std::string_view text)
{
    static constexpr char hex[] = "0123456789abcdef";
    out += '"';
    for (std::size_t at = 0; at < text.size();) {
        std::size_t length = utf8::sequence_length(text, at);
        if (length == 0) {
            // One bad byte would make the whole file unreadable.
            utf8::append(out, utf8::replacement);
            ++at;
            continue;
        }
        if (length > 1) {
            out.append(text, at, length);
            at += length;
            continue;
        }
        char c = text[at++];
        if (auto escape = shared_escape(c); !escape.empty()) {
            out += escape;
        } else if (c == '\b') {
            out += "\\b";
        } else if (c == '\f') {
            out += "\\f";
        } else if (static_cast<unsigned char>(c) < 0x20) {
            out += "\\u00";
            out += hex[(c >> 4) & 0xF];
            out += hex[c & 0xF];
        } else {
            out += c;
        }
    }
    out += '"';
}

std::string quote_for_message(std::string_view text)
{
    std::string out = "\"";
    for (char c : text) {
        auto byte = static_cast<unsigned char>(c);
        if (auto escape = shared_escape(c); !escape.empty())
            out += escape;
        else if (c == '\0')
            out += "\\0";
        else if (byte < 0x20 || byte == 0x7F)
            out += fmt::format("\\u{{{:x}}}", byte);
        else
            out += c;
    }
    return out + "\"";
}

}
