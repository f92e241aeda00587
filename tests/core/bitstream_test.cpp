#include "core/bitstream.h"

#include <gtest/gtest.h>

#include "tests/support/box_builder.h"

using Bytes = std::vector<std::uint8_t>;

namespace {

std::vector<Bytes> units_of(Bytes const& stream)
{
    std::vector<Bytes> units;
    for (auto unit : bitstream::split_annexb(stream))
        units.emplace_back(unit.begin(), unit.end());
    return units;
}

// Writes bit fields most significant first, padding the last byte with zeros.
struct BitWriter {
    Bytes bytes;
    unsigned used = 0;
    void put(std::uint64_t value, unsigned bits)
    {
        for (unsigned i = bits; i-- > 0;) {
            if (used % 8 == 0)
                bytes.push_back(0);
            if ((value >> i) & 1)
                bytes.back() |= static_cast<std::uint8_t>(0x80 >> (used % 8));
            ++used;
        }
    }
};

Bytes obu(std::uint8_t type, Bytes const& payload)
{
    Bytes out { static_cast<std::uint8_t>((type << 3) | 0x02), static_cast<std::uint8_t>(payload.size()) };
    out.insert(out.end(), payload.begin(), payload.end());
    return out;
}

using box_builder::concat;

} // namespace

TEST(BitstreamSplitAnnexb, CutsUnitsAtStartCodes)
{
    struct Row {
        char const* name;
        Bytes stream;
        std::vector<Bytes> units;
    };
    Row const rows[] = {
        { "four-byte start code leaves no zero on the unit before",
          { 0, 0, 0, 1, 0x67, 0xAA, 0, 0, 0, 1, 0x68, 0xBB }, { { 0x67, 0xAA }, { 0x68, 0xBB } } },
        { "three-byte start codes", { 0, 0, 1, 0x67, 0, 0, 1, 0x68 }, { { 0x67 }, { 0x68 } } },
        { "last unit keeps trailing zeros", { 0, 0, 1, 0x65, 0x11, 0, 0 }, { { 0x65, 0x11, 0, 0 } } },
        { "bytes before the first start code are ignored", { 9, 9, 0, 0, 1, 0x41 }, { { 0x41 } } },
        { "no start code", { 0x67, 0, 0, 2, 0x68 }, {} },
        { "a unit of zeros only is skipped", { 0, 0, 1, 0x67, 0, 0, 1, 0, 0, 0, 0, 1, 0x68 }, { { 0x67 }, { 0x68 } } },
        { "empty unit between adjacent start codes", { 0, 0, 1, 0, 0, 1, 0x09 }, { { 0x09 } } },
        { "too short", { 0, 0 }, {} },
        { "start code at the very end", { 0, 0, 1, 0x09, 0, 0, 1 }, { { 0x09 } } },
    };
    for (auto const& row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(units_of(row.stream), row.units);
    }
}

TEST(BitstreamSplitObus, ReadsSizesExtensionsAndStopsOnMalformedTails)
{
    struct Row {
        char const* name;
        Bytes stream;
        std::vector<std::pair<std::uint8_t, Bytes>> obus; // type, payload
    };
    Row const rows[] = {
        { "two sized OBUs", concat({ obu(2, {}), obu(6, { 1, 2, 3 }) }), { { 2, {} }, { 6, { 1, 2, 3 } } } },
        { "extension byte before the size", { 0x36, 0x55, 0x02, 7, 8 }, { { 6, { 7, 8 } } } },
        { "multi-byte leb128 size", concat({ { 0x32, 0x82, 0x00 }, Bytes(2, 0xEE) }), { { 6, { 0xEE, 0xEE } } } },
        { "no size field reaches the end", { 0x30, 4, 5, 6 }, { { 6, { 4, 5, 6 } } } },
        { "no size field and nothing after the header", { 0x30 }, { { 6, {} } } },
        { "eight-byte leb128 with continuation stops the split",
          concat({ obu(2, {}), { 0x32, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x01 } }), { { 2, {} } } },
        { "size beyond the data drops the tail", concat({ obu(1, { 9 }), { 0x32, 0x05, 1, 2 } }), { { 1, { 9 } } } },
        { "size field cut by the end", { 0x12, 0x00, 0x32, 0x80 }, { { 2, {} } } },
        { "huge leb128 size does not wrap", { 0x32, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x7F, 1 }, {} },
    };
    for (auto const& row : rows) {
        SCOPED_TRACE(row.name);
        auto obus = bitstream::split_obus(row.stream);
        ASSERT_EQ(obus.size(), row.obus.size());
        for (std::size_t i = 0; i < obus.size(); ++i) {
            EXPECT_EQ(obus[i].obu_type, row.obus[i].first);
            EXPECT_EQ(Bytes(obus[i].payload.begin(), obus[i].payload.end()), row.obus[i].second);
            EXPECT_EQ(obus[i].payload.data() + obus[i].payload.size(), obus[i].whole.data() + obus[i].whole.size());
        }
    }
}

TEST(BitstreamAvcConfig, BuildsRecordFromKeyframe)
{
    Bytes sps_66 { 0x67, 66, 0xC0, 30, 0xDA };
    Bytes sps_100 { 0x67, 100, 0x00, 40, 0xAC, 0xD9 };
    Bytes pps { 0x68, 0xCE, 0x3C, 0x80 };
    Bytes idr { 0x65, 0x88, 0x84 };
    auto stream = [&](Bytes const& sps) {
        return concat({ { 0, 0, 0, 1, 0x09, 0xF0 }, { 0, 0, 0, 1 }, sps, { 0, 0, 0, 1 }, pps, { 0, 0, 1 }, idr });
    };
    auto baseline = bitstream::decoder_config(bitstream::codec_h264, stream(sps_66));
    ASSERT_TRUE(baseline);
    Bytes expected = concat({ { 1, 66, 0xC0, 30, 0xFF, 0xE1, 0, 5 }, sps_66, { 1, 0, 4 }, pps });
    EXPECT_EQ(*baseline, expected);

    auto high = bitstream::decoder_config(bitstream::codec_h264, stream(sps_100));
    ASSERT_TRUE(high);
    expected = concat({ { 1, 100, 0x00, 40, 0xFF, 0xE1, 0, 6 }, sps_100, { 1, 0, 4 }, pps, { 0xFD, 0xF8, 0xF8, 0 } });
    EXPECT_EQ(*high, expected);
}

TEST(BitstreamAvcConfig, RefusesMissingOrShortParameterSets)
{
    struct Row {
        char const* name;
        Bytes stream;
    };
    Row const rows[] = {
        { "no PPS", { 0, 0, 1, 0x67, 66, 0, 30, 0, 0, 1, 0x65, 1 } },
        { "no SPS", { 0, 0, 1, 0x68, 0xCE, 0, 0, 1, 0x65, 1 } },
        { "SPS of three bytes", { 0, 0, 1, 0x67, 66, 0, 0, 0, 1, 0x68, 0xCE } },
        { "nothing", {} },
    };
    for (auto const& row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(bitstream::decoder_config(bitstream::codec_h264, row.stream), std::nullopt);
    }
}

TEST(BitstreamHevcConfig, ReadsProfileFromCleanedSpsAndKeepsUnitsAsFound)
{
    Bytes vps { 0x40, 0x01, 0x0C };
    // NAL header, sps_video_parameter_set_id etc., then profile bytes with an emulation byte at offset 6.
    Bytes sps { 0x42, 0x01, 0x01, 0x01, 0x60, 0x00, 0x00, 0x03, 0x01, 0xB0, 0x00, 0x00, 0x03, 0x00,
                0x5D, 0xA0, 0x02, 0x80 };
    Bytes pps { 0x44, 0x01, 0xC1 };
    Bytes stream = concat({ { 0, 0, 0, 1, 0x46, 0x01, 0x10 }, { 0, 0, 0, 1 }, vps, { 0, 0, 0, 1 }, sps,
                            { 0, 0, 0, 1 }, pps, { 0, 0, 1, 0x26, 0x01, 0xAF } });
    auto record = bitstream::decoder_config(bitstream::codec_hevc, stream);
    ASSERT_TRUE(record);
    // Cleaned SPS: 42 01 01 01 60 00 00 01 B0 00 00 00 5D A0 02 80; bytes 3..14.
    Bytes expected = concat({ { 0x01, 0x01, 0x60, 0x00, 0x00, 0x01, 0xB0, 0x00, 0x00, 0x00, 0x5D, 0xA0, 0x02 },
                              { 0xF0, 0x00, 0xFC, 0xFD, 0xF8, 0xF8, 0x00, 0x00, 0x0F, 0x03 },
                              { 0xA0, 0, 1, 0, 3 }, vps, { 0xA1, 0, 1, 0, 18 }, sps, { 0xA2, 0, 1, 0, 3 }, pps });
    EXPECT_EQ(*record, expected);
}

TEST(BitstreamHevcConfig, RefusesMissingSetsAndShortSps)
{
    Bytes vps { 0, 0, 1, 0x40, 0x01, 0x0C };
    Bytes pps { 0, 0, 1, 0x44, 0x01, 0xC1 };
    Bytes long_sps = concat({ { 0, 0, 1 }, Bytes { 0x42, 0x01 }, Bytes(13, 0x11) });
    // 15 bytes on the wire but 14 once the emulation byte is gone.
    Bytes emulated_sps = concat({ { 0, 0, 1, 0x42, 0x01, 0x01, 0, 0, 3 }, Bytes(9, 0x11) });
    EXPECT_TRUE(bitstream::decoder_config(bitstream::codec_hevc, concat({ vps, long_sps, pps })));
    EXPECT_FALSE(bitstream::decoder_config(bitstream::codec_hevc, concat({ vps, emulated_sps, pps })));
    EXPECT_FALSE(bitstream::decoder_config(bitstream::codec_hevc, concat({ long_sps, pps })));
    EXPECT_FALSE(bitstream::decoder_config(bitstream::codec_hevc, concat({ vps, long_sps })));
}

namespace {

struct SequenceHeader {
    unsigned profile = 0;
    bool timing = false;
    bool equal_interval = false;
    bool decoder_model = false;
    unsigned level = 0;
    unsigned tier = 0;
};

Bytes sequence_header_payload(SequenceHeader const& h)
{
    BitWriter bits;
    bits.put(h.profile, 3);
    bits.put(0, 1); // still_picture
    bits.put(0, 1); // reduced_still_picture_header
    bits.put(h.timing, 1);
    if (h.timing) {
        bits.put(1001, 32);
        bits.put(60000, 32);
        bits.put(h.equal_interval, 1);
        if (h.equal_interval)
            bits.put(0b011, 3); // uvlc with one leading zero
        bits.put(h.decoder_model, 1);
        if (h.decoder_model) {
            bits.put(0x1F, 5);
            bits.put(0xFFFFFFFF, 32);
            bits.put(0x1F, 5);
            bits.put(0x1F, 5);
        }
    }
    bits.put(0, 1);  // initial_display_delay_present_flag
    bits.put(0, 5);  // operating_points_cnt_minus_1
    bits.put(0, 12); // operating_point_idc[0]
    bits.put(h.level, 5);
    if (h.level > 7)
        bits.put(h.tier, 1);
    bits.put(0x2A, 7); // what follows (colour configuration ...) is never read
    return bits.bytes;
}

} // namespace

TEST(BitstreamAv1Config, ReadsLevelAndTierFromSequenceHeader)
{
    struct Row {
        char const* name;
        SequenceHeader header;
        std::uint8_t byte1;
        std::uint8_t byte2;
    };
    Row const rows[] = {
        { "level 8 with tier 1", { .level = 8, .tier = 1 }, 8, 0x8C },
        { "level 5 reads no tier", { .level = 5 }, 5, 0x0C },
        { "profile 1", { .profile = 1, .level = 13 }, (1 << 5) | 13, 0x0C },
        { "timing info", { .timing = true, .level = 9, .tier = 1 }, 9, 0x8C },
        { "timing with interval and decoder model",
          { .timing = true, .equal_interval = true, .decoder_model = true, .level = 12, .tier = 0 }, 12, 0x0C },
    };
    for (auto const& row : rows) {
        SCOPED_TRACE(row.name);
        Bytes header = obu(1, sequence_header_payload(row.header));
        Bytes stream = concat({ obu(2, {}), header, obu(6, { 1, 2, 3 }) });
        auto record = bitstream::decoder_config(bitstream::codec_av1, stream);
        ASSERT_TRUE(record);
        EXPECT_EQ(*record, concat({ { 0x81, row.byte1, row.byte2, 0x00 }, header }));
    }
}

TEST(BitstreamAv1Config, ReducedStillPictureHeaderAndTruncations)
{
    // profile 0, still 1, reduced 1, level 0b10110 split over two bytes.
    Bytes reduced = obu(1, { 0b0001'1101, 0b1000'0000 });
    auto record = bitstream::decoder_config(bitstream::codec_av1, reduced);
    ASSERT_TRUE(record);
    EXPECT_EQ((*record)[1], 22);
    EXPECT_EQ((*record)[2], 0x0C);

    EXPECT_FALSE(bitstream::decoder_config(bitstream::codec_av1, obu(1, { 0b0001'1101 })));
    EXPECT_FALSE(bitstream::decoder_config(bitstream::codec_av1, obu(1, {})));
    EXPECT_FALSE(bitstream::decoder_config(bitstream::codec_av1, obu(6, { 1, 2 })));
    auto full = sequence_header_payload({ .timing = true, .level = 9, .tier = 1 });
    for (std::size_t cut : { std::size_t { 4 }, std::size_t { 9 }, std::size_t { 11 } }) {
        SCOPED_TRACE(cut);
        EXPECT_FALSE(bitstream::decoder_config(bitstream::codec_av1, obu(1, Bytes(full.begin(), full.begin() + cut))));
    }
}
