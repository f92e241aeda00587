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
        { "last unit keeps trailing zeros", { 0, 0, 1, 0x65, 0x11, 0, 0 }, { { 0x65, 0x11, 0, 0 } } },
        { "bytes before the first start code are ignored", { 9, 9, 0, 0, 1, 0x41 }, { { 0x41 } } },
        { "no start code", { 0x67, 0, 0, 2, 0x68 }, {} },
        { "a unit of zeros only is skipped", { 0, 0, 1, 0x67, 0, 0, 1, 0, 0, 0, 0, 1, 0x68 }, { { 0x67 }, { 0x68 } } },
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
        { "no size field reaches the end", { 0x30, 4, 5, 6 }, { { 6, { 4, 5, 6 } } } },
        { "eight-byte leb128 with continuation stops the split",
          concat({ obu(2, {}), { 0x32, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x01 } }), { { 2, {} } } },
        { "size beyond the data drops the tail", concat({ obu(1, { 9 }), { 0x32, 0x05, 1, 2 } }), { { 1, { 9 } } } },
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

// Parameter sets come from our own encoders, but a short or missing one must give no record rather than a
// read past its end.
TEST(BitstreamDecoderConfig, RefusesMissingOrShortParameterSets)
{
    Bytes vps { 0, 0, 1, 0x40, 0x01, 0x0C };
    Bytes pps { 0, 0, 1, 0x44, 0x01, 0xC1 };
    Bytes long_sps = concat({ { 0, 0, 1 }, Bytes { 0x42, 0x01 }, Bytes(13, 0x11) });
    // 15 bytes on the wire but 14 once the emulation byte is gone.
    Bytes emulated_sps = concat({ { 0, 0, 1, 0x42, 0x01, 0x01, 0, 0, 3 }, Bytes(9, 0x11) });
    struct Row {
        char const* name;
        Codec codec;
        Bytes stream;
        bool valid;
    };
    Row const rows[] = {
        { "H.264 with both sets", Codec::H264, { 0, 0, 1, 0x67, 66, 0, 30, 0, 0, 1, 0x68, 0xCE }, true },
        { "H.264 without PPS", Codec::H264, { 0, 0, 1, 0x67, 66, 0, 30, 0, 0, 1, 0x65, 1 }, false },
        { "H.264 without SPS", Codec::H264, { 0, 0, 1, 0x68, 0xCE, 0, 0, 1, 0x65, 1 }, false },
        { "H.264 SPS of three bytes", Codec::H264, { 0, 0, 1, 0x67, 66, 0, 0, 0, 1, 0x68, 0xCE }, false },
        { "HEVC with all sets", Codec::Hevc, concat({ vps, long_sps, pps }), true },
        { "HEVC SPS short once cleaned", Codec::Hevc, concat({ vps, emulated_sps, pps }), false },
        { "HEVC without VPS", Codec::Hevc, concat({ long_sps, pps }), false },
        { "HEVC without PPS", Codec::Hevc, concat({ vps, long_sps }), false },
        // profile 0, still 1, reduced 1, level 0b10110 split over two bytes.
        { "AV1 reduced still picture header", Codec::Av1, obu(1, { 0b0001'1101, 0b1000'0000 }), true },
        { "AV1 header cut in its level", Codec::Av1, obu(1, { 0b0001'1101 }), false },
        { "AV1 empty sequence header", Codec::Av1, obu(1, {}), false },
        { "AV1 no sequence header", Codec::Av1, obu(6, { 1, 2 }), false },
    };
    for (auto const& row : rows) {
        SCOPED_TRACE(row.name);
        auto record = bitstream::decoder_config(row.codec, row.stream);
        EXPECT_EQ(record.has_value(), row.valid);
        if (!record)
            continue;
        // Every record built reads back as one; cut by a byte, or with a byte more, it no longer does.
        EXPECT_TRUE(bitstream::is_decoder_config(row.codec, *record));
        EXPECT_FALSE(bitstream::is_decoder_config(row.codec, Bytes(record->begin(), record->end() - 1)));
        record->push_back(0);
        EXPECT_FALSE(bitstream::is_decoder_config(row.codec, *record));
    }
}
