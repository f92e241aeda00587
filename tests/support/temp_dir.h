#pragma once
// A real temporary folder per test: made in SetUp under TMPDIR, removed in TearDown (so a failed
// assertion never leaves it behind). Tests that touch XDG folders point the variables inside it.

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace testing_support {

std::filesystem::path make_temp_dir(std::string const& prefix = "quillmar-test");
// The whole file as text; empty when it cannot be read.
std::string read_file(std::filesystem::path const& path);

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
