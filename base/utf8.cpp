#include "base/utf8.h"

#include <algorithm>

namespace utf8 {

char32_t next(std::string_view text, std::size_t& i)
{
    auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
    unsigned char lead = byte(i);
    if (lead < 0x80) {
        ++i;
        return lead;
    }
    std::size_t length = lead >= 0xF0 && lead <= 0xF4 ? 4 : lead >= 0xE0 && lead <= 0xEF ? 3 : lead >= 0xC2 && lead <= 0xDF ? 2 : 0;
    if (length == 0 || i + length > text.size()) {
        ++i;
        return replacement;
    }
    char32_t value = lead & (0x7F >> length);
    for (std::size_t k = 1; k < length; ++k) {
        if ((byte(i + k) & 0xC0) != 0x80) {
            ++i;
            return replacement;
        }
        value = (value << 6) | (byte(i + k) & 0x3F);
    }
    bool overlong = (length == 3 && value < 0x800) || (length == 4 && value < 0x10000);
    if (overlong || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) {
        ++i;
        return replacement;
    }
    i += length;
    return value;
}

std::size_t sequence_length(std::string_view text, std::size_t at)
{
    std::size_t end = at;
    char32_t cp = next(text, end);
    // A real U+FFFD is three bytes; a one-byte step to U+FFFD means the input was malformed.
    return cp == replacement && end - at != 3 ? 0 : end - at;
}

bool is_valid(std::string_view text)
{
    for (std::size_t at = 0; at < text.size();) {
        std::size_t length = sequence_length(text, at);
        if (length == 0)
            return false;
        at += length;
    }
    return true;
}

std::string lossy(std::string_view text)
{
    std::string out;
    out.reserve(text.size());
    for (std::size_t at = 0; at < text.size();) {
        std::size_t length = sequence_length(text, at);
        if (length == 0) {
            append(out, replacement);
            ++at;
        } else {
            out.append(text, at, length);
            at += length;
        }
    }
    return out;
}

void append(std::string& out, char32_t cp)
{
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (cp >> 18));
        out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

bool is_space(char32_t cp)
{
    return (cp >= 0x09 && cp <= 0x0D) || cp == 0x20 || cp == 0x85 || cp == 0xA0 || cp == 0x1680
        || (cp >= 0x2000 && cp <= 0x200A) || cp == 0x2028 || cp == 0x2029 || cp == 0x202F || cp == 0x205F
        || cp == 0x3000;
}

std::string_view cut_bytes(std::string_view text, std::size_t max_bytes)
{
    if (text.size() <= max_bytes)
        return text;
    std::size_t cut = max_bytes;
    while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80)
        --cut;
    return text.substr(0, cut);
}

std::string_view trim(std::string_view text)
{
    std::size_t first = text.size(), end = 0;
    for (std::size_t i = 0; i < text.size();) {
        std::size_t at = i;
        if (!is_space(next(text, i))) {
            first = std::min(first, at);
            end = i;
        }
    }
    return first < end ? text.substr(first, end - first) : std::string_view {};
}

std::string_view first_chars(std::string_view text, std::size_t max_chars)
{
    std::size_t i = 0;
    for (std::size_t chars = 0; i < text.size() && chars < max_chars; ++chars)
        next(text, i);
    return text.substr(0, i);
}

}
