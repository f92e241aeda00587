#include "base/json_text.h"

#include <string>
#include <tuple>

#include <gtest/gtest.h>

namespace {

// The two quotings share their escapes for quote, backslash and white space, and part on the rest: the file
// form keeps every character readable as JSON, the message form shows bytes as they are.
TEST(JsonText, FileAndMessageQuotingPartWhereTheyMust)
{
    std::tuple<std::string_view, std::string_view, std::string_view> const rows[] = {
        { "a\"b\\c", R"("a\"b\\c")", R"("a\"b\\c")" },
        { "\n\r\t", R"("\n\r\t")", R"("\n\r\t")" },
        { "\b\f", R"("\b\f")", R"("\u{8}\u{c}")" },
        { std::string_view("\0\x1F", 2), R"("\u0000\u001f")", R"("\0\u{1f}")" },
        { "\x7F", "\"\x7F\"", R"("\u{7f}")" },
        { "\xC3\xA9\xFF", "\"\xC3\xA9\xEF\xBF\xBD\"", "\"\xC3\xA9\xFF\"" },
    };
    for (auto [text, file, message] : rows) {
        std::string out;
        json_text::append_string(out, text);
        EXPECT_EQ(out, file);
        EXPECT_EQ(json_text::quote_for_message(text), message);
    }
}

// The tree keeps what nlohmann's own drops: both members of a repeated key, in document order.
TEST(JsonText, ParseKeepsEveryMemberAndRefusesWhatItMust)
{
    auto tree = json_text::parse(R"({"a": 1, "a": -2, "b": [-0, "x"]})");
    ASSERT_TRUE(tree) << tree.error();
    ASSERT_EQ(tree->members.size(), 3u);
    EXPECT_EQ(tree->members[0].value.unsigned_value, 1u);
    EXPECT_EQ(tree->members[1].value.signed_value, -2);
    EXPECT_EQ(tree->members[2].value.items[0].kind, json_text::Kind::Float);
    std::string const deep(200, '[');
    std::tuple<std::string_view, std::string_view> const refused[] = {
        { "\xEF\xBB\xBF{}", "expected value" },
        { std::string_view("{}\0", 3), "trailing characters" },
        { deep, "recursion limit exceeded" },
    };
    for (auto [text, error] : refused) {
        auto result = json_text::parse(text);
        ASSERT_FALSE(result);
        EXPECT_EQ(result.error(), error);
    }
}

}
