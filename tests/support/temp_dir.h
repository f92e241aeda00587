#pragma once
// A real temporary folder per test: made in SetUp under TMPDIR, removed in TearDown (so a failed
// assertion never leaves it behind). Tests that touch XDG folders point the variables inside it.

#include <csignal>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include <sys/resource.h>
#include <sys/types.h>

#include <gtest/gtest.h>

namespace testing_support {

std::filesystem::path make_temp_dir(std::string const& prefix = "quillmar-test");
// The whole file as text; empty when it cannot be read.
std::string read_file(std::filesystem::path const& path);
// The files under `folder` that process `pid` holds open (or held, before an unlink).
std::vector<std::filesystem::path> open_files_under(pid_t pid, std::filesystem::path const& folder);

// Runs `body` while files may not grow past `bytes` in this process, as on a full disk.
template <class Body> void with_file_size_limit(rlim_t bytes, Body body)
{
    auto previous_handler = std::signal(SIGXFSZ, SIG_IGN);
    rlimit previous {};
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &previous), 0);
    rlimit small = previous;
    small.rlim_cur = bytes;
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
    body();
    ::setrlimit(RLIMIT_FSIZE, &previous);
    std::signal(SIGXFSZ, previous_handler);
}

// Runs `body` in a child process that sees a tmpfs of `bytes` mounted on `folder` (made beforehand), a disk
// that really fills: each write gets what room is left, then ENOSPC. The mount is private to the child (its
// own mount namespace, and its own user namespace when not root), so nothing outlives it. Gives what `body`
// returned (empty when it found nothing wrong), or nothing when the system allows no such mount: the caller
// skips. gtest's checks cannot cross the process boundary, which is why `body` reports in text.
std::optional<std::string> on_small_disk(std::filesystem::path const& folder, std::uint64_t bytes,
                                         std::function<std::string()> const& body);

class TempDirTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;
    std::filesystem::path const& dir() const { return m_dir; }
    // Writes text to dir()/name (creating parent folders) and returns the path.
    std::filesystem::path write_file(std::string const& name, std::string const& text);
    static std::string read_file(std::filesystem::path const& path) { return testing_support::read_file(path); }
    // The whole file; a file that cannot be read fails the test and gives what was read.
    static std::vector<std::uint8_t> read_bytes(std::filesystem::path const& path);

private:
    std::filesystem::path m_dir;
};

}
