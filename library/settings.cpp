#include "library/settings.h"

#include <algorithm>

#include "base/utf8.h"

namespace settings {

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

Result<void> check_clips_dir(std::filesystem::path const& folder)
{
    auto const& text = folder.native();
    if (!utf8::is_valid(text) || text.find('\0') != std::string::npos)
        return fail("Dossier des clips : le chemin contient des caractères invalides");
    if (!folder.is_absolute())
        return fail("Dossier des clips : le chemin doit être absolu");
    return {};
}

bool slots_equal(std::span<Slot const> a, std::span<Slot const> b)
{
    return std::equal(a.begin(), a.end(), b.begin(), b.end());
}

}
