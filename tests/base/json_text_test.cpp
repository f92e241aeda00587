#include <gtest/gtest.h>

#include "base/json_text.h"

namespace {

TEST(JsonTextString, EscapesWhatJsonRequiresAndRepairsBadBytes)
{
    struct Row {
        std::string_view text;
        std::string_view expected;
    };
    Row const rows[] = {
        { "", R"("")" },
        { "plain", R"("plain")" },
        { "say \"hi\" \\ bye", R"("say \"hi\" \\ bye")" },
        { "\b\f\n\r\t", R"("\b\f\n\r\t")" },
        { std::string_view("\0\x01\x1f", 3), R"("\u0000\u0001\u001f")" },
        { "del \x7f / slash", "\"del \x7f / slash\"" },
        { "caf\xC3\xA9 \xE2\x82\xAC", "\"caf\xC3\xA9 \xE2\x82\xAC\"" },
        { "bad \xFF\xE2\x82", "\"bad \xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\"" },
    };
    for (auto const& row : rows) {
        SCOPED_TRACE(row.text);
        std::string out = "[";
        json_text::append_string(out, row.text);
        EXPECT_EQ(out, "[" + std::string(row.expected));
    }
}

}
