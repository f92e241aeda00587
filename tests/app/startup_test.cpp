#include "app/startup.h"
#include "platform/instance.h"

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <thread>

#include <gtest/gtest.h>

#include "tests/support/temp_dir.h"

using namespace std::chrono_literals;

class ShellLegacy : public testing_support::TempDirTest { };

TEST_F(ShellLegacy, MovesOnlyAFolderAndNeverOverwrites)
{
    auto fresh = dir() / "quill.mar";
    write_file("Fennow/settings.json", "{}");
    shell::migrate_legacy_folder(fresh);
    EXPECT_EQ(read_file(fresh / "settings.json"), "{}");
    EXPECT_FALSE(std::filesystem::exists(dir() / "Fennow"));

    // Both present: nothing moves.
    write_file("Fennow/old.txt", "old");
    shell::migrate_legacy_folder(fresh);
    EXPECT_TRUE(std::filesystem::exists(dir() / "Fennow/old.txt"));

    // The old name as a file: nothing moves.
    auto other = dir() / "b" / "quill.mar";
    write_file("b/Fennow", "file");
    shell::migrate_legacy_folder(other);
    EXPECT_FALSE(std::filesystem::exists(other));

    // The old name as a link to a folder: the link is not followed.
    auto linked = dir() / "c" / "quill.mar";
    write_file("elsewhere/keep.txt", "x");
    std::filesystem::create_directories(dir() / "c");
    std::filesystem::create_directory_symlink(dir() / "elsewhere", dir() / "c" / "Fennow");
    shell::migrate_legacy_folder(linked);
    EXPECT_FALSE(std::filesystem::exists(linked));
}

class ShellInstance : public testing_support::TempDirTest {
protected:
    void SetUp() override
    {
        TempDirTest::SetUp();
        char const* old = std::getenv("XDG_RUNTIME_DIR");
        m_saved = old ? old : "";
        ::setenv("XDG_RUNTIME_DIR", dir().c_str(), 1);
    }
    void TearDown() override
    {
        ::setenv("XDG_RUNTIME_DIR", m_saved.c_str(), 1);
        TempDirTest::TearDown();
    }

private:
    std::string m_saved;
};

TEST_F(ShellInstance, SecondClaimPokesTheFirst)
{
    std::atomic<int> shows { 0 };
    auto first = platform::claim_instance(0xabc, [&] { ++shows; });
    ASSERT_TRUE(first) << first.error();
    EXPECT_EQ(first->role, platform::InstanceOutcome::Role::First);
    // flock is per open file description: a second claim in this process sees the lock taken.
    auto second = platform::claim_instance(0xabc, [] { });
    ASSERT_TRUE(second);
    EXPECT_EQ(second->role, platform::InstanceOutcome::Role::Second);
    for (int i = 0; i < 200 && shows == 0; ++i)
        std::this_thread::sleep_for(5ms);
    EXPECT_EQ(shows, 1);
    EXPECT_TRUE(std::filesystem::exists(dir() / "quill.mar" / "QuillmarShow-abc"));
    auto mode = std::filesystem::status(dir() / "quill.mar").permissions();
    EXPECT_EQ(mode & std::filesystem::perms::all, std::filesystem::perms::owner_all);

    // Another key is another instance.
    auto other = platform::claim_instance(0xdef, [] { });
    ASSERT_TRUE(other);
    EXPECT_EQ(other->role, platform::InstanceOutcome::Role::First);
}
