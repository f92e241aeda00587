#include "library/library.h"

#include <cmath>
#include <limits>

#include <gtest/gtest.h>

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

    // Seconds as the shortest text that reads back (a whole value keeps its ".0", above); a time that is not
    // finite is null.
    auto clip = sample_clip();
    clip.secs = 29.966666666666665;
    EXPECT_NE(library::sidecar_text(clip).find(",\"secs\":29.966666666666665,"), std::string::npos);
    clip.secs = std::numeric_limits<double>::infinity();
    EXPECT_NE(library::sidecar_text(clip).find(",\"secs\":null,"), std::string::npos);
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
