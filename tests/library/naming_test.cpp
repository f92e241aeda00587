#include "library/naming.h"

#include <set>
#include <thread>

#include <gtest/gtest.h>

#include "library/library.h"
#include "tests/support/temp_dir.h"

TEST(NamingBase, MakesGameNamesSafe)
{
    struct Row {
        std::string_view game;
        std::string_view base;
    };
    Row const rows[] = {
        { "Half: Life?", "Half_ Life_" },
        { " . .  ", "Clip" },
        { "Portal 2...", "Portal 2" },
        { ".hack//G.U.", "hack__G.U" },
        { ". .. .Jeu", "Jeu" },
        { "a..b...c", "a.b.c" },
        { "tab\there", "tab_here" },
        { "ctl\xC2\x85x", "ctl_x" }, // U+0085 is a control character
        { "\xE2\x80\x83Jeu\xE3\x80\x80", "Jeu" }, // Unicode spaces trimmed
    };
    for (auto const& [game, base] : rows) {
        SCOPED_TRACE(game);
        EXPECT_EQ(engine::clip_name_base(game), base);
    }
    std::string seventy(70, 'x');
    EXPECT_EQ(engine::clip_name_base(seventy), std::string(60, 'x'));
    // 60 four-byte characters would pass the file-name limit with the stamp and suffixes.
    std::string wide;
    for (int i = 0; i < 60; ++i)
        wide += "\xF0\x9F\x8E\xAE";
    auto base = engine::clip_name_base(wide);
    EXPECT_EQ(base.size(), 160u);
    auto id = base + " 2025-03-07 21-04-09 partie 2 (12).mp4.part";
    EXPECT_LT(id.size(), 255u);
}

class NamingFiles : public testing_support::TempDirTest { };

TEST_F(NamingFiles, TakenNamesGetACounter)
{
    auto stamp = "2025-03-07 21-04-09";
    auto first = engine::clip_file_name(dir(), "Valorant", stamp);
    EXPECT_EQ(first.id(), "Valorant 2025-03-07 21-04-09");
    // Still reserved (its file is not written yet): the next save in the same second gets (2).
    auto second = engine::clip_file_name(dir(), "Valorant", stamp);
    EXPECT_EQ(second.id(), "Valorant 2025-03-07 21-04-09 (2)");
    // A part file on disk counts as taken too.
    write_file("Valorant 2025-03-07 21-04-09 (3).mp4.part", "");
    write_file("Valorant 2025-03-07 21-04-09 (4).mp4", "");
    EXPECT_EQ(engine::clip_file_name(dir(), "Valorant", stamp).id(), "Valorant 2025-03-07 21-04-09 (5)");
    first.release();
    EXPECT_EQ(engine::clip_file_name(dir(), "Valorant", stamp).id(), "Valorant 2025-03-07 21-04-09");
    // Another folder has its own names.
    auto other = dir() / "other";
    EXPECT_EQ(engine::clip_file_name(other, "Valorant", stamp).id(), "Valorant 2025-03-07 21-04-09");
    EXPECT_TRUE(library::is_valid_clip_id(engine::clip_file_name(dir(), "x..y", stamp).id()));
    // An unsafe name never loops for ever looking for a valid id.
    EXPECT_EQ(engine::clip_file_name(dir(), "Jeu", "a..b/c").id(), "Jeu a.b_c");
}

TEST_F(NamingFiles, ThreadsNeverShareAName)
{
    std::vector<std::string> ids[4];
    std::vector<engine::ClipName> held[4];
    std::vector<std::thread> workers;
    for (int t = 0; t < 4; ++t)
        workers.emplace_back([&, t] {
            for (int i = 0; i < 50; ++i) {
                held[t].push_back(engine::clip_file_name(dir(), "Jeu", "2025-01-01 00-00-00"));
                ids[t].push_back(held[t].back().id());
            }
        });
    for (auto& w : workers)
        w.join();
    std::set<std::string> all;
    for (auto& list : ids)
        all.insert(list.begin(), list.end());
    EXPECT_EQ(all.size(), 200u);
}

TEST(NamingTexts, SizesAndDurations)
{
    EXPECT_EQ(engine::format_size(0), "0 Mo");
    EXPECT_EQ(engine::format_size(45'300'000), "45 Mo");
    EXPECT_EQ(engine::format_size(999'600'000), "1000 Mo");
    EXPECT_EQ(engine::format_size(1'000'000'000), "1,0 Go");
    EXPECT_EQ(engine::format_size(1'234'000'000), "1,2 Go");
    EXPECT_EQ(engine::format_size(2'500'000), "2 Mo"); // an exact tie goes to even
    EXPECT_EQ(engine::format_duration(89.6), "1:30");
    EXPECT_EQ(engine::format_duration(5), "0:05");
    EXPECT_EQ(engine::format_duration(-3), "0:00");
    EXPECT_EQ(engine::format_duration(0.5), "0:01");
}
