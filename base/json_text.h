#pragma once
// JSON text by hand, for the files whose exact bytes matter (sidecars, settings.json) and for the texts that
// quote what was read: writing strings, quoting them in error messages, and a reader that keeps every member.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "base/result.h"

namespace json_text {

// Appends text as a JSON string: quote, backslash and control characters escaped (\b \f \n \r \t, others as
// lowercase \u00xx), every other character written as UTF-8. A byte that is not UTF-8 is written as U+FFFD,
// so the text always reads back.
void append_string(std::string& out, std::string_view text);

// A string as an error message quotes it: in double quotes, with quote, backslash, \n \r \t and NUL (\0)
// escaped, other control characters and DEL as \u{x}; every other byte as it stands.
std::string quote_for_message(std::string_view text);

// ---- Reading -------------------------------------------------------------------------------------------------

enum class Kind { Null, Bool, Unsigned, Signed, Float, String, Bytes, Array, Object };

struct Member;

// One value. Non-negative integers are Unsigned, negative ones Signed, and "-0" a Float.
struct Node {
    Kind kind { Kind::Null };
    bool boolean { false };
    std::uint64_t unsigned_value { 0 };
    std::int64_t signed_value { 0 };
    double float_value { 0 };
    std::string string {};
    std::vector<Node> items;
    std::vector<Member> members;
};

struct Member {
    std::string key;
    Node value;
};

// Reads one JSON value. Unlike nlohmann's own tree, every member stays, in document order (two equal keys
// included), and a byte-order mark or a NUL byte anywhere is refused; more than 128 levels of nesting fail
// with "recursion limit exceeded". Other errors are the parser's text without its "[json.exception...]" head.
Result<Node> parse(std::string_view text);

}
