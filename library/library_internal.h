#pragma once
// Shared between the library's source files only.

#include <filesystem>
#include <mutex>
#include <string_view>

#include "library/library.h"
#include "base/threads.h"

namespace library::detail {

// Serialises the sidecar writes of one clips folder across the process, held across the whole
// read-modify-write of an edit. A leaf lock: nothing else is taken while it is held.
class SidecarLock {
public:
    explicit SidecarLock(std::filesystem::path const& folder);
    SidecarLock(SidecarLock const&) = delete;
    SidecarLock& operator=(SidecarLock const&) = delete;

private:
    threads::RankScope m_order;
    std::unique_lock<std::mutex> m_lock;
};

// Writes the sidecar through its temporary name; the caller holds the folder's SidecarLock.
Result<void> write_sidecar(std::filesystem::path const& folder, Clip const& clip);

}
