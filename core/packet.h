#pragma once
// One encoded access unit as an encoder produces it, and the shared byte buffer that carries it. Cloning a
// Packet shares the bytes (the reference count is atomic); encoded bytes are never copied once made.

#include <cstdint>
#include <memory>
#include <vector>

using SharedBytes = std::shared_ptr<std::vector<std::uint8_t> const>;

inline SharedBytes make_shared_bytes(std::vector<std::uint8_t> bytes)
{
    return std::make_shared<std::vector<std::uint8_t> const>(std::move(bytes));
}

struct Packet {
    SharedBytes data;
    std::int64_t time { 0 };  // 100 ns ticks on the engine clock
    std::uint8_t flags { 0 }; // bit 0: keyframe (sync sample)

    static constexpr std::uint8_t keyframe_flag = 1;
    bool is_keyframe() const { return flags & keyframe_flag; }
    std::size_t size() const { return data ? data->size() : 0; }
};
