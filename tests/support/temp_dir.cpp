#include "tests/support/temp_dir.h"

#include <cstdlib>
#include <fstream>
#include <sstream>
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

}
