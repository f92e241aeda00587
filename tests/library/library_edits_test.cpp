#include "library/library.h"

#include <thread>

#include <sys/stat.h>
#include <sys/time.h>

#include <gtest/gtest.h>

#include "tests/fakes/fake_trash.h"
#include "tests/support/temp_dir.h"

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

class LibraryEdits : public testing_support::TempDirTest {
protected:
    void SetUp() override
    {
        TempDirTest::SetUp();
        folder = dir() / "clips";
        ASSERT_TRUE(library::ensure_meta_dir(folder));
        trash = std::make_unique<fakes::FakeTrash>(dir() / "bin");
    }
    void add_clip(fs::path const& where, std::string const& id, std::uint64_t created = 1000, std::uint64_t bytes = 3,
        bool favorite = false, std::string const& title = "")
    {
        fs::create_directories(where / ".quillmar");
        write_file(fs::relative(where / (id + ".mp4"), dir()), "mp4");
        fs::resize_file(where / (id + ".mp4"), bytes); // sparse: retention counts the real size
        write_file(fs::relative(where / ".quillmar" / (id + ".jpg"), dir()), "jpeg");
        library::Clip clip { id, title.empty() ? "Valorant 21h04" : title, "Valorant", created, 30.0, bytes, favorite,
            false, 1920, 1080 };
        ASSERT_TRUE(library::save_clip_metadata(where, clip));
    }
    void add_clip(std::string const& id, std::uint64_t created = 1000, std::uint64_t bytes = 3, bool favorite = false)
    {
        add_clip(folder, id, created, bytes, favorite);
    }
    fs::path add_mp4(std::string const& name, std::string const& bytes = "mp4")
    {
        return write_file("clips/" + name, bytes);
    }
    static std::vector<std::string> ids(std::vector<library::Clip> const& clips)
    {
        std::vector<std::string> out;
        for (auto const& clip : clips)
            out.push_back(clip.id);
        return out;
    }

    fs::path folder;
    std::unique_ptr<fakes::FakeTrash> trash;
    library::PendingList pending;
    std::chrono::steady_clock::time_point const t0 = std::chrono::steady_clock::time_point {} + 1000s;
};

using Ids = std::vector<std::string>;

}

// A clip without a usable sidecar (none, empty or oversized) is described from its file; reading writes nothing,
// the first edit writes the whole record.
TEST_F(LibraryEdits, FallbackComesFromTheMp4AndIsWrittenOnlyByAnEdit)
{
    auto mp4 = add_mp4("Sans fiche.mp4", "12345");
    struct timeval times[2] = { { 1700000000, 0 }, { 1700000000, 0 } };
    ASSERT_EQ(::utimes(mp4.c_str(), times), 0);
    write_file("clips/.quillmar/Sans fiche.json", "{}");

    auto clip = library::read_clip_meta(folder, "Sans fiche", mp4);
    EXPECT_EQ(clip, (library::Clip { "Sans fiche", "Sans fiche", "Autres", 1700000000, 0.0, 5, false, false, 0, 0 }));
    EXPECT_EQ(read_file(folder / ".quillmar" / "Sans fiche.json"), "{}");

    // Still valid JSON (trailing whitespace), but no sidecar is ever this large.
    add_clip("big", 100);
    write_file("clips/.quillmar/big.json", read_file(folder / ".quillmar" / "big.json") + std::string(2 << 20, ' '));
    EXPECT_EQ(library::read_clip_meta(folder, "big", folder / "big.mp4").game, "Autres");

    auto missing = library::read_clip_meta(folder, "gone", folder / "gone.mp4");
    EXPECT_EQ(missing.created, 0u);
    EXPECT_EQ(missing.bytes, 0u);
    EXPECT_FALSE(fs::exists(folder / ".quillmar" / "gone.json"));

    auto edited = library::set_favorite(folder, "Sans fiche", true);
    ASSERT_TRUE(edited) << edited.error();
    clip.favorite = true;
    EXPECT_EQ(*edited, clip);
    EXPECT_EQ(library::parse_sidecar(read_file(folder / ".quillmar" / "Sans fiche.json")), clip);
}

TEST_F(LibraryEdits, ListsOnlyMp4FilesNewestFirstThenByIdNamedByTheirFile)
{
    for (auto name : { "c.mkv", ".mp4", "d.mp4.part", "noext" })
        add_mp4(name);
    fs::create_directories(folder / "dir.mp4");
    ASSERT_EQ(::mkfifo((folder / "pipe.mp4").c_str(), 0600), 0);
    add_clip("b", 200);
    add_clip("ab", 200);
    add_clip("a", 200);
    add_clip("new", 300);
    add_clip("old", 100);
    add_mp4("UPPER.MP4");
    ASSERT_TRUE(library::save_clip_metadata(folder, { "UPPER", "", "", 150, 0, 0, false, false, 0, 0 }));
    add_mp4("bad\xff.mp4");
    // A copied clip and sidecar: the id comes from the file name, not from the record.
    fs::copy_file(folder / "old.mp4", folder / "copy.mp4");
    fs::copy_file(folder / ".quillmar" / "old.json", folder / ".quillmar" / "copy.json");

    auto clips = library::list_clips(folder);
    EXPECT_EQ(ids(clips), (std::vector<std::string> { "new", "a", "ab", "b", "UPPER", "copy", "old" }));
    EXPECT_EQ(clips[5].title, "Valorant 21h04");
    EXPECT_TRUE(library::list_clips(dir() / "missing").empty());
}

// A link to a clip is a clip, a folder named like one is not. (Path-like ids, missing clips and FIFOs swapped in
// under a clip or thumbnail are the page server's tests, and the API's refusals.)
TEST_F(LibraryEdits, ClipPathsNeedARegularFile)
{
    add_mp4("ok.mp4");
    fs::create_symlink(folder / "ok.mp4", folder / "link.mp4");
    fs::create_directories(folder / "dir.mp4");
    ASSERT_EQ(::mkfifo((folder / ".quillmar" / "ok.json").c_str(), 0600), 0);
    EXPECT_EQ(library::clip_path(folder, "link"), folder / "link.mp4");
    EXPECT_FALSE(library::clip_path(folder, "dir"));
    // A FIFO in place of a sidecar gives the fallback at once instead of waiting for a writer.
    EXPECT_EQ(library::read_clip_meta(folder, "ok", folder / "ok.mp4").game, "Autres");
}

// Both folders take a former one's place (the moving rule itself, with both names there, a file or a link in
// the old place, is checked on the shell's folders); a chosen folder is used as it is.
TEST_F(LibraryEdits, ResolvesDefaultFolderAndMovesLegacyOnes)
{
    auto videos = dir() / "Videos";
    write_file("Videos/Fennow/old.mp4", "old");
    write_file("Videos/Fennow/.fennow/old.json", "{}");
    EXPECT_EQ(library::resolve_clips_dir(std::nullopt, videos), videos / "quill.mar");
    EXPECT_TRUE(fs::exists(videos / "quill.mar" / "old.mp4"));
    ASSERT_TRUE(library::ensure_meta_dir(videos / "quill.mar"));
    EXPECT_TRUE(fs::exists(videos / "quill.mar" / ".quillmar" / "old.json"));
    EXPECT_FALSE(fs::exists(videos / "quill.mar" / ".fennow"));

    EXPECT_EQ(library::resolve_clips_dir(dir() / "chosen", videos), dir() / "chosen");
    EXPECT_FALSE(fs::exists(dir() / "chosen"));
}

TEST_F(LibraryEdits, GameRenameCarriesTitlesThatBeginWithTheOldName)
{
    struct Row {
        std::string title;
        std::string game;
        std::string expected;
    };
    Row const rows[] = { { "Valorant 21h04", "Valorant Ranked", "Valorant Ranked 21h04" },
        { "Best clip ever", "Valorant Ranked", "Best clip ever" }, { "Valorant", "CS2", "CS2" },
        { "Valo", "CS2", "Valo" } };
    for (auto const& row : rows) {
        SCOPED_TRACE(row.title);
        add_clip(folder, "c", 1000, 3, false, row.title);
        auto clip = library::set_game(folder, "c", row.game);
        ASSERT_TRUE(clip) << clip.error();
        EXPECT_EQ(clip->title, row.expected);
        EXPECT_EQ(clip->game, row.game);
        EXPECT_EQ(library::read_clip_meta(folder, "c", folder / "c.mp4"), *clip);
    }
}

TEST_F(LibraryEdits, ConcurrentEditsOfOneClipKeepEveryChange)
{
    // Without one lock around each read-modify-write, two edits read the same record and the second
    // rename drops the first change (or both write one temporary file and mix their bytes).
    for (int round = 0; round < 40; ++round) {
        add_clip(folder, "c", 1000, 3, false, "Valorant 21h04");
        std::vector<std::thread> editors;
        editors.emplace_back([&] { EXPECT_TRUE(library::set_favorite(folder, "c", true)); });
        editors.emplace_back([&] { EXPECT_TRUE(library::set_game(folder, "c", "CS2")); });
        editors.emplace_back([&] { EXPECT_TRUE(library::set_title(folder, "c", "Best clip ever")); });
        for (auto& editor : editors)
            editor.join();
        auto clip = library::read_clip_meta(folder, "c", folder / "c.mp4");
        ASSERT_TRUE(clip.favorite) << round;
        ASSERT_EQ(clip.game, "CS2") << round;
        ASSERT_EQ(clip.title, "Best clip ever") << round;
    }
}

// A deletion waits six seconds, counted again from a second mark of the same clip; a restore within them
// cancels it.
TEST_F(LibraryEdits, DeletionWaitsForGracePeriodAndRestoreCancels)
{
    for (auto id : { "a", "b", "c" })
        add_clip(id);
    ASSERT_TRUE(library::mark_deleted(pending, folder, Ids { "a", "b" }, t0));
    EXPECT_EQ(ids(library::visible_clips(pending, folder)), Ids { "c" });
    EXPECT_EQ(library::list_clips(folder).size(), 3u);
    library::restore_deleted(pending, Ids { "a", "never" });
    ASSERT_TRUE(library::mark_deleted(pending, folder, Ids { "c", "b" }, t0 + 4s));
    EXPECT_EQ(library::pending_ids(pending, folder), (Ids { "c", "b" }));

    EXPECT_TRUE(library::purge_deleted(pending, *trash, library::Force::No, t0 + 9999ms).empty());
    EXPECT_TRUE(trash->asked.empty());
    EXPECT_TRUE(library::purge_deleted(pending, *trash, library::Force::No, t0 + 10s).empty());
    EXPECT_EQ(trash->moved, (std::vector { folder / "c.mp4", folder / "b.mp4" }));
    EXPECT_FALSE(fs::exists(folder / ".quillmar" / "b.json"));
    EXPECT_FALSE(fs::exists(folder / ".quillmar" / "b.jpg"));
    EXPECT_TRUE(library::pending_ids(pending, folder).empty());
    EXPECT_EQ(ids(library::list_clips(folder)), Ids { "a" });
}

TEST_F(LibraryEdits, PurgeUsesTheFolderTheClipWasMarkedIn)
{
    auto other = dir() / "other";
    add_clip("a");
    add_clip(other, "a");
    ASSERT_TRUE(library::mark_deleted(pending, folder, Ids { "a" }, t0));
    // The clips folder changes during the grace period.
    EXPECT_EQ(library::visible_clips(pending, other).size(), 1u);
    EXPECT_TRUE(library::purge_deleted(pending, *trash, library::Force::No, t0 + 6s).empty());
    ASSERT_EQ(trash->moved, std::vector<fs::path> { folder / "a.mp4" });
    EXPECT_TRUE(fs::exists(other / "a.mp4"));
    EXPECT_TRUE(fs::exists(other / ".quillmar" / "a.json"));

    // An undo after the change still reaches the clip of the old folder.
    ASSERT_TRUE(library::mark_deleted(pending, other, Ids { "a" }, t0));
    library::restore_deleted(pending, Ids { "a" });
    EXPECT_TRUE(library::purge_deleted(pending, *trash, library::Force::Yes, t0).empty());
    EXPECT_TRUE(fs::exists(other / "a.mp4"));
}

// A clip removed by hand during the grace period is reported as a failed move. (A move the trash refuses is
// GIO's, in tests/platform/gio_library_test.cpp.)
TEST_F(LibraryEdits, ClipRemovedMeanwhileIsAFailedMove)
{
    add_clip("b");
    ASSERT_TRUE(library::mark_deleted(pending, folder, Ids { "b" }, t0));
    fs::remove(folder / "b.mp4");
    EXPECT_EQ(library::purge_deleted(pending, *trash, library::Force::Yes, t0),
        Ids { "Corbeille impossible : entity not found" });
}

namespace {

constexpr std::uint64_t day_secs = 86'400;
constexpr std::uint64_t now_secs = 1'800'000'000;

}

// Retention removes the oldest clips past the age limit or while the folder is over the size limit, but never a
// favourite, the newest finished clip, a clip pending deletion or being recorded, nor one the trash refuses.
TEST_F(LibraryEdits, RetentionRemovesOnlyWhatTheLimitsAllow)
{
    struct Stored {
        std::string id;
        std::uint64_t created;
        std::uint64_t bytes = 3;
        bool favorite = false;
        std::uint64_t claimed = 0; // bytes the sidecar says, when it lies about the file
        bool foreign = false; // a video of the player's own: an MP4 dated `created`, without a sidecar
        bool linked = false; // its sidecar is a link to one kept elsewhere
    };
    auto days_ago = [](std::uint64_t days) { return now_secs - days * day_secs; };
    constexpr std::uint64_t mb300 = 300'000'000;
    struct Row {
        char const* name;
        std::vector<Stored> clips;
        library::RetentionLimits limits;
        Ids expected;
        Ids leave_alone = {};
        bool refuse = false;
        std::int64_t now = std::int64_t(now_secs); // seconds since the epoch
    };
    Row const rows[] = {
        { "by age, favourites kept", { { "d1", days_ago(1) }, { "d5", days_ago(5) }, { "d8", days_ago(8) },
                                          { "d10", days_ago(10), 3, true }, { "d12", days_ago(12) } },
            { 7, 0 }, { "d12", "d8" } },
        { "all old but the newest", { { "d8", days_ago(8) }, { "d9", days_ago(9) }, { "d10", days_ago(10) } }, { 7, 0 },
            { "d10", "d9" } },
        { "by size", { { "c0", 1000, mb300 }, { "c1", 1001, mb300 }, { "c2", 1002, mb300 }, { "c3", 1003, mb300 },
                         { "c4", 1004, mb300 } },
            { 0, 1 }, { "c0", "c1" } },
        { "big favourite", { { "fav", 1000, 2'000'000'000, true }, { "a", 1001, 600'000'000 },
                               { "newest", 1002, 600'000'000 } },
            { 0, 1 }, { "a" } },
        { "only clip", { { "only", 1, 5'000'000'000 } }, { 1, 1 }, {} },
        { "no limits", { { "old", 0, 5'000'000'000 }, { "new", 1, 5'000'000'000 } }, { 0, 0 }, {} },
        // A recording in progress is the newest clip and still growing; counting it would remove every other clip
        // and protect it instead of the newest finished one.
        { "pending and recording", { { "pending", 999, mb300 }, { "c0", 1000, mb300 }, { "c1", 1001, mb300 },
                                       { "c2", 1002, mb300 }, { "c3", 1003, mb300 }, { "growing", 2000, 10'000'000'000 } },
            { 0, 1 }, { "c0" }, { "pending", "growing" } },
        { "sidecar claims more", { { "c0", 1000 }, { "c1", 1001, 3, false, 18'000'000'000'000'000'000u }, { "c2", 1002 } },
            { 0, 1 }, {} },
        { "trash refuses", { { "old", 1 }, { "new", 2 } }, { 1, 0 }, {}, {}, true },
        // The age cutoff clamps at the epoch instead of wrapping to a time after every clip.
        { "clock near the epoch", { { "a", 0 }, { "b", 5 } }, { 1, 0 }, {}, {}, false, 100 },
        { "clock before the epoch", { { "a", 0 }, { "b", 5 } }, { 1, 0 }, {}, {}, false, -100 },
        { "equal times: ids ascending, the last newest", { { "b", 0, 1'000'000'000 }, { "a", 0, 1'000'000'000 } },
            { 0, 1 }, { "a" } },
        // Videos the program did not make stay, whatever their age, and never become the protected newest one.
        { "by age, foreign videos kept", { { "own", days_ago(40) }, { "vacances-2024", days_ago(40), 3, false, 0, true },
                                              { "fav", days_ago(40), 3, true }, { "recent", days_ago(1) },
                                              { "film", days_ago(0), 3, false, 0, true },
                                              { "linked", days_ago(40), 3, false, 0, false, true } },
            { 29, 0 }, { "own" } },
        // ...and their size counts for nothing: five clips of 300 MB against 1 GB, as if the films were not there.
        { "by size, foreign videos kept", { { "old film", 500, 5'000'000'000, false, 0, true }, { "c0", 1000, mb300 },
                                               { "c1", 1001, mb300 }, { "c2", 1002, mb300 }, { "c3", 1003, mb300 },
                                               { "c4", 1004, mb300 }, { "new film", 5000, 5'000'000'000, false, 0, true } },
            { 0, 1 }, { "c0", "c1" } },
    };
    for (auto const& row : rows) {
        SCOPED_TRACE(row.name);
        fs::remove_all(folder);
        ASSERT_TRUE(library::ensure_meta_dir(folder));
        for (auto const& clip : row.clips) {
            if (clip.foreign) {
                auto mp4 = add_mp4(clip.id + ".mp4");
                fs::resize_file(mp4, clip.bytes);
                struct timeval times[2] = { { time_t(clip.created), 0 }, { time_t(clip.created), 0 } };
                ASSERT_EQ(::utimes(mp4.c_str(), times), 0);
                continue;
            }
            add_clip(clip.id, clip.created, clip.bytes, clip.favorite);
            if (clip.linked) {
                auto sidecar = folder / ".quillmar" / (clip.id + ".json");
                fs::rename(sidecar, dir() / (clip.id + ".json"));
                fs::create_symlink(dir() / (clip.id + ".json"), sidecar);
            }
            if (clip.claimed) {
                auto liar = library::read_clip_meta(folder, clip.id, folder / (clip.id + ".mp4"));
                liar.bytes = clip.claimed;
                ASSERT_TRUE(library::save_clip_metadata(folder, liar));
            }
        }
        trash->refuse = row.refuse;
        auto const now = std::chrono::system_clock::time_point { std::chrono::seconds(row.now) };
        EXPECT_EQ(library::apply_retention(*trash, folder, row.limits, row.leave_alone, now), row.expected);
        for (auto const& clip : row.clips) {
            bool removed = std::ranges::find(row.expected, clip.id) != row.expected.end();
            EXPECT_EQ(fs::exists(folder / (clip.id + ".mp4")), !removed) << clip.id;
            EXPECT_EQ(fs::exists(folder / ".quillmar" / (clip.id + ".json")), !removed && !clip.foreign) << clip.id;
        }
    }
}
