#include "library/settings.h"

#include <algorithm>
#include <system_error>

#include "base/utf8.h"
#include "library/library.h"

namespace settings {

namespace {

namespace fs = std::filesystem;

// The folder as the system reaches it: links followed and "." and ".." gone, as far as it exists; what does
// not exist yet is normalised by its text. No trailing separator, so that "a/b/" and "a/b" compare equal.
fs::path resolved(fs::path const& folder)
{
    std::error_code ec;
    auto path = fs::weakly_canonical(folder, ec);
    if (ec)
        path = folder.lexically_normal();
    if (!path.has_filename() && path.has_relative_path())
        path = path.parent_path();
    return path;
}

// Whether `path` is `folder` or lies inside it, element by element (so "/a/bc" is not inside "/a/b").
bool lies_in(fs::path const& path, fs::path const& folder)
{
    return std::mismatch(folder.begin(), folder.end(), path.begin(), path.end()).first == folder.end();
}

bool names_meta_dir(fs::path const& path)
{
    return std::ranges::any_of(path, [](fs::path const& part) { return part == library::meta_dir_name; });
}

}

std::vector<Slot> default_slots()
{
    // The label is the key's name as the page shows it: "F" and the function key's number.
    constexpr std::uint32_t vk_f1 = 0x70;
    constexpr std::uint32_t defaults[][2] = { { 0x75, 30 }, { 0x76, 60 }, { 0x77, 90 }, { 0x78, 120 } };
    std::vector<Slot> slots;
    slots.reserve(std::size(defaults));
    for (auto const& [vk, secs] : defaults)
        slots.push_back(Slot { secs, Hotkey { 0, vk, fmt::format("F{}", vk - vk_f1 + 1) } });
    return slots;
}

Result<void> check_clips_dir(std::filesystem::path const& folder, std::span<std::filesystem::path const> own_folders)
{
    auto const& text = folder.native();
    if (!utf8::is_valid(text) || text.find('\0') != std::string::npos)
        return fail("Dossier des clips : le chemin contient des caractères invalides");
    if (!folder.is_absolute())
        return fail("Dossier des clips : le chemin doit être absolu");
    // Compared as the system reaches them, so that a link into one of them counts as that folder.
    auto real = resolved(folder);
    if (names_meta_dir(folder.lexically_normal()) || names_meta_dir(real))
        return fail("Dossier des clips : le dossier caché .quillmar garde les fiches des clips, pas les clips");
    for (auto const& own : own_folders) {
        if (!own.empty() && lies_in(real, resolved(own)))
            return fail("Dossier des clips : ce dossier appartient à quill.mar, qui peut y effacer des fichiers");
    }
    return {};
}

bool slots_equal(std::span<Slot const> a, std::span<Slot const> b)
{
    return std::equal(a.begin(), a.end(), b.begin(), b.end());
}

}
