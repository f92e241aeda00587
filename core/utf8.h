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
bool is_valid(std::string_view text);
void append(std::string& out, char32_t cp);
// Unicode White_Space.
bool is_space(char32_t cp);
// The longest prefix of text that is at most max_bytes long and ends on a character boundary.
std::string_view cut_bytes(std::string_view text, std::size_t max_bytes);

}
