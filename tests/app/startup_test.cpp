#include "app/startup.h"
#include "platform/instance.h"

#include <cstdlib>

#include <gtest/gtest.h>

#include "tests/support/temp_dir.h"

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

class ShellInstance : public testing_support::TempDirTest { };

// A second start pokes the first: the program tests show it (the window comes forward, the second exits).
TEST_F(ShellInstance, FolderIsPrivateAndEachKeyIsItsOwnInstance)
{
    // ctest runs each test in a process of its own, and this is the file's last: the variable is not put back.
    ::setenv("XDG_RUNTIME_DIR", dir().c_str(), 1);
    auto first = platform::claim_instance(0xabc, [] { });
    ASSERT_TRUE(first) << first.error();
    EXPECT_EQ(first->role, platform::InstanceOutcome::Role::First);
    auto mode = std::filesystem::status(dir() / "quill.mar").permissions();
    EXPECT_EQ(mode & std::filesystem::perms::all, std::filesystem::perms::owner_all);
    auto other = platform::claim_instance(0xdef, [] { });
    ASSERT_TRUE(other);
    EXPECT_EQ(other->role, platform::InstanceOutcome::Role::First);
}
