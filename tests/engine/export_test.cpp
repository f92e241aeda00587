// The light copy's choices (rates, sizes, names, the folder's clean-up) with a transcoder that only writes
// files of set sizes.

#include "engine/export.h"

#include <cmath>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "base/utf8.h"
#include "library/library.h"
#include "tests/fakes/fake_transcoder.h"
#include "tests/support/temp_dir.h"

using light_copy::TranscodeTarget;

TEST(LightCopyPlan, RatesAndSizesFollowTheDuration)
{
    struct Row {
        double factor, secs;
        std::uint32_t width, height;
        TranscodeTarget target;
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
    for (auto const& row : rows) {
        SCOPED_TRACE(testing::Message() << row.factor << " " << row.secs << " " << row.width << "x" << row.height);
        EXPECT_EQ(light_copy::plan_attempt(row.factor, row.secs, row.width, row.height), row.target);
    }
}

TEST(LightCopyName, MakesTitlesSafeFileNames)
{
    std::pair<std::string_view, std::string_view> const rows[] = {
        { "....", "clip" },
        { "", "clip" },
        { "<>:\"/\\|?*", "_________" },
        { "a\tb\x01", "a_b_" },
        { "  Partie. . ", "Partie." },
        { "\xE3\x80\x80Valorant 21h04\xE3\x80\x80", "Valorant 21h04" },
    };
    for (auto [title, name] : rows) {
        SCOPED_TRACE(title);
        EXPECT_EQ(light_copy::output_name(title), name);
    }
    // 120 three-byte characters: cut on a character boundary so that ".mp4" still fits 255 bytes.
    std::string cjk;
    for (int i = 0; i < 120; ++i)
        cjk += "\xE6\xBC\xA2";
    auto name = light_copy::output_name(cjk);
    EXPECT_EQ(name.size(), 249u);
    EXPECT_TRUE(utf8::is_valid(name));
}

namespace {

class LightCopyFolder : public testing_support::TempDirTest {
protected:
    void SetUp() override
    {
        TempDirTest::SetUp();
        clips = dir() / "clips";
        copies = dir() / "cache" / "discord";
        ASSERT_TRUE(library::ensure_meta_dir(clips));
    }

    // A clip file of `bytes` (sparse) with a sidecar when `record` has a title.
    void clip(std::string const& id, std::uint64_t bytes, library::Clip record = {})
    {
        auto path = clips / (id + ".mp4");
        int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(::ftruncate(fd, static_cast<off_t>(bytes)), 0);
        ::close(fd);
        if (!record.title.empty()) {
            record.id = id;
            ASSERT_TRUE(library::save_clip_metadata(clips, record));
        }
    }

    Result<light_copy::LightCopy> copy(std::string_view id)
    {
        return light_copy::make_light_copy(clips, id, fake, copies);
    }

    std::filesystem::path clips, copies;
    fakes::FakeTranscoder fake;
};

library::Clip record(std::string title, double secs, std::uint64_t bytes)
{
    library::Clip clip;
    clip.title = std::move(title);
    clip.secs = secs;
    clip.bytes = bytes;
    clip.width = 1920;
    clip.height = 1080;
    return clip;
}

void age(std::filesystem::path const& path, std::int64_t secs_from_now)
{
    timespec times[2] {};
    clock_gettime(CLOCK_REALTIME, &times[0]);
    times[0].tv_sec += secs_from_now;
    times[1] = times[0];
    ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW), 0) << path;
}

}

TEST_F(LightCopyFolder, SizeLimitUsesTheFilesOwnSize)
{
    // Each record lies about the size; the file decides.
    clip("small", 10'000'000, record("Petit", 60, 20'000'000));
    clip("large", 10'000'001, record("Grand", 60, 5'000'000));
    auto small = copy("small");
    ASSERT_TRUE(small) << small.error();
    EXPECT_EQ(small->path, clips / "small.mp4");
    EXPECT_EQ(small->bytes, 10'000'000u);
    EXPECT_TRUE(fake.targets.empty());

    auto large = copy("large");
    ASSERT_TRUE(large) << large.error();
    EXPECT_EQ(large->path, copies / "Grand.mp4");
    EXPECT_EQ(large->bytes, 9'000'000u);
    EXPECT_EQ(fake.targets, (std::vector { light_copy::plan_attempt(1.0, 60, 1920, 1080) }));
    struct stat st { };
    ASSERT_EQ(::lstat(copies.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
}

TEST_F(LightCopyFolder, LowerFactorsInOrderThenTooHeavyKeepsLastFile)
{
    clip("c", 50'000'000, record("Clip", 60, 0));
    fake.sizes = { 12'000'000, 9'500'000 };
    auto second = copy("c");
    ASSERT_TRUE(second) << second.error();
    EXPECT_EQ(second->bytes, 9'500'000u);

    fake.targets.clear();
    fake.sizes = { 11'000'000 };
    auto heavy = copy("c");
    ASSERT_FALSE(heavy);
    EXPECT_EQ(heavy.error(), "Ce clip reste trop lourd pour Discord, même allégé.");
    std::vector<TranscodeTarget> expected;
    for (double factor : light_copy::factors)
        expected.push_back(light_copy::plan_attempt(factor, 60, 1920, 1080));
    EXPECT_EQ(fake.targets, expected);
    EXPECT_EQ(std::filesystem::file_size(copies / "Clip.mp4"), 11'000'000u);
}

TEST_F(LightCopyFolder, ClipWithoutSidecarIsMeasuredFromItsFile)
{
    clip("fallback", 40'000'000);
    fake.probe = platform::MediaInfo { 30.0, 2560, 1600, 60, 1 };
    ASSERT_TRUE(copy("fallback"));
    EXPECT_EQ(fake.targets.at(0), light_copy::plan_attempt(1.0, 30, 2560, 1600));
    EXPECT_TRUE(std::filesystem::exists(copies / "fallback.mp4"));

    // Nothing from the file either: 1920 x 1080 stands in.
    fake.targets.clear();
    fake.probe = platform::MediaInfo { 30.0, 0, 0, 0, 0 };
    ASSERT_TRUE(copy("fallback"));
    EXPECT_EQ(fake.targets.at(0), light_copy::plan_attempt(1.0, 30, 1920, 1080));
}

TEST_F(LightCopyFolder, ErrorsNameTheirCause)
{
    // An unfinished recording is small but does not open: it is never handed out.
    clip("recording", 3'000'000);
    fake.probe = fail("moov atom not found");
    EXPECT_EQ(copy("recording").error(), "Version légère impossible : moov atom not found");
    EXPECT_EQ(copy("gone").error(), "Ce clip n'existe plus.");

    fake.probe = platform::MediaInfo { 30.0, 1920, 1080, 60, 1 };
    clip("big", 30'000'000, record("Gros", 30, 0));
    fake.refuse = "Invalid data found when processing input";
    EXPECT_EQ(copy("big").error(), "Version légère impossible : Invalid data found when processing input");

    // A link in the folder's place is not followed.
    fake.refuse.reset();
    std::filesystem::remove_all(copies);
    std::filesystem::create_directory(dir() / "elsewhere");
    std::filesystem::create_directory_symlink(dir() / "elsewhere", copies);
    auto linked = copy("big");
    ASSERT_FALSE(linked);
    EXPECT_TRUE(linked.error().ends_with("(os error 20)")) << linked.error(); // ENOTDIR: the link is not a folder
    EXPECT_TRUE(std::filesystem::is_empty(dir() / "elsewhere"));
}

TEST_F(LightCopyFolder, LongWideTitleStillGivesACopy)
{
    std::string cjk;
    for (int i = 0; i < 120; ++i)
        cjk += "\xE6\xBC\xA2";
    clip("wide", 30'000'000, record(cjk, 30, 0));
    auto light = copy("wide");
    ASSERT_TRUE(light) << light.error();
    EXPECT_EQ(light->path.filename().string().size(), 253u);
}

TEST_F(LightCopyFolder, CleanUpRemovesOldAndFutureFilesOnly)
{
    std::filesystem::create_directories(copies);
    auto file = [&](std::string const& name, std::int64_t secs) {
        auto path = write_file("cache/discord/" + name, "x");
        age(path, secs);
        return path;
    };
    auto old = file("old.mp4", -2 * 86'400);
    auto future = file("future.mp4", 3600);
    auto recent = file("recent.mp4", -3600);
    auto target = write_file("keep/target.mp4", "x");
    age(target, -2 * 86'400);
    std::filesystem::create_symlink(target, copies / "link.mp4");
    age(copies / "link.mp4", -2 * 86'400);
    std::filesystem::create_directory(copies / "sub");
    age(copies / "sub", -2 * 86'400);

    light_copy::clean_folder(copies, std::chrono::system_clock::now());
    EXPECT_FALSE(std::filesystem::exists(old));
    EXPECT_FALSE(std::filesystem::exists(future));
    EXPECT_TRUE(std::filesystem::exists(recent));
    EXPECT_TRUE(std::filesystem::is_symlink(copies / "link.mp4"));
    EXPECT_TRUE(std::filesystem::exists(target));
    EXPECT_TRUE(std::filesystem::is_directory(copies / "sub"));
}
