#include "library/naming.h"

#include <algorithm>
#include <cmath>
#include <mutex>
#include <set>
#include <vector>

#include <fmt/format.h>
#include <sys/stat.h>

#include "base/utf8.h"
#include "library/library.h"

namespace engine {

namespace {

constexpr std::size_t base_max_chars = 60;
// Leaves room within the 255-byte file-name limit for the stamp, a part suffix, a " (N)" counter and the
// longest extension written beside a clip (".mp4.part", ".json.tmp").
constexpr std::size_t base_max_bytes = 160;

struct Reserved {
    std::mutex mutex;
    std::set<std::pair<std::string, std::string>> names; // (folder, id)
};

Reserved& reserved()
{
    static Reserved* instance = new Reserved; // never destroyed: detached threads may still name clips
    return *instance;
}

bool forbidden(char32_t cp)
{
    switch (cp) {
    case '<': case '>': case ':': case '"': case '/': case '\\': case '|': case '?': case '*':
        return true;
    default:
        return cp < 0x20 || (cp >= 0x7F && cp <= 0x9F);
    }
}

bool entry_exists(std::filesystem::path const& path)
{
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0;
}

std::string trim(std::string_view text) { return std::string(utf8::trim(text)); }

}

ClipName::ClipName(std::filesystem::path folder, std::string id)
    : m_folder(std::move(folder))
    , m_id(std::move(id))
{
}

ClipName::ClipName(ClipName&& other) noexcept
    : m_folder(std::move(other.m_folder))
    , m_id(std::move(other.m_id))
{
    other.m_id.clear();
}

ClipName& ClipName::operator=(ClipName&& other) noexcept
{
    if (this != &other) {
        release();
        m_folder = std::move(other.m_folder);
        m_id = std::move(other.m_id);
        other.m_id.clear();
    }
    return *this;
}

ClipName::~ClipName() { release(); }

void ClipName::release()
{
    if (m_id.empty())
        return;
    auto& r = reserved();
    std::lock_guard lock(r.mutex);
    r.names.erase({ m_folder.string(), m_id });
    m_id.clear();
}

namespace {

// Forbidden and control characters become "_"; two dots in a row would break the clip id rule (the clip
// could never be opened or deleted), so runs of dots become one.
std::string replace_unsafe(std::string_view text)
{
    std::string replaced;
    for (std::size_t i = 0; i < text.size();) {
        char32_t cp = utf8::next(text, i);
        if (forbidden(cp))
            cp = '_';
        if (cp == '.' && !replaced.empty() && replaced.back() == '.')
            continue;
        utf8::append(replaced, cp);
    }
    return replaced;
}

}

std::string clip_name_base(std::string_view game)
{
    // Trimming repeats until stable, so that a name of dots and spaces alone ends empty. Leading dots go too:
    // a file whose name starts with one is hidden on Linux, and the player would never see the clip.
    auto base = trim(replace_unsafe(game));
    for (;;) {
        auto before = base.size();
        while (!base.empty() && base.back() == '.')
            base.pop_back();
        base.erase(0, std::min(base.find_first_not_of('.'), base.size()));
        base = trim(base);
        if (base.size() == before)
            break;
    }
    if (base.empty())
        return "Clip";
    std::size_t chars = 0, i = 0;
    while (i < base.size() && chars < base_max_chars) {
        utf8::next(base, i);
        ++chars;
    }
    base.resize(i);
    return std::string(utf8::cut_bytes(base, base_max_bytes));
}

ClipName clip_file_name(std::filesystem::path const& folder, std::string_view game, std::string_view name)
{
    // The name is made safe too: an unsafe one would never become a valid id, whatever the counter.
    auto first = fmt::format("{} {}", clip_name_base(game), replace_unsafe(name));
    auto& r = reserved();
    std::lock_guard lock(r.mutex);
    for (std::uint64_t n = 1;; ++n) {
        auto candidate = n == 1 ? first : fmt::format("{} ({})", first, n);
        if (!library::is_valid_clip_id(candidate))
            continue;
        if (r.names.contains({ folder.string(), candidate }))
            continue;
        if (entry_exists(folder / (candidate + ".mp4")) || entry_exists(folder / (candidate + ".mp4.part")))
            continue;
        r.names.insert({ folder.string(), candidate });
        return ClipName(folder, candidate);
    }
}

std::string format_size(std::uint64_t bytes)
{
    double m = static_cast<double>(bytes) / 1'000'000.0;
    auto text = m >= 1000.0 ? fmt::format("{:.1f} Go", m / 1000.0) : fmt::format("{:.0f} Mo", m);
    for (auto& c : text) {
        if (c == '.')
            c = ',';
    }
    return text;
}

std::string format_duration(double secs)
{
    double rounded = std::round(secs); // halves away from zero
    auto whole = rounded > 0 ? static_cast<std::uint64_t>(rounded) : 0;
    return fmt::format("{}:{:02}", whole / 60, whole % 60);
}

}
