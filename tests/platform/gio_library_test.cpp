// The library's Linux services for real: the GIO trash and the XDG Videos folder. GLib reads HOME and the
// XDG variables once per process, so one temporary home serves every test of this executable.

#include <cstdlib>
#include <fstream>

#include <gtest/gtest.h>

#include "library/library.h"
#include "platform/folders.h"
#include "platform/trash.h"
#include "tests/support/media_check.h"
#include "tests/support/temp_dir.h"

namespace fs = std::filesystem;

namespace {

fs::path g_root;

class TemporaryHome : public ::testing::Environment {
public:
    void SetUp() override
    {
        g_root = testing_support::make_temp_dir("quillmar-gio");
        fs::create_directories(g_root / "home");
        fs::create_directories(g_root / "config");
        setenv("HOME", (g_root / "home").c_str(), 1);
        setenv("XDG_DATA_HOME", (g_root / "data").c_str(), 1);
        setenv("XDG_CONFIG_HOME", (g_root / "config").c_str(), 1);
        std::ofstream(g_root / "config" / "user-dirs.dirs") << "XDG_VIDEOS_DIR=\"$HOME/Films\"\n";
    }
    void TearDown() override
    {
        std::error_code ec;
        fs::remove_all(g_root, ec);
    }
};

auto* const home = ::testing::AddGlobalTestEnvironment(new TemporaryHome);

class GioLibrary : public ::testing::Test {
protected:
    void SetUp() override
    {
        auto opened = platform::gio_trash_driver.open();
        ASSERT_TRUE(opened);
        trash = std::move(*opened);
        folder = g_root / "home" / "Films" / "quill.mar";
        ASSERT_TRUE(library::ensure_meta_dir(folder));
    }
    void add_clip(std::string const& id)
    {
        for (auto path : { folder / (id + ".mp4"), library::thumb_path(folder, id) })
            std::ofstream(path) << "bytes";
        ASSERT_TRUE(library::set_favorite(folder, id, true));
    }
    std::unique_ptr<platform::Trash> trash;
    fs::path folder;
};

}

TEST_F(GioLibrary, VideosFolderComesFromUserDirs)
{
    EXPECT_EQ(platform::videos_dir(), g_root / "home" / "Films");
    EXPECT_EQ(library::resolve_clips_dir(std::nullopt, platform::videos_dir()), folder);
}

// Judged by the trash's other users: trash-cli reads the trash folders itself, and GIO's own listing goes
// through trash:// (which needs the GVfs trash backend, so it is checked only where it answers).
TEST_F(GioLibrary, DeletedClipLandsInTheTrashAsOtherToolsSeeIt)
{
    add_clip("Partie (1) été");
    library::PendingList pending;
    std::vector<std::string> ids { "Partie (1) été" };
    auto now = std::chrono::steady_clock::now();
    ASSERT_TRUE(library::mark_deleted(pending, folder, ids, now));
    EXPECT_TRUE(library::purge_deleted(pending, *trash, library::Force::No, now + std::chrono::seconds(6)).empty());
    EXPECT_FALSE(fs::exists(folder / "Partie (1) été.mp4"));
    EXPECT_FALSE(fs::exists(library::meta_path(folder, "Partie (1) été")));
    EXPECT_FALSE(fs::exists(library::thumb_path(folder, "Partie (1) été")));
    auto original = (folder / "Partie (1) été.mp4").string();

    auto [listed, output] = media::run({ "sh", "-c", "trash-list" });
    if (listed == 127)
        GTEST_SKIP() << "trash-list is missing (Debian package trash-cli)";
    EXPECT_EQ(listed, 0) << output;
    EXPECT_NE(output.find(" " + original + "\n"), std::string::npos) << output;

    auto [status, gio_output] = media::run({ "gio", "trash", "--list" });
    if (status != 0 && gio_output.find("not supported") != std::string::npos)
        return;
    EXPECT_EQ(status, 0) << gio_output;
    EXPECT_NE(gio_output.find("\t" + original), std::string::npos) << gio_output;
}

TEST_F(GioLibrary, RefusedTrashNeverDeletesForGood)
{
    add_clip("kept");
    // A plain file where the trash folder belongs: GIO cannot trash anything on this file system.
    auto bin = g_root / "data" / "Trash";
    auto moved_aside = g_root / "data" / "Trash.aside";
    std::error_code ec;
    fs::rename(bin, moved_aside, ec);
    fs::create_directories(bin.parent_path());
    std::ofstream(bin) << "";

    library::PendingList pending;
    std::vector<std::string> ids { "kept" };
    auto now = std::chrono::steady_clock::now();
    ASSERT_TRUE(library::mark_deleted(pending, folder, ids, now));
    auto errors = library::purge_deleted(pending, *trash, library::Force::Yes, now);

    fs::remove(bin);
    if (fs::exists(moved_aside))
        fs::rename(moved_aside, bin);
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_TRUE(errors[0].starts_with("Corbeille impossible : ")) << errors[0];
    EXPECT_TRUE(fs::exists(folder / "kept.mp4"));
    EXPECT_TRUE(fs::exists(library::meta_path(folder, "kept")));
    EXPECT_TRUE(fs::exists(library::thumb_path(folder, "kept")));
    // The clip is listed again, and the failure was reported once.
    EXPECT_EQ(library::visible_clips(pending, folder).size(), 1u);
    EXPECT_TRUE(library::purge_deleted(pending, *trash, library::Force::Yes, now).empty());
}
