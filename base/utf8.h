#pragma once
// Small UTF-8 helpers for text that comes from outside (window titles, paths, settings).

#include <cstddef>
#include <string>
#include <string_view>

namespace utf8 {

constexpr char32_t replacement = 0xFFFD;

// Decodes the sequence at text[i] and advances i past it. A malformed, overlong or surrogate sequence
// gives U+FFFD and advances by one byte.
char32_t next(std::string_view text, std::size_t& i);
// Length of the well-formed sequence starting at text[at], or 0 when the bytes there are not one.
std::size_t sequence_length(std::string_view text, std::size_t at);
bool is_valid(std::string_view text);
// The text with every byte that starts no well-formed sequence replaced by U+FFFD.
std::string lossy(std::string_view text);
void append(std::string& out, char32_t cp);
// Unicode White_Space.
bool is_space(char32_t cp);
// The longest prefix of text that is at most max_bytes long and ends on a character boundary.
std::string_view cut_bytes(std::string_view text, std::size_t max_bytes);
// The text without White_Space characters at either end.
std::string_view trim(std::string_view text);
// The longest prefix of text that holds at most max_chars characters (as next() counts them).
std::string_view first_chars(std::string_view text, std::size_t max_chars);

}
