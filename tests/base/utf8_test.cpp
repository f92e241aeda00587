#include <tuple>

#include <gtest/gtest.h>

#include "base/utf8.h"

namespace {

struct SequenceRow {
    char const* what;
    std::string_view bytes;
    std::size_t length; // of the sequence at the start, 0 when it is not one
    char32_t decoded; // what next() gives there
};

// Text from window titles, paths and sidecars: each of these decides whether a byte survives.
SequenceRow const sequences[] = {
    { "ascii", "A", 1, U'A' },
    { "two bytes", "\xC3\xA9", 2, U'\u00E9' },
    { "three bytes", "\xE2\x82\xAC", 3, U'\u20AC' },
    { "four bytes", "\xF0\x9F\x8E\xAE", 4, U'\U0001F3AE' },
    { "last code point", "\xF4\x8F\xBF\xBF", 4, U'\U0010FFFF' },
    { "before the surrogates", "\xED\x9F\xBF", 3, U'\uD7FF' },
    { "after the surrogates", "\xEE\x80\x80", 3, U'\uE000' },
    { "overlong two bytes", "\xC0\x80", 0, U'\uFFFD' },
    { "overlong three bytes", "\xE0\x9F\xBF", 0, U'\uFFFD' },
    { "overlong four bytes", "\xF0\x8F\xBF\xBF", 0, U'\uFFFD' },
    { "surrogate", "\xED\xA0\x80", 0, U'\uFFFD' },
    { "past U+10FFFF", "\xF4\x90\x80\x80", 0, U'\uFFFD' },
    { "lead F5", "\xF5\x80\x80\x80", 0, U'\uFFFD' },
    { "lone continuation", "\x80", 0, U'\uFFFD' },
    { "truncated", "\xE2\x82", 0, U'\uFFFD' },
    { "bad continuation", "\xE2\x28\xA1", 0, U'\uFFFD' },
};

TEST(Utf8Sequence, LengthAndCodePointAgreeOnEveryForm)
{
    for (auto const& row : sequences) {
        SCOPED_TRACE(row.what);
        EXPECT_EQ(utf8::sequence_length(row.bytes, 0), row.length);
        std::size_t at = 0;
        EXPECT_EQ(utf8::next(row.bytes, at), row.decoded);
        // A bad sequence costs one byte, so the bytes after it are read again from the next one.
        EXPECT_EQ(at, row.length == 0 ? 1 : row.length);
        EXPECT_EQ(utf8::is_valid(row.bytes), row.length == row.bytes.size());
        if (row.length != 0) {
            std::string encoded;
            utf8::append(encoded, row.decoded);
            EXPECT_EQ(encoded, row.bytes);
        }
    }
}

// Titles are cut by characters: never inside a sequence, and a bad byte counts as one character.
TEST(Utf8FirstChars, CutsOnCharacterBoundaries)
{
    std::tuple<std::string_view, std::size_t, std::string_view> const rows[] = {
        { "abc", 5, "abc" },
        { "abc", 0, "" },
        { "\xC3\xA9t\xC3\xA9", 2, "\xC3\xA9t" },
        { "a\xF0\x9F\x8E\xAE" "b", 2, "a\xF0\x9F\x8E\xAE" },
        { "\x80\x80z", 2, "\x80\x80" },
    };
    for (auto [text, max_chars, prefix] : rows)
        EXPECT_EQ(utf8::first_chars(text, max_chars), prefix) << max_chars;
}

}
