#include "platform/instance.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>

#include "base/file_io.h"
#include "platform/paths.h"

namespace platform {

namespace {

Result<void> ensure_private_folder(std::filesystem::path const& folder)
{
    if (::mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST)
        return fail(os_error(errno));
    struct stat st {};
    if (::lstat(folder.c_str(), &st) != 0)
        return fail(os_error(errno));
    // Someone else's folder (or a link to one) could let another user fake our instance.
    if (!S_ISDIR(st.st_mode) || st.st_uid != ::getuid())
        return fail(os_error(EPERM));
    if ((st.st_mode & 0077) != 0 && ::chmod(folder.c_str(), 0700) != 0)
        return fail(os_error(errno));
    return {};
}

Result<sockaddr_un> socket_address(std::filesystem::path const& path)
{
    sockaddr_un address {};
    address.sun_family = AF_UNIX;
    auto text = path.string();
    if (text.size() >= sizeof address.sun_path)
        return fail(os_error(ENAMETOOLONG));
    std::memcpy(address.sun_path, text.c_str(), text.size() + 1);
    return address;
}

class HeldLock final : public InstanceLock {
public:
    explicit HeldLock(files::Fd lock)
        : m_lock(std::move(lock))
    {
    }

private:
    files::Fd m_lock;
};

void watch(int listener, std::function<void()> on_show)
{
    for (;;) {
        int client = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
        if (client < 0) {
            if (errno == EINTR || errno == ECONNABORTED)
                continue;
            return;
        }
        ::close(client);
        on_show();
    }
}

}

std::filesystem::path instance_folder()
{
    if (auto runtime = paths::runtime_dir())
        return *runtime / paths::app_folder_name;
    return paths::temp_dir() / fmt::format("{}-{}", paths::app_folder_name, ::getuid());
}

Result<InstanceOutcome> claim_instance(std::uint64_t key, std::function<void()> on_show)
{
    auto folder = instance_folder();
    TRY_VOID(ensure_private_folder(folder));
    auto lock_path = folder / fmt::format("QuillmarInstance-{:x}", key);
    auto socket_path = folder / fmt::format("QuillmarShow-{:x}", key);
    auto address = TRY(socket_address(socket_path));

    int raw_lock = ::open(lock_path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (raw_lock < 0)
        return fail(os_error(errno));
    files::Fd lock(raw_lock);
    if (::flock(lock.get(), LOCK_EX | LOCK_NB) != 0) {
        if (errno != EWOULDBLOCK)
            return fail(os_error(errno));
        // Another instance holds the folder: ask it for its window. A failure leaves it as it is.
        int poke = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (poke >= 0) {
            ::connect(poke, reinterpret_cast<sockaddr const*>(&address), sizeof address);
            ::close(poke);
        }
        return InstanceOutcome { InstanceOutcome::Role::Second, nullptr };
    }

    // We hold the lock, so a socket file left here belongs to a dead instance.
    ::unlink(socket_path.c_str());
    int listener = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (listener >= 0 && ::bind(listener, reinterpret_cast<sockaddr const*>(&address), sizeof address) == 0
        && ::listen(listener, 8) == 0) {
        try {
            std::thread(watch, listener, std::move(on_show)).detach();
        } catch (std::system_error const&) {
            // No watcher: a later start cannot bring this one forward, nothing else changes.
            ::close(listener);
        }
    } else if (listener >= 0) {
        ::close(listener);
    }
    return InstanceOutcome { InstanceOutcome::Role::First, std::make_unique<HeldLock>(std::move(lock)) };
}

}
