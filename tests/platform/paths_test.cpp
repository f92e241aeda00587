#include "platform/paths.h"

#include <cstdlib>
#include <optional>
#include <string>

#include <gtest/gtest.h>

#include "tests/support/temp_dir.h"

namespace {

constexpr char const* variables[]
    = { "HOME", "XDG_CONFIG_HOME", "XDG_DATA_HOME", "XDG_CACHE_HOME", "XDG_RUNTIME_DIR", "TMPDIR" };

// Points HOME inside the test's folder and clears the XDG variables, so every test starts from the same
// environment.
class Paths : public testing_support::TempDirTest {
protected:
    void SetUp() override
    {
        TempDirTest::SetUp();
        for (auto const* name : variables)
            ::unsetenv(name);
        home = dir() / "home";
        set("HOME", home.string());
    }
    static void set(char const* name, std::string const& value) { ::setenv(name, value.c_str(), 1); }

    std::filesystem::path home;
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
    EXPECT_EQ(paths::runtime_dir(), std::nullopt);
    set("XDG_RUNTIME_DIR", "run/user");
    EXPECT_EQ(paths::runtime_dir(), std::nullopt);
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
