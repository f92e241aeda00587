#include "tests/support/temp_dir.h"

#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <sched.h>
#include <sstream>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace testing_support {

std::filesystem::path make_temp_dir(std::string const& prefix)
{
    std::error_code ec;
    auto base = std::filesystem::temp_directory_path(ec);
    if (ec)
        base = "/tmp";
    std::string pattern = (base / (prefix + "-XXXXXX")).string();
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
    char* made = ::mkdtemp(buffer.data());
    if (!made)
        throw std::runtime_error("mkdtemp failed");
    return std::filesystem::path(made);
}

void TempDirTest::SetUp() { m_dir = make_temp_dir(); }

void TempDirTest::TearDown()
{
    std::error_code ec;
    std::filesystem::remove_all(m_dir, ec);
}

std::filesystem::path TempDirTest::write_file(std::string const& name, std::string const& text)
{
    auto path = m_dir / name;
    std::filesystem::create_directories(path.parent_path());
    std::ofstream out(path, std::ios::binary);
    out << text;
    return path;
}

std::string read_file(std::filesystem::path const& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

std::vector<std::filesystem::path> open_files_under(pid_t pid, std::filesystem::path const& folder)
{
    std::vector<std::filesystem::path> open;
    std::error_code ec;
    for (auto const& fd : std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/fd", ec)) {
        std::error_code link_error;
        auto target = std::filesystem::read_symlink(fd.path(), link_error);
        if (!link_error && target.string().starts_with(folder.string() + "/"))
            open.push_back(target);
    }
    return open;
}

std::vector<std::uint8_t> TempDirTest::read_bytes(std::filesystem::path const& path)
{
    EXPECT_TRUE(std::filesystem::is_regular_file(path)) << path;
    auto const text = read_file(path);
    return { text.begin(), text.end() };
}

namespace {

bool write_proc(char const* path, std::string const& text)
{
    int fd = ::open(path, O_WRONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    bool ok = ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    ::close(fd);
    return ok;
}

// In the child: a mount namespace of its own (inside a user namespace where this user is root, unless it is
// root already), its mounts private, and the tmpfs.
bool mount_small_disk(std::filesystem::path const& folder, std::uint64_t bytes)
{
    uid_t uid = ::getuid();
    gid_t gid = ::getgid();
    if (uid != 0) {
        if (::unshare(CLONE_NEWUSER | CLONE_NEWNS) != 0)
            return false;
        write_proc("/proc/self/setgroups", "deny");
        if (!write_proc("/proc/self/uid_map", "0 " + std::to_string(uid) + " 1")
            || !write_proc("/proc/self/gid_map", "0 " + std::to_string(gid) + " 1"))
            return false;
    } else if (::unshare(CLONE_NEWNS) != 0) {
        return false;
    }
    if (::mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
        return false;
    auto options = "size=" + std::to_string(bytes);
    return ::mount("tmpfs", folder.c_str(), "tmpfs", 0, options.c_str()) == 0;
}

}

std::optional<std::string> on_small_disk(std::filesystem::path const& folder, std::uint64_t bytes,
                                         std::function<std::string()> const& body)
{
    int pipe_fds[2];
    if (::pipe2(pipe_fds, O_CLOEXEC) != 0)
        return std::nullopt;
    pid_t pid = ::fork();
    if (pid < 0)
        return std::nullopt;
    if (pid == 0) {
        ::close(pipe_fds[0]);
        if (!mount_small_disk(folder, bytes))
            ::_exit(2);
        std::string report = body();
        (void)!::write(pipe_fds[1], report.data(), report.size());
        ::_exit(0);
    }
    ::close(pipe_fds[1]);
    std::string report;
    char buffer[4096];
    for (ssize_t n; (n = ::read(pipe_fds[0], buffer, sizeof buffer)) != 0;) {
        if (n > 0)
            report.append(buffer, static_cast<std::size_t>(n));
        else if (errno != EINTR)
            break;
    }
    ::close(pipe_fds[0]);
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) { }
    if (WIFEXITED(status) && WEXITSTATUS(status) == 2)
        return std::nullopt;
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
        return report + " (the child ended with status " + std::to_string(status) + ")";
    return report;
}

}
