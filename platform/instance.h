#pragma once
// One running instance per data folder. The first process holds a lock and listens on a local socket; a
// later process finds the lock taken, pokes the socket (which the first turns into "show the window") and
// exits. Both live in a private (0700) folder under the user's runtime folder.

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>

#include "base/result.h"

namespace platform {

class InstanceLock {
public:
    virtual ~InstanceLock() = default;
};

struct InstanceOutcome {
    enum class Role { First, Second };
    Role role { Role::First };
    // For the first instance: held for the life of the process (dropping it releases the lock).
    std::unique_ptr<InstanceLock> lock;
};

// `key` names the lock and socket ("QuillmarInstance-{:x}", "QuillmarShow-{:x}"). For the first instance,
// on_show is called on an unnamed watcher thread once per poke from a later start. A second instance has
// already poked the first when this returns. Errors (no usable runtime folder) are the system's text.
Result<InstanceOutcome> claim_instance(std::uint64_t key, std::function<void()> on_show);

// The private folder that holds the lock and socket: $XDG_RUNTIME_DIR/quill.mar, else a 0700 folder of
// this user under the temporary folder.
std::filesystem::path instance_folder();

}
