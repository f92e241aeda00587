#pragma once
// Windows virtual-key codes (as stored in the settings) to X keysyms.

#include <cstdint>

namespace platform::linux_keys {

// 0 when the key has no X equivalent.
std::uint32_t vk_to_keysym(std::uint32_t vk);

}
