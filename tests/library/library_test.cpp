#include "library/library.h"

#include <cmath>
#include <limits>

#include <sys/stat.h>
#include <sys/time.h>

#include <gtest/gtest.h>

#include "tests/support/temp_dir.h"

namespace fs = std::filesystem;
using namespace std::string_literals;

namespace {

library::Clip sample_clip()
{
    return library::Clip { "Valorant 2024-05-01 21-04-10", "Valorant 21h04", "Valorant", 1714597450, 30.0, 12345678,
        true, false, 1920, 1080 };
}

// A valid sidecar with one value replaced by `value` (the raw JSON text), or without the key when
// `value` is empty.
std::string sidecar_with(std::string_view key, std::string_view value)
{
    struct Field {
        std::string_view key;
        std::string_view value;
    };
    Field fields[] = { { "id", "\"a\"" }, { "title", "\"t\"" }, { "game", "\"g\"" }, { "created", "5" },
        { "secs", "1.5" }, { "bytes", "7" }, { "favorite", "false" }, { "recording", "true" }, { "width", "640" },
        { "height", "360" } };
    std::string out = "{";
    for (auto const& field : fields) {
        auto text = field.key == key ? value : field.value;
        if (text.empty())
            continue;
        if (out.size() > 1)
            out += ',';
        out += fmt::format("\"{}\":{}", field.key, text);
    }
    return out + "}";
}

}

TEST(LibraryClipId, RefusesEmptyPathLikeAndNulIds)
{
    struct Row {
        std::string id;
        bool valid;
    };
    Row const rows[] = { { "", false }, { "a/b", false }, { "a:b", false }, { "a\\b", false }, { "..", false },
        { "x..y", false }, { "C:x", false }, { "x\0.json"s, false }, { "\0"s, false }, { ".", true }, { "a.b", true },
        { "Partie (2) été", true }, { "Partie 2024-05-01 21-04-10", true } };
    for (auto const& [id, valid] : rows) {
        SCOPED_TRACE(id);
        EXPECT_EQ(library::is_valid_clip_id(id), valid);
    }
}

TEST(LibrarySidecar, WritesGoldenBytes)
{
    EXPECT_EQ(library::sidecar_text(sample_clip()),
        R"({"id":"Valorant 2024-05-01 21-04-10","title":"Valorant 21h04","game":"Valorant",)"
        R"("created":1714597450,"secs":30.0,"bytes":12345678,"favorite":true,"recording":false,)"
        R"("width":1920,"height":1080})");

    struct Row {
        double secs;
        std::string_view text;
    };
    Row const rows[] = { { 0.0, "0.0" }, { 29.966666666666665, "29.966666666666665" }, { std::nan(""), "null" },
        { std::numeric_limits<double>::infinity(), "null" } };
    for (auto const& [secs, text] : rows) {
        SCOPED_TRACE(text);
        auto clip = sample_clip();
        clip.secs = secs;
        EXPECT_NE(library::sidecar_text(clip).find(fmt::format(",\"secs\":{},", text)), std::string::npos);
    }
}

TEST(LibrarySidecar, ReadsBackWhatItWrites)
{
    auto clip = sample_clip();
    clip.title = "a\"b\\c\nd\x01\x7f é"; // every kind of escape
    for (double secs : { 30.0, 0.1, 1e-7, 1e300, 123456.789 }) {
        clip.secs = secs;
        auto back = library::parse_sidecar(library::sidecar_text(clip));
        ASSERT_TRUE(back);
        EXPECT_EQ(*back, clip);
    }
}

TEST(LibrarySidecar, ReaderRefusesBrokenRules)
{
    struct Row {
        std::string name;
        std::string text;
        bool accepted;
    };
    auto all = sidecar_with("", "");
    Row const rows[] = {
        { "valid", all, true },
        { "extra key", all.substr(0, all.size() - 1) + R"(,"extra":{"a":1,"a":[2]}})", true },
        { "array form", R"(["a","t","g",5,1.5,7,false,true,640,360])", true },
        { "null secs", sidecar_with("secs", "null"), true },
        { "missing height", sidecar_with("height", ""), false },
        { "duplicate title", all.substr(0, all.size() - 1) + R"(,"title":"again"})", false },
        { "trailing text", all + "x", false },
        { "short array", R"(["a","t","g",5,1.5,7,false,true,640])", false },
        { "long array", R"(["a","t","g",5,1.5,7,false,true,640,360,1])", false },
        { "created as text", sidecar_with("created", "\"5\""), false },
        { "negative created", sidecar_with("created", "-1"), false },
        { "fractional bytes", sidecar_with("bytes", "7.5"), false },
        { "width past 32 bits", sidecar_with("width", "4294967296"), false },
        { "title not utf-8", sidecar_with("title", "\"\xff\""), false },
        { "comment", "/**/" + all, false },
    };
    for (auto const& row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(library::parse_sidecar(row.text).has_value(), row.accepted) << row.text;
    }
    auto edge = library::parse_sidecar(sidecar_with("bytes", "18446744073709551615"));
    ASSERT_TRUE(edge);
    EXPECT_EQ(edge->bytes, std::numeric_limits<std::uint64_t>::max());
    EXPECT_EQ(library::parse_sidecar(sidecar_with("secs", "null"))->secs, 0.0);
}

TEST(LibraryClipValue, SortsKeysAndWritesNullForNonFiniteSeconds)
{
    auto clip = sample_clip();
    EXPECT_EQ(library::clip_to_value(clip).dump(),
        R"({"bytes":12345678,"created":1714597450,"favorite":true,"game":"Valorant","height":1080,)"
        R"("id":"Valorant 2024-05-01 21-04-10","recording":false,"secs":30.0,"title":"Valorant 21h04",)"
        R"("width":1920})");
    clip.secs = std::nan("");
    clip.game = "bad \xff";
    auto value = library::clip_to_value(clip);
    EXPECT_TRUE(value["secs"].is_null());
    EXPECT_EQ(value["game"], "bad \xEF\xBF\xBD");
}

class LibraryFolder : public testing_support::TempDirTest {
protected:
    void SetUp() override
    {
        TempDirTest::SetUp();
        folder = dir() / "clips";
        ASSERT_TRUE(library::ensure_meta_dir(folder));
    }
    fs::path add_mp4(std::string const& name, std::string const& bytes = "mp4")
    {
        return write_file("clips/" + name, bytes);
    }
    void add_clip(std::string const& id, std::uint64_t created)
    {
        add_mp4(id + ".mp4");
        library::Clip clip { id, "title " + id, "Jeu", created, 1.0, 3, false, false, 1280, 720 };
        ASSERT_TRUE(library::save_clip_metadata(folder, clip));
    }
    static std::vector<std::string> ids(std::vector<library::Clip> const& clips)
    {
        std::vector<std::string> out;
        for (auto const& clip : clips)
            out.push_back(clip.id);
        return out;
    }
    fs::path folder;
};

TEST_F(LibraryFolder, SaveReplacesTheRecordOrReportsTheError)
{
    add_mp4("a.mp4");
    auto clip = sample_clip();
    clip.id = "a";
    ASSERT_TRUE(library::save_clip_metadata(folder, clip));
    clip.title = "second";
    ASSERT_TRUE(library::save_clip_metadata(folder, clip));
    EXPECT_EQ(library::read_clip_meta(folder, "a", folder / "a.mp4"), clip);

    fs::remove_all(folder / ".quillmar");
    auto saved = library::save_clip_metadata(folder, clip);
    ASSERT_FALSE(saved);
    EXPECT_TRUE(saved.error().ends_with(" (os error 2)")) << saved.error();
}

TEST_F(LibraryFolder, IdComesFromTheFileNameNotTheSidecar)
{
    add_clip("original", 100);
    fs::copy_file(folder / "original.mp4", folder / "copy.mp4");
    fs::copy_file(folder / ".quillmar" / "original.json", folder / ".quillmar" / "copy.json");
    auto clips = library::list_clips(folder);
    EXPECT_EQ(ids(clips), (std::vector<std::string> { "copy", "original" }));
    EXPECT_EQ(clips[0].title, "title original");
}

TEST_F(LibraryFolder, FallbackComesFromTheMp4AndIsNotWritten)
{
    auto mp4 = add_mp4("Sans fiche.mp4", "12345");
    struct timeval times[2] = { { 1700000000, 0 }, { 1700000000, 0 } };
    ASSERT_EQ(::utimes(mp4.c_str(), times), 0);
    write_file("clips/.quillmar/Sans fiche.json", sidecar_with("height", ""));

    auto clip = library::read_clip_meta(folder, "Sans fiche", mp4);
    EXPECT_EQ(clip, (library::Clip { "Sans fiche", "Sans fiche", "Autres", 1700000000, 0.0, 5, false, false, 0, 0 }));
    EXPECT_EQ(read_file(folder / ".quillmar" / "Sans fiche.json"), sidecar_with("height", ""));

    auto missing = library::read_clip_meta(folder, "gone", folder / "gone.mp4");
    EXPECT_EQ(missing.created, 0u);
    EXPECT_EQ(missing.bytes, 0u);
    EXPECT_FALSE(fs::exists(folder / ".quillmar" / "gone.json"));
}

TEST_F(LibraryFolder, OversizedSidecarIsIgnored)
{
    add_clip("big", 100);
    auto sidecar = folder / ".quillmar" / "big.json";
    // Still valid JSON (trailing whitespace), but no sidecar is ever this large.
    write_file("clips/.quillmar/big.json", read_file(sidecar) + std::string(2 << 20, ' '));
    EXPECT_EQ(library::read_clip_meta(folder, "big", folder / "big.mp4").game, "Autres");
}

TEST_F(LibraryFolder, ListsOnlyMp4FilesNewestFirstThenById)
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

    EXPECT_EQ(ids(library::list_clips(folder)), (std::vector<std::string> { "new", "a", "ab", "b", "UPPER", "old" }));
    EXPECT_TRUE(library::list_clips(dir() / "missing").empty());
}

TEST_F(LibraryFolder, ClipAndThumbPathsNeedValidIdAndRegularFile)
{
    add_mp4("ok.mp4");
    write_file("clips/.quillmar/ok.jpg", "jpeg");
    fs::create_symlink(folder / "ok.mp4", folder / "link.mp4");
    fs::create_directories(folder / "dir.mp4");
    ASSERT_EQ(::mkfifo((folder / "pipe.mp4").c_str(), 0600), 0);
    ASSERT_EQ(::mkfifo((folder / ".quillmar" / "pipe.jpg").c_str(), 0600), 0);
    ASSERT_EQ(::mkfifo((folder / ".quillmar" / "ok.json").c_str(), 0600), 0);
    write_file("outside.mp4", "x");

    EXPECT_EQ(library::clip_path(folder, "ok"), folder / "ok.mp4");
    EXPECT_EQ(library::clip_path(folder, "link"), folder / "link.mp4");
    EXPECT_EQ(library::thumb_path_for(folder, "ok"), folder / ".quillmar" / "ok.jpg");
    for (auto id : { "dir", "pipe", "none", "../outside", "" }) {
        SCOPED_TRACE(id);
        EXPECT_FALSE(library::clip_path(folder, id));
    }
    EXPECT_FALSE(library::clip_path(folder, "ok\0"s));
    EXPECT_FALSE(library::thumb_path_for(folder, "pipe"));
    EXPECT_FALSE(library::thumb_path_for(folder, "ok\0.json"s));
    // A FIFO in place of a sidecar gives the fallback at once instead of waiting for a writer.
    EXPECT_EQ(library::read_clip_meta(folder, "ok", folder / "ok.mp4").game, "Autres");
}

TEST_F(LibraryFolder, ResolvesDefaultFolderAndMovesLegacyOne)
{
    auto videos = dir() / "Videos";
    write_file("Videos/Fennow/old.mp4", "old");
    write_file("Videos/Fennow/.fennow/old.json", "{}");
    EXPECT_EQ(library::resolve_clips_dir(std::nullopt, videos), videos / "quill.mar");
    EXPECT_TRUE(fs::exists(videos / "quill.mar" / "old.mp4"));
    EXPECT_FALSE(fs::exists(videos / "Fennow"));

    ASSERT_TRUE(library::ensure_meta_dir(videos / "quill.mar"));
    EXPECT_TRUE(fs::exists(videos / "quill.mar" / ".quillmar" / "old.json"));
    EXPECT_FALSE(fs::exists(videos / "quill.mar" / ".fennow"));

    // Both names present: nothing moves.
    write_file("Videos/Fennow/again.mp4", "x");
    write_file("Videos/quill.mar/.fennow/again.json", "{}");
    library::resolve_clips_dir(std::nullopt, videos);
    ASSERT_TRUE(library::ensure_meta_dir(videos / "quill.mar"));
    EXPECT_TRUE(fs::exists(videos / "Fennow" / "again.mp4"));
    EXPECT_TRUE(fs::exists(videos / "quill.mar" / ".fennow" / "again.json"));
}

TEST_F(LibraryFolder, LegacyLinkIsNotMovedAndSetFolderIsUntouched)
{
    auto videos = dir() / "Videos";
    write_file("elsewhere/keep.mp4", "x");
    fs::create_directories(videos);
    fs::create_directory_symlink(dir() / "elsewhere", videos / "Fennow");
    EXPECT_EQ(library::resolve_clips_dir(std::nullopt, videos), videos / "quill.mar");
    EXPECT_TRUE(fs::is_symlink(videos / "Fennow"));
    EXPECT_FALSE(fs::exists(videos / "quill.mar"));

    EXPECT_EQ(library::resolve_clips_dir(dir() / "chosen", videos), dir() / "chosen");
    EXPECT_FALSE(fs::exists(dir() / "chosen"));
}
