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
    std::vector<Slot> const expected = { { 30, Hotkey { 0, 0x75, "F6" } }, { 60, Hotkey { 0, 0x76, "F7" } },
        { 90, Hotkey { 0, 0x77, "F8" } }, { 120, Hotkey { 0, 0x78, "F9" } } };
    EXPECT_EQ(settings::sanitize(record).slots, expected);
    EXPECT_EQ(settings::sanitize(Settings::defaults()), Settings::defaults());
}

TEST(SettingsSanitize, ClampsSlotSecondsFpsAndVolumes)
{
    struct Row {
        std::uint32_t in, out;
    };
    constexpr Row secs[]
        = { { 0, 5 }, { 4, 5 }, { 5, 5 }, { 45, 45 }, { 1200, 1200 }, { 1201, 1200 }, { 4294967295u, 1200 } };
    constexpr Row fps[] = { { 0, 15 }, { 14, 15 }, { 15, 15 }, { 144, 144 }, { 240, 240 }, { 241, 240 } };
    Settings record;
    record.slots.clear();
    for (auto const& row : secs)
        record.slots.push_back(Slot { row.in, std::nullopt });
    auto clean = settings::sanitize(record);
    ASSERT_EQ(clean.slots.size(), std::size(secs));
    for (std::size_t i = 0; i < std::size(secs); ++i)
        EXPECT_EQ(clean.slots[i], (Slot { secs[i].out, std::nullopt })) << secs[i].in;
    for (auto const& row : fps) {
        record.fps = row.in;
        EXPECT_EQ(settings::sanitize(record).fps, row.out) << row.in;
    }

    constexpr float inf = std::numeric_limits<float>::infinity();
    struct Volume {
        float in, out;
    };
    Volume const volumes[] = { { std::nanf(""), 1.0f }, { inf, 1.0f }, { -inf, 1.0f }, { -0.5f, 0.0f },
        { 2.5f, 2.0f }, { 0.75f, 0.75f }, { 0.0f, 0.0f }, { 2.0f, 2.0f } };
    for (auto const& row : volumes) {
        record.game_volume = row.in;
        record.mic_volume = row.in;
        clean = settings::sanitize(record);
        EXPECT_EQ(clean.game_volume, row.out) << row.in;
        EXPECT_EQ(clean.mic_volume, row.out) << row.in;
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

TEST(SettingsSlotsEqual, ComparesSecondsAndEveryPartOfTheKey)
{
    auto const base = settings::default_slots();
    auto label = base;
    label[2].key->label = "F8 ";
    auto no_key = base;
    no_key[1].key.reset();
    auto shorter = base;
    shorter.pop_back();
    EXPECT_TRUE(settings::slots_equal(base, settings::default_slots()));
    for (auto const& other : { label, no_key, shorter })
        EXPECT_FALSE(settings::slots_equal(base, other));
}
