#include "platform/paths.h"

#include <cstdlib>
#include <map>
#include <optional>
#include <string>

#include <gtest/gtest.h>

#include "tests/support/temp_dir.h"

namespace {

constexpr char const* variables[]
    = { "HOME", "XDG_CONFIG_HOME", "XDG_DATA_HOME", "XDG_CACHE_HOME", "XDG_RUNTIME_DIR", "TMPDIR" };

// Points HOME inside the test's folder, clears the XDG variables, and puts everything back afterwards.
class Paths : public testing_support::TempDirTest {
protected:
    void SetUp() override
    {
        TempDirTest::SetUp();
        for (auto const* name : variables) {
            if (char const* value = std::getenv(name))
                m_saved[name] = value;
            else
                m_saved[name] = std::nullopt;
            ::unsetenv(name);
        }
        home = dir() / "home";
        set("HOME", home.string());
    }
    void TearDown() override
    {
        for (auto const& [name, value] : m_saved) {
            if (value)
                ::setenv(name.c_str(), value->c_str(), 1);
            else
                ::unsetenv(name.c_str());
        }
        TempDirTest::TearDown();
    }
    static void set(char const* name, std::string const& value) { ::setenv(name, value.c_str(), 1); }

    std::filesystem::path home;

private:
    std::map<std::string, std::optional<std::string>> m_saved;
};

}

TEST_F(Paths, BaseFoldersUseAbsoluteVariablesOnly)
{
    struct Row {
        char const* variable;
        std::filesystem::path (*get)();
        std::filesystem::path fallback;
    };
    Row const rows[] = { { "XDG_CONFIG_HOME", paths::config_home, ".config" },
        { "XDG_DATA_HOME", paths::data_home, ".local/share" }, { "XDG_CACHE_HOME", paths::cache_home, ".cache" } };
    for (auto const& row : rows) {
        SCOPED_TRACE(row.variable);
        EXPECT_EQ(row.get(), home / row.fallback);
        set(row.variable, "");
        EXPECT_EQ(row.get(), home / row.fallback);
        set(row.variable, "relative/dir");
        EXPECT_EQ(row.get(), home / row.fallback);
        set(row.variable, (dir() / "xdg").string());
        EXPECT_EQ(row.get(), dir() / "xdg");
    }
}

TEST_F(Paths, ProgramFoldersSitInsideTheBaseFolders)
{
    set("XDG_CONFIG_HOME", (dir() / "config").string());
    set("XDG_DATA_HOME", (dir() / "data").string());
    set("XDG_CACHE_HOME", (dir() / "cache").string());
    EXPECT_EQ(paths::config_dir(), dir() / "config" / "quill.mar");
    EXPECT_EQ(paths::data_dir(), dir() / "data" / "quill.mar");
    EXPECT_EQ(paths::cache_dir(), dir() / "cache" / "quill.mar");
}

TEST_F(Paths, UnusableHomeFallsBackToTheTemporaryFolder)
{
    set("TMPDIR", dir().string());
    EXPECT_EQ(paths::temp_dir(), dir());
    for (char const* value : { "", "relative" }) {
        SCOPED_TRACE(value);
        set("HOME", value);
        EXPECT_EQ(paths::home_dir(), std::nullopt);
        EXPECT_EQ(paths::config_home(), dir() / ".config");
    }
    ::unsetenv("HOME");
    EXPECT_EQ(paths::config_dir(), dir() / ".config" / "quill.mar");
}

TEST_F(Paths, RuntimeFolderOnlyWhenAbsolute)
{
    EXPECT_EQ(paths::runtime_dir(), std::nullopt);
    set("XDG_RUNTIME_DIR", "run/user");
    EXPECT_EQ(paths::runtime_dir(), std::nullopt);
    set("XDG_RUNTIME_DIR", "/run/user/0");
    EXPECT_EQ(paths::runtime_dir(), std::filesystem::path("/run/user/0"));
}
