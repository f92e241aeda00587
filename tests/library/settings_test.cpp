#include "library/settings.h"

#include <cmath>
#include <limits>

#include <gtest/gtest.h>

using settings::Hotkey;
using settings::Settings;
using settings::Slot;

TEST(SettingsSanitize, EmptySlotListBecomesTheDefaultSlotsWithLabels)
{
    Settings record;
    record.slots.clear();
    auto clean = settings::sanitize(record);
    ASSERT_EQ(clean.slots.size(), 4u);
    std::uint32_t const secs[] = { 30, 60, 90, 120 };
    char const* labels[] = { "F6", "F7", "F8", "F9" };
    for (std::size_t i = 0; i < 4; ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(clean.slots[i].secs, secs[i]);
        ASSERT_TRUE(clean.slots[i].key);
        EXPECT_EQ(clean.slots[i].key->vk, 0x75 + i);
        EXPECT_EQ(clean.slots[i].key->mods, 0u);
        EXPECT_EQ(clean.slots[i].key->label, labels[i]);
    }
}

TEST(SettingsSanitize, ClampsSlotSecondsAndKeepsEverySlot)
{
    struct Row {
        std::uint32_t in, out;
    };
    constexpr Row rows[]
        = { { 0, 5 }, { 4, 5 }, { 5, 5 }, { 45, 45 }, { 1200, 1200 }, { 1201, 1200 }, { 4294967295u, 1200 } };
    Settings record;
    record.slots.clear();
    for (auto const& row : rows)
        record.slots.push_back(Slot { row.in, std::nullopt });
    auto clean = settings::sanitize(record);
    ASSERT_EQ(clean.slots.size(), std::size(rows));
    for (std::size_t i = 0; i < std::size(rows); ++i) {
        SCOPED_TRACE(rows[i].in);
        EXPECT_EQ(clean.slots[i].secs, rows[i].out);
        EXPECT_FALSE(clean.slots[i].key);
    }
}

TEST(SettingsSanitize, ClampsFps)
{
    struct Row {
        std::uint32_t in, out;
    };
    constexpr Row rows[] = { { 0, 15 }, { 14, 15 }, { 15, 15 }, { 144, 144 }, { 240, 240 }, { 241, 240 } };
    for (auto const& row : rows) {
        SCOPED_TRACE(row.in);
        Settings record;
        record.fps = row.in;
        EXPECT_EQ(settings::sanitize(record).fps, row.out);
    }
}

TEST(SettingsSanitize, RepairsAndClampsVolumes)
{
    constexpr float inf = std::numeric_limits<float>::infinity();
    struct Row {
        float in, out;
    };
    Row const rows[] = { { std::nanf(""), 1.0f }, { inf, 1.0f }, { -inf, 1.0f }, { -0.5f, 0.0f }, { 2.5f, 2.0f },
        { 0.75f, 0.75f }, { 0.0f, 0.0f }, { 2.0f, 2.0f } };
    for (auto const& row : rows) {
        SCOPED_TRACE(row.in);
        Settings record;
        record.game_volume = row.in;
        record.mic_volume = row.in;
        auto clean = settings::sanitize(record);
        EXPECT_EQ(clean.game_volume, row.out);
        EXPECT_EQ(clean.mic_volume, row.out);
    }
}

TEST(SettingsSanitize, LeavesEverythingElseAlone)
{
    Settings record;
    record.record_key.reset();
    record.resolution = settings::Resolution::Source;
    record.codec = settings::Codec::Av1;
    record.quality = settings::Quality::High;
    record.theme = settings::Theme::Dark;
    record.mic_device = "mic";
    record.output_device = "out";
    record.monitor = "HDMI-1";
    record.clips_dir = "/data/clips";
    record.autostart = true;
    record.capture_desktop = true;
    record.in_game_toast = false;
    record.game_audio = false;
    record.keep_days = 100000;
    record.max_gb = 100000;
    Slot const same_key { 30, Hotkey { 2, 0x41, "Ctrl+A" } };
    record.slots = { same_key, same_key, Slot { 60, std::nullopt } };
    EXPECT_EQ(settings::sanitize(record), record);
}

TEST(SettingsSanitize, DefaultRecordIsAlreadyClean)
{
    EXPECT_EQ(settings::sanitize(Settings::defaults()), Settings::defaults());
}

TEST(SettingsSlotsEqual, ComparesSecondsAndEveryPartOfTheKey)
{
    auto const base = settings::default_slots();
    auto label = base;
    label[2].key->label = "F8 ";
    auto mods = base;
    mods[0].key->mods = 4;
    auto vk = base;
    vk[3].key->vk = 0x7A;
    auto secs = base;
    secs[1].secs = 61;
    auto no_key = base;
    no_key[1].key.reset();
    auto shorter = base;
    shorter.pop_back();
    struct Row {
        char const* name;
        std::vector<Slot> const& other;
        bool equal;
    };
    Row const rows[] = { { "same", base, true }, { "label", label, false }, { "mods", mods, false },
        { "vk", vk, false }, { "secs", secs, false }, { "no key", no_key, false }, { "shorter", shorter, false } };
    for (auto const& row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(settings::slots_equal(base, row.other), row.equal);
        EXPECT_EQ(settings::slots_equal(row.other, base), row.equal);
    }
    EXPECT_TRUE(settings::slots_equal({}, {}));
    EXPECT_TRUE(settings::slots_equal(no_key, no_key));
}
