// The light copy's choices (rates, sizes, names, the folder's clean-up) with a transcoder that only writes
// files of set sizes.

#include "engine/export.h"

#include <cmath>

#include <fcntl.h>
#include <sys/stat.h>

#include <gtest/gtest.h>

#include "library/library.h"
#include "tests/fakes/fake_transcoder.h"
#include "tests/support/temp_dir.h"

using light_copy::plan_attempt;

TEST(LightCopyPlan, RatesAndSizesFollowTheDuration)
{
    struct Row {
        double factor, secs;
        std::uint32_t width, height;
        light_copy::TranscodeTarget target;
    };
    Row const rows[] = {
        { 1.0, 60, 1920, 1080, { 852, 480, 1'104'000, 96'000 } },
        { 1.0, 60, 640, 360, { 640, 360, 1'104'000, 96'000 } }, // capped by the source
        { 1.0, 5, 1920, 1080, { 1920, 1080, 14'272'000, 128'000 } },
        { 1.0, 0.2, 1920, 1080, { 1920, 1080, 71'872'000, 128'000 } }, // under 1 s counts 1 s
        { 1.0, NAN, 1920, 1080, { 1920, 1080, 71'872'000, 128'000 } },
        { 0.75, 30, 1920, 1080, { 960, 540, 1'672'000, 128'000 } },
        { 0.55, 30, 2560, 1600, { 864, 540, 1'224'000, 96'000 } },
        { 1.0, 20, 1920, 1080, { 1280, 720, 3'472'000, 128'000 } },
        { 1.0, 1e9, 1081, 1081, { 480, 480, 250'000, 96'000 } }, // the video rate's floor; even sizes
        { 1.0, 60, 2, 1080, { 2, 480, 1'104'000, 96'000 } },
    };
    for (auto const& r : rows) {
        SCOPED_TRACE(testing::Message() << r.factor << " " << r.secs << " " << r.width << "x" << r.height);
        EXPECT_EQ(plan_attempt(r.factor, r.secs, r.width, r.height), r.target);
    }
}

TEST(LightCopyName, MakesTitlesSafeFileNames)
{
    std::string cjk; // 120 three-byte characters: cut on a boundary so that ".mp4" still fits 255 bytes
    for (int i = 0; i < 120; ++i)
        cjk += "\xE6\xBC\xA2";
    std::pair<std::string, std::string> const rows[] = {
        { "....", "clip" },
        { "", "clip" },
        { "<>:\"/\\|?*", "_________" },
        { "a\tb\x01", "a_b_" },
        { "  Partie. . ", "Partie." },
        { "\xE3\x80\x80Valorant 21h04\xE3\x80\x80", "Valorant 21h04" },
        { cjk, cjk.substr(0, 249) },
    };
    for (auto const& [title, name] : rows)
        EXPECT_EQ(light_copy::output_name(title), name) << title;
}

namespace {

class LightCopyFolder : public testing_support::TempDirTest {
protected:
    void SetUp() override
    {
        TempDirTest::SetUp();
        ASSERT_TRUE(library::ensure_meta_dir(clips = dir() / "clips"));
        copies = dir() / "cache" / "discord";
    }

    // A sparse clip file, with a sidecar of that title, duration, (lying) size and 16384 x 1080 picture when a
    // title is given.
    void clip(std::string const& id, std::uint64_t bytes, std::string title = {}, double secs = 60,
        std::uint64_t recorded = 0)
    {
        write_file("clips/" + id + ".mp4", "");
        std::filesystem::resize_file(clips / (id + ".mp4"), bytes);
        if (!title.empty()) {
            library::Clip r;
            r.id = id;
            r.title = title;
            r.secs = secs;
            r.bytes = recorded;
            r.width = 16384;
            r.height = 1080;
            ASSERT_TRUE(library::save_clip_metadata(clips, r));
        }
    }

    Result<light_copy::LightCopy> copy(std::string_view id)
    {
        return light_copy::make_light_copy(clips, id, fake, copies);
    }

    std::filesystem::path clips, copies;
    fakes::FakeTranscoder fake;
};

void age(std::filesystem::path const& path, std::int64_t secs_from_now)
{
    timespec times[2] {};
    clock_gettime(CLOCK_REALTIME, &times[0]);
    times[0].tv_sec += secs_from_now;
    times[1] = times[0];
    ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW), 0) << path;
}

}

TEST_F(LightCopyFolder, SizeLimitUsesTheFilesOwnSizeAndFactorsGoDown)
{
    // Each record lies about the size, and "large"'s also about its length and picture: the file decides. (A
    // record's 16384 x 1080 once made the encoder ask for gigabytes; a length too short, every attempt too big.)
    fake.probe = platform::MediaInfo { 45.0, 640, 360, 30, 1 };
    clip("small", 10'000'000, "Petit", 60, 20'000'000);
    clip("large", 10'000'001, "Grand", 60, 5'000'000);
    auto small = copy("small");
    ASSERT_TRUE(small) << small.error();
    EXPECT_EQ(small->path, clips / "small.mp4");
    EXPECT_EQ(small->bytes, 10'000'000u);
    EXPECT_TRUE(fake.targets.empty());

    fake.sizes = { 12'000'000, 9'500'000 };
    auto large = copy("large");
    ASSERT_TRUE(large) << large.error();
    EXPECT_EQ(large->path, copies / "Grand.mp4");
    EXPECT_EQ(large->bytes, 9'500'000u);
    EXPECT_EQ(fake.targets, (std::vector { plan_attempt(1.0, 45, 640, 360), plan_attempt(0.75, 45, 640, 360) }));
    struct stat st { };
    ASSERT_EQ(::lstat(copies.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);

    fake.targets.clear();
    fake.sizes = { 11'000'000 };
    EXPECT_EQ(copy("large").error(), "Ce clip reste trop lourd pour Discord, même allégé.");
    EXPECT_EQ(fake.targets.back(), plan_attempt(0.55, 45, 640, 360));
    EXPECT_EQ(std::filesystem::file_size(copies / "Grand.mp4"), 11'000'000u);
}

TEST_F(LightCopyFolder, ErrorsNameTheirCause)
{
    clip("wide", 30'000'000, "Large", 30);
    fake.refuse = "Invalid data found when processing input";
    EXPECT_EQ(copy("wide").error(), "Version légère impossible : Invalid data found when processing input");

    // A link in the folder's place is not followed.
    fake.refuse.reset();
    std::filesystem::remove_all(copies);
    std::filesystem::create_directory(dir() / "elsewhere");
    std::filesystem::create_directory_symlink(dir() / "elsewhere", copies);
    EXPECT_TRUE(copy("wide").error().ends_with("(os error 20)")); // ENOTDIR: the link is not a folder
    EXPECT_TRUE(std::filesystem::is_empty(dir() / "elsewhere"));
}

TEST_F(LightCopyFolder, CleanUpRemovesOldAndFutureFilesOnly)
{
    auto target = write_file("keep/target.mp4", "x");
    std::filesystem::create_directories(copies / "sub");
    std::filesystem::create_symlink(target, copies / "link.mp4");
    for (auto const& [name, secs] : std::vector<std::pair<std::string, int>> {
             { "old.mp4", -2 * 86'400 }, { "future.mp4", 3600 }, { "recent.mp4", -3600 }, { ".light-a1B2c3.mp4", -60 } })
        age(write_file("cache/discord/" + name, "x"), secs);
    for (auto const& path : { target, copies / "link.mp4", copies / "sub" })
        age(path, -2 * 86'400);

    light_copy::clean_folder(copies, std::chrono::system_clock::now());
    EXPECT_FALSE(std::filesystem::exists(copies / "old.mp4"));
    EXPECT_FALSE(std::filesystem::exists(copies / "future.mp4"));
    for (auto const& path : { copies / "recent.mp4", copies / "link.mp4", target, copies / "sub" })
        EXPECT_TRUE(std::filesystem::exists(std::filesystem::symlink_status(path))) << path;
    // A copy may be writing its temporary file now; at start-up none is, and a leftover goes.
    EXPECT_TRUE(std::filesystem::exists(copies / ".light-a1B2c3.mp4"));
    light_copy::clean_folder(copies, std::chrono::system_clock::now(), light_copy::Leftovers::Remove);
    EXPECT_FALSE(std::filesystem::exists(copies / ".light-a1B2c3.mp4"));
    EXPECT_TRUE(std::filesystem::exists(copies / "recent.mp4"));
}
